#include "toolkit/exposure/CameraResponse.hpp"
#include "toolkit/common/DebugOutput.hpp"

#include "toolkit/color/AppearanceModel.hpp"
#include "toolkit/color/ChromaticAdaptation.hpp"
#include "toolkit/color/RgbXyz.hpp"
#include "toolkit/common/CommonFunctions.hpp"
#include "toolkit/exposure/HdrChain.hpp"

#include <opencv2/photo.hpp>

#include <cmath>
#include <fstream>
#include <iostream>
#include <vector>

namespace {

// Exposure-time table of recoverCRF: entry k = 1024 / 2^k.
constexpr double kLongestTime = 1024.0;

// Viewing conditions of the lightness curve: a white of 100, adapting
// luminance 0.2 x the white's Y (LA = 20).
constexpr float kWhiteLevel = 100.0f;
constexpr double kAdaptingFraction = 0.2;

} // namespace

void toolkit::exposure::loadExposureSeq(cv::Mat* exposures, cv::Mat& reference, const float* table,
    std::vector<cv::Mat>& images, std::vector<float>& times, int n)
{
    toolkit::common::writeDebugImage("test2.jpg", hdr::toEightBit(reference));

    for (int i = 0; i < n; ++i) {
        const cv::Mat image8 = hdr::toEightBit(exposures[i]);
        images.push_back(image8);
        if (i == 1) {
            toolkit::common::writeDebugImage("test10.jpg", images.front());
            toolkit::common::writeDebugImage("test11.jpg", image8);
        }
        const float time = hdr::exposureTime(table, i);
        times.push_back(time);
        toolkit::common::progress() << time << " " << table[i + 1] << " " << n << std::endl;
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

    toolkit::common::writeDebugImage("test.jpg", hdr::times255(exposures[1]));

    std::vector<cv::Mat> images;
    std::vector<float> times;
    loadExposureSeq(exposures, reference, table.data(), images, times, n);
    toolkit::common::writeDebugImage("test1.jpg", images[1]);

    toolkit::common::progress() << "here i am" << std::endl;
    const cv::Mat response = hdr::calibrateResponse(images, times);
    toolkit::common::progress() << "here i am" << std::endl;
    const cv::Mat merged = hdr::mergeHdr(images, times, response);

    toolkit::common::progress() << response << std::endl;
    hdr::writeResponseColumns(response, "Rreal.txt", "Greal.txt", "Breal.txt", "valuesReal.txt");

    hdr::writeOutputs(name, merged, hdr::toneMap(merged), hdr::fuse(images));
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

        toolkit::common::writeDebugImage("test1.jpg", hdr::times255(exposure));
        sharpened.copyTo(exposure);
        toolkit::common::writeDebugImage("test.jpg", hdr::times255(exposure));

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
