#include "toolkit/transport/MongeTransform.hpp"

#include "toolkit/common/CommonFunctions.hpp"
#include "toolkit/transport/ColorStatistics.hpp"

#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <limits>
#include <string>

using namespace toolkit::transport;

namespace {

const float kNaN = std::numeric_limits<float>::quiet_NaN();

// Values are Lab in 0..255; the transport matrix comes out of float eigen
// decompositions (relative error ~1e-5), which times a deviation from the
// mean of up to ~200 gives a few thousandths.
constexpr double kMappedTol = 5e-3;
// Means summed in float over a few thousand values of ~100 against double
// means: the float sum drifts by about one unit, a few 1e-4 of the mean.
constexpr double kFloatMeanTol = 1e-2;
// Covariances of mapped images are float sums over thousands of pixels.
constexpr double kCovRelTol = 2e-3;

// A photograph in scaled Lab (all channels 0..255, 128 neutral chroma).
cv::Mat scaledLabPhoto(int rows, int cols, unsigned seed)
{
    cv::Mat bgr = testsupport::makePhoto(rows, cols, seed);
    cv::Mat norm(rows, cols, CV_32FC3);
    toolkit::common::normImg(bgr, norm);
    cv::Mat lab;
    cv::cvtColor(norm, lab, cv::COLOR_BGR2Lab);
    toolkit::common::scaleLab(lab);
    return lab;
}

// Sample covariance (divisor count - 1) of a float image's channels, in double.
cv::Mat channelCovariance(const cv::Mat& img)
{
    cv::Mat samples = img.reshape(1, img.rows * img.cols);
    cv::Mat cov, mean;
    cv::calcCovarMatrix(samples, cov, mean, cv::COVAR_NORMAL | cv::COVAR_ROWS | cv::COVAR_SCALE, CV_64F);
    return cov * (double(samples.rows) / (samples.rows - 1));
}

cv::Mat usedChannels(const cv::Mat& img, int n)
{
    if (n == 3)
        return img;
    cv::Mat out(img.size(), CV_32FC2);
    const int fromTo[] = { 1, 0, 2, 1 };
    cv::mixChannels(&img, 1, &out, 1, fromTo, 2);
    return out;
}

struct Transfer {
    cv::Mat output, covInverse, inputMeans, targetCov, targetMeans, transport;
    std::string printed;
};

Transfer runTransfer(const cv::Mat& input, const cv::Mat& target, float t, int n, bool bonneel = false)
{
    Transfer r;
    r.output.create(input.size(), CV_MAKETYPE(CV_32F, n));
    r.covInverse = cv::Mat::zeros(3, 3, CV_32FC1);
    r.inputMeans = cv::Mat::zeros(1, bonneel ? 3 : n, CV_32FC1);
    r.targetCov = cv::Mat::zeros(2, 2, CV_32FC1);
    r.targetMeans = cv::Mat::zeros(1, bonneel ? 2 : n, CV_32FC1);
    r.transport = cv::Mat::zeros(n, n, CV_32FC1);
    testing::internal::CaptureStdout();
    if (bonneel)
        applyOptimalTransportBonneel(input, target, r.output, r.covInverse, r.inputMeans, r.targetCov,
                                     r.targetMeans, r.transport, t, n);
    else
        applyOptimalTransport(input, target, r.output, r.covInverse, r.inputMeans, r.targetCov,
                              r.targetMeans, r.transport, t, n);
    r.printed = testing::internal::GetCapturedStdout();
    return r;
}

int lineCount(const std::string& text)
{
    int lines = 0;
    for (char c : text)
        lines += c == '\n';
    return lines;
}

double maxAbsDiff(const cv::Mat& a, const cv::Mat& b)
{
    return cv::norm(a, b, cv::NORM_INF);
}

} // namespace

TEST(Mappings, AffineFormulasOnKnownPixels)
{
    cv::Mat input(1, 1, CV_32FC3, cv::Scalar(5, 12, 25));
    float inMeans[] = { 10, 20, 0 }, outMeans[] = { 1, 2, 0 };
    float* mIn = inMeans;
    float* mOut = outMeans;
    const cv::Mat T = (cv::Mat_<float>(2, 2) << 2, 0, 1, 3);
    cv::Mat out(1, 1, CV_32FC2);
    computeMapping2D(input, input, mIn, mOut, T, out);
    EXPECT_EQ(out.at<cv::Vec2f>(0, 0), cv::Vec2f(5, 19));
    computeMapping2DBonneel(input, input, mIn, mOut, T, out);
    EXPECT_EQ(out.at<cv::Vec2f>(0, 0), cv::Vec2f(15, 69));

    cv::Mat row(1, 2, CV_32FC1);
    cv::Mat meanIn = (cv::Mat_<float>(1, 2) << 10, 20), meanOut = (cv::Mat_<float>(1, 2) << 1, 2);
    cv::Mat T2 = T.clone();
    computeNewValue2D(input, row, meanIn, meanOut, T2, 0, 0);
    EXPECT_EQ(row.at<float>(0, 0), 5.0f);
    EXPECT_EQ(row.at<float>(0, 1), 19.0f);
    computeNewValue2DBonneel(input, row, meanIn, meanOut, T2, 0, 0);
    EXPECT_EQ(row.at<float>(0, 0), 15.0f);
    EXPECT_EQ(row.at<float>(0, 1), 69.0f);

    float in3[] = { 1, 2, 3 }, out3[] = { 10, 20, 30 };
    float* m3In = in3;
    float* m3Out = out3;
    const cv::Mat T3 = (cv::Mat_<float>(3, 3) << 1, 2, 0, 0, 1, 0, 1, 0, 3);
    cv::Mat pixel(1, 1, CV_32FC3, cv::Scalar(2, 4, 6));
    cv::Mat out3D(1, 1, CV_32FC3);
    computeMapping3D(pixel, pixel, m3In, m3Out, T3, out3D);
    EXPECT_EQ(out3D.at<cv::Vec3f>(0, 0), cv::Vec3f(15, 22, 40));
}

TEST(Mappings, NaNPassesThroughByChannel)
{
    cv::Mat input(1, 3, CV_32FC3);
    input.at<cv::Vec3f>(0, 0) = { kNaN, 12, 25 };
    input.at<cv::Vec3f>(0, 1) = { 5, kNaN, 25 };
    input.at<cv::Vec3f>(0, 2) = { kNaN, kNaN, kNaN };
    float inMeans[] = { 10, 20, 0 }, outMeans[] = { 1, 2, 0 };
    float* mIn = inMeans;
    float* mOut = outMeans;
    const cv::Mat T = (cv::Mat_<float>(2, 2) << 2, 0, 1, 3);
    cv::Mat out(1, 3, CV_32FC2);
    for (int bonneel = 0; bonneel < 2; ++bonneel) {
        if (bonneel)
            computeMapping2DBonneel(input, input, mIn, mOut, T, out);
        else
            computeMapping2D(input, input, mIn, mOut, T, out);
        // Output channel 0 follows input channel 0, though it is computed from 1 and 2.
        EXPECT_TRUE(std::isnan(out.at<cv::Vec2f>(0, 0)[0]));
        EXPECT_EQ(out.at<cv::Vec2f>(0, 0)[1], bonneel ? 69.0f : 19.0f);
        EXPECT_TRUE(std::isnan(out.at<cv::Vec2f>(0, 1)[1]));
        EXPECT_TRUE(std::isnan(out.at<cv::Vec2f>(0, 2)[0]));
        EXPECT_TRUE(std::isnan(out.at<cv::Vec2f>(0, 2)[1]));
    }

    float in3[] = { 0, 0, 0 }, out3[] = { 0, 0, 0 };
    float* m3In = in3;
    float* m3Out = out3;
    cv::Mat out3D(1, 3, CV_32FC3);
    computeMapping3D(input, input, m3In, m3Out, cv::Mat::eye(3, 3, CV_32F), out3D);
    EXPECT_TRUE(std::isnan(out3D.at<cv::Vec3f>(0, 0)[0]));
    EXPECT_TRUE(std::isnan(out3D.at<cv::Vec3f>(0, 1)[1]));
    for (int k = 0; k < 3; ++k)
        EXPECT_TRUE(std::isnan(out3D.at<cv::Vec3f>(0, 2)[k]));
}

TEST(GeodesicPath, EndpointsAndMidpoint)
{
    const cv::Mat covIn = (cv::Mat_<float>(3, 3) << 400, 30, -20, 30, 90, 10, -20, 10, 60);
    const cv::Mat covTar = (cv::Mat_<float>(3, 3) << 100, -10, 5, -10, 250, 40, 5, 40, 30);
    cv::Mat full(3, 3, CV_32FC1);
    closedFormMatrix(covIn, covTar, full, 3);
    const float meansIn[] = { 100, 120, 140 }, meansTar[] = { 50, 150, 130 };

    for (float t : { 0.0f, 0.5f, 1.0f }) {
        float mIn[3], mOut[3];
        std::copy(meansIn, meansIn + 3, mIn);
        std::copy(meansTar, meansTar + 3, mOut);
        cv::Mat cIn = covIn.clone(), cOut = covTar.clone(), T = full.clone();
        computeGeodesicPath(mIn, mOut, cIn, cOut, T, t, 3);
        for (int i = 0; i < 3; ++i)
            EXPECT_FLOAT_EQ(mOut[i], (1 - t) * meansIn[i] + t * meansTar[i]);
        EXPECT_EQ(maxAbsDiff(cIn, covIn), 0.0);

        const cv::Mat Tt = (1 - t) * cv::Mat::eye(3, 3, CV_32F) + t * full;
        const cv::Mat expectedCov = Tt * covIn * Tt;
        EXPECT_LT(maxAbsDiff(cOut, expectedCov), kCovRelTol * 400) << "t " << t;
        const cv::Mat reached = T * covIn * T;
        EXPECT_LT(maxAbsDiff(reached, cOut), kCovRelTol * 400) << "t " << t;
    }
}

TEST(Drivers, FullTransferGivesTheTargetStatistics)
{
    const cv::Mat input = scaledLabPhoto(48, 64, 1);
    const cv::Mat target = scaledLabPhoto(40, 50, 2);
    for (int n = 2; n <= 3; ++n) {
        const Transfer r = runTransfer(input, target, 1.0f, n);
        const cv::Mat targetCov = channelCovariance(usedChannels(target, n));
        ASSERT_GE(cv::Mat(channelCovariance(usedChannels(input, n)).diag()).at<double>(n - 1), 7.5);
        const cv::Mat outCov = channelCovariance(r.output);
        EXPECT_LT(maxAbsDiff(outCov, targetCov) / cv::norm(targetCov, cv::NORM_INF), kCovRelTol)
            << "n " << n << "\n" << outCov << "\n" << targetCov;

        // t = 1 maps through the full transport matrix: around the weighted
        // means reported for n = 2, around the plain means for n = 3.
        const cv::Scalar plainIn = cv::mean(input), plainTar = cv::mean(target);
        const cv::Vec3f x = input.at<cv::Vec3f>(7, 9);
        const int o = n == 2 ? 1 : 0;
        for (int k = 0; k < n; ++k) {
            double expected = n == 2 ? r.targetMeans.at<float>(0, k) : plainTar[k];
            for (int c = 0; c < n; ++c) {
                const double mean = n == 2 ? r.inputMeans.at<float>(0, c) : plainIn[c];
                expected += r.transport.at<float>(k, c) * (x[o + c] - mean);
            }
            EXPECT_NEAR(r.output.ptr<float>(7)[9 * n + k], expected, kFloatMeanTol) << n << " " << k;
        }
        if (n == 3) {
            const cv::Scalar outMean = cv::mean(r.output), tarMean = cv::mean(target);
            for (int k = 0; k < 3; ++k)
                EXPECT_NEAR(outMean[k], tarMean[k], kFloatMeanTol);
        }
    }
}

TEST(Drivers, NoMovementReproducesTheInput)
{
    const cv::Mat input = scaledLabPhoto(48, 64, 3);
    const cv::Mat target = scaledLabPhoto(48, 64, 4);
    for (int n = 2; n <= 3; ++n) {
        const cv::Mat expected = usedChannels(input, n);
        // t = 0: the input's own distribution.
        EXPECT_LT(maxAbsDiff(runTransfer(input, target, 0.0f, n).output, expected), kMappedTol) << n;
        // A target equal to the input: the identity, wherever along the path.
        for (float t : { 0.3f, 1.0f })
            EXPECT_LT(maxAbsDiff(runTransfer(input, input, t, n).output, expected), kMappedTol) << n;
    }
}

TEST(Drivers, TwoDimensionsIgnoreLightness)
{
    const cv::Mat input = scaledLabPhoto(32, 40, 5);
    const cv::Mat target = scaledLabPhoto(30, 30, 6);
    const Transfer base = runTransfer(input, target, 0.6f, 2);

    cv::Mat input2 = input.clone(), target2 = target.clone();
    cv::RNG rng(9);
    for (cv::Mat* img : { &input2, &target2 })
        for (auto it = img->begin<cv::Vec3f>(); it != img->end<cv::Vec3f>(); ++it)
            (*it)[0] = rng.uniform(0.0f, 255.0f);
    const Transfer changed = runTransfer(input2, target2, 0.6f, 2);
    EXPECT_EQ(maxAbsDiff(base.output, changed.output), 0.0);
    EXPECT_EQ(maxAbsDiff(base.transport, changed.transport), 0.0);
    EXPECT_EQ(base.printed, changed.printed);

    // A NaN lightness marks output channel 0 and changes nothing else.
    input2 = input.clone();
    input2.at<cv::Vec3f>(4, 5)[0] = kNaN;
    Transfer masked = runTransfer(input2, target, 0.6f, 2);
    EXPECT_TRUE(std::isnan(masked.output.at<cv::Vec2f>(4, 5)[0]));
    EXPECT_EQ(masked.output.at<cv::Vec2f>(4, 5)[1], base.output.at<cv::Vec2f>(4, 5)[1]);
    masked.output.at<cv::Vec2f>(4, 5)[0] = base.output.at<cv::Vec2f>(4, 5)[0];
    EXPECT_EQ(maxAbsDiff(base.output, masked.output), 0.0);
}

TEST(Drivers, MaskedPixelsAreSkippedAndPassedThrough)
{
    const cv::Mat input = scaledLabPhoto(32, 40, 7);
    const cv::Mat target = scaledLabPhoto(32, 40, 8);
    cv::Mat maskedInput = input.clone(), maskedTarget = target.clone();
    maskedInput.at<cv::Vec3f>(3, 3) = cv::Vec3f(kNaN, kNaN, kNaN);
    maskedTarget.at<cv::Vec3f>(10, 10) = cv::Vec3f(kNaN, kNaN, kNaN);
    for (int n = 2; n <= 3; ++n) {
        const Transfer r = runTransfer(maskedInput, maskedTarget, 1.0f, n);
        EXPECT_TRUE(cv::checkRange(r.transport)) << r.transport;
        for (int k = 0; k < n; ++k)
            EXPECT_TRUE(std::isnan(r.output.ptr<float>(3)[3 * n + k]));
        cv::Mat rest = r.output.clone();
        rest.ptr<float>(3)[3 * n] = rest.ptr<float>(3)[3 * n + 1] = 0.0f;
        if (n == 3)
            rest.ptr<float>(3)[3 * n + 2] = 0.0f;
        EXPECT_TRUE(cv::checkRange(rest));
    }
}

TEST(Drivers, PrintedLinesPerCall)
{
    const cv::Mat input = scaledLabPhoto(16, 16, 10);
    const cv::Mat target = scaledLabPhoto(16, 16, 11);
    EXPECT_EQ(lineCount(runTransfer(input, target, 0.5f, 2).printed), 24);
    EXPECT_EQ(lineCount(runTransfer(input, target, 0.5f, 3).printed), 27 * 2 + 3 * 2);

    const Transfer b = runTransfer(input, target, 0.5f, 2, true);
    // 24 progress lines, two 2 x 2 matrices of two lines each, 27 + 12 more.
    EXPECT_EQ(lineCount(b.printed), 24 + 4 + 27 + 12);
    EXPECT_NE(b.printed.find("] inpCovs\n"), std::string::npos);
    EXPECT_NE(b.printed.find("] tarCovs\n"), std::string::npos);
    EXPECT_LT(b.printed.find("] inpCovs\n"), b.printed.find("] tarCovs\n"));
}

TEST(Drivers, BonneelReportsInverseCovarianceAndChromaStatistics)
{
    const cv::Mat input = scaledLabPhoto(32, 32, 12);
    const cv::Mat target = scaledLabPhoto(32, 32, 13);
    const Transfer b = runTransfer(input, target, 0.5f, 2, true);
    const Transfer plain = runTransfer(input, target, 0.5f, 2);
    EXPECT_EQ(maxAbsDiff(b.output, plain.output), 0.0);

    cv::Mat cov3(3, 3, CV_32FC1), cov2(2, 2, CV_32FC1);
    testing::internal::CaptureStdout();
    computeCovariance(input, cov3, 3);
    computeCovariance(target, cov2, 2);
    testing::internal::GetCapturedStdout();
    EXPECT_LT(maxAbsDiff(b.covInverse * cov3, cv::Mat::eye(3, 3, CV_32F)), 1e-4);
    EXPECT_EQ(maxAbsDiff(b.targetCov, cov2), 0.0);
    cv::Mat planes[3];
    cv::split(target, planes);
    EXPECT_EQ(b.targetMeans.at<float>(0, 1), computeWeightedMean(planes[2]));

    // A singular input covariance (channel 2 copies channel 1) inverts to zero.
    cv::Mat singular = input.clone();
    for (auto it = singular.begin<cv::Vec3f>(); it != singular.end<cv::Vec3f>(); ++it)
        (*it)[2] = (*it)[1];
    EXPECT_EQ(cv::norm(runTransfer(singular, target, 1.0f, 2, true).covInverse, cv::NORM_INF), 0.0);
}

TEST(Hue, AngleOfTheChromaticPairInDegrees)
{
    cv::Mat img(1, 5, CV_32FC3);
    img.at<cv::Vec3f>(0, 0) = { 50, 128, 128 };
    img.at<cv::Vec3f>(0, 1) = { 50, 128, 0 };
    img.at<cv::Vec3f>(0, 2) = { 50, 228, 228 };
    img.at<cv::Vec3f>(0, 3) = { 50, 28, 128 };
    img.at<cv::Vec3f>(0, 4) = { 128, 50, 28 };
    cv::Mat hue(1, 5, CV_32FC1);
    computeHue(img, hue, 1, 2);
    EXPECT_EQ(hue.at<float>(0, 0), 0.0f);
    EXPECT_FLOAT_EQ(hue.at<float>(0, 1), 270.0f);
    EXPECT_FLOAT_EQ(hue.at<float>(0, 2), 45.0f);
    EXPECT_FLOAT_EQ(hue.at<float>(0, 3), 180.0f);
    // Other channel pairs: (ca, cb) = (0, 2) reads 128 and 28.
    computeHue(img, hue, 0, 2);
    EXPECT_FLOAT_EQ(hue.at<float>(0, 4), 270.0f);
}
