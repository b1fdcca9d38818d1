#include "toolkit/exposure/HdrChain.hpp"
#include "toolkit/common/DebugOutput.hpp"

#include "toolkit/common/CommonFunctions.hpp"
#include "toolkit/exposure/ToneMapping.hpp"

#include <opencv2/photo.hpp>

#include <fstream>
#include <iostream>

namespace {

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

} // namespace

cv::Mat toolkit::exposure::hdr::calibrateResponse(
    const std::vector<cv::Mat>& images, const std::vector<float>& times)
{
    cv::Mat response;
    cv::createCalibrateDebevec(kDebevecSamples, kDebevecLambda, kDebevecRandomSampling)
        ->process(images, response, times);
    return response;
}

cv::Mat toolkit::exposure::hdr::mergeHdr(
    const std::vector<cv::Mat>& images, const std::vector<float>& times, const cv::Mat& response)
{
    cv::Mat hdr;
    cv::createMergeDebevec()->process(images, hdr, times, response);
    return hdr;
}

cv::Mat toolkit::exposure::hdr::toneMap(const cv::Mat& hdr)
{
    cv::Mat toneMapped;
    createTonemapDurand(
        kToneGamma, kToneContrast, kToneSaturation, kToneSigmaSpace, kToneSigmaColor)
        ->process(hdr, toneMapped);
    return toneMapped;
}

cv::Mat toolkit::exposure::hdr::fuse(const std::vector<cv::Mat>& images)
{
    cv::Mat fusion;
    cv::createMergeMertens(kMertensContrast, kMertensSaturation, kMertensExposure)
        ->process(images, fusion);
    return fusion;
}

void toolkit::exposure::hdr::writeResponseColumns(
    const cv::Mat& response, const char* r, const char* g, const char* b, const char* values)
{
    std::ofstream rFile(r), gFile(g), bFile(b), rows(values);
    for (int j = 0; j < response.rows; ++j) {
        const cv::Vec3f& v = response.at<cv::Vec3f>(j, 0);
        rows << j << '\n';
        rFile << v[2] << '\n';
        gFile << v[1] << '\n';
        bFile << v[0] << '\n';
    }
}

void toolkit::exposure::hdr::writeOutputs(
    const std::string& name, const cv::Mat& hdr, const cv::Mat& toneMapped, const cv::Mat& fusion)
{
    const std::string hdrName = name + ".hdr";
    const std::string toneName = name + ".jpg";
    const std::string fusionName = name + "fusion.jpg";
    toolkit::common::progress() << hdrName << " " << toneName << std::endl;
    common::writeImage(hdrName, hdr);
    common::writeImage(toneName, times255(toneMapped));
    common::writeImage(fusionName, times255(fusion));
}

cv::Mat toolkit::exposure::hdr::times255(const cv::Mat& img)
{
    return img * 255.0;
}
