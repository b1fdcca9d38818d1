#include "toolkit/exposure/CameraResponse.hpp"

#include "toolkit/color/AppearanceModel.hpp"
#include "toolkit/color/ChromaticAdaptation.hpp"
#include "toolkit/color/RgbXyz.hpp"
#include "toolkit/common/CommonFunctions.hpp"
#include "toolkit/exposure/ToneMapping.hpp"

#include <opencv2/photo.hpp>

#include <cmath>
#include <fstream>
#include <iostream>
#include <vector>

namespace {

// Exposure-time table of recoverCRF: entry k = 1024 / 2^k.
constexpr double kLongestTime = 1024.0;

// Debevec calibration: 70 samples on a regular grid, smoothness lambda 10.
constexpr int kDebevecSamples = 70;
constexpr float kDebevecLambda = 10.0f;
constexpr bool kDebevecRandomSampling = false;

// Durand tone mapping of the merged HDR image.
constexpr float kToneGamma = 2.2f;
constexpr float kToneContrast = 4.0f;
constexpr float kToneSaturation = 1.0f;
constexpr float kToneSigmaSpace = 2.0f;
constexpr float kToneSigmaColor = 2.0f;

// Mertens fusion weights: contrast and saturation, exposedness off.
constexpr float kMertensContrast = 1.0f;
constexpr float kMertensSaturation = 1.0f;
constexpr float kMertensExposure = 0.0f;

// Viewing conditions of the lightness curve: a white of 100, adapting
// luminance 0.2 x the white's Y (LA = 20).
constexpr float kWhiteLevel = 100.0f;
constexpr double kAdaptingFraction = 0.2;

// Values on the 0..255 scale for a debug image.
cv::Mat times255(const cv::Mat& img)
{
    return img * 255.0;
}

void writeResponseColumns(const cv::Mat& response)
{
    std::ofstream r("Rreal.txt"), g("Greal.txt"), b("Breal.txt"), rows("valuesReal.txt");
    for (int j = 0; j < response.rows; ++j) {
        const cv::Vec3f& v = response.at<cv::Vec3f>(j, 0);
        rows << j << std::endl;
        r << v[2] << std::endl;
        g << v[1] << std::endl;
        b << v[0] << std::endl;
    }
}

} // namespace

void toolkit::exposure::loadExposureSeq(cv::Mat* exposures, cv::Mat& reference, const float* table,
    std::vector<cv::Mat>& images, std::vector<float>& times, int n)
{
    cv::Mat reference8;
    reference *= 255.0;
    reference.convertTo(reference8, CV_8U, 1.0, 0.0);
    common::writeImage("test2.jpg", reference8);

    for (int i = 0; i < n; ++i) {
        cv::Mat image8(exposures[i].size(), CV_8UC3);
        exposures[i] *= 255.0;
        exposures[i].convertTo(image8, CV_8U, 1.0, 0.0);
        images.push_back(image8);
        if (i == 1) {
            common::writeImage("test10.jpg", images.front());
            common::writeImage("test11.jpg", image8);
        }
        const float time = 1.0f / table[i + 1];
        times.push_back(time);
        std::cout << time << " " << table[i + 1] << " " << n << std::endl;
    }
}

void toolkit::exposure::recoverCRF(cv::Mat*& exposures, cv::Mat& reference, int n, std::string name)
{
    // The calibration needs two exposures, and exposure 1 is read below.
    if (exposures == nullptr || n < 2)
        CV_Error(cv::Error::StsBadArg, "recoverCRF needs at least two exposures");

    std::vector<float> table(static_cast<std::size_t>(n) + 1);
    for (int k = 0; k <= n; ++k)
        table[k] = static_cast<float>(kLongestTime / std::pow(2.0, k));

    common::writeImage("test.jpg", times255(exposures[1]));

    std::vector<cv::Mat> images;
    std::vector<float> times;
    loadExposureSeq(exposures, reference, table.data(), images, times, n);
    common::writeImage("test1.jpg", images[1]);

    cv::Mat response;
    cv::Ptr<cv::CalibrateDebevec> calibrate
        = cv::createCalibrateDebevec(kDebevecSamples, kDebevecLambda, kDebevecRandomSampling);
    std::cout << "here i am" << std::endl;
    calibrate->process(images, response, times);
    std::cout << "here i am" << std::endl;

    cv::Mat hdr;
    cv::createMergeDebevec()->process(images, hdr, times, response);

    std::cout << response << std::endl;
    writeResponseColumns(response);

    cv::Mat toneMapped;
    createTonemapDurand(
        kToneGamma, kToneContrast, kToneSaturation, kToneSigmaSpace, kToneSigmaColor)
        ->process(hdr, toneMapped);

    cv::Mat fusion;
    cv::createMergeMertens(kMertensContrast, kMertensSaturation, kMertensExposure)
        ->process(images, fusion);

    const std::string hdrName = name + ".hdr";
    const std::string toneName = name + ".jpg";
    const std::string fusionName = name + "fusion.jpg";
    std::cout << hdrName << " " << toneName << std::endl;
    common::writeImage(hdrName, hdr);
    common::writeImage(toneName, times255(toneMapped));
    common::writeImage(fusionName, times255(fusion));
}

void toolkit::exposure::recoverLightnessExposureCurve(cv::Mat*& exposures, int n)
{
    if (exposures == nullptr || n <= 0)
        return;

    const cv::Size size = exposures[0].size();
    cv::Mat xyz = cv::Mat::zeros(size, CV_32FC3);
    cv::Mat sharpened = cv::Mat::zeros(size, CV_32FC3);
    cv::Mat white(size, CV_32FC3);
    cv::Mat hpe(size, CV_32FC3);
    cv::Mat compressed(size, CV_32FC3);
    cv::Mat a(size, CV_32FC1), b(size, CV_32FC1), h(size, CV_32FC1), et(size, CV_32FC1);
    cv::Mat J(size, CV_32FC1), Q(size, CV_32FC1), A(size, CV_32FC1);
    cv::Mat FL(size, CV_32FC1), nPlane(size, CV_32FC1), Ncb(size, CV_32FC1), z(size, CV_32FC1);
    cv::Mat whitePlanes[3];

    for (int e = 0; e < n; ++e) {
        cv::Mat& exposure = exposures[e];

        // Each value is read as the white before it is rewritten, so the
        // image can serve as its own white.
        color::convertBGRToXYZDirect(exposure, xyz);
        color::convertXYZtoSharpenedBGR(xyz, sharpened);
        color::iCAMCATByD65(sharpened, sharpened, xyz);

        common::writeImage("test1.jpg", times255(exposure));
        sharpened.copyTo(exposure);
        common::writeImage("test.jpg", times255(exposure));

        color::convertSharpenedBGRtoXYZ(exposure, xyz);

        for (int i = 0; i < size.height; ++i) {
            float* v = exposure.ptr<float>(i);
            float* w = white.ptr<float>(i);
            for (int k = 0; k < size.width * 3; ++k) {
                v[k] = v[k] * kWhiteLevel;
                w[k] = kWhiteLevel;
            }
        }

        cv::split(white, whitePlanes);
        const float Yb = color::computeYback(whitePlanes[1]);
        for (int i = 0; i < size.height; ++i) {
            const cv::Vec3f* w = white.ptr<cv::Vec3f>(i);
            float* fl = FL.ptr<float>(i);
            float* np = nPlane.ptr<float>(i);
            float* ncb = Ncb.ptr<float>(i);
            float* zp = z.ptr<float>(i);
            for (int j = 0; j < size.width; ++j) {
                const float Yw = w[j][1];
                const float La = static_cast<float>(static_cast<double>(Yw) * kAdaptingFraction);
                fl[j] = color::computeFl(La);
                np[j] = color::computeN(Yb, Yw);
                ncb[j] = color::computeNcb(Yb, Yw);
                zp[j] = color::computeZ(Yb, Yw);
            }
        }

        color::convertSharpenedBGRtoHPE(exposure, hpe);
        color::computeNonLinearities(hpe, compressed, FL);
        color::computeAB(compressed, a, b);
        color::computeHue(a, b, h, et);
        const float Aw = color::computeLightness(compressed, Ncb, z, J, A);
        color::computeBrightness(J, FL, z, Q, Aw);
    }
}
