#include "toolkit/exposure/ExposureStacks.hpp"

#include "toolkit/color/ChromaticAdaptation.hpp"
#include "toolkit/color/RgbXyz.hpp"
#include "toolkit/common/CommonFunctions.hpp"

#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>
#include <omp.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <mutex>
#include <sstream>
#include <vector>

using namespace toolkit::exposure;
using testsupport::fileExists;
using Lines = std::vector<std::string>;
namespace fs = std::filesystem;

namespace {

struct Pair {
    cv::Mat flash, noFlash;
};

// The sample pair downscaled to 60 x 40, CV_32FC3 on [0, 1].
Pair samplePair()
{
    Pair pair;
    cv::Mat* out[] = { &pair.flash, &pair.noFlash };
    const char* names[] = { SAMPLES_DIR "/flash.png", SAMPLES_DIR "/noflash.png" };
    for (int k = 0; k < 2; ++k) {
        cv::Mat small;
        cv::resize(cv::imread(names[k]), small, cv::Size(60, 40), 0, 0, cv::INTER_AREA);
        out[k]->create(small.size(), CV_32FC3);
        toolkit::common::normImg(small, *out[k]);
    }
    return pair;
}

Lines linesOf(const std::string& text)
{
    Lines lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// Standard output of f as lines, also released when f throws.
template <class F> Lines printedBy(F&& f)
{
    testing::internal::CaptureStdout();
    try {
        f();
    } catch (...) {
        testing::internal::GetCapturedStdout();
        throw;
    }
    return linesOf(testing::internal::GetCapturedStdout());
}

long count(const Lines& lines, const std::string& line)
{
    return std::count(lines.begin(), lines.end(), line);
}

bool containsBlock(const Lines& lines, const Lines& part)
{
    return std::search(lines.begin(), lines.end(), part.begin(), part.end()) != lines.end();
}

bool identical(const cv::Mat& a, const cv::Mat& b)
{
    return a.size() == b.size() && cv::norm(a, b, cv::NORM_INF) == 0.0;
}

// The calibration's times as loadExposureSeq prints them: time, entry, count.
const Lines kTimesOf1024Table = { "0.00195312 512 6", "0.00390625 256 6", "0.0078125 128 6",
    "0.015625 64 6", "0.03125 32 6", "0.0625 16 6" };
const Lines kTimesOf30Table = { "0.0666667 15 6", "0.133333 7.5 6", "0.266667 3.75 6",
    "0.533333 1.875 6", "1.06667 0.9375 6", "2.13333 0.46875 6" };

// Per thread of a default team of `threads`, the indices it ran, in order.
std::vector<std::vector<int>> blocksRun(int threads)
{
    const int previous = omp_get_max_threads();
    omp_set_num_threads(threads);
    std::mutex m;
    std::vector<std::vector<int>> blocks(threads);
    forEachExposure([&](int i) {
        std::lock_guard<std::mutex> lock(m);
        blocks.at(omp_get_thread_num()).push_back(i);
    });
    omp_set_num_threads(previous);
    return blocks;
}

} // namespace

TEST(ForEachExposure, SplitsTheSixIndicesIntoContiguousBlocks)
{
    using Blocks = std::vector<std::vector<int>>;
    EXPECT_EQ(blocksRun(1), (Blocks { { 0, 1, 2, 3, 4, 5 } }));
    EXPECT_EQ(blocksRun(4), (Blocks { { 0, 1 }, { 2, 3 }, { 4 }, { 5 } }));
    EXPECT_EQ(blocksRun(8), (Blocks { { 0 }, { 1 }, { 2 }, { 3 }, { 4 }, { 5 }, {}, {} }));
}

TEST(ForEachExposure, RethrowsTheLowestFailureAfterEveryIndexRan)
{
    std::vector<int> ran(6, 0);
    try {
        forEachExposure([&](int i) {
            ran[i] = 1;
            if (i == 4 || i == 1)
                CV_Error(cv::Error::StsBadArg, "exposure " + std::to_string(i));
        });
        ADD_FAILURE() << "no exception";
    } catch (const cv::Exception& e) {
        EXPECT_EQ(e.err, "exposure 1");
    }
    EXPECT_EQ(ran, std::vector<int>(6, 1));
}

TEST(CreateBrightnessExposures, WithoutStepsPrintsTablesAndCalibratesOnReciprocalTimes)
{
    testsupport::ScopedWorkDir dir;
    Pair p = samplePair();
    const cv::Mat flashBefore = p.flash.clone();
    const Lines out
        = printedBy([&] { createBrightnessExposures(p.flash, p.noFlash, 10.0f, 0, "out"); });

    // Table 1024 / 2^k, the iteration count six times, diagonal 72 / 50.
    const Lines head
        = { "1024", "512", "256", "128", "64", "32", "16", "0", "0", "0", "0", "0", "0", "1" };
    ASSERT_GT(out.size(), head.size());
    EXPECT_EQ(Lines(out.begin(), out.begin() + head.size()), head);
    EXPECT_EQ(count(out, "paralell"), 1);
    EXPECT_TRUE(containsBlock(out, kTimesOf1024Table));
    EXPECT_EQ(out.back(), "out.hdr out.jpg");

    for (const auto& entry : fs::directory_iterator(dir.path()))
        EXPECT_EQ(entry.path().string().find("_final"), std::string::npos) << entry.path();
    EXPECT_EQ(linesOf(testsupport::readFile("yValues.txt")).size(), 6u);
    for (const char* name : { "R.txt", "G.txt", "B.txt", "values.txt" })
        EXPECT_EQ(linesOf(testsupport::readFile(name)).size(), 256u) << name;
    for (const char* name : { "smoothBegin.jpg", "0_nonFlash.jpg", "5_nonFlash.jpg" })
        EXPECT_TRUE(fileExists(name)) << name;
    EXPECT_EQ(cv::imread("out.hdr", cv::IMREAD_UNCHANGED).type(), CV_32FC3);
    for (const char* name : { "out.hdr", "out.jpg", "outfusion.jpg" })
        EXPECT_EQ(cv::imread(name, cv::IMREAD_UNCHANGED).size(), p.flash.size()) << name;

    // No "maskFiltered06.jpg" here: the empty mask did not matter.
    EXPECT_TRUE(identical(p.flash, flashBefore));
    double noFlashMax = 0.0; // left smoothed on the 0..255 scale
    cv::minMaxLoc(p.noFlash, nullptr, &noFlashMax);
    EXPECT_GT(noFlashMax, 2.0);
}

TEST(CreateBrightnessExposures, NamesOneFinalImagePerStepAndExposure)
{
    testsupport::ScopedWorkDir dir;
    Pair p = samplePair();
    const Lines out
        = printedBy([&] { createBrightnessExposures(p.flash, p.noFlash, 10.0f, 3, "out"); });

    EXPECT_TRUE(fileExists("out2_03_final.jpg"));
    for (int i = 0; i < 6; ++i) {
        const std::string index = std::to_string(i);
        for (int step = 0; step < 4; ++step)
            EXPECT_EQ(
                fileExists("out" + std::to_string(step) + "_0" + index + "_final.jpg"), step < 3);
        // Two whole progress lines per step, however the threads interleaved.
        EXPECT_EQ(count(out, "out " + index), 6) << i;
    }
}

TEST(CreateBrightnessExposures, SamplesItsYValueInsideImagesOfFewerThanSixRows)
{
    testsupport::ScopedWorkDir dir;
    Pair p = samplePair();
    // Five rows still leave the calibration its 70 grid samples.
    const cv::Rect strip(10, 10, 20, 5);
    cv::Mat flash = p.flash(strip).clone(), noFlash = p.noFlash(strip).clone();
    printedBy([&] { createBrightnessExposures(flash, noFlash, 10.0f, 1, "out"); });

    const Lines values = linesOf(testsupport::readFile("yValues.txt"));
    ASSERT_EQ(values.size(), 6u);
    for (const std::string& v : values)
        EXPECT_TRUE(std::isfinite(std::stof(v))) << v;
}

TEST(CreateBrightnessExposuresVs2, FusesExposuresSynthesisedFromTheAdaptedFlash)
{
    testsupport::ScopedWorkDir dir;
    fs::create_directory("stack");
    Pair p = samplePair();
    const cv::Mat flashBefore = p.flash.clone();
    const Lines out = printedBy(
        [&] { createBrightnessExposuresVs2(p.flash, p.noFlash, 10.0f, 2, "stack/out"); });

    EXPECT_NE(out.at(0), "30"); // no table printed
    EXPECT_TRUE(containsBlock(out, kTimesOf30Table));
    EXPECT_EQ(count(out, "here"), 6);
    EXPECT_EQ(out.back(), "stack/out.hdr stack/out.jpg");
    for (const char* name : { "0_0_final.jpg", "0_1_final.jpg", "smoothBegin.jpg", "test18.jpg",
             "nonflash.jpg", "5_nonFlash.jpg", "stack/out.hdr", "stack/outfusion.jpg" })
        EXPECT_TRUE(fileExists(name)) << name;
    for (const char* name : { "0_2_final.jpg", "R.txt", "yValues.txt", "out.hdr" })
        EXPECT_FALSE(fileExists(name)) << name;
    EXPECT_FALSE(identical(p.flash, flashBefore));
}

TEST(CreateBrightnessExposuresVs3, AdaptsTheFlashPhotographAndNothingElse)
{
    testsupport::ScopedWorkDir dir;
    Pair p = samplePair();
    const cv::Mat flashBefore = p.flash.clone(), noFlashBefore = p.noFlash.clone();
    const Lines table = { "30", "15", "7.5", "3.75", "1.875", "0.9375", "0.46875" };

    EXPECT_EQ(
        printedBy([&] { createBrightnessExposuresVs3(p.flash, p.noFlash, 1, 0, "x"); }), table);
    EXPECT_TRUE(fs::is_empty(dir.path()));
    EXPECT_TRUE(identical(p.flash, flashBefore));

    // Two steps: the table, then biCAT's line per channel and step.
    const Lines out
        = printedBy([&] { createBrightnessExposuresVs3(p.flash, p.noFlash, 1, 2, "x"); });
    EXPECT_EQ(out.size(), table.size() + 2 * 3);
    EXPECT_TRUE(fileExists("0_0_final.jpg") && fileExists("0_1_final.jpg"));
    for (const char* name : { "0_2_final.jpg", "smoothBegin.jpg", "0_nonFlash.jpg", "x.hdr" })
        EXPECT_FALSE(fileExists(name)) << name;
    EXPECT_FALSE(identical(p.flash, flashBefore));
    EXPECT_TRUE(identical(p.noFlash, noFlashBefore));
}

TEST(ExposureStackDrivers, RejectPhotographsOfDifferentSizesBeforeAnyOutput)
{
    testsupport::ScopedWorkDir dir;
    Pair p = samplePair();
    cv::Mat narrower = p.noFlash(cv::Rect(0, 0, 59, 40)).clone();
    const cv::Mat flashBefore = p.flash.clone(), narrowerBefore = narrower.clone();
    for (auto driver :
        { createBrightnessExposures, createBrightnessExposuresVs2, createBrightnessExposuresVs3 }) {
        testing::internal::CaptureStdout();
        EXPECT_THROW(driver(p.flash, narrower, 10.0f, 1, "out"), cv::Exception);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    }
    EXPECT_TRUE(fs::is_empty(dir.path()));
    EXPECT_TRUE(identical(p.flash, flashBefore) && identical(narrower, narrowerBefore));
}

// Float round trips through XYZ, the sharpened space and the sRGB curves stay
// within a few ulps of values near 0.5.
constexpr double kRoundTripTolerance = 1e-5;
// A flat colour survives JPEG coding within a couple of levels.
constexpr double kJpegTolerance = 2.0;

TEST(ComputeCorrectedNonFlash, UndoesTheD65AdaptationOfOneElementOnly)
{
    testsupport::ScopedWorkDir dir;
    const cv::Mat bgr(12, 16, CV_32FC3, cv::Scalar(0.3, 0.5, 0.7));
    cv::Mat xyz(bgr.size(), CV_32FC3), white(bgr.size(), CV_32FC3);
    toolkit::color::convertBGRToXYZDirect(bgr, xyz);
    toolkit::color::convertXYZtoSharpenedBGR(xyz, white);
    cv::Mat adapted = white.clone();
    toolkit::color::iCAMCATByD65(adapted, white, xyz);
    const cv::Mat sentinel(bgr.size(), CV_32FC3, cv::Scalar::all(-7));
    std::vector<cv::Mat> set = { sentinel.clone(), adapted, sentinel.clone() };

    computeCorrectedNonFlash(set.data(), white, bgr, 1, 250);
    // A flat image passes the bilateral filter unchanged: back to its white.
    EXPECT_LE(cv::norm(set[1], white, cv::NORM_INF), kRoundTripTolerance);
    EXPECT_TRUE(identical(set[0], sentinel) && identical(set[2], sentinel));
    cv::Mat written;
    cv::imread("1_nonFlash.jpg").convertTo(written, CV_32FC3);
    EXPECT_LE(cv::norm(written, bgr * 255.0, cv::NORM_INF), kJpegTolerance);

    // Arguments that would read outside the images change and write nothing.
    const cv::Mat before = set[1].clone();
    EXPECT_THROW(computeCorrectedNonFlash(nullptr, white, bgr, 0, 250), cv::Exception);
    EXPECT_THROW(computeCorrectedNonFlash(set.data(), white, bgr, -1, 250), cv::Exception);
    EXPECT_THROW(
        computeCorrectedNonFlash(set.data(), white, bgr.rowRange(0, 11), 1, 250), cv::Exception);
    EXPECT_THROW(
        computeCorrectedNonFlash(set.data(), white.colRange(0, 15), bgr, 1, 250), cv::Exception);
    EXPECT_TRUE(identical(set[1], before));
}

TEST(FlashExposuresProgram, WritesTheStackIntoTheOutputDirectory)
{
    testsupport::ScopedWorkDir dir;
    Pair p = samplePair();
    cv::Mat flash8, noFlash8;
    p.flash.convertTo(flash8, CV_8UC3, 255.0);
    p.noFlash.convertTo(noFlash8, CV_8UC3, 255.0);
    testsupport::writePng("flash.png", flash8);
    testsupport::writePng("noflash.png", noFlash8);

    const auto run = testsupport::runProgram(
        FLASH_EXPOSURES_BINARY, { "flash.png", "noflash.png", "pair", "out/stack" });
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("pair.hdr pair.jpg\n"), std::string::npos);
    for (const char* name : { "pair.hdr", "pair.jpg", "pairfusion.jpg", "pair1_05_final.jpg" })
        EXPECT_TRUE(fileExists(std::string("out/stack/") + name)) << name;
    EXPECT_FALSE(fileExists("yValues.txt"));
}

TEST(FlashExposuresProgram, ReportsBadArgumentsAndUnreadableImages)
{
    testsupport::ScopedWorkDir dir;
    const auto noArgs = testsupport::runProgram(FLASH_EXPOSURES_BINARY, {});
    EXPECT_EQ(noArgs.status, 2);
    EXPECT_NE(noArgs.err.find("usage: flash-exposures"), std::string::npos);

    const auto missing
        = testsupport::runProgram(FLASH_EXPOSURES_BINARY, { "none.png", "none.png", "p", "out" });
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("cannot read image none.png"), std::string::npos);
    EXPECT_TRUE(fs::is_empty(dir.path()));
}
