#include "toolkit/transport/MongeTransform.hpp"

#include "toolkit/common/CommonFunctions.hpp"
#include "toolkit/transport/ColorStatistics.hpp"

#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <limits>

using namespace toolkit::transport;

namespace {

const float kNaN = std::numeric_limits<float>::quiet_NaN();
// Lab in 0..255: the map comes out of float eigen decompositions (relative
// error ~1e-5), times deviations from the mean of up to ~200.
constexpr double kMappedTol = 5e-3;
// Covariances of mapped images: float sums over thousands of pixels.
constexpr double kCovRelTol = 2e-3;

cv::Mat scaledLabPhoto(int rows, int cols, unsigned seed)
{
    cv::Mat bgr = testsupport::makePhoto(rows, cols, seed), norm(rows, cols, CV_32FC3), lab;
    toolkit::common::normImg(bgr, norm);
    cv::cvtColor(norm, lab, cv::COLOR_BGR2Lab);
    toolkit::common::scaleLab(lab);
    return lab;
}

cv::Mat usedChannels(const cv::Mat& img, int n)
{
    cv::Mat out(img.size(), CV_32FC2);
    const int fromTo[] = { 1, 0, 2, 1 };
    cv::mixChannels(&img, 1, &out, 1, fromTo, 2);
    return n == 3 ? img : out;
}

cv::Mat covariance(const cv::Mat& img)
{
    cv::Mat cov, mean;
    cv::calcCovarMatrix(img.reshape(1, int(img.total())), cov, mean,
        cv::COVAR_NORMAL | cv::COVAR_ROWS | cv::COVAR_SCALE, CV_64F);
    return cov * (double(img.total()) / (img.total() - 1));
}

struct Transfer {
    cv::Mat output, covInverse, inputMeans, targetCov, targetMeans, transport;
    std::string printed;
};

Transfer transfer(const cv::Mat& input, const cv::Mat& target, float t, int n, bool bonneel = false)
{
    Transfer r { cv::Mat(input.size(), CV_MAKETYPE(CV_32F, n)), cv::Mat::zeros(3, 3, CV_32F),
        cv::Mat::zeros(1, bonneel ? 3 : n, CV_32F), cv::Mat::zeros(2, 2, CV_32F),
        cv::Mat::zeros(1, bonneel ? 2 : n, CV_32F), cv::Mat::zeros(n, n, CV_32F), "" };
    testing::internal::CaptureStdout();
    (bonneel ? applyOptimalTransportBonneel : applyOptimalTransport)(input, target, r.output,
        r.covInverse, r.inputMeans, r.targetCov, r.targetMeans, r.transport, t, n);
    r.printed = testing::internal::GetCapturedStdout();
    return r;
}

int lines(const std::string& text)
{
    return int(std::count(text.begin(), text.end(), '\n'));
}

} // namespace

TEST(MongeTransformMappings, AffineFormulasAndNaNByChannel)
{
    cv::Mat input(1, 2, CV_32FC3);
    input.at<cv::Vec3f>(0, 0) = { kNaN, 12, 25 };
    input.at<cv::Vec3f>(0, 1) = { 5, kNaN, 25 };
    float inMeans[] = { 10, 20, 0 }, outMeans[] = { 1, 2, 0 };
    float *mIn = inMeans, *mOut = outMeans;
    const cv::Mat T = (cv::Mat_<float>(2, 2) << 2, 0, 1, 3);
    cv::Mat out(1, 2, CV_32FC2);
    computeMapping2D(input, input, mIn, mOut, T, out);
    // Output channel 0 follows input channel 0, though computed from 1 and 2.
    EXPECT_TRUE(std::isnan(out.at<cv::Vec2f>(0, 0)[0]));
    EXPECT_EQ(out.at<cv::Vec2f>(0, 0)[1], 19.0f); // 1 (12 - 10) + 3 (25 - 20) + 2
    EXPECT_TRUE(std::isnan(out.at<cv::Vec2f>(0, 1)[1]));
    computeMapping2DBonneel(input, input, mIn, mOut, T, out);
    EXPECT_TRUE(std::isnan(out.at<cv::Vec2f>(0, 0)[0]));
    EXPECT_EQ(out.at<cv::Vec2f>(0, 0)[1], 69.0f); // 12 + 3 25 - 20 + 2

    float in3[] = { 1, 2, 3 }, out3[] = { 10, 20, 30 };
    float *m3In = in3, *m3Out = out3;
    cv::Mat pixel(1, 1, CV_32FC3, cv::Scalar(2, 4, 6)), out3D(1, 1, CV_32FC3);
    const cv::Mat T3 = (cv::Mat_<float>(3, 3) << 1, 2, 0, 0, 1, 0, 1, 0, 3);
    computeMapping3D(pixel, pixel, m3In, m3Out, T3, out3D);
    EXPECT_EQ(out3D.at<cv::Vec3f>(0, 0), cv::Vec3f(15, 22, 40));
}

TEST(MongeTransformDrivers, FullTransferGivesTheTargetCovariance)
{
    const cv::Mat input = scaledLabPhoto(48, 64, 1), target = scaledLabPhoto(40, 50, 2);
    for (int n = 2; n <= 3; ++n) {
        const Transfer r = transfer(input, target, 1.0f, n);
        const cv::Mat targetCov = covariance(usedChannels(target, n));
        EXPECT_LT(cv::norm(covariance(r.output), targetCov, cv::NORM_INF)
                / cv::norm(targetCov, cv::NORM_INF),
            kCovRelTol)
            << n;
        if (n == 2) { // t = 1: the full map around the reported weighted means
            const cv::Vec3f x = input.at<cv::Vec3f>(7, 9);
            const cv::Mat expected = r.transport * (cv::Mat_<float>(2, 1) << x[1], x[2])
                - r.transport * r.inputMeans.t() + r.targetMeans.t();
            EXPECT_NEAR(r.output.at<cv::Vec2f>(7, 9)[0], expected.at<float>(0), kMappedTol);
            EXPECT_NEAR(r.output.at<cv::Vec2f>(7, 9)[1], expected.at<float>(1), kMappedTol);
        }
    }
}

TEST(MongeTransformDrivers, NoMovementReproducesTheInput)
{
    const cv::Mat input = scaledLabPhoto(48, 64, 3), target = scaledLabPhoto(48, 64, 4);
    for (int n = 2; n <= 3; ++n) {
        const cv::Mat expected = usedChannels(input, n);
        EXPECT_TRUE(
            testsupport::near(transfer(input, target, 0.0f, n).output, expected, kMappedTol));
        for (float t : { 0.3f, 1.0f }) // target = input: identity anywhere on the path
            EXPECT_TRUE(
                testsupport::near(transfer(input, input, t, n).output, expected, kMappedTol));
    }
}

TEST(MongeTransformDrivers, TwoDimensionsIgnoreLightnessAndPassItsNaN)
{
    const cv::Mat input = scaledLabPhoto(32, 40, 5), target = scaledLabPhoto(30, 30, 6);
    const Transfer base = transfer(input, target, 0.6f, 2);
    cv::Mat input2 = input.clone(), target2 = target.clone();
    cv::RNG rng(9);
    for (cv::Mat* img : { &input2, &target2 })
        for (auto it = img->begin<cv::Vec3f>(); it != img->end<cv::Vec3f>(); ++it)
            (*it)[0] = rng.uniform(0.0f, 255.0f);
    input2.at<cv::Vec3f>(4, 5)[0] = kNaN;
    Transfer changed = transfer(input2, target2, 0.6f, 2);
    EXPECT_EQ(base.printed, changed.printed);
    EXPECT_TRUE(std::isnan(changed.output.at<cv::Vec2f>(4, 5)[0]));
    changed.output.at<cv::Vec2f>(4, 5)[0] = base.output.at<cv::Vec2f>(4, 5)[0];
    EXPECT_TRUE(testsupport::near(base.output, changed.output, 0.0));
}

TEST(MongeTransformDrivers, MaskedPixelsAreSkippedAndPassedThrough)
{
    cv::Mat input = scaledLabPhoto(32, 40, 7), target = scaledLabPhoto(32, 40, 8);
    input.at<cv::Vec3f>(3, 3) = cv::Vec3f(kNaN, kNaN, kNaN);
    target.at<cv::Vec3f>(10, 10) = cv::Vec3f(kNaN, kNaN, kNaN);
    for (int n = 2; n <= 3; ++n) {
        Transfer r = transfer(input, target, 1.0f, n);
        EXPECT_TRUE(cv::checkRange(r.transport));
        float* masked = r.output.ptr<float>(3) + 3 * n;
        for (int k = 0; k < n; ++k) {
            EXPECT_TRUE(std::isnan(masked[k]));
            masked[k] = 0.0f;
        }
        EXPECT_TRUE(cv::checkRange(r.output));
    }
}

TEST(MongeTransformDrivers, PrintedLinesAndBonneelStatistics)
{
    const cv::Mat input = scaledLabPhoto(16, 16, 10), target = scaledLabPhoto(16, 16, 11);
    EXPECT_EQ(lines(transfer(input, target, 0.5f, 2).printed), 24);
    EXPECT_EQ(lines(transfer(input, target, 0.5f, 3).printed), 27 * 2 + 3 * 2);

    const Transfer b = transfer(input, target, 0.5f, 2, true);
    // 24 progress lines, two labelled 2 x 2 matrices, then 27 + 12.
    EXPECT_EQ(lines(b.printed), 24 + 4 + 27 + 12);
    EXPECT_LT(b.printed.find("] inpCovs\n"), b.printed.find("] tarCovs\n"));
    EXPECT_TRUE(testsupport::near(b.output, transfer(input, target, 0.5f, 2).output, 0.0));
    cv::Mat cov3(3, 3, CV_32FC1);
    testing::internal::CaptureStdout();
    computeCovariance(input, cov3, 3);
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(testsupport::near(b.covInverse * cov3, cv::Mat::eye(3, 3, CV_32F), 1e-4));

    cv::Mat singular = input.clone(); // channel 2 copies channel 1
    for (auto it = singular.begin<cv::Vec3f>(); it != singular.end<cv::Vec3f>(); ++it)
        (*it)[2] = (*it)[1];
    EXPECT_EQ(cv::norm(transfer(singular, target, 1.0f, 2, true).covInverse, cv::NORM_INF), 0.0);
}

TEST(MongeTransformDrivers, WrongOutputSizeIsRejectedNotOverrun)
{
    const cv::Mat input = scaledLabPhoto(16, 16, 12);
    cv::Mat small(8, 8, CV_32FC2), m(1, 2, CV_32F), T(2, 2, CV_32F), unused;
    testing::internal::CaptureStdout();
    EXPECT_THROW(applyOptimalTransport(input, input, small, unused, m, unused, m, T, 1.0f, 2),
        cv::Exception);
    cv::Mat tooSmallT(1, 1, CV_32F);
    EXPECT_THROW(closedFormMatrix(T, T, tooSmallT, 2), cv::Exception);
    testing::internal::GetCapturedStdout();
}

TEST(MongeTransformHue, AngleOfTheChromaticPairInDegrees)
{
    cv::Mat img(1, 4, CV_32FC3), hue(1, 4, CV_32FC1);
    img.at<cv::Vec3f>(0, 0) = { 50, 128, 128 };
    img.at<cv::Vec3f>(0, 1) = { 50, 128, 0 };
    img.at<cv::Vec3f>(0, 2) = { 50, 228, 228 };
    img.at<cv::Vec3f>(0, 3) = { 128, 28, 128 };
    computeHue(img, hue, 1, 2);
    EXPECT_EQ(hue.at<float>(0, 0), 0.0f);
    EXPECT_FLOAT_EQ(hue.at<float>(0, 1), 270.0f);
    EXPECT_FLOAT_EQ(hue.at<float>(0, 2), 45.0f);
    EXPECT_FLOAT_EQ(hue.at<float>(0, 3), 180.0f);
    computeHue(img, hue, 2, 0); // atan2(128 - 128, 128 - 128) for pixel 3
    EXPECT_EQ(hue.at<float>(0, 3), 0.0f);
}

TEST(MongeTransformHue, NegativeAngleIsStoredAsFloatBeforeTheTurnIsAdded)
{
    // Here float(angle) + 360 and float(angle + 360) differ in the last bit.
    cv::Mat img(1, 1, CV_32FC3), hue(1, 1, CV_32FC1);
    img.at<cv::Vec3f>(0, 0) = { 50, 29, 1 };
    computeHue(img, hue, 1, 2);
    const float angle
        = static_cast<float>(std::atan2(1.0 - 128.0, 29.0 - 128.0) * 57.29577957855229);
    EXPECT_EQ(hue.at<float>(0, 0), angle + 360.0f);
}
