// Internal to toolkit/common. OpenCV's image codecs, reached through the
// toolkit's codec module (libtoolkit-opencv-codecs.so, CodecsModule.h),
// which is loaded the first time a codec is needed. A program that reads only
// the files the toolkit decodes itself and writes nothing through OpenCV
// never loads OpenCV's codec library, which brings in more than a hundred
// others and adds about a hundred milliseconds to every start.
//
// The module is looked for, in this order: beside the program or shared
// object that holds the library (the build tree, a Python module installed
// with its module beside it), in the library folder of the installation the
// program is in (bin/../lib/toolkit), and in the library folder of the
// toolkit's configured installation prefix.
#pragma once

#include <opencv2/core.hpp>

#include <string>
#include <vector>

namespace toolkit {
namespace common {
namespace codecs {

// The module's file name.
constexpr const char* kModuleName = "libtoolkit-opencv-codecs.so";

// cv::imdecode(bytes, flags). Raises what cv::imdecode raises
// (cv::Exception with OpenCV's code and message, std::bad_alloc), and
// cv::Exception (cv::Error::StsError) naming the module when it cannot be
// loaded.
cv::Mat imdecode(const std::vector<uchar>& bytes, int flags);

// cv::imencode(extension, img, encoded) with OpenCV's default settings;
// false when the encoder fails. Raises as imdecode does.
bool imencode(const std::string& extension, const cv::Mat& img, std::vector<uchar>& encoded);

} // namespace codecs
} // namespace common
} // namespace toolkit
