#include "toolkit/color/WhitePoint.hpp"

#include "toolkit/common/CommonFunctions.hpp"

#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include <limits>
#include <sstream>

using namespace toolkit::color;

namespace {

// Float rounding of the YUV matrix, its LU inverse and a 3 x 3 product.
constexpr double kWhiteTol = 1e-6;
// The count starts at 1e-5, so means are low by that relative amount.
constexpr double kMeanTol = 1e-5;
// Whites worked by hand from four-decimal U and V.
constexpr double kHandWorkedTol = 1e-4;
// Float sums over the scene against cv::mean's double sum.
constexpr double kSceneMeanTol = 1e-4;

struct Estimate {
    bool converged;
    cv::Vec3f white;
    std::string printed;
};

cv::Mat freshState()
{
    return cv::Mat(
        1, 1, CV_32FC3, cv::Scalar::all(double(std::numeric_limits<float>::quiet_NaN())));
}

Estimate estimate(const cv::Mat& image, cv::Mat& state, const cv::Mat& mask = cv::Mat())
{
    cv::Mat white(1, 1, CV_32FC3);
    testing::internal::CaptureStdout();
    const bool converged = computeWhitePointFromGrayWorld(image, white, state, mask);
    return { converged, white.at<cv::Vec3f>(0, 0), testing::internal::GetCapturedStdout() };
}

std::string matrixLine(const cv::Vec3f& white)
{
    std::ostringstream text;
    text << cv::Mat(
        1, 1, CV_32FC3, cv::Scalar(double(white[0]), double(white[1]), double(white[2])))
         << std::endl;
    return text.str();
}

// A photograph-like grey scene (every pixel neutral) under the cast (b, g, r).
cv::Mat castGreyScene(float b, float g, float r, double* meanGrey)
{
    cv::Mat img8 = testsupport::makePhoto(24, 32, 17), img(24, 32, CV_32FC3), grey;
    toolkit::common::normImg(img8, img);
    cv::cvtColor(img, grey, cv::COLOR_BGR2GRAY);
    grey = grey * 0.8 + 0.1; // no black pixel, which would not count as neutral
    *meanGrey = cv::mean(grey)[0];
    cv::Mat planes[] = { grey * double(b), grey * double(g), grey * double(r) }, out;
    cv::merge(planes, 3, out);
    return out;
}

} // namespace

TEST(WhitePointGreyWorld, GreyImagePrintsNeutralWhiteThenConverges)
{
    const cv::Mat grey(8, 8, CV_32FC3, cv::Scalar::all(0.5));
    cv::Mat state = freshState();
    const Estimate first = estimate(grey, state);
    EXPECT_FALSE(first.converged) << "the first estimate of a sequence never converges";
    EXPECT_TRUE(testsupport::near(first.white, cv::Vec3f(1, 1, 1), kWhiteTol));
    EXPECT_EQ(first.printed, matrixLine(first.white));
    EXPECT_EQ(state.at<cv::Vec3f>(0, 0)[0], 1.0f);

    // Same mask-independent result on the second call, now converged and silent.
    const Estimate second = estimate(grey, state, cv::Mat::zeros(3, 2, CV_8UC1));
    EXPECT_TRUE(second.converged);
    EXPECT_EQ(second.printed, "");
    EXPECT_EQ(second.white, first.white);
}

TEST(WhitePointGreyWorld, SaturatedColoursOnlyGiveDisplayWhite)
{
    // Primaries, secondaries and black (Y = 0): no pixel is near-neutral.
    const cv::Mat img
        = (cv::Mat_<cv::Vec3f>(1, 7) << cv::Vec3f(1, 0, 0), cv::Vec3f(0, 1, 0), cv::Vec3f(0, 0, 1),
            cv::Vec3f(1, 1, 0), cv::Vec3f(0, 1, 1), cv::Vec3f(1, 0, 1), cv::Vec3f(0, 0, 0));
    cv::Mat state = freshState();
    const Estimate first = estimate(img, state);
    EXPECT_FALSE(first.converged);
    EXPECT_EQ(state.at<cv::Vec3f>(0, 0), cv::Vec3f(1, 0, 0));
    EXPECT_TRUE(testsupport::near(first.white, cv::Vec3f(1, 1, 1), kWhiteTol));
    EXPECT_TRUE(estimate(img, state).converged) << "a neutral estimate converges";
}

TEST(WhitePointGreyWorld, TintedPixelsGiveTheirMeanChromaAndSaturatedOnesAreIgnored)
{
    // (B, G, R) = (0.5, 0.5, 0.6): Y = 0.5299, U = B - Y, V = R - Y, ratio 0.19.
    cv::Mat img(4, 4, CV_32FC3, cv::Scalar(0.5, 0.5, 0.6));
    img.rowRange(0, 2).setTo(cv::Scalar(0, 0, 1)); // red: ratio 3.3, left out
    cv::Mat state = freshState();
    const Estimate e = estimate(img, state);
    const cv::Vec3f s = state.at<cv::Vec3f>(0, 0);
    EXPECT_NEAR(s[1], -0.0299f, kMeanTol);
    EXPECT_NEAR(s[2], 0.0701f, kMeanTol);
    // Back through the BT.601 inverse with Y = 1: B = 1 + U, R = 1 + V (clipped
    // to 1), G = 1 - (0.299 V + 0.114 U) / 0.587.
    EXPECT_TRUE(testsupport::near(e.white,
        cv::Vec3f(0.9701f, 1 - (0.299f * 0.0701f - 0.114f * 0.0299f) / 0.587f, 1), kHandWorkedTol));
}

TEST(WhitePointGreyWorld, TintedPhotographGivesItsCast)
{
    // An all-neutral scene under a warm cast: U and V are the cast's chroma
    // times the mean grey (luminance is normalised, U and V are not).
    double meanGrey = 0;
    cv::Mat warm = castGreyScene(0.8f, 0.9f, 1.0f, &meanGrey), state = freshState();
    const Estimate e = estimate(warm, state);
    const float Y = 0.299f + 0.587f * 0.9f + 0.114f * 0.8f;
    EXPECT_NEAR(state.at<cv::Vec3f>(0, 0)[1], double(0.8f - Y) * meanGrey, kSceneMeanTol);
    EXPECT_NEAR(state.at<cv::Vec3f>(0, 0)[2], double(1.0f - Y) * meanGrey, kSceneMeanTol);
    EXPECT_LT(e.white[0], e.white[1]);
    EXPECT_EQ(e.white[2], 1.0f);
}

TEST(WhitePointGreyWorld, LargePhotographGivesTheSameEstimateAsOnePixel)
{
    // Four million pixels of one slightly warm grey: a float running sum of
    // their chroma would round each addend to a coarse step and move the
    // estimate; the estimate must be that of the single pixel.
    const cv::Scalar warmGrey(0.45, 0.5, 0.55);
    cv::Mat large(2000, 2000, CV_32FC3, warmGrey), pixel(1, 1, CV_32FC3, warmGrey);
    cv::Mat largeState = freshState(), pixelState = freshState();
    const Estimate big = estimate(large, largeState);
    const Estimate one = estimate(pixel, pixelState);
    EXPECT_TRUE(testsupport::near(big.white, one.white, kMeanTol));
    EXPECT_NEAR(largeState.at<cv::Vec3f>(0, 0)[1], pixelState.at<cv::Vec3f>(0, 0)[1], kMeanTol);
    EXPECT_NEAR(largeState.at<cv::Vec3f>(0, 0)[2], pixelState.at<cv::Vec3f>(0, 0)[2], kMeanTol);
}

TEST(WhitePointGreyWorld, ConvergenceMeansSettledOrNeutral)
{
    double meanGrey = 0;
    const cv::Mat warm = castGreyScene(0.8f, 0.9f, 1.0f, &meanGrey);
    cv::Mat state = freshState();
    EXPECT_FALSE(estimate(warm, state).converged);
    // Far from neutral but unchanged: settled.
    const Estimate again = estimate(warm, state);
    EXPECT_TRUE(again.converged);
    EXPECT_EQ(again.printed, "");
    // A change of about 1e-3 in U and V is neither settled nor neutral.
    const cv::Mat shifted = castGreyScene(0.805f, 0.9f, 0.995f, &meanGrey);
    const Estimate moved = estimate(shifted, state);
    EXPECT_FALSE(moved.converged);
    EXPECT_EQ(moved.printed, matrixLine(moved.white));
}

TEST(WhitePointLabWhite, DisplayWhiteGivesD50AndBlackGivesZero)
{
    cv::Mat W(1, 1, CV_32FC3);
    adaptXYZToNewWhitePoint(W, cv::Mat(1, 1, CV_32FC3, cv::Scalar::all(1)));
    EXPECT_TRUE(
        testsupport::near(W.at<cv::Vec3f>(0, 0), cv::Vec3f(0.9642f, 1.0f, 0.8249f), kWhiteTol));
    adaptXYZToNewWhitePoint(W, cv::Mat(1, 1, CV_32FC3, cv::Scalar::all(0)));
    EXPECT_EQ(W.at<cv::Vec3f>(0, 0), cv::Vec3f(0, 0, 0));
    // A grey reference scales D50 by its linear value.
    adaptXYZToNewWhitePoint(W, cv::Mat(1, 1, CV_32FC3, cv::Scalar::all(0.5)));
    EXPECT_TRUE(testsupport::near(
        W.at<cv::Vec3f>(0, 0), cv::Vec3f(0.9642f, 1.0f, 0.8249f) * 0.2140411f, kWhiteTol));
}
