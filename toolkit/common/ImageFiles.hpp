// Writing images whole (and, through ImageReader.hpp, reading photographs).
#pragma once

#include "toolkit/common/ImageReader.hpp"

#include <opencv2/core.hpp>

#include <string>
#include <vector>

namespace toolkit {
namespace common {

// Writes an image with cv::imwrite's encoding without ever throwing: an
// empty image, an unknown extension or an encoder failure give false. The
// file is written under a temporary name in its folder and renamed over
// `name` when complete, so the old file is replaced whole and concurrent
// writers leave one writer's whole file; nothing is left behind on failure.
bool writeImage(const std::string& name, const cv::Mat& img);
// The same, with the reason for a failure in `error`, and the encoder's
// parameters as cv::imwrite takes them (cv::IMWRITE_JPEG_QUALITY and its value,
// ...); none gives cv::imwrite's defaults.
bool writeImage(const std::string& name, const cv::Mat& img, std::string& error,
    const std::vector<int>& params = {});

} // namespace common
} // namespace toolkit
