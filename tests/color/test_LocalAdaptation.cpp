#include "toolkit/color/LocalAdaptation.hpp"

#include "toolkit/color/ChromaticAdaptation.hpp"
#include "toolkit/color/RgbXyz.hpp"
#include "toolkit/common/CommonFunctions.hpp"

#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace toolkit::color;

namespace {

// A gain of 1 formed as (1 - D) + D, then g D + 1 - D, in float: a few
// roundings on values up to about 1.1.
constexpr double kUnitGainTol = 5e-7;
// x 255 then / 255 in float: two roundings on values up to 1.
constexpr double kByteRoundTripTol = 1.5e-7;
// The regression model in float on the 0..255 scale against double, relative
// to results of up to about 15 (ratios up to 10): a few roundings.
constexpr double kRegressionRel = 1e-6;
// Display -> XYZ -> sharpened -> XYZ -> display with float matrices and LU
// inverses, magnified up to 12.92 times by the transfer curve (1.1e-6 measured).
constexpr double kDisplayRoundTripTol = 1e-5;

cv::Mat photoBGR(int rows, int cols, unsigned seed)
{
    cv::Mat img8 = testsupport::makePhoto(rows, cols, seed);
    cv::Mat img(img8.size(), CV_32FC3);
    toolkit::common::normImg(img8, img);
    return img;
}

cv::Mat photoSharpened(int rows, int cols, unsigned seed)
{
    const cv::Mat bgr = photoBGR(rows, cols, seed);
    cv::Mat xyz(bgr.size(), CV_32FC3), sharp(bgr.size(), CV_32FC3);
    convertBGRToXYZDirect(bgr, xyz);
    convertXYZtoSharpenedBGR(xyz, sharp);
    return sharp;
}

cv::Mat uniformRandom(int rows, int cols, int type, double low, double high, unsigned seed)
{
    cv::Mat m(rows, cols, type);
    cv::RNG(seed).fill(m, cv::RNG::UNIFORM, cv::Scalar::all(low), cv::Scalar::all(high));
    return m;
}

std::string runBiCAT(cv::Mat& image, const cv::Mat& white, const cv::Mat& target)
{
    testing::internal::CaptureStdout();
    biCAT(image, white, cv::Mat(), target, cv::Mat());
    return testing::internal::GetCapturedStdout();
}

std::string runRegression(cv::Mat& guidance, cv::Mat& guidanceWhite, cv::Mat& input,
    cv::Mat& fourth, cv::Mat& inputWhite, const cv::Mat& weight)
{
    testing::internal::CaptureStdout();
    biCATRegression(guidance, guidanceWhite, input, fourth, inputWhite, weight, 20.0f);
    return testing::internal::GetCapturedStdout();
}

} // namespace

TEST(LocalAdaptationAreImgsEqualivalent, ZeroSumIsFalseSmallMeanIsTrue)
{
    const cv::Mat img = photoBGR(9, 11, 1);
    cv::Mat near, far;
    cv::add(img, cv::Scalar::all(1e-4), near); // 3e-8 per pixel
    cv::add(img, cv::Scalar::all(1e-3), far); // 3e-6 per pixel
    const cv::Mat nans(
        img.size(), CV_32FC3, cv::Scalar::all(double(std::numeric_limits<float>::quiet_NaN())));
    EXPECT_FALSE(areImgsEqualivalent(img, img));
    EXPECT_TRUE(areImgsEqualivalent(img, near));
    EXPECT_FALSE(areImgsEqualivalent(img, far));
    EXPECT_FALSE(areImgsEqualivalent(img, nans));
    EXPECT_FALSE(areImgsEqualivalent(img, near.rowRange(0, 8))); // would read past it
}

TEST(LocalAdaptationBiCAT, TargetEqualToWhiteLeavesTheImage)
{
    testsupport::ScopedWorkDir dir;
    const cv::Mat original = photoSharpened(10, 12, 4);
    cv::Mat image = original.clone();
    const cv::Mat white = uniformRandom(10, 12, CV_32FC3, 0.1, 1.0, 5);
    const std::string out = runBiCAT(image, white, white.clone());
    EXPECT_TRUE(testsupport::near(image, original, kUnitGainTol));
    // Ratio 1 everywhere: the first pixel holds the largest.
    const cv::Vec3f w = white.at<cv::Vec3f>(0, 0);
    std::ostringstream expected;
    for (int k = 0; k < 3; ++k)
        expected << "1 " << w[k] << ' ' << w[k] << '\n';
    EXPECT_EQ(out, expected.str());
    EXPECT_EQ(testsupport::readFile("catRatio.txt").size(), 120u * 2); // "1\n" per pixel
}

TEST(LocalAdaptationBiCAT, NearBlackWhiteIsLiftedAndDegreeEntersTwice)
{
    testsupport::ScopedWorkDir dir;
    const cv::Mat original = photoSharpened(5, 6, 7);
    cv::Mat image = original.clone();
    // White 0 (below 1e-3) with target 0.02: 0.02 / (0 + 0.02) = 1.
    const cv::Mat black(5, 6, CV_32FC3, cv::Scalar::all(0.0));
    const cv::Mat target(5, 6, CV_32FC3, cv::Scalar::all(double(0.02f)));
    EXPECT_EQ(runBiCAT(image, black, target), "1 0 0.02\n1 0 0.02\n1 0 0.02\n");
    EXPECT_TRUE(testsupport::near(image, original, kUnitGainTol));

    // Ratio 2: overall factor 1 - D^2 + 2 D^2.
    const double D = double(computeAdapFactD(20.0f));
    image = original.clone();
    runBiCAT(image, cv::Mat(5, 6, CV_32FC3, cv::Scalar::all(0.5)),
        cv::Mat(5, 6, CV_32FC3, cv::Scalar::all(1.0)));
    EXPECT_TRUE(testsupport::near(image, original * (1.0 + D * D), kUnitGainTol));

    // Whites that do not cover the image are refused before anything changes.
    EXPECT_THROW(biCAT(image, black.rowRange(0, 2), cv::Mat(), target, cv::Mat()), cv::Exception);
}

TEST(LocalAdaptationBiCAT, SixThreadsAtOnceGiveTheSingleThreadedResultsAndWholeFiles)
{
    testsupport::ScopedWorkDir dir;
    constexpr int kThreads = 6;
    std::vector<cv::Mat> images, whites, targets, expected(kThreads);
    std::vector<std::string> ratioFiles, mapFiles;
    for (int t = 0; t < kThreads; ++t) {
        images.push_back(photoSharpened(24 + t, 30, 100 + t));
        whites.push_back(uniformRandom(24 + t, 30, CV_32FC3, 0.0, 1.0, 200 + t));
        targets.push_back(uniformRandom(24 + t, 30, CV_32FC3, 0.0, 1.0, 300 + t));
        whites.back().at<cv::Vec3f>(t, t) = cv::Vec3f(0.0f, 0.0005f, 0.0f); // near-black branch
        expected[t] = images[t].clone();
        runBiCAT(expected[t], whites[t], targets[t]);
        ratioFiles.push_back(testsupport::readFile("catRatio.txt"));
        mapFiles.push_back(testsupport::readFile("increaseMap.jpg"));
    }
    const auto isOneOf = [](const std::string& file, const std::vector<std::string>& outputs) {
        return !file.empty() && std::find(outputs.begin(), outputs.end(), file) != outputs.end();
    };
    for (int trial = 0; trial < 5; ++trial) {
        testing::internal::CaptureStdout();
        std::vector<std::thread> threads;
        std::vector<cv::Mat> results(kThreads);
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&, t] {
                for (int round = 0; round < 3; ++round) { // overlap the file writes
                    results[t] = images[t].clone();
                    biCAT(results[t], whites[t], cv::Mat(), targets[t], cv::Mat());
                }
            });
        for (std::thread& th : threads)
            th.join();
        testing::internal::GetCapturedStdout();
        for (int t = 0; t < kThreads; ++t)
            EXPECT_TRUE(testsupport::near(results[t], expected[t], 0.0)) << "thread " << t;
        // Each file is one call's whole output, though the two may be two calls'.
        EXPECT_TRUE(isOneOf(testsupport::readFile("catRatio.txt"), ratioFiles)) << trial;
        EXPECT_TRUE(isOneOf(testsupport::readFile("increaseMap.jpg"), mapFiles)) << trial;
    }
}

TEST(LocalAdaptationBiCATRegression, EqualWhitesUnitWeightAndTheVonKriesPart)
{
    testsupport::ScopedWorkDir dir;
    const int rows = 18, cols = 22;
    cv::Mat guidance = photoBGR(rows, cols, 20), input = photoBGR(rows, cols, 21);
    cv::Mat fourth = photoBGR(rows, cols, 22);
    cv::Mat guidanceWhite = uniformRandom(rows, cols, CV_32FC3, 0.1, 1.0, 23);
    cv::Mat inputWhite = guidanceWhite.clone();
    cv::Mat weight(rows, cols, CV_32FC1, cv::Scalar(1.0));
    const cv::Mat g0 = guidance.clone(), gw0 = guidanceWhite.clone(), in0 = input.clone();

    runRegression(guidance, guidanceWhite, input, fourth, inputWhite, weight);
    // a = 1, b = 0: the guidance, up to the scaling to 0..255 and back.
    EXPECT_TRUE(testsupport::near(guidance, g0, kByteRoundTripTol));
    EXPECT_TRUE(testsupport::near(guidanceWhite, gw0, kByteRoundTripTol));
    EXPECT_TRUE(testsupport::near(input, in0, kByteRoundTripTol));

    // Other whites and weights: D of the von Kries re-lighting
    // (w iw / gw g) and 1 - D of the re-lighting by an offset (w (g - gw + iw)).
    inputWhite = uniformRandom(rows, cols, CV_32FC3, 0.1, 1.0, 24);
    weight = uniformRandom(rows, cols, CV_32FC1, 0.5, 1.5, 25);
    guidance = g0.clone();
    runRegression(guidance, guidanceWhite, input, fourth, inputWhite, weight);
    const double D = static_cast<double>(computeAdapFactD(20.0f));
    cv::Mat expected(rows, cols, CV_64FC3), got;
    for (int i = 0; i < rows; ++i)
        for (int j = 0; j < cols; ++j)
            for (int k = 0; k < 3; ++k) {
                const double g = double(g0.at<cv::Vec3f>(i, j)[k]),
                             gw = double(gw0.at<cv::Vec3f>(i, j)[k]);
                const double iw = double(inputWhite.at<cv::Vec3f>(i, j)[k]),
                             w = double(weight.at<float>(i, j));
                expected.at<cv::Vec3d>(i, j)[k]
                    = D * (w * iw / gw * g) + (1.0 - D) * w * (g - gw + iw);
            }
    guidance.convertTo(got, CV_64F);
    EXPECT_TRUE(testsupport::near(got, expected, testsupport::scaled(kRegressionRel)));

    // Mismatched images are refused before anything is printed or scaled.
    cv::Mat shortWhite = inputWhite.rowRange(0, 4);
    EXPECT_THROW(biCATRegression(guidance, guidanceWhite, input, fourth, shortWhite, weight, 20.0f),
        cv::Exception);
    EXPECT_TRUE(testsupport::fileExists("diff1.jpg"));
}

TEST(LocalAdaptationPerformLocalCAMCA, BlendZeroReturnsTheImage)
{
    testsupport::ScopedWorkDir dir;
    const cv::Mat original = photoBGR(20, 24, 50);
    cv::Mat image = original.clone();
    // A reference of another size: only its grey-world white is used.
    const cv::Mat reference = photoBGR(7, 9, 51);
    testing::internal::CaptureStdout();
    performLocalCAMCA(image, reference, 0.0f);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(testsupport::near(image, original, kDisplayRoundTripTol));
    // The two grey-world whites, one "[b, g, r]" line each.
    EXPECT_EQ(std::count(out.begin(), out.end(), '['), 2);
}
