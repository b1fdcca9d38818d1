// The image reader on every kind of file it meets in real photographs:
// cv::imread's pixels for untagged files of each layout, Little CMS's own
// conversion for tagged ones, HEIC and AVIF, damage and unsupported formats
// refused by name. Files are made here, with libjpeg, libpng, Little CMS and
// libheif's encoder.
#include "toolkit/common/ImageReader.hpp"

#include "tests/support/TaggedImages.hpp"
#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <jpeglib.h>
#include <lcms2.h>
#include <libheif/heif.h>
#include <png.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <tuple>

#include <sys/inotify.h>
#include <unistd.h>
#include <zlib.h>

namespace common = toolkit::common;
using namespace testimages;

namespace {

// Little CMS's tools and ours may round a value differently by one.
constexpr double kOneCodeValue = 1.0;
// A result that Little CMS's JPEG tool encodes again, at quality 100, may
// move by one more.
constexpr double kReencoded = 2.0;

std::vector<uchar> fileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uchar>(std::istreambuf_iterator<char>(in), {});
}

void writeBytes(const std::string& path, const std::vector<uchar>& bytes)
{
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// sRGB under another name.
std::vector<uchar> renamedSrgbProfile()
{
    return saveProfile(cmsCreate_sRGBProfile(), "Camera RGB");
}

// A CMYK printer profile of a simple ink model: R = (1 - C)(1 - K) and so on
// as sRGB values, through a 17-point table to L*a*b*.
std::vector<uchar> simpleCmykProfile()
{
    struct Cargo {
        cmsHTRANSFORM toLab;
    } cargo;
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    cmsHPROFILE lab = cmsCreateLab4Profile(nullptr);
    cargo.toLab = cmsCreateTransform(
        srgb, TYPE_RGB_DBL, lab, TYPE_Lab_DBL, INTENT_RELATIVE_COLORIMETRIC, 0);
    cmsCloseProfile(srgb);
    cmsCloseProfile(lab);

    cmsHPROFILE profile = cmsCreateProfilePlaceholder(nullptr);
    cmsSetProfileVersion(profile, 2.1);
    cmsSetDeviceClass(profile, cmsSigOutputClass);
    cmsSetColorSpace(profile, cmsSigCmykData);
    cmsSetPCS(profile, cmsSigLabData);
    cmsWriteTag(profile, cmsSigMediaWhitePointTag, cmsD50_XYZ());
    cmsPipeline* lut = cmsPipelineAlloc(nullptr, 4, 3);
    cmsStage* table = cmsStageAllocCLut16bit(nullptr, 17, 4, 3, nullptr);
    cmsStageSampleCLut16bit(
        table,
        [](const cmsUInt16Number in[], cmsUInt16Number out[], void* data) -> cmsInt32Number {
            const double k = in[3] / 65535.0;
            double rgb[3];
            for (int c = 0; c < 3; ++c)
                rgb[c] = (1.0 - in[c] / 65535.0) * (1.0 - k);
            cmsCIELab lab;
            cmsDoTransform(static_cast<Cargo*>(data)->toLab, rgb, &lab, 1);
            cmsFloat2LabEncoded(out, &lab);
            return TRUE;
        },
        &cargo, 0);
    cmsPipelineInsertStage(lut, cmsAT_BEGIN, table);
    cmsWriteTag(profile, cmsSigAToB0Tag, lut);
    cmsWriteTag(profile, cmsSigAToB1Tag, lut);
    cmsPipelineFree(lut);
    cmsDeleteTransform(cargo.toLab);
    return saveProfile(profile, "Simple CMYK (test)");
}

// The pixels of `rgb` (CV_8UC3 or CV_16UC3, B, G, R) converted from a profile
// to 8-bit sRGB by Little CMS's own TIFF tool, at relative colorimetric intent
// and by its exact arithmetic (no precalculated table, whose interpolation
// strays by several code values at the edge of sRGB's gamut).
cv::Mat convertedByTificc(const cv::Mat& img, const std::vector<uchar>& icc)
{
    writeBytes("tool.icc", icc);
    EXPECT_TRUE(cv::imwrite("tool-in.tif", img));
    EXPECT_EQ(
        std::system("tificc -t1 -c0 -w8 -itool.icc tool-in.tif tool-out.tif > /dev/null 2>&1"), 0);
    return cv::imread("tool-out.tif", cv::IMREAD_COLOR);
}

// A HEIC or AVIF file of a B, G, R image, encoded losslessly in R, G, B
// (no Y'CbCr matrix), with colour information as code points (primaries,
// transfer) or an ICC profile.
void writeHeif(const std::string& path, const cv::Mat& bgr, heif_compression_format format,
    int primaries, int transfer, const std::vector<uchar>& icc = {})
{
    heif_context* context = heif_context_alloc();
    heif_encoder* encoder = nullptr;
    ASSERT_EQ(heif_context_get_encoder_for_format(context, format, &encoder).code, heif_error_Ok);
    heif_encoder_set_lossless(encoder, 1);
    heif_encoder_set_parameter_string(encoder, "chroma", "444");
    heif_image* image = nullptr;
    heif_image_create(bgr.cols, bgr.rows, heif_colorspace_RGB, heif_chroma_interleaved_RGB, &image);
    heif_image_add_plane(image, heif_channel_interleaved, bgr.cols, bgr.rows, 8);
    int stride = 0;
    uint8_t* plane = heif_image_get_plane(image, heif_channel_interleaved, &stride);
    for (int i = 0; i < bgr.rows; ++i)
        for (int j = 0; j < bgr.cols; ++j)
            for (int c = 0; c < 3; ++c)
                plane[i * stride + 3 * j + c] = bgr.at<cv::Vec3b>(i, j)[2 - c];
    heif_color_profile_nclx* nclx = heif_nclx_color_profile_alloc();
    heif_nclx_color_profile_set_color_primaries(nclx, uint16_t(primaries));
    heif_nclx_color_profile_set_transfer_characteristics(nclx, uint16_t(transfer));
    heif_nclx_color_profile_set_matrix_coefficients(nclx, heif_matrix_coefficients_RGB_GBR);
    nclx->full_range_flag = 1;
    heif_encoding_options* options = heif_encoding_options_alloc();
    if (icc.empty())
        options->output_nclx_profile = nclx;
    else
        heif_image_set_raw_color_profile(image, "prof", icc.data(), icc.size());
    heif_image_set_nclx_color_profile(image, nclx);
    heif_image_handle* handle = nullptr;
    ASSERT_EQ(
        heif_context_encode_image(context, image, encoder, options, &handle).code, heif_error_Ok);
    ASSERT_EQ(heif_context_write_to_file(context, path.c_str()).code, heif_error_Ok);
    heif_image_handle_release(handle);
    heif_encoding_options_free(options);
    heif_nclx_color_profile_free(nclx);
    heif_image_release(image);
    heif_encoder_release(encoder);
    heif_context_free(context);
}

cv::Mat read(const std::string& path, common::ImageFacts* facts = nullptr,
    common::ProfileHandling profiles = common::ProfileHandling::Convert)
{
    std::string error;
    common::ReadOptions options;
    options.profiles = profiles;
    cv::Mat img = common::readPhotograph(path, error, facts, options);
    EXPECT_EQ(error, "") << path;
    return img;
}

void expectImreadPixels(const std::string& path)
{
    const cv::Mat img = read(path);
    const cv::Mat reference = cv::imread(path, cv::IMREAD_COLOR);
    ASSERT_FALSE(reference.empty()) << path;
    ASSERT_EQ(img.size(), reference.size()) << path;
    EXPECT_EQ(cv::norm(img, reference, cv::NORM_INF), 0.0) << path;
}

std::string refusal(const std::string& path)
{
    std::string error;
    EXPECT_TRUE(common::readPhotograph(path, error).empty()) << path;
    return error;
}

cv::Mat inverted(const cv::Mat& img)
{
    cv::Mat out;
    cv::bitwise_not(img, out);
    return out;
}

// A C, M, Y, K image from a B, G, R one: no black, each ink the complement
// of its colour.
cv::Mat cmykOf(const cv::Mat& bgr)
{
    cv::Mat cmyk(bgr.size(), CV_8UC4);
    for (int i = 0; i < bgr.rows; ++i)
        for (int j = 0; j < bgr.cols; ++j) {
            const cv::Vec3b p = bgr.at<cv::Vec3b>(i, j);
            cmyk.at<cv::Vec4b>(i, j)
                = { uchar(255 - p[2]), uchar(255 - p[1]), uchar(255 - p[0]), 0 };
        }
    return cmyk;
}

} // namespace

TEST(ImageReader, EveryUntaggedLayoutGivesImreadPixels)
{
    testsupport::ScopedWorkDir dir;
    const cv::Mat photo = testsupport::makePhoto(41, 57, 21);
    cv::Mat grey, photo16, bgra, greyAlpha;
    cv::cvtColor(photo, grey, cv::COLOR_BGR2GRAY);
    photo.convertTo(photo16, CV_16U, 257.0, 3.0);
    cv::cvtColor(photo, bgra, cv::COLOR_BGR2BGRA);
    for (int i = 0; i < bgra.rows; ++i)
        bgra.at<cv::Vec4b>(i, i % bgra.cols)[3] = uchar(i * 5);
    cv::Mat planes[2] = { grey, grey / 2 };
    cv::merge(planes, 2, greyAlpha);
    cv::Mat bgra16;
    bgra.convertTo(bgra16, CV_16U, 257.0);

    writePngWith("interlaced.png", photo, { {}, true, 0, false, {} });
    writePngWith("interlaced16.png", photo16, { {}, true, 0, false, {} });
    writePngWith("rgba16.png", bgra16, {});
    writePngWith("grey-alpha.png", greyAlpha, {});
    writePngWith("grey-transparent.png", grey, { {}, false, 0, true, {} });
    writePngWith("grey-2bit.png", grey / 64, { {}, false, 2, false, {} });
    writePngWith("grey-4bit-interlaced.png", grey / 16, { {}, true, 4, false, {} });
    writeJpeg("arithmetic.jpg", photo, { false, false, true, {} });
    writeJpeg("cmyk.jpg", inverted(cmykOf(photo)), { true, false, false, {} });
    writeJpeg("grey-libjpeg.jpg", grey, { false, true, false, {} });
    for (const char* name : { "interlaced.png", "interlaced16.png", "rgba16.png", "grey-alpha.png",
             "grey-transparent.png", "grey-2bit.png", "grey-4bit-interlaced.png", "arithmetic.jpg",
             "cmyk.jpg", "grey-libjpeg.jpg" })
        expectImreadPixels(name);

    common::ImageFacts facts;
    read("rgba16.png", &facts);
    EXPECT_EQ(facts.bitDepth, 16);
    EXPECT_TRUE(facts.alpha);
    EXPECT_NEAR(facts.nonOpaqueShare, double(bgra.rows) / double(bgra.total()), 1e-12);
    EXPECT_NE(facts.reading().find("alpha dropped"), std::string::npos) << facts.reading();
    read("cmyk.jpg", &facts);
    EXPECT_TRUE(facts.cmyk);
    EXPECT_EQ(facts.reading(), "CMYK converted without a profile");
    read("interlaced.png", &facts);
    EXPECT_EQ(facts.reading(), "as stored");
    EXPECT_EQ(facts.format, "PNG");
    EXPECT_EQ(facts.profileAction, common::ProfileAction::None);
}

// An Exif orientation tag turns the image as cv::imread turns it, all eight.
TEST(ImageReader, ExifOrientationsAsImreadAppliesThem)
{
    testsupport::ScopedWorkDir dir;
    const cv::Mat photo = testsupport::makePhoto(19, 31, 22);
    std::vector<uchar> bytes;
    ASSERT_TRUE(cv::imencode(".jpg", photo, bytes));
    for (uchar orientation = 1; orientation <= 8; ++orientation) {
        for (const bool motorola : { false, true }) {
            std::vector<uchar> exif { 0xff, 0xe1, 0x00, 0x22, 'E', 'x', 'i', 'f', 0, 0, 'I', 'I',
                0x2a, 0, 8, 0, 0, 0, 1, 0, 0x12, 0x01, 3, 0, 1, 0, 0, 0, orientation, 0, 0, 0, 0, 0,
                0, 0 };
            if (motorola)
                exif = { 0xff, 0xe1, 0x00, 0x22, 'E', 'x', 'i', 'f', 0, 0, 'M', 'M', 0, 0x2a, 0, 0,
                    0, 8, 0, 1, 0x01, 0x12, 0, 3, 0, 0, 0, 1, 0, orientation, 0, 0, 0, 0, 0, 0 };
            std::vector<uchar> turned = bytes;
            turned.insert(turned.begin() + 2, exif.begin(), exif.end());
            const std::string name
                = "turned" + std::to_string(orientation) + (motorola ? "m" : "i") + ".jpg";
            writeBytes(name, turned);
            expectImreadPixels(name);
            // The same block in a PNG's eXIf chunk, without the "Exif" prefix.
            PngOptions png;
            png.exif.assign(exif.begin() + 10, exif.end());
            writePngWith(name + ".png", photo, png);
            expectImreadPixels(name + ".png");
        }
    }
}

TEST(ImageReader, DamageOfEveryKindIsRefusedWithTheDecodersWords)
{
    testsupport::ScopedWorkDir dir;
    const cv::Mat photo = testsupport::makePhoto(64, 96, 23);
    cv::Mat grey, photo16;
    cv::cvtColor(photo, grey, cv::COLOR_BGR2GRAY);
    photo.convertTo(photo16, CV_16U, 257.0);
    writeJpeg("grey.jpg", grey, { false, true, false, {} });
    writeJpeg("cmyk.jpg", inverted(cmykOf(photo)), { true, false, false, {} });
    writeJpeg("arithmetic.jpg", photo, { false, false, true, {} });
    writePngWith("interlaced.png", photo, { {}, true, 0, false, {} });
    writePngWith("wide.png", photo16, { displayP3Profile(), false, 0, false, {} });
    writeJpeg("tagged.jpg", photo, { false, false, false, displayP3Profile() });
    for (const char* name :
        { "grey.jpg", "cmyk.jpg", "arithmetic.jpg", "interlaced.png", "wide.png", "tagged.jpg" }) {
        const std::vector<uchar> bytes = fileBytes(name);
        const std::string kind = std::string(name).substr(std::string(name).size() - 3) == "jpg"
            ? "damaged JPEG data ("
            : "damaged PNG data (";
        writeBytes(std::string("cut-") + name,
            std::vector<uchar>(bytes.begin(), bytes.begin() + long(bytes.size() * 2 / 3)));
        const std::string error = refusal(std::string("cut-") + name);
        EXPECT_EQ(error.rfind(kind, 0), 0u) << name << ": " << error;
    }
}

// A tagged file gives what Little CMS's own tool makes of the same pixels
// and profile, within one code value, at 8 and 16 bits.
TEST(ImageReader, TaggedFilesAreConvertedAsLittleCmsConvertsThem)
{
    testsupport::ScopedWorkDir dir;
    const std::vector<uchar> p3 = displayP3Profile();
    const cv::Mat photo = testsupport::makePhoto(48, 64, 24);
    cv::Mat photo16;
    photo.convertTo(photo16, CV_16U, 257.0, 40.0);
    writePngWith("p3.png", photo, { p3, false, 0, false, {} });
    writePngWith("p3-16.png", photo16, { p3, false, 0, false, {} });
    writeJpeg("p3.jpg", photo, { false, false, false, p3 });

    for (const char* name : { "p3.png", "p3-16.png", "p3.jpg" }) {
        common::ImageFacts facts;
        const cv::Mat converted = read(name, &facts);
        const cv::Mat stored = name == std::string("p3-16.png")
            ? photo16
            : read(name, nullptr, common::ProfileHandling::Ignore);
        const cv::Mat expected = convertedByTificc(stored, p3);
        ASSERT_EQ(converted.size(), expected.size()) << name;
        EXPECT_LE(cv::norm(converted, expected, cv::NORM_INF), kOneCodeValue) << name;
        EXPECT_GT(cv::norm(converted, stored.depth() == CV_8U ? stored : photo, cv::NORM_INF), 5.0)
            << name << ": P3 values taken as sRGB would be far off";
        EXPECT_EQ(facts.profileAction, common::ProfileAction::Converted) << name;
        EXPECT_EQ(facts.profile, "Display P3 (test)");
        EXPECT_EQ(facts.reading(), "converted to sRGB from \"Display P3 (test)\"");
        EXPECT_EQ(common::readingNotice(name, facts),
            std::string("\"") + name
                + "\": converted to sRGB from its colour profile \"Display P3 (test)\"");
    }

    // Ignored, the pixels are as stored.
    common::ImageFacts facts;
    EXPECT_EQ(
        cv::norm(read("p3.png", &facts, common::ProfileHandling::Ignore), photo, cv::NORM_INF),
        0.0);
    EXPECT_EQ(facts.profileAction, common::ProfileAction::Ignored);
    EXPECT_EQ(common::readingNotice("p3.png", facts), "");
}

// sRGB under another name, a broken profile and a profile of the wrong
// colour model all leave the pixels as stored.
TEST(ImageReader, SrgbAndUnusableProfilesLeaveThePixelsAsStored)
{
    testsupport::ScopedWorkDir dir;
    const cv::Mat photo = testsupport::makePhoto(32, 40, 25);
    cv::Mat grey;
    cv::cvtColor(photo, grey, cv::COLOR_BGR2GRAY);
    std::vector<uchar> broken = renamedSrgbProfile();
    broken.resize(broken.size() / 2);
    cmsToneCurve* gamma22 = cmsBuildGamma(nullptr, 2.2);
    const std::vector<uchar> greyProfile
        = saveProfile(cmsCreateGrayProfile(cmsD50_xyY(), gamma22), "Grey 2.2");
    cmsFreeToneCurve(gamma22);
    writeJpeg("camera.jpg", photo, { false, false, false, renamedSrgbProfile() });
    writePngWith("camera.png", photo, { renamedSrgbProfile(), false, 0, false, {} });
    writeJpeg("broken.jpg", photo, { false, false, false, broken });
    writeJpeg("grey-profile.jpg", photo, { false, false, false, greyProfile });
    // A profile segment numbered 2 of 1: the profile is lost, the image intact.
    writeJpeg("misnumbered.jpg", photo, { false, false, false, renamedSrgbProfile() });
    std::vector<uchar> bytes = fileBytes("misnumbered.jpg");
    const std::string marker("ICC_PROFILE");
    const auto at = std::search(bytes.begin(), bytes.end(), marker.begin(), marker.end());
    ASSERT_NE(at, bytes.end());
    at[12] = 2;
    writeBytes("misnumbered.jpg", bytes);

    common::ImageFacts facts;
    for (const char* name : { "camera.jpg", "camera.png" }) {
        EXPECT_EQ(cv::norm(read(name, &facts), cv::imread(name), cv::NORM_INF), 0.0) << name;
        EXPECT_EQ(facts.profileAction, common::ProfileAction::Kept) << name;
        EXPECT_EQ(facts.profile, "Camera RGB");
    }
    for (const char* name : { "broken.jpg", "grey-profile.jpg", "misnumbered.jpg" }) {
        EXPECT_EQ(cv::norm(read(name, &facts), cv::imread(name), cv::NORM_INF), 0.0) << name;
        EXPECT_EQ(facts.profileAction, common::ProfileAction::Unusable) << name;
        EXPECT_FALSE(facts.warning.empty()) << name;
        EXPECT_EQ(common::readingNotice(name, facts).rfind("warning: \"", 0), 0u);
    }

    // A grey photograph through its grey profile: gamma 2.2 against sRGB's curve.
    writeJpeg("grey22.jpg", grey, { false, true, false, greyProfile });
    const cv::Mat converted = read("grey22.jpg", &facts);
    EXPECT_EQ(facts.profileAction, common::ProfileAction::Converted);
    EXPECT_LE(cv::norm(converted,
                  convertedByTificc(cv::imread("grey22.jpg", cv::IMREAD_GRAYSCALE), greyProfile),
                  cv::NORM_INF),
        kOneCodeValue);
    EXPECT_GT(cv::norm(converted, cv::imread("grey22.jpg"), cv::NORM_INF), 2.0);
}

// A CMYK JPEG as Adobe's applications write it (inverted inks), through its
// profile: the simple ink model gives back the colours the inks were made from.
TEST(ImageReader, CmykJpegGoesThroughItsProfile)
{
    testsupport::ScopedWorkDir dir;
    const cv::Mat photo = testsupport::makePhoto(40, 52, 26);
    writeJpeg("cmyk.jpg", inverted(cmykOf(photo)), { true, false, false, simpleCmykProfile() });
    common::ImageFacts facts;
    const cv::Mat converted = read("cmyk.jpg", &facts);
    EXPECT_TRUE(facts.cmyk);
    EXPECT_EQ(facts.profileAction, common::ProfileAction::Converted);
    EXPECT_EQ(facts.reading(), "CMYK converted through its profile \"Simple CMYK (test)\"");
    // The naive conversion of the same file, from its decoded inks.
    const cv::Mat naive = cv::imread("cmyk.jpg", cv::IMREAD_COLOR);
    cv::Mat difference;
    cv::absdiff(converted, naive, difference);
    EXPECT_LT(cv::mean(difference)[0], 2.0);
    EXPECT_LE(cv::norm(converted, naive, cv::NORM_INF), 16.0);
    // Little CMS's JPEG tool on the same file, which re-encodes its result
    // at quality 100.
    ASSERT_EQ(std::system("jpgicc -t1 -q100 cmyk.jpg tool.jpg > /dev/null 2>&1"), 0);
    EXPECT_LE(cv::norm(converted, cv::imread("tool.jpg"), cv::NORM_INF), kReencoded);
}

TEST(ImageReader, HeicAndAvifThroughLibheif)
{
    testsupport::ScopedWorkDir dir;
    const cv::Mat photo = testsupport::makePhoto(64, 80, 27);
    writeHeif("photo.heic", photo, heif_compression_HEVC, 1, 13);
    writeHeif("photo.avif", photo, heif_compression_AV1, 2, 2);
    // Display P3 as code points (primaries 12, sRGB's curve), and as a profile.
    writeHeif("p3.avif", photo, heif_compression_AV1, 12, 13);
    writeHeif("p3.heic", photo, heif_compression_HEVC, 2, 2, displayP3Profile());
    for (const auto& [name, format] :
        { std::pair { "photo.heic", "HEIF" }, { "photo.avif", "AVIF" } }) {
        common::ImageFacts facts;
        const cv::Mat img = read(name, &facts);
        EXPECT_EQ(facts.format, format);
        EXPECT_EQ(facts.bitDepth, 8);
        ASSERT_EQ(img.size(), photo.size()) << name;
        EXPECT_LE(cv::norm(img, photo, cv::NORM_INF), 1.0) << name;
    }
    const cv::Mat expected = convertedByTificc(photo, displayP3Profile());
    for (const auto& [name, profile] : { std::pair { "p3.avif", "Display P3, transfer 13" },
             { "p3.heic", "Display P3 (test)" } }) {
        common::ImageFacts facts;
        const cv::Mat p3 = read(name, &facts);
        EXPECT_EQ(facts.profileAction, common::ProfileAction::Converted) << name;
        EXPECT_EQ(facts.profile, profile);
        EXPECT_LE(cv::norm(p3, expected, cv::NORM_INF), 2.0) << name;
    }

    // A grid of 16 x 12 pixels by its header whose canvas would be 14441 x
    // 27759: refused before anything is allocated for it.
    EXPECT_EQ(
        refusal(TEST_DATA_DIR "/fuzz-seeds/hostile-grid.heic").rfind("damaged HEIF data", 0), 0u);

    const std::vector<uchar> bytes = fileBytes("photo.heic");
    writeBytes(
        "cut.heic", std::vector<uchar>(bytes.begin(), bytes.begin() + long(bytes.size() / 2)));
    EXPECT_EQ(refusal("cut.heic").rfind("damaged HEIF data", 0), 0u);
}

// Formats that are known but not read, floating-point images, and bytes of
// no format: each refused with its reason.
TEST(ImageReader, UnsupportedAndFloatingPointFormatsAreRefusedByName)
{
    testsupport::ScopedWorkDir dir;
    writeBytes("a.gif", { 'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0, 0, 0, ';' });
    EXPECT_NE(refusal("a.gif").find("a GIF file: the format is not supported"), std::string::npos);
    writeBytes("a.exr", { 0x76, 0x2f, 0x31, 0x01, 2, 0, 0, 0 });
    EXPECT_NE(refusal("a.exr").find("floating-point image (OpenEXR)"), std::string::npos);
    const cv::Mat picture = cv::Mat(8, 8, CV_32FC3, cv::Scalar(0.25, 0.5, 0.75));
    ASSERT_TRUE(cv::imwrite("a.hdr", picture));
    EXPECT_NE(refusal("a.hdr").find("floating-point image (Radiance HDR)"), std::string::npos);
    writeBytes("a.tif", floatTiff());
    EXPECT_NE(refusal("a.tif").find("32-bit floating-point samples"), std::string::npos);
    writeBytes("noise.png", { 1, 2, 3, 4, 5, 6, 7, 8 });
    EXPECT_EQ(refusal("noise.png"), "not an image in a known format");
    writeBytes("empty.jpg", {});
    EXPECT_EQ(refusal("empty.jpg"), "the file is empty");
}

// TIFF and WebP carry their profiles in their own structures: a TIFF tag,
// a WebP chunk. Both tagged by Little CMS's tool or by hand, both read back
// as the sRGB photograph they were made from.
TEST(ImageReader, TiffAndWebpProfilesAreFound)
{
    testsupport::ScopedWorkDir dir;
    const cv::Mat photo = testsupport::makePhoto(36, 44, 28);
    cv::Mat photo16;
    photo.convertTo(photo16, CV_16U, 257.0);
    writeBytes("p3.icc", displayP3Profile());
    ASSERT_TRUE(cv::imwrite("in8.tif", photo));
    ASSERT_TRUE(cv::imwrite("in16.tif", photo16));
    ASSERT_EQ(std::system("tificc -t1 -e -op3.icc in8.tif p3-8.tif > /dev/null 2>&1"), 0);
    ASSERT_EQ(std::system("tificc -t1 -e -w16 -op3.icc in16.tif p3-16.tif > /dev/null 2>&1"), 0);

    // A lossless WebP of the P3 values, with an extended header and the profile.
    std::vector<uchar> webp;
    ASSERT_TRUE(cv::imencode(".webp", toDisplayP3(photo), webp, { cv::IMWRITE_WEBP_QUALITY, 101 }));
    const std::vector<uchar> icc = displayP3Profile();
    auto le = [](std::vector<uchar>& out, std::uint32_t v, int bytes) {
        for (int k = 0; k < bytes; ++k)
            out.push_back(uchar((v >> (8 * k)) & 0xff));
    };
    std::vector<uchar> chunks { 'W', 'E', 'B', 'P', 'V', 'P', '8', 'X' };
    le(chunks, 10, 4);
    le(chunks, 0x20, 4); // the profile flag and reserved bytes
    le(chunks, std::uint32_t(photo.cols - 1), 3);
    le(chunks, std::uint32_t(photo.rows - 1), 3);
    chunks.insert(chunks.end(), { 'I', 'C', 'C', 'P' });
    le(chunks, std::uint32_t(icc.size()), 4);
    chunks.insert(chunks.end(), icc.begin(), icc.end());
    if (icc.size() % 2 == 1)
        chunks.push_back(0);
    chunks.insert(chunks.end(), webp.begin() + 12, webp.end()); // the image chunk
    std::vector<uchar> file { 'R', 'I', 'F', 'F' };
    le(file, std::uint32_t(chunks.size()), 4);
    file.insert(file.end(), chunks.begin(), chunks.end());
    writeBytes("p3.webp", file);

    // Against Little CMS's tool converting each file through its embedded
    // profile (the WebP through the same profile, from the same values).
    ASSERT_EQ(std::system("tificc -t1 -c0 -w8 p3-8.tif back-8.tif > /dev/null 2>&1"), 0);
    ASSERT_EQ(std::system("tificc -t1 -c0 -w8 p3-16.tif back-16.tif > /dev/null 2>&1"), 0);
    const std::pair<const char*, cv::Mat> files[]
        = { { "p3-8.tif", cv::imread("back-8.tif") }, { "p3-16.tif", cv::imread("back-16.tif") },
              { "p3.webp", convertedByTificc(toDisplayP3(photo), icc) } };
    for (const auto& [name, expected] : files) {
        common::ImageFacts facts;
        const cv::Mat img = read(name, &facts);
        EXPECT_EQ(facts.profileAction, common::ProfileAction::Converted) << name;
        EXPECT_EQ(facts.profile, "Display P3 (test)") << name;
        ASSERT_EQ(img.size(), photo.size()) << name;
        EXPECT_LE(cv::norm(img, expected, cv::NORM_INF), kOneCodeValue) << name;
        // The photograph they were made from, but for two conversions' rounding.
        EXPECT_LE(cv::norm(img, photo, cv::NORM_INF), 6.0) << name;
    }
}

namespace {

// The reader's pixel limit, for the rest of a scope.
class ScopedPixelLimit {
public:
    explicit ScopedPixelLimit(std::uint64_t pixels)
        : saved_(common::maxImagePixels())
    {
        common::setMaxImagePixels(pixels);
    }
    ~ScopedPixelLimit() { common::setMaxImagePixels(saved_); }

private:
    std::uint64_t saved_;
};

// OpenCV's allocator, refusing as OpenCV does when the system has no memory
// (cv::Error::StsNoMem) anything above `largest` bytes, for a scope.
class ScopedFailingAllocator final : public cv::MatAllocator {
public:
    explicit ScopedFailingAllocator(std::size_t largest)
        : largest_(largest)
        , saved_(cv::Mat::getDefaultAllocator())
    {
        cv::Mat::setDefaultAllocator(this);
    }
    ~ScopedFailingAllocator() override { cv::Mat::setDefaultAllocator(saved_); }
    cv::UMatData* allocate(int dims, const int* sizes, int type, void* data, size_t* step,
        cv::AccessFlag flags, cv::UMatUsageFlags usage) const override
    {
        std::size_t total = CV_ELEM_SIZE(type);
        for (int i = 0; i < dims; ++i)
            total *= std::size_t(sizes[i]);
        if (data == nullptr && total > largest_)
            CV_Error(cv::Error::StsNoMem, "Failed to allocate " + std::to_string(total) + " bytes");
        return saved_->allocate(dims, sizes, type, data, step, flags, usage);
    }
    bool allocate(cv::UMatData* data, cv::AccessFlag flags, cv::UMatUsageFlags usage) const override
    {
        return saved_->allocate(data, flags, usage);
    }
    void deallocate(cv::UMatData* data) const override { saved_->deallocate(data); }

private:
    std::size_t largest_;
    cv::MatAllocator* saved_;
};

void putLittle(std::vector<uchar>& out, std::uint64_t v, int bytes)
{
    for (int k = 0; k < bytes; ++k)
        out.push_back(uchar((v >> (8 * k)) & 0xff));
}

void setBig(std::vector<uchar>& bytes, std::size_t at, std::uint32_t v, int n)
{
    for (int k = 0; k < n; ++k)
        bytes[at + std::size_t(k)] = uchar((v >> (8 * (n - 1 - k))) & 0xff);
}

std::vector<uchar> encoded(const std::string& ext, const cv::Mat& img, std::vector<int> params = {})
{
    std::vector<uchar> bytes;
    EXPECT_TRUE(cv::imencode(ext, img, bytes, params)) << ext;
    return bytes;
}

// Where two bytes (a JPEG marker) first are; the end when nowhere.
std::size_t find(const std::vector<uchar>& bytes, uchar first, uchar second, std::size_t from = 0)
{
    for (std::size_t at = from; at + 1 < bytes.size(); ++at)
        if (bytes[at] == first && bytes[at + 1] == second)
            return at;
    return bytes.size();
}

// A JPEG file whose frame header says `width` x `height`.
std::vector<uchar> jpegOfSize(std::uint32_t width, std::uint32_t height)
{
    std::vector<uchar> jpeg = encoded(".jpg", testsupport::makePhoto(16, 16, 50));
    const std::size_t frame = find(jpeg, 0xff, 0xc0);
    setBig(jpeg, frame + 5, height, 2);
    setBig(jpeg, frame + 7, width, 2);
    return jpeg;
}

// A PNG file whose header says `width` x `height`, with its check value
// made right or left wrong.
std::vector<uchar> pngOfSize(std::uint32_t width, std::uint32_t height, bool checked = true)
{
    std::vector<uchar> png = encoded(".png", testsupport::makePhoto(16, 16, 50));
    setBig(png, 16, width, 4);
    setBig(png, 20, height, 4);
    if (checked)
        setBig(png, 29, std::uint32_t(crc32(0, png.data() + 12, 17)), 4);
    return png;
}

// A lossless WebP file whose bitstream says `width` x `height`.
std::vector<uchar> webpOfSize(std::uint32_t width, std::uint32_t height)
{
    std::vector<uchar> webp
        = encoded(".webp", testsupport::makePhoto(16, 16, 50), { cv::IMWRITE_WEBP_QUALITY, 101 });
    const std::uint32_t bits
        = (width - 1) | ((height - 1) << 14) | (std::uint32_t(webp[24] & 0xf0) << 24);
    for (int k = 0; k < 4; ++k)
        webp[std::size_t(21 + k)] = uchar((bits >> (8 * k)) & 0xff);
    return webp;
}

// An uncompressed 8-bit grey TIFF, classic or BigTIFF, whose one strip
// holds `pixels`.
std::vector<uchar> greyTiff(bool big, std::uint32_t width, std::uint32_t height,
    const std::vector<uchar>& pixels = std::vector<uchar>(64, 9))
{
    const int word = big ? 8 : 4;
    const std::uint64_t data = big ? 16 + 8 + 9 * 20 + 8 : 8 + 2 + 9 * 12 + 4;
    std::vector<uchar> out { 'I', 'I', uchar(big ? 43 : 42), 0 };
    if (big)
        putLittle(out, 8, 4);
    putLittle(out, big ? 16 : 8, word);
    putLittle(out, 9, big ? 8 : 2);
    const std::uint64_t fields[9][3] = { { 256, 4, width }, { 257, 4, height }, { 258, 3, 8 },
        { 259, 3, 1 }, { 262, 3, 1 }, { 273, 4, data }, { 277, 3, 1 }, { 278, 4, height },
        { 279, 4, std::uint64_t(width) * height } };
    for (const auto& f : fields) {
        putLittle(out, f[0] | (f[1] << 16), 4);
        putLittle(out, 1, word);
        putLittle(out, f[2], word);
    }
    putLittle(out, 0, word);
    out.insert(out.end(), pixels.begin(), pixels.end());
    return out;
}

// A BMP file with OS/2's 12-byte core header: 16-bit sides, 24 bits a pixel.
std::vector<uchar> coreBmp(const cv::Mat& bgr)
{
    const std::size_t rowBytes = (std::size_t(bgr.cols) * 3 + 3) / 4 * 4;
    std::vector<uchar> out { 'B', 'M' };
    putLittle(out, 26 + rowBytes * std::size_t(bgr.rows), 4);
    putLittle(out, 0, 4);
    putLittle(out, 26, 4); // where the pixels start
    putLittle(out, 12, 4);
    putLittle(out, std::uint64_t(bgr.cols) | std::uint64_t(bgr.rows) << 16, 4);
    putLittle(out, 1 | 24 << 16, 4);
    for (int i = bgr.rows - 1; i >= 0; --i) {
        out.insert(out.end(), bgr.ptr<uchar>(i), bgr.ptr<uchar>(i) + bgr.cols * 3);
        out.resize(out.size() + rowBytes - std::size_t(bgr.cols) * 3, 0);
    }
    return out;
}

} // namespace

// Each decoder judges the limit on the size its own header reading found:
// whatever precedes a JPEG frame, in every format OpenCV decodes. A header
// that gives no size is damage.
TEST(ImageReader, EveryFormatIsJudgedOnItsOwnHeader)
{
    testsupport::ScopedWorkDir dir;
    const ScopedPixelLimit limit(1000000);
    std::map<std::string, std::vector<uchar>> files;
    // libjpeg reads past a restart marker, 4,100 fill bytes or a junk byte
    // (a warning) before the frame header.
    const std::vector<uchar> jpeg = jpegOfSize(2000, 1500);
    for (const auto& [name, at, inserted] :
        { std::tuple { "restart.jpg", std::size_t(2), std::vector<uchar> { 0xff, 0xd0 } },
            { "fill.jpg", std::size_t(2), std::vector<uchar>(4100, 0xff) },
            { "junk.jpg", find(jpeg, 0xff, 0xc0), { 0x00 } } }) {
        files[name] = jpeg;
        files[name].insert(files[name].begin() + long(at), inserted.begin(), inserted.end());
    }
    files["crc.png"] = pngOfSize(2000, 1500, false);
    files["lossless.webp"] = webpOfSize(2000, 1500);
    std::vector<uchar> vp8x { 'V', 'P', '8', 'X', 10, 0, 0, 0, 0, 0, 0, 0 };
    putLittle(vp8x, 1999 | std::uint64_t(1499) << 24, 6);
    files["canvas.webp"] = webpOfSize(16, 16);
    files["canvas.webp"].insert(files["canvas.webp"].begin() + 12, vp8x.begin(), vp8x.end());
    files["classic.tif"] = greyTiff(false, 2000, 1500);
    files["big.tif"] = greyTiff(true, 2000, 1500);
    files["core.bmp"] = coreBmp(cv::Mat(2, 2, CV_8UC3, cv::Scalar::all(3)));
    std::copy_n(
        std::vector<uchar> { 0xd0, 0x07, 0xdc, 0x05 }.begin(), 4, files["core.bmp"].begin() + 18);
    for (const std::string header :
        { "P6\n2000 1500\n255\n", "P7\nWIDTH 2000\nHEIGHT 1500\nDEPTH 3\nMAXVAL 255\nENDHDR\n" })
        files[header.substr(0, 2) + ".pnm"] = std::vector<uchar>(header.begin(), header.end());
    files["sun.ras"] = encoded(".ras", cv::Mat(2, 2, CV_8UC3));
    setBig(files["sun.ras"], 4, 2000, 4);
    setBig(files["sun.ras"], 8, 1500, 4);
    // A JPEG 2000 code stream: its size less its offset, 10 and 20.
    std::vector<uchar> jp2 = encoded(".jp2", testsupport::makePhoto(64, 64, 51));
    const std::size_t stream = find(jp2, 0xff, 0x4f);
    for (const auto& [at, value] :
        { std::pair { 8, 2010u }, { 12, 1520u }, { 16, 10u }, { 20, 20u } })
        setBig(jp2, stream + std::size_t(at), value, 4);
    files["offset.jp2"] = jp2;
    files["bare.j2k"] = std::vector<uchar>(jp2.begin() + long(stream), jp2.end());

    for (const auto& [name, bytes] : files) {
        writeBytes(name, bytes);
        EXPECT_EQ(refusal(name).rfind("the image is 2000 x 1500 pixels (3 megapixels), above the "
                                      "limit of 1 megapixels (set TOOLKIT_MAX_MEGAPIXELS",
                      0),
            0u)
            << name << ": " << refusal(name);
    }
    // A PNG side above libpng's user limit, which the pixel limit sets.
    writeBytes("long.png", pngOfSize(1000001, 1));
    EXPECT_EQ(refusal("long.png").rfind("the image is 1000001 x 1 pixels", 0), 0u);
    writeBytes("sizeless.tif", greyTiff(false, 0, 1500));
    EXPECT_EQ(refusal("sizeless.tif"), "damaged TIFF data (its header gives no image size)");
}

// Short of memory for an image within the limit, the reader says so,
// whichever decoder was allocating: OpenCV raises its error from
// cv::imdecode, and from cv::Mat in the toolkit's own decoders.
TEST(ImageReader, OpenCvsAllocationFailureIsOutOfMemory)
{
    testsupport::ScopedWorkDir dir;
    const ScopedPixelLimit limit(std::uint64_t(1000) * 1000000);
    writeBytes("huge.webp", webpOfSize(16000, 16000));
    writeBytes("huge.tif", greyTiff(false, 16000, 16000));
    writeBytes("huge.png", pngOfSize(16000, 16000));
    writeBytes("huge.jpg", jpegOfSize(16000, 16000));
    const ScopedFailingAllocator failing(std::size_t(64) << 20);
    for (const char* name : { "huge.webp", "huge.tif", "huge.png", "huge.jpg" })
        EXPECT_EQ(refusal(name), "out of memory") << name;
}

// libjpeg goes through every scan of a progressive file again for the whole
// image: a file of more scans than any encoder writes is refused when its
// decoder reaches the scan past the limit.
TEST(ImageReader, JpegFilesOfTooManyScansAreRefused)
{
    testsupport::ScopedWorkDir dir;
    std::vector<uchar> jpeg = encoded(
        ".jpg", cv::Mat(8, 8, CV_8U, cv::Scalar(90)), { cv::IMWRITE_JPEG_PROGRESSIVE, 1 });
    // Its last scan again and again, to 501 scans.
    std::size_t scans = 0, last = 0;
    for (std::size_t at = find(jpeg, 0xff, 0xda); at < jpeg.size();
         at = find(jpeg, 0xff, 0xda, at + 2), ++scans)
        last = at;
    const std::vector<uchar> scan(jpeg.begin() + long(last), jpeg.end() - 2);
    for (; scans < 501; ++scans)
        jpeg.insert(jpeg.end() - 2, scan.begin(), scan.end());
    writeBytes("scans.jpg", jpeg);
    EXPECT_EQ(refusal("scans.jpg"),
        "the JPEG data has more than 500 scans, more than the image reader takes (photographs "
        "have up to a few dozen)");
}

// The formats OpenCV decodes give cv::imread's pixels from the bytes the
// reader read from the file it opened, once (inotify counts the opens, with
// the reads between them, as it merges an event into the same one just
// before it): a file put in its place meanwhile is never seen. The alpha
// share is measured; OS/2's BMP files, with 16-bit sides, are read.
TEST(ImageReader, OpenCvFormatsAreReadFromTheFileOpenedOnce)
{
    testsupport::ScopedWorkDir dir;
    const cv::Mat photo = testsupport::makePhoto(64, 64, 53);
    cv::Mat bgra;
    cv::cvtColor(photo, bgra, cv::COLOR_BGR2BGRA);
    for (int i = 0; i < 40; ++i)
        bgra.at<cv::Vec4b>(i, i)[3] = uchar(i);
    std::vector<std::string> names { "a.tif", "a.bmp", "a.ppm", "a.pam", "a.ras", "a.jp2", "a.webp",
        "a.jpg", "a.png" };
    for (const std::string& name : names)
        ASSERT_TRUE(cv::imwrite(name, photo)) << name;
    ASSERT_TRUE(cv::imwrite("alpha.tif", bgra));
    ASSERT_TRUE(cv::imwrite("alpha.webp", bgra, { cv::IMWRITE_WEBP_QUALITY, 101 }));
    cv::Mat grey;
    cv::cvtColor(photo, grey, cv::COLOR_BGR2GRAY);
    writeBytes("big.tif", greyTiff(true, 64, 64, std::vector<uchar>(grey.datastart, grey.dataend)));
    writeBytes("core.bmp", coreBmp(photo(cv::Rect(0, 0, 63, 61))));
    writeHeif("a.heic", photo, heif_compression_HEVC, 1, 13);
    names.insert(names.end(), { "alpha.tif", "alpha.webp", "big.tif", "core.bmp", "a.heic" });

    const int watcher = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    for (const std::string& name : names) {
        const int watch = ::inotify_add_watch(watcher, name.c_str(), IN_OPEN | IN_ACCESS);
        common::ImageFacts facts;
        const cv::Mat img = read(name, &facts);
        int opens = 0;
        alignas(inotify_event) char events[4096];
        for (ssize_t n; (n = ::read(watcher, events, sizeof events)) > 0;)
            for (ssize_t at = 0; at < n; at += ssize_t(sizeof(inotify_event))
                     + reinterpret_cast<const inotify_event*>(events + at)->len)
                opens += (reinterpret_cast<const inotify_event*>(events + at)->mask & IN_OPEN) != 0;
        EXPECT_EQ(opens, 1) << name;
        ::inotify_rm_watch(watcher, watch);
        if (name != "a.heic") {
            EXPECT_EQ(cv::norm(img, cv::imread(name), cv::NORM_INF), 0.0) << name;
        }
        if (name.rfind("alpha", 0) == 0) {
            EXPECT_NEAR(facts.nonOpaqueShare, 40.0 / 4096.0, 1e-12) << name;
        }
    }
    ::close(watcher);
    EXPECT_EQ(cv::norm(read("core.bmp"), photo(cv::Rect(0, 0, 63, 61)), cv::NORM_INF), 0.0);
    std::vector<uchar> core = coreBmp(photo);
    writeBytes("cut.bmp", std::vector<uchar>(core.begin(), core.end() - 10));
    EXPECT_EQ(refusal("cut.bmp"), "damaged BMP data (the file is cut short)");
}
