#include "toolkit/exposure/HdrChain.hpp"
#include "toolkit/common/DebugOutput.hpp"

#include "toolkit/common/CommonFunctions.hpp"
#include "toolkit/exposure/ToneMapping.hpp"

#include <opencv2/photo.hpp>

#include <exception>
#include <fstream>
#include <iostream>
#include <thread>

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

// OpenCV's Debevec calibration of the list as it is.
cv::Mat calibrateChannel(const std::vector<cv::Mat>& images, const std::vector<float>& times)
{
    cv::Mat response;
    cv::createCalibrateDebevec(kDebevecSamples, kDebevecLambda, kDebevecRandomSampling)
        ->process(images, response, times);
    return response;
}

} // namespace

cv::Mat toolkit::exposure::hdr::calibrateResponse(
    const std::vector<cv::Mat>& images, const std::vector<float>& times)
{
    // Debevec's system is set up and solved channel by channel, from that
    // channel's values alone: each channel calibrated on its own gives the
    // bits of the joint call (see docs/opencv-internals.md). The solves take
    // most of the time, so the channels run at once, each on its own thread.
    // The solve is LAPACK's SVD through OpenCV, with whichever BLAS the
    // system provides; the response differs from one BLAS to another by a
    // fraction of a percent.
    const int channels = images.empty() ? 0 : images.front().channels();
    if (channels <= 1 || images.size() != times.size())
        return calibrateChannel(images, times);
    std::vector<std::vector<cv::Mat>> planes(channels);
    for (const cv::Mat& image : images) {
        if (image.channels() != channels)
            return calibrateChannel(images, times);
        std::vector<cv::Mat> split;
        cv::split(image, split);
        for (int c = 0; c < channels; ++c)
            planes[c].push_back(split[c]);
    }

    std::vector<cv::Mat> responses(channels);
    std::vector<std::exception_ptr> failures(channels);
    auto calibrate = [&](int c) {
        try {
            responses[c] = calibrateChannel(planes[c], times);
        } catch (...) {
            failures[c] = std::current_exception();
        }
    };
    std::vector<std::thread> others;
    for (int c = 1; c < channels; ++c)
        others.emplace_back(calibrate, c);
    calibrate(0);
    for (std::thread& t : others)
        t.join();
    for (const std::exception_ptr& failure : failures) {
        if (failure)
            std::rethrow_exception(failure);
    }
    cv::Mat response;
    cv::merge(responses, response);
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
    // One conversion gives the bytes that the float product, converted by the
    // JPEG writer, would give (checked for every float value; see
    // docs/opencv-internals.md).
    cv::Mat bytes;
    img.convertTo(bytes, CV_8U, 255.0);
    return bytes;
}

cv::Mat toolkit::exposure::hdr::toEightBit(cv::Mat& exposure)
{
    cv::Mat image8;
    exposure *= 255.0;
    exposure.convertTo(image8, CV_8U, 1.0, 0.0);
    return image8;
}

float toolkit::exposure::hdr::exposureTime(const float* table, int i)
{
    return 1.0f / table[i + 1];
}
