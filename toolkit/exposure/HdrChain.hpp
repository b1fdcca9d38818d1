// The high-dynamic-range chain shared by the camera-response recovery and the
// exposure-stack drivers: Debevec calibration and merge, Durand tone mapping,
// Mertens fusion and the files they leave. Internal to toolkit/exposure.
#pragma once

#include <opencv2/core.hpp>

#include <string>
#include <vector>

namespace toolkit {
namespace exposure {
namespace hdr {

// The camera response (256 x 1, CV_32FC3) of an 8-bit exposure list with its
// exposure times in seconds: Debevec calibration, 70 samples on a regular
// grid, smoothness 10.
cv::Mat calibrateResponse(const std::vector<cv::Mat>& images, const std::vector<float>& times);

// The Debevec merge of the list into a float HDR image (CV_32FC3).
cv::Mat mergeHdr(
    const std::vector<cv::Mat>& images, const std::vector<float>& times, const cv::Mat& response);

// Durand tone mapping with gamma 2.2, contrast 4, saturation 1 and both
// sigmas 2; the result is nominally in [0, 1].
cv::Mat toneMap(const cv::Mat& hdr);

// Mertens fusion with contrast and saturation weights, exposedness off.
cv::Mat fuse(const std::vector<cv::Mat>& images);

// Writes the response curve as one value per line: R, G and B (channels 2,
// 1, 0) into the three named files and the row numbers 0..255 into `values`.
void writeResponseColumns(
    const cv::Mat& response, const char* r, const char* g, const char* b, const char* values);

// Prints "NAME.hdr NAME.jpg" and writes the HDR image to NAME.hdr, the tone
// mapped image x 255 to NAME.jpg and the fusion x 255 to NAMEfusion.jpg.
void writeOutputs(
    const std::string& name, const cv::Mat& hdr, const cv::Mat& toneMapped, const cv::Mat& fusion);

// [0, 1] data as the 8 bits a JPEG file takes: every value multiplied by 255
// in float, rounded and saturated (CV_8U with the image's channels).
cv::Mat times255(const cv::Mat& img);

// A float exposure on [0, 1] as the calibration and merge take it: multiplied
// by 255 in place, then converted to 8 bits (rounded, saturated).
cv::Mat toEightBit(cv::Mat& exposure);

// The time of exposure i of an exposure-time table: 1 / table[i + 1] in float.
float exposureTime(const float* table, int i);

} // namespace hdr
} // namespace exposure
} // namespace toolkit
