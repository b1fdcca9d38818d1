#include "tests/support/TaggedImages.hpp"

#include <jpeglib.h>
#include <png.h>

#include <cstdio>
#include <stdexcept>

std::vector<uchar> testimages::saveProfile(cmsHPROFILE profile, const char* description)
{
    cmsMLU* text = cmsMLUalloc(nullptr, 1);
    cmsMLUsetASCII(text, "en", "US", description);
    cmsWriteTag(profile, cmsSigProfileDescriptionTag, text);
    cmsMLUfree(text);
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(profile, nullptr, &size);
    std::vector<uchar> bytes(size);
    cmsSaveProfileToMem(profile, bytes.data(), &size);
    cmsCloseProfile(profile);
    return bytes;
}

// Display P3: DCI-P3 primaries, the D65 white and sRGB's curve.
std::vector<uchar> testimages::displayP3Profile()
{
    const cmsCIExyY white { 0.3127, 0.3290, 1.0 };
    const cmsCIExyYTRIPLE primaries { { 0.680, 0.320, 1.0 }, { 0.265, 0.690, 1.0 },
        { 0.150, 0.060, 1.0 } };
    const double srgbCurve[5] = { 2.4, 1.0 / 1.055, 0.055 / 1.055, 1.0 / 12.92, 0.04045 };
    cmsToneCurve* curve = cmsBuildParametricToneCurve(nullptr, 4, srgbCurve);
    cmsToneCurve* curves[3] = { curve, curve, curve };
    cmsHPROFILE profile = cmsCreateRGBProfile(&white, &primaries, curves);
    cmsFreeToneCurve(curve);
    return saveProfile(profile, "Display P3 (test)");
}

// A TIFF file of 2 x 2 R, G, B pixels of 32-bit floating point.
std::vector<uchar> testimages::floatTiff()
{
    std::vector<uchar> bytes;
    auto add16 = [&](unsigned v) {
        bytes.push_back(uchar(v & 0xff));
        bytes.push_back(uchar((v >> 8) & 0xff));
    };
    add16('I' | ('I' << 8));
    add16(42);
    add16(8);
    add16(0);
    auto add32 = [&](unsigned v) {
        add16(v & 0xffff);
        add16(v >> 16);
    };
    const unsigned entries = 11, data = 8 + 2 + entries * 12 + 4;
    add16(entries);
    const unsigned fields[entries][4]
        = { { 256, 3, 1, 2 }, { 257, 3, 1, 2 }, { 258, 3, 3, data + 48 }, { 259, 3, 1, 1 },
              { 262, 3, 1, 2 }, { 273, 4, 1, data }, { 277, 3, 1, 3 }, { 278, 3, 1, 2 },
              { 279, 4, 1, 48 }, { 284, 3, 1, 1 }, { 339, 3, 3, data + 54 } };
    for (const auto& f : fields) {
        add16(f[0]);
        add16(f[1]);
        add32(f[2]);
        add32(f[3]);
    }
    add32(0);
    bytes.resize(bytes.size() + 48, 0); // the twelve samples, all 0.0f
    for (unsigned value : { 32, 32, 32, 3, 3, 3 })
        add16(value);
    return bytes;
}

cv::Mat testimages::toDisplayP3(const cv::Mat& bgr, int depth)
{
    const std::vector<uchar> p3 = displayP3Profile();
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    cmsHPROFILE target = cmsOpenProfileFromMem(p3.data(), cmsUInt32Number(p3.size()));
    cmsHTRANSFORM transform = cmsCreateTransform(srgb, TYPE_BGR_8, target,
        depth == CV_16U ? TYPE_BGR_16 : TYPE_BGR_8, INTENT_RELATIVE_COLORIMETRIC, 0);
    cv::Mat out(bgr.size(), CV_MAKETYPE(depth, 3));
    for (int i = 0; i < bgr.rows; ++i)
        cmsDoTransform(transform, bgr.ptr<uchar>(i), out.ptr<uchar>(i), cmsUInt32Number(bgr.cols));
    cmsDeleteTransform(transform);
    cmsCloseProfile(target);
    cmsCloseProfile(srgb);
    return out;
}

void testimages::writeJpeg(const std::string& path, const cv::Mat& img, const JpegOptions& options)
{
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr)
        throw std::runtime_error("cannot write " + path);
    jpeg_compress_struct cinfo {};
    jpeg_error_mgr errors {};
    cinfo.err = jpeg_std_error(&errors);
    jpeg_create_compress(&cinfo);
    jpeg_stdio_dest(&cinfo, file);
    cinfo.image_width = JDIMENSION(img.cols);
    cinfo.image_height = JDIMENSION(img.rows);
    cinfo.input_components = img.channels();
    cinfo.in_color_space = options.cmyk ? JCS_CMYK : options.grey ? JCS_GRAYSCALE : JCS_EXT_BGR;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, 95, TRUE);
    cinfo.arith_code = options.arithmetic ? TRUE : FALSE;
    jpeg_start_compress(&cinfo, TRUE);
    if (!options.icc.empty())
        jpeg_write_icc_profile(&cinfo, options.icc.data(), unsigned(options.icc.size()));
    for (int i = 0; i < img.rows; ++i) {
        JSAMPROW row = const_cast<JSAMPROW>(img.ptr<uchar>(i));
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    std::fclose(file);
}

void testimages::writePngWith(
    const std::string& path, const cv::Mat& img, const PngOptions& options)
{
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr)
        throw std::runtime_error("cannot write " + path);
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_init_io(png, file);
    const int types[5] = { 0, PNG_COLOR_TYPE_GRAY, PNG_COLOR_TYPE_GRAY_ALPHA, PNG_COLOR_TYPE_RGB,
        PNG_COLOR_TYPE_RGB_ALPHA };
    const int depth = options.greyDepth > 0 ? options.greyDepth : img.depth() == CV_16U ? 16 : 8;
    png_set_IHDR(png, info, png_uint_32(img.cols), png_uint_32(img.rows), depth,
        types[img.channels()], options.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
        PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (!options.icc.empty())
        png_set_iCCP(png, info, "test", 0, options.icc.data(), png_uint_32(options.icc.size()));
    if (!options.exif.empty())
        png_set_eXIf_1(png, info, png_uint_32(options.exif.size()),
            const_cast<png_bytep>(options.exif.data()));
    if (options.transparentBlack) {
        png_color_16 black {};
        png_set_tRNS(png, info, nullptr, 0, &black);
    }
    png_write_info(png, info);
    if (img.channels() >= 3)
        png_set_bgr(png);
    if (depth == 16)
        png_set_swap(png);
    if (options.greyDepth > 0)
        png_set_packing(png);
    const int passes = png_set_interlace_handling(png);
    for (int pass = 0; pass < passes; ++pass)
        for (int i = 0; i < img.rows; ++i)
            png_write_row(png, img.ptr<png_byte>(i));
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    std::fclose(file);
}
