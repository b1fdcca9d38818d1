#include "toolkit/color/LocalAdaptation.hpp"

#include "toolkit/color/ChromaticAdaptation.hpp"
#include "toolkit/color/RgbXyz.hpp"
#include "toolkit/common/CommonFunctions.hpp"

#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <cmath>
#include <limits>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace toolkit::color;

namespace {

// A factor that is 1 in exact arithmetic, formed as (1 - D) + D and then
// g D + 1 - D in float: a few roundings of half an ulp, relative.
constexpr double kUnitGainRel = 5e-7;
// A multiplication and a division by 255 in float: two roundings, relative.
constexpr double kByteRoundTripRel = 1.2e-7;
// The bilateral re-lighting model evaluated in float on the 0..255 scale and
// brought back: a handful of roundings, relative to values of about 0.1..1.
constexpr double kRegressionRel = 2e-6;
// Display -> XYZ -> sharpened -> XYZ -> display with float matrices and LU
// inverses, magnified up to 12.92 times by the transfer curve.
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

// Uniform values in [low, high) from a fixed seed.
cv::Mat randomImage(int rows, int cols, int type, double low, double high, unsigned seed)
{
    cv::Mat m(rows, cols, type);
    cv::RNG rng(seed);
    rng.fill(m, cv::RNG::UNIFORM, cv::Scalar::all(low), cv::Scalar::all(high));
    return m;
}

// |a - e| <= abs + rel |e| everywhere; reports the worst element.
void expectImagesNear(const cv::Mat& actual, const cv::Mat& expected, double abs, double rel)
{
    ASSERT_EQ(actual.size(), expected.size());
    ASSERT_EQ(actual.type(), expected.type());
    const cv::Mat a = actual.reshape(1), e = expected.reshape(1);
    double worst = -1.0;
    int wi = 0, wj = 0;
    for (int i = 0; i < a.rows; ++i)
        for (int j = 0; j < a.cols; ++j) {
            const double ev = e.at<float>(i, j);
            const double err = std::abs(a.at<float>(i, j) - ev);
            const double ratio = err == 0.0 ? 0.0 : err / (abs + rel * std::abs(ev));
            if (!(ratio <= worst)) {
                worst = ratio;
                wi = i, wj = j;
            }
        }
    EXPECT_LE(worst, 1.0) << "at row " << wi << ", element " << wj << ": " << a.at<float>(wi, wj)
                          << " vs " << e.at<float>(wi, wj) << " (" << worst << " x tol)";
}

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

std::string runBiCAT(cv::Mat& image, const cv::Mat& white, const cv::Mat& target)
{
    testing::internal::CaptureStdout();
    biCAT(image, white, cv::Mat(), target, cv::Mat());
    return testing::internal::GetCapturedStdout();
}

} // namespace

// ---- areImgsEqualivalent -------------------------------------------------

TEST(AreImgsEqualivalent, ZeroSumIsNotEquivalent)
{
    const cv::Mat img = photoBGR(9, 11, 1);
    EXPECT_FALSE(areImgsEqualivalent(img, img));
    EXPECT_FALSE(areImgsEqualivalent(img, img.clone()));
    const cv::Mat nans(img.size(), CV_32FC3, cv::Scalar::all(std::numeric_limits<float>::quiet_NaN()));
    EXPECT_FALSE(areImgsEqualivalent(img, nans));
    EXPECT_FALSE(areImgsEqualivalent(nans, img));
}

TEST(AreImgsEqualivalent, ThresholdOnMeanSquaredDifferencePerPixel)
{
    const cv::Mat img = photoBGR(9, 11, 2);
    cv::Mat near;
    cv::add(img, cv::Scalar::all(1e-4), near); // 3 x 1e-8 per pixel
    EXPECT_TRUE(areImgsEqualivalent(img, near));
    cv::Mat far;
    cv::add(img, cv::Scalar::all(1e-3), far); // 3 x 1e-6 per pixel
    EXPECT_FALSE(areImgsEqualivalent(img, far));

    // NaN pairs are skipped but the mean is still taken over all pixels.
    near.at<cv::Vec3f>(3, 4) = cv::Vec3f(NAN, NAN, NAN);
    EXPECT_TRUE(areImgsEqualivalent(img, near));
}

TEST(AreImgsEqualivalent, MismatchedImagesAreNotEquivalent)
{
    const cv::Mat img = photoBGR(9, 11, 3);
    cv::Mat shifted;
    cv::add(img, cv::Scalar::all(1e-4), shifted);
    EXPECT_FALSE(areImgsEqualivalent(img, shifted.rowRange(0, 8)));
    EXPECT_FALSE(areImgsEqualivalent(img.reshape(1), shifted));
}

// ---- biCAT ---------------------------------------------------------------

TEST(BiCAT, TargetEqualToWhiteLeavesTheImageUnchanged)
{
    testsupport::ScopedWorkDir dir;
    const cv::Mat original = photoSharpened(10, 12, 4);
    cv::Mat image = original.clone();
    const cv::Mat white = randomImage(10, 12, CV_32FC3, 0.1, 1.0, 5);
    const std::vector<std::string> out = lines(runBiCAT(image, white, white.clone()));
    expectImagesNear(image, original, 0.0, kUnitGainRel);

    // Every ratio is 1; the first pixel holds the largest.
    ASSERT_EQ(out.size(), 3u);
    for (int k = 0; k < 3; ++k) {
        std::ostringstream expected;
        const float w = white.at<cv::Vec3f>(0, 0)[k];
        expected << 1 << ' ' << w << ' ' << w;
        EXPECT_EQ(out[k], expected.str()) << "channel " << k;
    }
    EXPECT_TRUE(testsupport::fileExists("increaseMap.jpg"));
    const std::vector<std::string> ratios = lines(testsupport::readFile("catRatio.txt"));
    ASSERT_EQ(ratios.size(), 120u);
    for (const std::string& r : ratios)
        ASSERT_EQ(r, "1");
}

TEST(BiCAT, DegreeOfAdaptationEntersTwice)
{
    testsupport::ScopedWorkDir dir;
    const cv::Mat original = photoSharpened(6, 7, 6);
    cv::Mat image = original.clone();
    const cv::Mat white(6, 7, CV_32FC3, cv::Scalar(0.5f, 0.25f, 0.8f));
    const cv::Mat target(6, 7, CV_32FC3, cv::Scalar(1.0f, 0.5f, 0.4f)); // ratios 2, 2, 0.5
    runBiCAT(image, white, target);
    const double D = computeAdapFactD(20.0f);
    const double factors[3] = { 1.0 + D * D, 1.0 + D * D, 1.0 - 0.5 * D * D };
    std::vector<cv::Mat> planes;
    cv::split(original, planes);
    for (int k = 0; k < 3; ++k)
        planes[k] *= factors[k];
    cv::Mat expected;
    cv::merge(planes, expected);
    expectImagesNear(image, expected, 0.0, kUnitGainRel);
}

TEST(BiCAT, NearBlackWhiteIsLiftedBeforeDividing)
{
    testsupport::ScopedWorkDir dir;
    const cv::Mat original = photoSharpened(5, 6, 7);
    cv::Mat image = original.clone();
    // White 0 with target 0.02: ratio 0.02 / (0 + 0.02) = 1.
    const cv::Mat black(5, 6, CV_32FC3, cv::Scalar::all(0.0f));
    const cv::Mat target(5, 6, CV_32FC3, cv::Scalar::all(0.02f));
    const std::vector<std::string> out = lines(runBiCAT(image, black, target));
    expectImagesNear(image, original, 0.0, kUnitGainRel);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[2], "1 0 0.02");

    // A white of 1e-3 is not lifted: ratio 0.02 / 0.001 = 20.
    image = original.clone();
    const cv::Mat dim(5, 6, CV_32FC3, cv::Scalar::all(0.001f));
    runBiCAT(image, dim, target);
    EXPECT_EQ(lines(testsupport::readFile("catRatio.txt")).front(), "20");
}

TEST(BiCAT, LargestRatioPositionAndChannelWithoutPositiveRatio)
{
    testsupport::ScopedWorkDir dir;
    cv::Mat image(4, 5, CV_32FC3, cv::Scalar::all(0.5f));
    const cv::Mat white(4, 5, CV_32FC3, cv::Scalar::all(1.0f));
    cv::Mat target(4, 5, CV_32FC3, cv::Scalar(0.0f, 0.5f, 0.5f));
    target.at<cv::Vec3f>(2, 3)[1] = 3.0f; // channel 1: largest at (2, 3)
    target.at<cv::Vec3f>(1, 1)[2] = 2.0f; // channel 2: largest at (1, 1), first of a tie
    target.at<cv::Vec3f>(3, 4)[2] = 2.0f;
    const std::vector<std::string> out = lines(runBiCAT(image, white, target));
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0], "0 1 0"); // no ratio above 0: pixel (0, 0)
    EXPECT_EQ(out[1], "3 1 3");
    EXPECT_EQ(out[2], "2 1 2");
    EXPECT_TRUE(cv::checkRange(image));
}

TEST(BiCAT, RejectsWhitesThatDoNotCoverTheImage)
{
    testsupport::ScopedWorkDir dir;
    cv::Mat image = photoSharpened(6, 8, 8);
    const cv::Mat before = image.clone();
    const cv::Mat small(3, 8, CV_32FC3, cv::Scalar::all(1.0f));
    const cv::Mat full(6, 8, CV_32FC3, cv::Scalar::all(1.0f));
    EXPECT_THROW(biCAT(image, small, cv::Mat(), full, cv::Mat()), cv::Exception);
    EXPECT_THROW(biCAT(image, full, cv::Mat(), small, cv::Mat()), cv::Exception);
    EXPECT_EQ(cv::norm(image, before, cv::NORM_INF), 0.0);
    EXPECT_FALSE(testsupport::fileExists("catRatio.txt"));
}

TEST(BiCAT, SixThreadsAtOnceGiveTheSingleThreadedResults)
{
    testsupport::ScopedWorkDir dir;
    constexpr int kThreads = 6;
    std::vector<cv::Mat> images, whites, targets, expected;
    for (int t = 0; t < kThreads; ++t) {
        images.push_back(photoSharpened(24 + t, 30, 100 + t));
        whites.push_back(randomImage(24 + t, 30, CV_32FC3, 0.0, 1.0, 200 + t));
        targets.push_back(randomImage(24 + t, 30, CV_32FC3, 0.0, 1.0, 300 + t));
        // Some whites take the near-black branch.
        whites.back().at<cv::Vec3f>(t, t) = cv::Vec3f(0.0f, 0.0005f, 0.0f);
    }
    testing::internal::CaptureStdout();
    for (int t = 0; t < kThreads; ++t) {
        expected.push_back(images[t].clone());
        biCAT(expected[t], whites[t], cv::Mat(), targets[t], cv::Mat());
    }
    const std::vector<std::string> single = lines(testing::internal::GetCapturedStdout());

    testing::internal::CaptureStdout();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int round = 0; round < 3; ++round) {
                cv::Mat img = images[t].clone();
                biCAT(img, whites[t], cv::Mat(), targets[t], cv::Mat());
                if (round == 2)
                    images[t] = img;
            }
        });
    for (std::thread& th : threads)
        th.join();
    std::vector<std::string> concurrent = lines(testing::internal::GetCapturedStdout());

    for (int t = 0; t < kThreads; ++t)
        EXPECT_EQ(cv::norm(images[t], expected[t], cv::NORM_INF), 0.0) << "thread " << t;
    // Every printed line is whole: each one is a line of the single-threaded run.
    EXPECT_EQ(concurrent.size(), 3u * single.size());
    for (const std::string& line : concurrent)
        EXPECT_NE(std::find(single.begin(), single.end(), line), single.end()) << line;
    // The file holds one thread's last channel, whole.
    const std::vector<std::string> ratios = lines(testsupport::readFile("catRatio.txt"));
    bool matchesOne = false;
    for (int t = 0; t < kThreads; ++t)
        matchesOne = matchesOne || ratios.size() == static_cast<size_t>(images[t].total());
    EXPECT_TRUE(matchesOne) << ratios.size() << " lines";
}

// ---- biCATRegression -----------------------------------------------------

namespace {

struct RegressionSet {
    cv::Mat guidance, guidanceWhite, input, fourth, inputWhite, weight;
};

RegressionSet regressionSet(int rows, int cols, unsigned seed)
{
    RegressionSet s;
    s.guidance = photoBGR(rows, cols, seed);
    s.input = photoBGR(rows, cols, seed + 1);
    s.fourth = photoBGR(rows, cols, seed + 2);
    s.guidanceWhite = randomImage(rows, cols, CV_32FC3, 0.1, 1.0, seed + 3);
    s.inputWhite = randomImage(rows, cols, CV_32FC3, 0.1, 1.0, seed + 4);
    s.weight = randomImage(rows, cols, CV_32FC1, 0.5, 1.5, seed + 5);
    return s;
}

std::string runRegression(RegressionSet& s, float sigma = 20.0f)
{
    testing::internal::CaptureStdout();
    biCATRegression(s.guidance, s.guidanceWhite, s.input, s.fourth, s.inputWhite, s.weight, sigma);
    return testing::internal::GetCapturedStdout();
}

} // namespace

TEST(BiCATRegression, UnitWeightAndEqualWhitesReturnTheGuidance)
{
    testsupport::ScopedWorkDir dir;
    RegressionSet s = regressionSet(20, 26, 10);
    s.inputWhite = s.guidanceWhite.clone();
    s.weight.setTo(1.0f);
    const cv::Mat guidance = s.guidance.clone();
    runRegression(s);
    // a = 1 and b = 0; only the scaling to 0..255 and back remains.
    expectImagesNear(s.guidance, guidance, 0.0, 2 * kByteRoundTripRel);
}

TEST(BiCATRegression, LinearModelAndVonKriesReduction)
{
    testsupport::ScopedWorkDir dir;
    RegressionSet s = regressionSet(18, 22, 20);
    // Where the guidance equals its white the result is weight x input white
    // for any D, the von Kries re-lighting of the white itself.
    s.guidance.rowRange(0, 3).copyTo(s.guidanceWhite.rowRange(0, 3));
    const RegressionSet before = { s.guidance.clone(), s.guidanceWhite.clone(), s.input.clone(),
                                   s.fourth.clone(), s.inputWhite.clone(), s.weight.clone() };
    runRegression(s);

    const double D = computeAdapFactD(20.0f);
    cv::Mat expected(s.guidance.size(), CV_32FC3);
    for (int i = 0; i < expected.rows; ++i)
        for (int j = 0; j < expected.cols; ++j)
            for (int k = 0; k < 3; ++k) {
                const double g = before.guidance.at<cv::Vec3f>(i, j)[k];
                const double gw = before.guidanceWhite.at<cv::Vec3f>(i, j)[k];
                const double iw = before.inputWhite.at<cv::Vec3f>(i, j)[k];
                const double w = before.weight.at<float>(i, j);
                // D of the von Kries re-lighting (weight x input white /
                // guidance white x guidance), 1 - D of the re-lighting by an
                // offset (weight x (guidance - guidance white + input white)).
                const double vonKries = w * iw / gw * g;
                const double offset = w * (g - gw + iw);
                expected.at<cv::Vec3f>(i, j)[k] = static_cast<float>(D * vonKries + (1.0 - D) * offset);
            }
    expectImagesNear(s.guidance, expected, 1e-6, kRegressionRel);
    cv::Mat whiteRows = before.inputWhite.rowRange(0, 3).clone();
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < whiteRows.cols; ++j)
            whiteRows.at<cv::Vec3f>(i, j) *= before.weight.at<float>(i, j);
    expectImagesNear(s.guidance.rowRange(0, 3).clone(), whiteRows, 1e-6, kRegressionRel);

    // The four other images come back to their former values.
    expectImagesNear(s.guidanceWhite, before.guidanceWhite, 0.0, 2 * kByteRoundTripRel);
    expectImagesNear(s.input, before.input, 0.0, 2 * kByteRoundTripRel);
    expectImagesNear(s.fourth, before.fourth, 0.0, 2 * kByteRoundTripRel);
    expectImagesNear(s.inputWhite, before.inputWhite, 0.0, 2 * kByteRoundTripRel);
}

TEST(BiCATRegression, DarkGuidanceWhiteIsNotDividedByAndIsFlagged)
{
    testsupport::ScopedWorkDir dir;
    RegressionSet s = regressionSet(16, 16, 30);
    s.guidanceWhite.setTo(cv::Scalar::all(0.5f / 255.0f)); // 0.5 on the 0..255 scale
    s.inputWhite.setTo(cv::Scalar::all(0.2f));
    s.weight.setTo(1.0f);
    const cv::Mat guidance = s.guidance.clone();
    runRegression(s);

    // ratio = input white on 0..255 (51), a = 1 - D + 51 D; the result on
    // 0..1 is input white + a (guidance - guidance white).
    const double D = computeAdapFactD(20.0f);
    const double a = 1.0 - D + D * 0.2f * 255.0f;
    cv::Mat expected(guidance.size(), CV_32FC3);
    for (int i = 0; i < expected.rows; ++i)
        for (int j = 0; j < expected.cols; ++j)
            for (int k = 0; k < 3; ++k)
                expected.at<cv::Vec3f>(i, j)[k] = static_cast<float>(
                    0.2f + a * (guidance.at<cv::Vec3f>(i, j)[k] - 0.5f / 255.0f));
    expectImagesNear(s.guidance, expected, 1e-5, kRegressionRel);
    EXPECT_TRUE(cv::checkRange(s.guidance));

    // Every channel is flagged, so the flag image is black.
    const cv::Mat flags = cv::imread("diff1.jpg");
    ASSERT_FALSE(flags.empty());
    double maxFlag = 0.0;
    cv::minMaxLoc(flags.reshape(1), nullptr, &maxFlag);
    EXPECT_LE(maxFlag, 2.0); // JPEG noise on a black image
    for (const char* name : { "covariance1.jpg", "covariance2.jpg", "variance.jpg",
                              "ratio_bowls.jpg", "whiteGuidance.jpg", "whiteInput.jpg" })
        EXPECT_TRUE(testsupport::fileExists(name)) << name;
    EXPECT_EQ(testsupport::readFile("catRatio.txt"), "");
}

TEST(BiCATRegression, RejectsMismatchedImagesBeforeScalingAnything)
{
    testsupport::ScopedWorkDir dir;
    RegressionSet s = regressionSet(10, 12, 40);
    const cv::Mat guidance = s.guidance.clone();
    s.inputWhite = s.inputWhite.rowRange(0, 5).clone();
    testing::internal::CaptureStdout();
    EXPECT_THROW(biCATRegression(s.guidance, s.guidanceWhite, s.input, s.fourth, s.inputWhite,
                                 s.weight, 20.0f),
                 cv::Exception);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(cv::norm(s.guidance, guidance, cv::NORM_INF), 0.0);
}

// ---- performLocalCAMCA ---------------------------------------------------

TEST(PerformLocalCAMCA, BlendZeroReturnsTheImage)
{
    testsupport::ScopedWorkDir dir;
    const cv::Mat original = photoBGR(20, 24, 50);
    cv::Mat image = original.clone();
    const cv::Mat reference = photoBGR(20, 24, 51);
    testing::internal::CaptureStdout();
    performLocalCAMCA(image, reference, 0.0f);
    const std::vector<std::string> out = lines(testing::internal::GetCapturedStdout());
    expectImagesNear(image, original, kDisplayRoundTripTol, 0.0);

    // The two grey-world whites, reference first.
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].front(), '[');
    EXPECT_EQ(out[1].front(), '[');
}

TEST(PerformLocalCAMCA, BlendOneMovesTowardsTheReferenceWhite)
{
    testsupport::ScopedWorkDir dir;
    // A blue cast, and a neutral grey reference.
    cv::Mat image = photoBGR(20, 24, 60);
    cv::Mat cast = image * 0.7;
    cv::add(cast, cv::Scalar(0.25, 0.1, 0.0), image);
    const cv::Mat castImage = image.clone();
    const cv::Mat reference(20, 24, CV_32FC3, cv::Scalar::all(0.5f));
    testing::internal::CaptureStdout();
    performLocalCAMCA(image, reference, 1.0f);
    testing::internal::GetCapturedStdout();
    const cv::Scalar before = cv::mean(castImage), after = cv::mean(image);
    EXPECT_LT(after[0] / after[2], before[0] / before[2]); // blue relative to red falls
}

TEST(PerformLocalCAMCA, ReferenceOfAnotherSizeIsSafe)
{
    testsupport::ScopedWorkDir dir;
    const cv::Mat original = photoBGR(16, 20, 70);
    cv::Mat image = original.clone();
    const cv::Mat reference = photoBGR(6, 7, 71);
    testing::internal::CaptureStdout();
    performLocalCAMCA(image, reference, 0.0f);
    testing::internal::GetCapturedStdout();
    expectImagesNear(image, original, kDisplayRoundTripTol, 0.0);
}
