// Test images with what real photographs carry: colour profiles made with
// Little CMS, JPEG and PNG files of every layout written with libjpeg and
// libpng. Shared by the tests and the benchmarks; a file that cannot be
// written throws std::runtime_error.
#pragma once

#include <opencv2/core.hpp>

#include <lcms2.h>

#include <string>
#include <vector>

namespace testimages {

// The bytes of a Little CMS profile, described as `description`; closes it.
std::vector<uchar> saveProfile(cmsHPROFILE profile, const char* description);

// Display P3: DCI-P3 primaries, the D65 white and sRGB's curve, described as
// "Display P3 (test)".
std::vector<uchar> displayP3Profile();

// An 8-bit B, G, R sRGB image converted to Display P3 values of `depth`
// (CV_8U or CV_16U) by Little CMS (relative colorimetric intent): what a
// phone or an editor stores for the same colours.
cv::Mat toDisplayP3(const cv::Mat& bgr, int depth = CV_8U);

// A TIFF file of 2 x 2 R, G, B pixels of 32-bit floating point.
std::vector<uchar> floatTiff();

// JPEG written with libjpeg: B, G, R rows, grey rows, or C, M, Y, K rows as
// they are to be stored, with an ICC profile.
struct JpegOptions {
    bool cmyk = false;
    bool grey = false;
    bool arithmetic = false;
    std::vector<uchar> icc;
};
void writeJpeg(const std::string& path, const cv::Mat& img, const JpegOptions& options);

// PNG written with libpng from a CV_8U or CV_16U image of 1, 2 (grey,
// alpha), 3 (B, G, R) or 4 channels, with a profile, interlacing or a
// transparent colour.
struct PngOptions {
    std::vector<uchar> icc;
    bool interlaced = false;
    int greyDepth = 0; // 1, 2 or 4: a low-depth grey image
    bool transparentBlack = false; // a tRNS chunk making black transparent
    std::vector<uchar> exif; // an eXIf chunk: a TIFF structure
};
void writePngWith(const std::string& path, const cv::Mat& img, const PngOptions& options);

} // namespace testimages
