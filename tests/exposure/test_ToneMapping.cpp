#include "toolkit/exposure/ToneMapping.hpp"

#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include <cmath>

using toolkit::exposure::TonemapDurand;

namespace {

// Left half near 1, right half 10^4: almost four decades, about twice the
// contrast of 4. Across a step of ln(10^4) the bilateral weights fall below
// 1e-4, so the base layer is the log luminance itself and the detail layer
// is nearly zero: the output log range is the contrast up to that leakage.
constexpr float kStepHigh = 1e4f;
constexpr double kLogRangeTol = 0.01;
// Two float pow calls against one: a few float roundings, relative.
constexpr double kPowRel = 1e-5;

// rows x cols HDR image: each pixel a random colour times 10^(6 x / cols),
// with pixel (0, 0) black so that the joint normalisation is a pure scaling.
cv::Mat hdrImage(int rows, int cols, unsigned seed)
{
    cv::RNG rng(seed);
    cv::Mat img(rows, cols, CV_32FC3);
    for (int i = 0; i < rows; ++i)
        for (int j = 0; j < cols; ++j) {
            const float lum = static_cast<float>(std::pow(10.0, 6.0 * j / (cols - 1)));
            // One draw after another, the last channel first: as arguments
            // of one call their order would be the compiler's.
            const float third = rng.uniform(0.1f, 1.0f), second = rng.uniform(0.1f, 1.0f);
            const cv::Vec3f c(rng.uniform(0.1f, 1.0f), second, third);
            img.at<cv::Vec3f>(i, j) = c * lum;
        }
    img.at<cv::Vec3f>(0, 0) = cv::Vec3f(0, 0, 0);
    return img;
}

// Natural-log range of the grey level over the pixels that are not black.
double logRangeOfGrey(const cv::Mat& img)
{
    cv::Mat grey;
    cv::cvtColor(img, grey, cv::COLOR_RGB2GRAY);
    double lo = 0.0, hi = 0.0;
    cv::minMaxLoc(grey, &lo, &hi, nullptr, nullptr, grey > 0);
    return std::log(hi) - std::log(lo);
}

} // namespace

TEST(ToneMappingTonemapDurand, CompressesLogRangeToContrast)
{
    // Channel 0 of the dark half holds the image's minimum, so no pixel is
    // black after the joint normalisation.
    cv::Mat hdr(12, 32, CV_32FC3, cv::Scalar(0.0, 2.0, 2.0));
    hdr.colRange(16, 32).setTo(cv::Scalar::all(double(kStepHigh)));
    for (float contrast : { 2.0f, 4.0f }) {
        cv::Mat out;
        TonemapDurand(1.0f, contrast, 1.0f, 2.0f, 2.0f).process(hdr, out);
        EXPECT_NEAR(logRangeOfGrey(out), contrast, kLogRangeTol) << "contrast " << contrast;
    }
}

TEST(ToneMappingTonemapDurand, GammaIsAFinalPower)
{
    const cv::Mat hdr = hdrImage(10, 40, 2);
    cv::Mat linear, corrected;
    TonemapDurand(1.0f, 4.0f, 1.0f, 2.0f, 2.0f).process(hdr, linear);
    TonemapDurand(2.2f, 4.0f, 1.0f, 2.0f, 2.0f).process(hdr, corrected);
    cv::Mat expected;
    cv::pow(linear, 1.0 / 2.2, expected);
    EXPECT_LE(cv::norm(corrected, expected, cv::NORM_INF | cv::NORM_RELATIVE), kPowRel);
}

TEST(ToneMappingTonemapDurand, SaturationIsTheExponentOfChannelRatios)
{
    const cv::Mat hdr = hdrImage(8, 32, 3);
    for (float saturation : { 0.0f, 0.5f, 1.0f }) {
        cv::Mat out;
        TonemapDurand(1.0f, 4.0f, saturation, 2.0f, 2.0f).process(hdr, out);
        for (int j = 1; j < hdr.cols; ++j) {
            const cv::Vec3f in = hdr.at<cv::Vec3f>(3, j), o = out.at<cv::Vec3f>(3, j);
            const double expected = std::pow(double(in[0]) / double(in[2]), double(saturation));
            EXPECT_TRUE(
                testsupport::near(o[0] / o[2], expected, testsupport::relative(kPowRel * 10)))
                << "column " << j;
        }
    }
}

TEST(ToneMappingTonemapDurand, BlackStaysBlackAndNothingIsNaN)
{
    cv::Mat out;
    TonemapDurand(2.2f, 4.0f, 1.0f, 2.0f, 2.0f).process(hdrImage(8, 24, 4), out);
    EXPECT_EQ(out.at<cv::Vec3f>(0, 0), cv::Vec3f(0, 0, 0));
    EXPECT_TRUE(cv::checkRange(out)) << "NaN or infinity";

    // Flat images have no base range to compress: no inf or NaN either, and
    // an all-black image stays black.
    const cv::Mat flat(6, 7, CV_32FC3, cv::Scalar(5.0, 5.0, 5.0));
    TonemapDurand(2.2f, 4.0f, 1.0f, 2.0f, 2.0f).process(flat, out);
    EXPECT_TRUE(cv::checkRange(out)) << "NaN or infinity";
    EXPECT_NEAR(out.at<cv::Vec3f>(2, 3)[1], std::pow(5.0, 1.0 / 2.2), kPowRel * 2);
    const cv::Mat black = cv::Mat::zeros(6, 7, CV_32FC3);
    TonemapDurand().process(black, out);
    EXPECT_EQ(cv::countNonZero(out.reshape(1)), 0);
}
