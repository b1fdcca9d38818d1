#include "toolkit/common/ImageFiles.hpp"

#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <png.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include <sys/stat.h>

namespace fs = std::filesystem;
using testsupport::readFile;

namespace {

const std::string kSamples = SAMPLES_DIR;

std::vector<uchar> encode(const std::string& ext, const cv::Mat& img)
{
    std::vector<uchar> bytes;
    EXPECT_TRUE(cv::imencode(ext, img, bytes));
    return bytes;
}

void writeBytes(const std::string& path, const std::vector<uchar>& bytes)
{
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// Reads a file through the reader; expects it refused with a message.
void expectRefused(const std::string& path, const std::string& why)
{
    std::string error;
    const cv::Mat img = toolkit::common::readColourImage(path, error);
    EXPECT_TRUE(img.empty()) << why;
    EXPECT_FALSE(error.empty()) << why;
}

// Reads a file through the reader; expects cv::imread's pixels exactly.
void expectSameAsImread(const std::string& path,
    toolkit::common::ProfileHandling profiles = toolkit::common::ProfileHandling::Convert)
{
    std::string error;
    toolkit::common::ReadOptions options;
    options.profiles = profiles;
    const cv::Mat img = toolkit::common::readPhotograph(path, error, nullptr, options);
    const cv::Mat reference = cv::imread(path, cv::IMREAD_COLOR);
    ASSERT_FALSE(reference.empty()) << path;
    ASSERT_EQ(error, "") << path;
    ASSERT_EQ(img.type(), CV_8UC3) << path;
    ASSERT_EQ(img.size(), reference.size()) << path;
    EXPECT_EQ(cv::norm(img, reference, cv::NORM_INF), 0.0) << path;
}

// An 8-bit palette PNG of 16 colours, written with libpng.
void writePalettePng(const std::string& path, int width, int height)
{
    std::FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_init_io(png, file);
    png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_PALETTE, PNG_INTERLACE_NONE,
        PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_color palette[16];
    for (int k = 0; k < 16; ++k)
        palette[k] = { png_byte(k * 16), png_byte(255 - k * 8), png_byte(k * 5) };
    png_set_PLTE(png, info, palette, 16);
    png_write_info(png, info);
    std::vector<png_byte> row(width);
    for (int i = 0; i < height; ++i) {
        for (int j = 0; j < width; ++j)
            row[j] = png_byte((i + j) % 16);
        png_write_row(png, row.data());
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    std::fclose(file);
}

} // namespace

TEST(ImageReader, IntactFilesGiveImreadPixelsInEveryLayout)
{
    testsupport::ScopedWorkDir dir;
    for (const char* name : { "chelsea.png", "coffee.png", "flash.png" })
        expectSameAsImread(kSamples + "/" + name);
    // rocket.jpg carries an Adobe RGB profile: as stored only when it is ignored.
    expectSameAsImread(kSamples + "/rocket.jpg", toolkit::common::ProfileHandling::Ignore);

    const cv::Mat photo = testsupport::makePhoto(60, 80, 11);
    cv::Mat grey, grey16, rgba;
    cv::cvtColor(photo, grey, cv::COLOR_BGR2GRAY);
    grey.convertTo(grey16, CV_16U, 257.0);
    cv::cvtColor(photo, rgba, cv::COLOR_BGR2BGRA);
    rgba.col(3).setTo(cv::Scalar(0));
    testsupport::writePng("grey.png", grey);
    testsupport::writePng("grey16.png", grey16);
    testsupport::writePng("rgba.png", rgba);
    cv::imwrite("photo.jpg", photo);
    cv::imwrite("grey.jpg", grey);
    writePalettePng("palette.png", 40, 30);
    // The format is read from the content, not the name.
    fs::copy_file("photo.jpg", "photo-named.png");
    for (const char* name : { "grey.png", "grey16.png", "rgba.png", "photo.jpg", "grey.jpg",
             "palette.png", "photo-named.png" })
        expectSameAsImread(name);

    // A large photograph too, decoded from memory and from the file alike.
    cv::Mat large;
    cv::resize(
        cv::imread(kSamples + "/coffee.png"), large, cv::Size(4000, 3000), 0, 0, cv::INTER_CUBIC);
    cv::Mat noise(large.size(), CV_8UC3);
    cv::randu(noise, 0, 8);
    large += noise;
    const std::vector<uchar> bytes = encode(".jpg", large);
    writeBytes("large.jpg", bytes);
    expectSameAsImread("large.jpg");
    std::string error;
    const cv::Mat decoded = toolkit::common::decodeColourImage(bytes, error);
    EXPECT_EQ(cv::norm(decoded, cv::imdecode(bytes, cv::IMREAD_COLOR), cv::NORM_INF), 0.0) << error;
}

// The reader decodes common JPEGs itself; every variant of the format must
// still give cv::imread's pixels, including an Exif orientation it applies.
TEST(ImageReader, JpegVariantsGiveImreadPixels)
{
    testsupport::ScopedWorkDir dir;
    const cv::Mat photo = testsupport::makePhoto(37, 53, 13);
    const std::vector<std::pair<const char*, std::vector<int>>> variants {
        { "plain.jpg", {} },
        { "progressive.jpg", { cv::IMWRITE_JPEG_PROGRESSIVE, 1 } },
        { "restarts.jpg", { cv::IMWRITE_JPEG_RST_INTERVAL, 3 } },
        { "optimised.jpg", { cv::IMWRITE_JPEG_OPTIMIZE, 1, cv::IMWRITE_JPEG_QUALITY, 30 } },
    };
    for (const auto& [name, params] : variants) {
        ASSERT_TRUE(cv::imwrite(name, photo, params));
        expectSameAsImread(name);
    }
    ASSERT_TRUE(cv::imwrite("pixel.jpg", photo(cv::Rect(0, 0, 1, 1))));
    expectSameAsImread("pixel.jpg");

    // An Exif block saying "rotate 90 degrees clockwise", after the start marker.
    std::vector<uchar> bytes = encode(".jpg", photo);
    const std::vector<uchar> exif { 0xff, 0xe1, 0x00, 0x22, 'E', 'x', 'i', 'f', 0, 0, 'I', 'I',
        0x2a, 0, 8, 0, 0, 0, 1, 0, 0x12, 0x01, 3, 0, 1, 0, 0, 0, 6, 0, 0, 0, 0, 0, 0, 0 };
    bytes.insert(bytes.begin() + 2, exif.begin(), exif.end());
    writeBytes("turned.jpg", bytes);
    expectSameAsImread("turned.jpg");
    EXPECT_EQ(toolkit::common::readColourImage("turned.jpg").size(), cv::Size(37, 53));
}

TEST(ImageReader, DamagedFilesAreRefusedWithTheDecodersMessage)
{
    testsupport::ScopedWorkDir dir;
    const cv::Mat photo = testsupport::makePhoto(120, 160, 12);
    for (const char* ext : { ".jpg", ".png" }) {
        const std::vector<uchar> bytes = encode(ext, photo);
        // Cut at several points, down to the last two bytes.
        for (double fraction : { 0.1, 0.5, 0.9 }) {
            std::vector<uchar> cut(
                bytes.begin(), bytes.begin() + std::size_t(bytes.size() * fraction));
            writeBytes(std::string("cut") + ext, cut);
            expectRefused(
                std::string("cut") + ext, std::string(ext) + " cut at " + std::to_string(fraction));
            std::string error;
            EXPECT_TRUE(toolkit::common::decodeColourImage(cut, error).empty());
        }
        std::vector<uchar> end(bytes.begin(), bytes.end() - (std::string(ext) == ".jpg" ? 2 : 12));
        writeBytes(std::string("end") + ext, end);
        expectRefused(std::string("end") + ext, std::string(ext) + " without its end marker");

        // Bytes changed in the middle of the image data.
        std::vector<uchar> changed = bytes;
        for (std::size_t k = 0; k < 8; ++k)
            changed[bytes.size() / 2 + k] ^= 0xa5;
        writeBytes(std::string("changed") + ext, changed);
        expectRefused(std::string("changed") + ext, std::string(ext) + " with changed bytes");

        // A damaged file under another format's name.
        writeBytes(std::string("cut-named") + (std::string(ext) == ".jpg" ? ".png" : ".jpg"),
            std::vector<uchar>(bytes.begin(), bytes.begin() + bytes.size() / 2));
        expectRefused(std::string("cut-named") + (std::string(ext) == ".jpg" ? ".png" : ".jpg"),
            std::string(ext) + " cut, other extension");
    }

    std::string error;
    toolkit::common::readColourImage("cut.jpg", error);
    EXPECT_NE(error.find("Premature end of JPEG file"), std::string::npos) << error;
}

TEST(ImageReader, OnlyRegularFilesOfBoundedSize)
{
    testsupport::ScopedWorkDir dir;
    std::string error;
    EXPECT_TRUE(toolkit::common::readColourImage("missing.png", error).empty());
    EXPECT_NE(error.find("No such file"), std::string::npos) << error;
    EXPECT_TRUE(toolkit::common::readColourImage(".", error).empty());
    EXPECT_NE(error.find("directory"), std::string::npos) << error;
    // A FIFO with no writer is refused at once, not waited on.
    ASSERT_EQ(::mkfifo("fifo.png", 0644), 0);
    EXPECT_TRUE(toolkit::common::readColourImage("fifo.png", error).empty());
    EXPECT_NE(error.find("regular"), std::string::npos) << error;
    EXPECT_TRUE(toolkit::common::readColourImage("/dev/zero", error).empty());

    // Headers announcing 100000 x 100000 pixels: refused before decoding,
    // naming the size and the limit.
    std::vector<uchar> png = encode(".png", cv::Mat(2, 2, CV_8UC3, cv::Scalar::all(7)));
    const uchar huge[4] = { 0x00, 0x01, 0x86, 0xa0 }; // 100000
    std::copy(huge, huge + 4, png.begin() + 16);
    std::copy(huge, huge + 4, png.begin() + 20);
    writeBytes("huge.png", png);
    EXPECT_TRUE(toolkit::common::readColourImage("huge.png", error).empty());
    EXPECT_NE(error.find("100000 x 100000 pixels (10000 megapixels), above the limit of 250"),
        std::string::npos)
        << error;
    EXPECT_TRUE(toolkit::common::decodeColourImage(png, error).empty());

    std::vector<uchar> jpeg = encode(".jpg", cv::Mat(2, 2, CV_8UC3, cv::Scalar::all(7)));
    // The frame header after the markers before it: height and width 65535.
    for (std::size_t k = 2; k + 9 < jpeg.size(); ++k) {
        if (jpeg[k] == 0xff && jpeg[k + 1] == 0xc0) {
            std::fill(jpeg.begin() + k + 5, jpeg.begin() + k + 9, uchar(0xff));
            break;
        }
    }
    writeBytes("huge.jpg", jpeg);
    EXPECT_TRUE(toolkit::common::readColourImage("huge.jpg", error).empty());
    EXPECT_NE(error.find("65535 x 65535 pixels"), std::string::npos) << error;

    std::vector<uchar> bmp = encode(".bmp", cv::Mat(2, 2, CV_8UC3, cv::Scalar::all(7)));
    std::copy(huge, huge + 4, bmp.begin() + 18);
    writeBytes("huge.bmp", bmp);
    EXPECT_TRUE(toolkit::common::readColourImage("huge.bmp", error).empty());
    EXPECT_NE(error.find("megapixels"), std::string::npos) << error;
}

TEST(ImageWriter, FilesAreReplacedWholeAndFailuresLeaveNothing)
{
    testsupport::ScopedWorkDir dir;
    const cv::Mat photo = testsupport::makePhoto(30, 40, 13);
    // The bytes cv::imwrite writes, for both formats.
    for (const char* name : { "a.jpg", "a.png" }) {
        ASSERT_TRUE(toolkit::common::writeImage(name, photo));
        ASSERT_TRUE(cv::imwrite(std::string("ref-") + name, photo));
        EXPECT_TRUE(readFile(name) == readFile(std::string("ref-") + name)) << name;
    }
    // Over an old file: replaced.
    ASSERT_TRUE(toolkit::common::writeImage("a.jpg", photo * 0.5));
    EXPECT_FALSE(readFile("a.jpg") == readFile("ref-a.jpg"));

    std::string error;
    EXPECT_FALSE(toolkit::common::writeImage("empty.jpg", cv::Mat(), error));
    EXPECT_FALSE(toolkit::common::writeImage("noext", photo, error));
    fs::create_directory("taken.jpg");
    EXPECT_FALSE(toolkit::common::writeImage("taken.jpg", photo, error));
    EXPECT_NE(error.find("taken.jpg"), std::string::npos) << error;
    EXPECT_FALSE(toolkit::common::writeImage("/dev/full/x.jpg", photo, error));

    {
        toolkit::common::FileReplacement file("dump.txt");
        ASSERT_NE(file.file(), nullptr);
        std::fputs("not committed\n", file.file());
    }
    EXPECT_FALSE(testsupport::fileExists("dump.txt"));
    for (const auto& entry : fs::directory_iterator("."))
        EXPECT_EQ(entry.path().filename().string().find(".tmp-"), std::string::npos)
            << entry.path();
}

// The row writer must give writeImage's bytes, and never leave a partial file.
TEST(ImageWriter, GreyJpegRowsGiveImwriteBytes)
{
    testsupport::ScopedWorkDir dir;
    cv::Mat grey;
    cv::cvtColor(testsupport::makePhoto(23, 61, 14), grey, cv::COLOR_BGR2GRAY);
    for (const cv::Mat& img : { grey, cv::Mat(grey(cv::Rect(0, 0, 1, 1))) }) {
        ASSERT_TRUE(toolkit::common::writeImage("whole.jpg", img));
        toolkit::common::GreyJpegWriter writer("rows.jpg", img.cols, img.rows);
        for (int i = 0; i < img.rows; ++i)
            writer.writeRow(img.ptr<uchar>(i));
        std::string error;
        ASSERT_TRUE(writer.finish(error)) << error;
        EXPECT_TRUE(readFile("rows.jpg") == readFile("whole.jpg")) << img.size();
    }

    // Too few rows, an empty image, a folder that does not exist: the old file stays.
    std::string error;
    toolkit::common::GreyJpegWriter shortOne("rows.jpg", grey.cols, grey.rows);
    shortOne.writeRow(grey.ptr<uchar>(0));
    EXPECT_FALSE(shortOne.finish(error));
    EXPECT_NE(error.find("rows.jpg"), std::string::npos) << error;
    EXPECT_FALSE(toolkit::common::GreyJpegWriter("rows.jpg", 0, 0).finish(error));
    EXPECT_TRUE(readFile("rows.jpg") == readFile("whole.jpg"));
    EXPECT_FALSE(toolkit::common::GreyJpegWriter("missing/rows.jpg", 4, 4).finish(error));
    for (const auto& entry : fs::directory_iterator("."))
        EXPECT_EQ(entry.path().filename().string().find(".tmp-"), std::string::npos)
            << entry.path();
}
