// Times the image reader on a 12-megapixel photograph stored four ways: an
// untagged JPEG (against cv::imread of the same file), the same colours as
// Display P3 values in a JPEG carrying that profile, and a 16-bit PNG with
// that profile (against reading it with the profile ignored). Best of
// --repeats runs each. The cost of converting through a profile is the tagged
// read's time over the untagged read's.
//
// Usage: bench_image_reader [--megapixels N] [--repeats K]

#include "toolkit/common/ImageReader.hpp"

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <jpeglib.h>
#include <lcms2.h>
#include <png.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include <unistd.h>

namespace fs = std::filesystem;
namespace common = toolkit::common;

namespace {

double bestOf(int repeats, const std::function<void()>& run)
{
    double best = 1e30;
    for (int k = 0; k < repeats; ++k) {
        const auto start = std::chrono::steady_clock::now();
        run();
        best = std::min(
            best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    return best;
}

std::vector<uchar> displayP3()
{
    const cmsCIExyY white { 0.3127, 0.3290, 1.0 };
    const cmsCIExyYTRIPLE primaries { { 0.680, 0.320, 1.0 }, { 0.265, 0.690, 1.0 },
        { 0.150, 0.060, 1.0 } };
    const double srgbCurve[5] = { 2.4, 1.0 / 1.055, 0.055 / 1.055, 1.0 / 12.92, 0.04045 };
    cmsToneCurve* curve = cmsBuildParametricToneCurve(nullptr, 4, srgbCurve);
    cmsToneCurve* curves[3] = { curve, curve, curve };
    cmsHPROFILE profile = cmsCreateRGBProfile(&white, &primaries, curves);
    cmsFreeToneCurve(curve);
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(profile, nullptr, &size);
    std::vector<uchar> bytes(size);
    cmsSaveProfileToMem(profile, bytes.data(), &size);
    cmsCloseProfile(profile);
    return bytes;
}

// The photograph's colours as Display P3 values, 8 or 16 bits.
cv::Mat toProfile(const cv::Mat& bgr, const std::vector<uchar>& icc, bool wide)
{
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    cmsHPROFILE target = cmsOpenProfileFromMem(icc.data(), cmsUInt32Number(icc.size()));
    cmsHTRANSFORM transform = cmsCreateTransform(
        srgb, TYPE_BGR_8, target, wide ? TYPE_BGR_16 : TYPE_BGR_8, INTENT_RELATIVE_COLORIMETRIC, 0);
    cv::Mat out(bgr.size(), wide ? CV_16UC3 : CV_8UC3);
    for (int i = 0; i < bgr.rows; ++i)
        cmsDoTransform(transform, bgr.ptr<uchar>(i), out.ptr<uchar>(i), cmsUInt32Number(bgr.cols));
    cmsDeleteTransform(transform);
    cmsCloseProfile(target);
    cmsCloseProfile(srgb);
    return out;
}

void writeTaggedJpeg(const std::string& path, const cv::Mat& img, const std::vector<uchar>& icc)
{
    std::FILE* file = std::fopen(path.c_str(), "wb");
    jpeg_compress_struct cinfo {};
    jpeg_error_mgr errors {};
    cinfo.err = jpeg_std_error(&errors);
    jpeg_create_compress(&cinfo);
    jpeg_stdio_dest(&cinfo, file);
    cinfo.image_width = JDIMENSION(img.cols);
    cinfo.image_height = JDIMENSION(img.rows);
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_EXT_BGR;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, 92, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    jpeg_write_icc_profile(&cinfo, icc.data(), unsigned(icc.size()));
    for (int i = 0; i < img.rows; ++i) {
        JSAMPROW row = const_cast<JSAMPROW>(img.ptr<uchar>(i));
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    std::fclose(file);
}

void writeTaggedPng16(const std::string& path, const cv::Mat& img, const std::vector<uchar>& icc)
{
    std::FILE* file = std::fopen(path.c_str(), "wb");
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_init_io(png, file);
    png_set_compression_level(png, 1);
    png_set_IHDR(png, info, png_uint_32(img.cols), png_uint_32(img.rows), 16, PNG_COLOR_TYPE_RGB,
        PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_iCCP(png, info, "Display P3", 0, icc.data(), png_uint_32(icc.size()));
    png_write_info(png, info);
    png_set_bgr(png);
    png_set_swap(png);
    for (int i = 0; i < img.rows; ++i)
        png_write_row(png, img.ptr<png_byte>(i));
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    std::fclose(file);
}

cv::Mat read(const std::string& path, common::ProfileHandling profiles)
{
    std::string error;
    common::ReadOptions options;
    options.profiles = profiles;
    cv::Mat img = common::readPhotograph(path, error, nullptr, options);
    if (img.empty()) {
        std::cerr << "bench: cannot read " << path << ": " << error << std::endl;
        std::exit(1);
    }
    return img;
}

} // namespace

int main(int argc, char** argv)
{
    double megapixels = 12;
    int repeats = 5;
    for (int k = 1; k + 1 < argc; k += 2) {
        if (std::strcmp(argv[k], "--megapixels") == 0)
            megapixels = std::atof(argv[k + 1]);
        else if (std::strcmp(argv[k], "--repeats") == 0)
            repeats = std::max(1, std::atoi(argv[k + 1]));
    }
    const int width = int(std::lround(std::sqrt(megapixels * 1e6 * 4.0 / 3.0)));
    const int height = int(std::lround(width * 3.0 / 4.0));

    const fs::path dir = fs::temp_directory_path() / ("bench-reader-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    cv::Mat photo;
    cv::resize(cv::imread(SAMPLES_DIR "/coffee.png"), photo, cv::Size(width, height), 0, 0,
        cv::INTER_CUBIC);
    cv::Mat noise(photo.size(), CV_8UC3);
    cv::randu(noise, 0, 6);
    photo += noise;
    const std::vector<uchar> p3 = displayP3();
    const std::string plain = (dir / "plain.jpg").string();
    const std::string tagged = (dir / "p3.jpg").string();
    const std::string wide = (dir / "p3-16.png").string();
    cv::imwrite(plain, photo, { cv::IMWRITE_JPEG_QUALITY, 92 });
    writeTaggedJpeg(tagged, toProfile(photo, p3, false), p3);
    writeTaggedPng16(wide, toProfile(photo, p3, true), p3);

    const double imread = bestOf(repeats, [&] { cv::imread(plain, cv::IMREAD_COLOR); });
    const double untagged = bestOf(repeats, [&] { read(plain, common::ProfileHandling::Convert); });
    const double asStored = bestOf(repeats, [&] { read(tagged, common::ProfileHandling::Ignore); });
    const double converted
        = bestOf(repeats, [&] { read(tagged, common::ProfileHandling::Convert); });
    const double wideStored = bestOf(repeats, [&] { read(wide, common::ProfileHandling::Ignore); });
    const double wideConverted
        = bestOf(repeats, [&] { read(wide, common::ProfileHandling::Convert); });

    std::printf("image reader, %d x %d pixels, best of %d\n", width, height, repeats);
    std::printf("  untagged JPEG: cv::imread %.3f s, the reader %.3f s (%.2f)\n", imread, untagged,
        untagged / imread);
    std::printf("  Display P3 JPEG: as stored %.3f s, converted %.3f s (+%.0f%%)\n", asStored,
        converted, 100.0 * (converted / asStored - 1.0));
    std::printf("  Display P3 16-bit PNG: as stored %.3f s, converted %.3f s (+%.0f%%)\n",
        wideStored, wideConverted, 100.0 * (wideConverted / wideStored - 1.0));
    fs::remove_all(dir);
    return 0;
}
