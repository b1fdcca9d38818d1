// Internal to toolkit/common: the image reader's decoders. Each decodes one
// format into 8-bit B, G, R in sRGB, converting through the file's colour
// profile as the options say, fills the facts, shows every row to the
// options' observer, and never prints or throws.
#pragma once

#include "toolkit/common/ColourProfiles.hpp"
#include "toolkit/common/ImageReader.hpp"

#include <opencv2/core.hpp>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace toolkit {
namespace common {
namespace decoders {

// The transform for an embedded profile of pixels in `layout`, or null when
// the pixels are to stay as they are (no profile, an sRGB one, profiles
// ignored, or a profile that cannot be used); records the decision in
// `facts`.
std::shared_ptr<const profiles::Transform> chooseTransform(const std::vector<uchar>& icc,
    profiles::PixelLayout layout, const ReadOptions& options, ImageFacts& facts);

// Whether an image of `width` x `height` pixels is within maxImagePixels();
// when it is not, `error` gives its size and the limit. Each decoder asks
// with the size its own header reading found, before it allocates for the
// image.
bool withinPixelLimit(std::uint64_t width, std::uint64_t height, std::string& error);

// The whole image's rows shown to the observer, when there is one.
void showRows(const cv::Mat& img, const ReadOptions& options);

// Turns an image as an Exif orientation tag (1 to 8) says, as cv::imread
// does (see docs/opencv-internals.md); other values leave it as it is.
void applyOrientation(cv::Mat& img, int orientation);

// The orientation in an Exif block read as OpenCV reads it: `data` holds the
// TIFF structure after its first `skip` bytes (6, "Exif\0\0", in a JPEG APP1
// segment; none in a PNG eXIf chunk). 0 when none is found.
int exifOrientation(const uchar* data, std::size_t size, std::size_t skip);

// JPEG (every kind libjpeg decodes) and PNG (every kind libpng decodes), from
// the start of `file`. An error that libjpeg or libpng reports while short of
// memory is "out of memory".
cv::Mat decodeJpeg(
    std::FILE* file, std::string& error, ImageFacts& facts, const ReadOptions& options);
cv::Mat decodePng(
    std::FILE* file, std::string& error, ImageFacts& facts, const ReadOptions& options);

// HEIC and AVIF through libheif, from the file's bytes.
cv::Mat decodeHeif(const std::vector<uchar>& file, std::string& error, ImageFacts& facts,
    const ReadOptions& options);

} // namespace decoders
} // namespace common
} // namespace toolkit
