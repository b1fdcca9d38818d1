#include "toolkit/exposure/ExposureStacks.hpp"

#include "toolkit/color/AppearanceModel.hpp"
#include "toolkit/color/BrightnessSeries.hpp"
#include "toolkit/color/ChromaticAdaptation.hpp"
#include "toolkit/color/InverseModel.hpp"
#include "toolkit/color/LocalAdaptation.hpp"
#include "toolkit/color/RgbXyz.hpp"
#include "toolkit/common/CommonFunctions.hpp"

#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>
#include <omp.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <limits>
#include <map>
#include <mutex>
#include <sstream>
#include <utility>
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

using Files = std::map<std::string, std::string>;

// Every file of the working directory (not its subdirectories), by name.
Files filesHere()
{
    Files files;
    for (const auto& entry : fs::directory_iterator("."))
        if (entry.is_regular_file())
            files[entry.path().filename().string()] = testsupport::readFile(entry.path().string());
    return files;
}

Lines sortedLines(const std::string& text)
{
    Lines lines = linesOf(text);
    std::sort(lines.begin(), lines.end());
    return lines;
}

// The stack of the sample pair, built in a directory of its own on a default
// team of `threads`: its files, and its standard output as sorted lines.
std::pair<Files, Lines> stackOnThreads(int threads, int iterations)
{
    testsupport::ScopedWorkDir dir;
    Pair p = samplePair();
    const int previous = omp_get_max_threads();
    omp_set_num_threads(threads);
    testing::internal::CaptureStdout();
    createBrightnessExposures(p.flash, p.noFlash, 10.0f, iterations, "out");
    const std::string out = testing::internal::GetCapturedStdout();
    omp_set_num_threads(previous);
    return { filesHere(), sortedLines(out) };
}

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

TEST(ExposureStacksForEachExposure, RunsEachOfTheSixIndicesOnceWhateverTheTeam)
{
    for (int threads : { 1, 4, 8 }) {
        std::vector<int> all;
        for (const std::vector<int>& block : blocksRun(threads))
            all.insert(all.end(), block.begin(), block.end());
        std::sort(all.begin(), all.end());
        EXPECT_EQ(all, (std::vector<int> { 0, 1, 2, 3, 4, 5 })) << threads << " threads";
    }
}

TEST(ExposureStacksForEachExposure, RethrowsTheLowestFailureAfterEveryIndexRan)
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

TEST(
    ExposureStacksCreateBrightnessExposures, WithoutStepsPrintsTablesAndCalibratesOnReciprocalTimes)
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

TEST(ExposureStacksCreateBrightnessExposures, NamesOneFinalImagePerStepAndExposure)
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

// The six exposures of the stack, written as "<i>_nonFlash.jpg", get
// brighter from exposure 0 to exposure 5: the mean of each exposure's grey
// image (the 0.299 R + 0.587 G + 0.114 B of the 8-bit file) rises strictly.
// The flash photograph adapted towards exposure i follows it, so its mean
// grey rises strictly too.
TEST(ExposureStacksCreateBrightnessExposures, ExposuresBrightenFromTheFirstToTheLast)
{
    testsupport::ScopedWorkDir dir;
    Pair p = samplePair();
    printedBy([&] { createBrightnessExposures(p.flash, p.noFlash, 10.0f, 1, "out"); });
    const auto meanGrey = [](const std::string& name) {
        const cv::Mat grey = cv::imread(name, cv::IMREAD_GRAYSCALE);
        EXPECT_FALSE(grey.empty()) << name;
        return cv::mean(grey)[0];
    };
    double exposure[6], adaptedFlash[6];
    for (int i = 0; i < 6; ++i) {
        exposure[i] = meanGrey(std::to_string(i) + "_nonFlash.jpg");
        adaptedFlash[i] = meanGrey("out0_0" + std::to_string(i) + "_final.jpg");
    }
    for (int i = 1; i < 6; ++i) {
        EXPECT_GT(exposure[i], exposure[i - 1]) << "exposure " << i;
        EXPECT_GT(adaptedFlash[i], adaptedFlash[i - 1]) << "flash adapted to exposure " << i;
    }
}

TEST(ExposureStacksCreateBrightnessExposures, LeavesTheSameFilesWhateverTheThreadCount)
{
    // The exposures' adaptation steps run on the team's threads and all write
    // the white's and biCAT's debug files under fixed names; the files left
    // are exposure 5's last step's however the threads were scheduled.
    const auto [oneThread, oneOut] = stackOnThreads(1, 2);
    const auto [threeThreads, threeOut] = stackOnThreads(3, 2);
    for (const char* name : { "catRatio.txt", "increaseMap.jpg", "a_r.jpg", "b.jpg", "0R.jpg",
             "out1_05_final.jpg", "R.txt", "out.hdr", "10_out.txt" })
        EXPECT_EQ(oneThread.count(name), 1u) << name;
    ASSERT_EQ(oneThread.size(), threeThreads.size());
    for (const auto& [name, content] : oneThread) {
        const auto other = threeThreads.find(name);
        ASSERT_NE(other, threeThreads.end()) << name;
        // yValues.txt holds its six lines in the order the threads reach them.
        if (name == "yValues.txt")
            EXPECT_EQ(sortedLines(content), sortedLines(other->second));
        else
            EXPECT_TRUE(content == other->second) << name << " differs";
    }
    EXPECT_EQ(oneOut, threeOut);
}

TEST(ExposureStacksCreateBrightnessExposures, OneStepLeavesTheFlashWhitesFilterFiles)
{
    // Every exposure's first step starts from the flash photograph's own
    // white, computed once: with one step its filter files are the ones left.
    Files expected;
    {
        testsupport::ScopedWorkDir dir;
        Pair p = samplePair();
        cv::Mat white;
        toolkit::color::computeWhiteImg(p.flash, white, 0);
        expected = filesHere();
    }
    ASSERT_FALSE(expected.empty());
    const Files left = stackOnThreads(2, 1).first;
    for (const auto& [name, content] : expected) {
        const auto found = left.find(name);
        ASSERT_NE(found, left.end()) << name;
        EXPECT_TRUE(found->second == content) << name << " is not the flash white's";
    }
}

TEST(ExposureStacksCreateBrightnessExposures, SamplesItsYValueInsideImagesOfFewerThanSixRows)
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

TEST(ExposureStacksCreateBrightnessExposuresVs2, FusesExposuresSynthesisedFromTheAdaptedFlash)
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

TEST(ExposureStacksCreateBrightnessExposuresVs3, AdaptsTheFlashPhotographAndNothingElse)
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

TEST(ExposureStacksExposureStackDrivers, RejectPhotographsOfDifferentSizesBeforeAnyOutput)
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

TEST(ExposureStacksComputeCorrectedNonFlash, UndoesTheD65AdaptationOfOneElementOnly)
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

TEST(ExposureStacksFlashExposuresProgram, WritesTheStackIntoTheOutputDirectory)
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

TEST(ExposureStacksFlashExposuresProgram, ReportsBadArgumentsAndUnreadableImages)
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

// The colour steps the stacks are made of, where they were reworked for the
// stacks' speed: each against a slow, obvious version of what it computed
// before, bit for bit.

namespace {

namespace color = toolkit::color;

cv::Mat sharpenedPhoto(int rows, int cols, unsigned seed)
{
    cv::Mat img8 = testsupport::makePhoto(rows, cols, seed);
    cv::Mat bgr(img8.size(), CV_32FC3), xyz(img8.size(), CV_32FC3), sharp(img8.size(), CV_32FC3);
    toolkit::common::normImg(img8, bgr);
    color::convertBGRToXYZDirect(bgr, xyz);
    color::convertXYZtoSharpenedBGR(xyz, sharp);
    return sharp;
}

std::uint32_t bitsOf(float v)
{
    std::uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return bits;
}

float directCompanding(float v)
{
    if (v <= 0.0031308f)
        return static_cast<float>(static_cast<double>(v) * 12.92);
    return static_cast<float>(1.055 * std::pow(static_cast<double>(v), 1.0 / 2.4) - 0.055);
}

float directInverseCompanding(float v)
{
    if (v <= 0.04045f)
        return static_cast<float>(static_cast<double>(v) / 12.92);
    return static_cast<float>(std::pow((static_cast<double>(v) + 0.055) / 1.055, 2.4));
}

// f applied to every float of a continuous image, in place.
template <class F> void eachFloat(cv::Mat& img, F f)
{
    float* p = img.ptr<float>(0);
    for (std::size_t k = 0; k < img.total() * img.channels(); ++k)
        p[k] = f(p[k]);
}

// increaseBrightness as it ran before its passes ran at once: one pass after
// the other, each writing its files and printing straight away.
void seriesOnePassAtATime(cv::Mat& image, cv::Mat* exposures, float factor)
{
    using namespace toolkit::color;
    const int rows = image.rows, cols = image.cols;
    eachFloat(image, [](float v) { return v * 100.0f; });
    cv::Mat whiteY(rows, cols, CV_32FC1, cv::Scalar(100.0));
    const float Yb = computeYback(whiteY);
    cv::Mat FL(rows, cols, CV_32FC1, cv::Scalar(double(computeFl(20.0f))));
    cv::Mat n(rows, cols, CV_32FC1, cv::Scalar(double(computeN(Yb, 100.0f))));
    cv::Mat Ncb(rows, cols, CV_32FC1, cv::Scalar(double(computeNcb(Yb, 100.0f))));
    cv::Mat z(rows, cols, CV_32FC1, cv::Scalar(double(computeZ(Yb, 100.0f))));
    cv::Mat hpe(rows, cols, CV_32FC3), nonlin(rows, cols, CV_32FC3);
    std::vector<cv::Mat> p(10);
    for (cv::Mat& plane : p)
        plane.create(rows, cols, CV_32FC1);
    cv::Mat &a = p[0], &b = p[1], &h = p[2], &et = p[3], &J = p[4], &Q = p[5], &Qf = p[6];
    cv::Mat &C = p[7], &t = p[8], &A = p[9];
    convertSharpenedBGRtoHPE(image, hpe);
    computeNonLinearities(hpe, nonlin, FL);
    computeAB(nonlin, a, b);
    computeHue(a, b, h, et);
    const float Aw = computeLightness(nonlin, Ncb, z, J, A);
    const float Qmax = computeBrightness(J, FL, z, Q, Aw);
    computeChroma(nonlin, a, b, J, et, Ncb, n, C, 0.8f);
    cv::bilateralFilter(Q, Qf, 5, double(Qmax / 50.0f), 40.0, cv::BORDER_REFLECT_101);
    float f = factor;
    for (int k = 0; k < 6; ++k) {
        exposures[k].create(rows, cols, CV_32FC3);
        performGammaCorrectionByStyle(Qf, Q, (f * Qmax) / 10.0f, Qmax);
        writeIntoFile(Q, "10_out.txt", rows, cols);
        std::cout << "Already out !" << std::endl;
        brightness2Lightness(Q, FL, J, Aw);
        chromaAndLightness2t(C, J, n, t);
        lightness2A(J, z, A, Aw);
        hue2AB(A, h, t, et, Ncb, a, b, 0.8f);
        AB2NonLinearities(a, b, A, nonlin, Ncb);
        inverseNonLinearities(nonlin, hpe, FL);
        convertHPEtoSharpenedRGB(hpe, exposures[k]);
        toolkit::common::writeDebugImage("dst.jpg", exposures[k]);
        eachFloat(exposures[k], [](float v) { return v / 100.0f; });
        for (float v : cv::Mat_<float>(exposures[k].reshape(1)))
            if (std::isnan(v))
                std::cout << v << std::endl;
        f = static_cast<float>(static_cast<double>(f) - 0.7);
        std::cout << f << std::endl;
    }
    eachFloat(image, [](float v) {
        v /= 100.0f;
        if (v > 1.0f)
            std::cout << v << std::endl;
        return v;
    });
}

} // namespace

TEST(ExposureStacksTransferCurves, GiveTheBitsOfTheDirectFormulaAcrossTheFloats)
{
    // Every 65537th bit pattern (a prime stride, so every exponent and many
    // mantissas), and the values around the break points and the ends.
    std::vector<float> values = { 0.0031308f, 0.04045f, 1.0f, FLT_MAX, FLT_MIN, -0.0f,
        std::numeric_limits<float>::infinity(), std::numeric_limits<float>::quiet_NaN() };
    for (float v : { 0.0031308f, 0.04045f, 1.0f }) {
        values.push_back(std::nextafter(v, 0.0f));
        values.push_back(std::nextafter(v, 2.0f));
    }
    for (std::uint64_t u = 0; u <= 0xffffffffULL; u += 65537) {
        const std::uint32_t bits = static_cast<std::uint32_t>(u);
        float v;
        std::memcpy(&v, &bits, sizeof v);
        values.push_back(v);
    }
    for (float v : values) {
        EXPECT_EQ(bitsOf(color::sRGBCompanding(v)), bitsOf(directCompanding(v))) << v;
        EXPECT_EQ(bitsOf(color::sRGBInverseCompanding(v)), bitsOf(directInverseCompanding(v))) << v;
    }

    // The image conversions apply the same curves.
    cv::Mat bgr(20, 30, CV_32FC3), xyz(20, 30, CV_32FC3), back(20, 30, CV_32FC3);
    cv::RNG(3).fill(bgr, cv::RNG::UNIFORM, cv::Scalar::all(-0.2), cv::Scalar::all(1.5));
    color::convertBGRToXYZDirect(bgr, xyz);
    color::convertXYZToBGRDirect(xyz, back);
    cv::Mat linear = bgr.clone(), display(20, 30, CV_32FC3);
    eachFloat(linear, directInverseCompanding);
    const cv::Mat toXyz = (cv::Mat_<float>(3, 3) << 0.412424f, 0.357579f, 0.180464f, 0.212656f,
        0.715158f, 0.0721856f, 0.0193324f, 0.119193f, 0.950444f);
    cv::Mat expectedXyz(20, 30, CV_32FC3);
    color::multiplyImageByMatrixForward(linear, expectedXyz, toXyz);
    EXPECT_TRUE(testsupport::sameBytes(xyz, expectedXyz));
    color::multiplyImageByMatrixBackward(xyz, display, toXyz.inv(cv::DECOMP_LU));
    eachFloat(display, directCompanding);
    EXPECT_TRUE(testsupport::sameBytes(back, display));
}

TEST(ExposureStacksInverseModel, TabulatedPowersGiveTheBitsOfStdPow)
{
    const int rows = 16, cols = 20;
    cv::Mat J(rows, cols, CV_32FC1), C(rows, cols, CV_32FC1), h(rows, cols, CV_32FC1);
    cv::RNG rng(17);
    rng.fill(J, cv::RNG::UNIFORM, cv::Scalar(0.0), cv::Scalar(100.0));
    rng.fill(C, cv::RNG::UNIFORM, cv::Scalar(0.0), cv::Scalar(80.0));
    rng.fill(h, cv::RNG::UNIFORM, cv::Scalar(-180.0), cv::Scalar(180.0));
    J.at<float>(0, 0) = 0.0f; // outside the tables: std::pow's own result
    const cv::Mat n(rows, cols, CV_32FC1, cv::Scalar(double(0.2f)));
    cv::Mat z(rows, cols, CV_32FC1, cv::Scalar(double(1.9272f)));
    const float Aw = 41.3f;

    // lightness2A, with one background for all pixels and with two.
    for (int uniform = 1; uniform >= 0; --uniform) {
        if (!uniform)
            z.at<float>(3, 4) = 1.7f;
        cv::Mat A(rows, cols, CV_32FC1);
        std::ostringstream printed;
        color::lightness2A(J, z, A, Aw, printed);
        for (int i = 0; i < rows; ++i)
            for (int j = 0; j < cols; ++j) {
                const float zc = z.at<float>(i, j) * 0.525f;
                const float expected = static_cast<float>(
                    std::pow(static_cast<double>(J.at<float>(i, j)) / 100.0, 1.0 / double(zc))
                    * static_cast<double>(Aw));
                ASSERT_EQ(bitsOf(A.at<float>(i, j)), bitsOf(expected)) << i << ", " << j;
            }
        EXPECT_EQ(printed.str().rfind("mean A ", 0), 0u);
    }

    // The chroma temporary, from C, J and n.
    cv::Mat t(rows, cols, CV_32FC1), nCopy = n.clone();
    color::chromaAndLightness2tValues(C, J, nCopy, t);
    const double background = std::pow(1.64 - std::pow(0.29, double(0.2f)), 0.8111111111111111);
    for (int i = 0; i < rows; ++i)
        for (int j = 0; j < cols; ++j) {
            const double lightness = std::pow(
                std::sqrt(static_cast<double>(J.at<float>(i, j)) / 100.0), 1.1111111111111112);
            const float expected = static_cast<float>(
                std::pow(static_cast<double>(C.at<float>(i, j)), 1.1111111111111112)
                / (background * lightness));
            ASSERT_EQ(bitsOf(t.at<float>(i, j)), bitsOf(expected)) << i << ", " << j;
        }

    // hue2AB, its tangent and quadrant taken from the hue as before.
    cv::Mat A(rows, cols, CV_32FC1), a(rows, cols, CV_32FC1), b(rows, cols, CV_32FC1);
    rng.fill(A, cv::RNG::UNIFORM, cv::Scalar(1.0), cv::Scalar(60.0));
    rng.fill(t, cv::RNG::UNIFORM, cv::Scalar(0.0), cv::Scalar(0.5));
    cv::Mat et(rows, cols, CV_32FC1, cv::Scalar(double(1.1f))),
        Ncb(rows, cols, CV_32FC1, cv::Scalar(1.0));
    color::hue2AB(A, h, t, et, Ncb, a, b, 0.8f);
    for (int i = 0; i < rows; ++i)
        for (int j = 0; j < cols; ++j) {
            const double angle = static_cast<double>(h.at<float>(i, j)) * 3.141592653589793 / 180.0;
            const float T = static_cast<float>(std::tan(angle));
            const float s = std::sqrt(T * T + 1.0f);
            const double e0 = static_cast<double>(0.8f) * 3846.153846153846;
            const double E = static_cast<double>(s) * (double(1.1f) * (double(1.0f) * e0));
            const float tK = t.at<float>(i, j) * (108.0f * T + 11.0f);
            const double u = static_cast<double>(tK) / 23.0;
            const double sine = std::sin(angle), cosine = std::cos(angle);
            const bool aNegative = (sine > 0.0 && cosine < 0.0) || (sine < 0.0 && cosine < 0.0);
            const float D = aNegative ? static_cast<float>(u - E) : static_cast<float>(E + u);
            const float AtOverNcb = A.at<float>(i, j) * t.at<float>(i, j) / 1.0f;
            const float expected = static_cast<float>(
                (static_cast<double>(t.at<float>(i, j)) * 0.305 + static_cast<double>(AtOverNcb))
                / static_cast<double>(D));
            ASSERT_EQ(bitsOf(a.at<float>(i, j)), bitsOf(expected)) << i << ", " << j;
            ASSERT_EQ(bitsOf(b.at<float>(i, j)), bitsOf(expected * T)) << i << ", " << j;
        }

    // inverseNonLinearities, including responses clamped at both ends.
    cv::Mat in(rows, cols, CV_32FC3), out(rows, cols, CV_32FC3);
    rng.fill(in, cv::RNG::UNIFORM, cv::Scalar::all(0.0), cv::Scalar::all(401.0));
    const cv::Mat FL(rows, cols, CV_32FC1, cv::Scalar(0.5));
    cv::Mat clamped = in.clone(), FLCopy = FL.clone();
    std::ostringstream nanLines;
    color::inverseNonLinearities(in, out, FLCopy, nanLines);
    EXPECT_EQ(nanLines.str(), "");
    // The bounds are compared in double, as the model does.
    eachFloat(clamped, [](float x) {
        if (0.1 >= static_cast<double>(x))
            x = 0.1f;
        return static_cast<double>(x) > 400.1 ? 400.0f : x;
    });
    for (int i = 0; i < rows; ++i)
        for (int j = 0; j < cols * 3; ++j) {
            const float x = clamped.ptr<float>(i)[j];
            const float v = static_cast<float>(
                (static_cast<double>(x) * 27.13 - 2.713) / (static_cast<double>(400.0f - x) + 0.1));
            const float expected = static_cast<float>(
                std::pow(static_cast<double>(v), 2.380952380952381) * 100.0 / double(0.5f));
            ASSERT_EQ(bitsOf(out.ptr<float>(i)[j]), bitsOf(expected)) << i << ", " << j;
        }
}

TEST(ExposureStacksIncreaseBrightness, PassesAtOnceGiveTheResultsLinesAndFilesOfOnePassAtATime)
{
    for (const float factor : { 10.0f, 3.0f }) { // 3: NaN lines in the last pass
        const cv::Mat photo = sharpenedPhoto(9, 13, 23);
        std::vector<cv::Mat> ours(6), before(6);
        cv::Mat ourImage = photo.clone(), beforeImage = photo.clone();
        std::string ourLines, beforeLines;
        Files ourFiles, beforeFiles;
        {
            testsupport::ScopedWorkDir dir;
            testing::internal::CaptureStdout();
            color::increaseBrightness(ourImage, ours.data(), factor);
            ourLines = testing::internal::GetCapturedStdout();
            ourFiles = filesHere();
        }
        {
            testsupport::ScopedWorkDir dir;
            testing::internal::CaptureStdout();
            seriesOnePassAtATime(beforeImage, before.data(), factor);
            beforeLines = testing::internal::GetCapturedStdout();
            beforeFiles = filesHere();
        }
        for (int k = 0; k < 6; ++k)
            EXPECT_TRUE(testsupport::sameBytes(ours[k], before[k]))
                << "factor " << factor << ", pass " << k;
        EXPECT_TRUE(testsupport::sameBytes(ourImage, beforeImage));
        EXPECT_EQ(ourLines, beforeLines) << "factor " << factor;
        EXPECT_EQ(ourFiles.at("10_out.txt"), beforeFiles.at("10_out.txt"));
        EXPECT_TRUE(ourFiles.at("dst.jpg") == beforeFiles.at("dst.jpg"));
        EXPECT_TRUE(ourFiles.at("t_after.jpg") == beforeFiles.at("t_after.jpg"));
    }
}

TEST(ExposureStacksIncreaseBrightness, HandsOverEachExposureOnceItIsComplete)
{
    testsupport::ScopedWorkDir dir;
    cv::Mat image = sharpenedPhoto(9, 13, 29);
    std::vector<cv::Mat> outputs(6), handed(6);
    std::mutex m;
    testing::internal::CaptureStdout();
    color::increaseBrightness(image, outputs.data(), 10.0f, [&](int k) {
        const std::lock_guard<std::mutex> hold(m);
        handed.at(k) = outputs[k].clone();
    });
    testing::internal::GetCapturedStdout();
    for (int k = 0; k < 6; ++k)
        EXPECT_TRUE(testsupport::sameBytes(handed[k], outputs[k])) << "pass " << k;
}

TEST(ExposureStacksBiCAT, WithoutFilesAdaptsAndPrintsAlikeAndLeavesTheLastChannelsFiles)
{
    testsupport::ScopedWorkDir dir;
    cv::Mat image = sharpenedPhoto(8, 10, 5), white(8, 10, CV_32FC3), target(8, 10, CV_32FC3);
    cv::RNG(9).fill(white, cv::RNG::UNIFORM, cv::Scalar::all(0.0), cv::Scalar::all(1.0));
    cv::RNG(10).fill(target, cv::RNG::UNIFORM, cv::Scalar::all(0.0), cv::Scalar::all(1.0));
    cv::Mat quiet = image.clone();

    testing::internal::CaptureStdout();
    color::biCATWithoutFiles(quiet, white, target);
    const std::string quietLines = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(fs::is_empty(dir.path()));
    testing::internal::CaptureStdout();
    color::biCAT(image, white, cv::Mat(), target, cv::Mat());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), quietLines);
    EXPECT_EQ(linesOf(quietLines).size(), 3u);
    EXPECT_TRUE(testsupport::sameBytes(image, quiet));

    // "catRatio.txt" holds the L channel's ratios, target / white.
    const Lines ratios = linesOf(testsupport::readFile("catRatio.txt"));
    ASSERT_EQ(ratios.size(), 80u);
    const cv::Vec3f w = white.at<cv::Vec3f>(7, 9), t = target.at<cv::Vec3f>(7, 9);
    // Six significant digits are written.
    EXPECT_NEAR(std::stod(ratios.back()), t[2] / w[2], 5e-6 * double(t[2] / w[2]));
    EXPECT_TRUE(fileExists("increaseMap.jpg"));

    // No M ratio above 0: the M line reports the pixel of the largest S ratio.
    cv::Mat noM = target.clone(), adapted = sharpenedPhoto(8, 10, 5);
    cv::Point largestS;
    double largest = 0.0;
    for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 10; ++j) {
            noM.at<cv::Vec3f>(i, j)[1] = 0.0f;
            const cv::Vec3f wv = white.at<cv::Vec3f>(i, j), tv = target.at<cv::Vec3f>(i, j);
            if (double(tv[0] / wv[0]) > largest) {
                largest = double(tv[0] / wv[0]);
                largestS = cv::Point(j, i);
            }
        }
    testing::internal::CaptureStdout();
    color::biCATWithoutFiles(adapted, white, noM);
    std::ostringstream mLine;
    mLine << 0 << ' ' << white.at<cv::Vec3f>(largestS)[1] << ' ' << 0;
    EXPECT_EQ(linesOf(testing::internal::GetCapturedStdout()).at(1), mLine.str());
}
