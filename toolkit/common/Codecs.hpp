// OpenCV's image codecs, loaded when first needed. A program that reads only
// the files the toolkit decodes itself (common JPEG photographs) and writes
// only what it encodes itself never loads them: OpenCV's codec library brings
// in about a hundred and thirty others, which take tens of milliseconds to
// load and relocate at every start.
#pragma once

#include <opencv2/core.hpp>

#include <string>
#include <vector>

namespace toolkit {
namespace common {
namespace codecs {

// cv::imread(path, flags), from OpenCV's codec library.
cv::Mat imread(const std::string& path, int flags);

// cv::imdecode(bytes, flags), from OpenCV's codec library. (A decoder that
// reads only files, as Sun raster's does, is given a temporary copy of the
// bytes by OpenCV.)
cv::Mat imdecode(const std::vector<uchar>& bytes, int flags);

// cv::imencode(ext, img, buffer, params), from OpenCV's codec library.
bool imencode(const std::string& ext, const cv::Mat& img, std::vector<uchar>& buffer,
    const std::vector<int>& params = {});

// Loads the codec library and fills its list of decoders, which it otherwise
// fills on its first use; safe to call from any thread. Every function here
// calls it. Raises cv::Exception (cv::Error::StsError) naming the library
// when it cannot be loaded.
void load();

} // namespace codecs
} // namespace common
} // namespace toolkit
