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

// Viewing conditions of the lightness curve: the model's defaults, a white of
// 100 at every pixel with an adapting luminance of a fifth of it (LA = 20)
// and a background of 20.
const toolkit::color::ViewingConditions kViewing {};

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
    color::AppearanceOptions options;
    options.through = color::AppearanceStage::Brightness;
    options.debugFiles = true;

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

        for (int i = 0; i < size.height; ++i) {
            float* v = exposure.ptr<float>(i);
            for (int k = 0; k < size.width * 3; ++k)
                v[k] = v[k] * kViewing.Yw;
        }
        color::computeAppearance(exposure, kViewing, options);
    }
}
