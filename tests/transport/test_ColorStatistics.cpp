#include "toolkit/transport/ColorStatistics.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <sstream>
#include <string>

using namespace toolkit::transport;

namespace {

const float kNaN = std::numeric_limits<float>::quiet_NaN();

// cv::eigen works in float: products of eigen-decomposed 3 x 3 matrices keep
// about five significant digits relative to the largest entry.
constexpr double kEigenRelTol = 2e-4;

cv::Mat plane(std::initializer_list<float> values)
{
    return cv::Mat(std::vector<float>(values), true).reshape(1, 1);
}

cv::Mat mat2(float a, float b, float c, float d)
{
    return (cv::Mat_<float>(2, 2) << a, b, c, d);
}

int lineCount(const std::string& text)
{
    int lines = 0;
    for (char c : text)
        lines += c == '\n';
    return lines;
}

cv::Mat product(const cv::Mat& A, const cv::Mat& B)
{
    cv::Mat P(A.size(), CV_32FC1);
    dot(A, B, P);
    return P;
}

// A random symmetric positive-definite n x n matrix with eigenvalues in
// [lo, hi], built from a random rotation in double.
cv::Mat randomSpd(cv::RNG& rng, int n, double lo, double hi)
{
    cv::Mat M(n, n, CV_64F);
    rng.fill(M, cv::RNG::NORMAL, 0, 1);
    cv::Mat w, u, vt;
    cv::SVD::compute(M, w, u, vt);
    cv::Mat D = cv::Mat::zeros(n, n, CV_64F);
    for (int i = 0; i < n; ++i)
        D.at<double>(i, i) = rng.uniform(lo, hi);
    cv::Mat spd = u * D * u.t();
    spd = (spd + spd.t()) * 0.5;
    cv::Mat out;
    spd.convertTo(out, CV_32F);
    return out;
}

double relativeError(const cv::Mat& got, const cv::Mat& expected)
{
    return cv::norm(got, expected, cv::NORM_INF) / std::max(1.0, cv::norm(expected, cv::NORM_INF));
}

// Runs f with standard output captured and returns what it printed.
template <typename F>
std::string printed(F f)
{
    testing::internal::CaptureStdout();
    f();
    return testing::internal::GetCapturedStdout();
}

} // namespace

TEST(SquareRoot, DiagonalRootsAndSquaringBack)
{
    cv::Mat A = mat2(4, 0, 0, 9);
    cv::Mat R(2, 2, CV_32FC1);
    matrixSquareRoot(A, R, 2);
    EXPECT_LT(cv::norm(R, mat2(2, 0, 0, 3), cv::NORM_INF), 1e-6);

    cv::RNG rng(7);
    for (int trial = 0; trial < 50; ++trial) {
        const int n = 2 + trial % 2;
        const cv::Mat S = randomSpd(rng, n, 0.5, 500.0);
        cv::Mat root(n, n, CV_32FC1);
        matrixSquareRoot(S, root, n);
        EXPECT_LT(relativeError(product(root, root), S), kEigenRelTol) << S;
        EXPECT_LT(relativeError(root, root.t()), kEigenRelTol);
    }
}

TEST(SquareRoot, TinyNegativeEigenvalueIsClampedNotNaN)
{
    // Eigenvalues 4, 1 and -1e-5 in a rotated basis.
    const double c = std::cos(0.7), s = std::sin(0.7);
    cv::Mat V = (cv::Mat_<double>(3, 3) << c, -s, 0, s * 0.6, c * 0.6, -0.8, s * 0.8, c * 0.8, 0.6);
    cv::Mat D = cv::Mat::diag((cv::Mat_<double>(3, 1) << 4.0, 1.0, -1e-5));
    cv::Mat A;
    cv::Mat(V.t() * D * V).convertTo(A, CV_32F);
    cv::Mat R(3, 3, CV_32FC1);
    matrixSquareRoot(A, R, 3);
    EXPECT_TRUE(cv::checkRange(R));
    cv::Mat clamped;
    cv::Mat(V.t() * cv::Mat::diag((cv::Mat_<double>(3, 1) << 4.0, 1.0, 0.0)) * V).convertTo(clamped, CV_32F);
    EXPECT_LT(relativeError(product(R, R), clamped), kEigenRelTol);
    cv::Mat values;
    cv::eigen(R, values);
    EXPECT_NEAR(values.at<float>(2), 0.0f, 1e-3);
}

TEST(ClosedFormMatrix, MapsSourceCovarianceOntoTarget)
{
    cv::RNG rng(11);
    for (int trial = 0; trial < 100; ++trial) {
        const int n = 2 + trial % 2;
        // Every eigenvalue, hence every diagonal entry, at least 7.5: no floor.
        const cv::Mat A = randomSpd(rng, n, 8.0, 3000.0);
        const cv::Mat B = randomSpd(rng, n, 0.5, 3000.0);
        cv::Mat T(n, n, CV_32FC1);
        closedFormMatrix(A, B, T, n);
        EXPECT_LT(relativeError(product(product(T, A), T), B), 5 * kEigenRelTol) << "A " << A << "\nB " << B;
        EXPECT_LT(relativeError(T, T.t()), kEigenRelTol);
        cv::Mat values;
        cv::eigen(T, values);
        EXPECT_GT(values.at<float>(n - 1), 0.0f);
    }
}

TEST(ClosedFormMatrix, EqualCovariancesGiveIdentity)
{
    cv::RNG rng(3);
    for (int n = 2; n <= 3; ++n) {
        const cv::Mat A = randomSpd(rng, n, 10.0, 900.0);
        cv::Mat T(n, n, CV_32FC1);
        closedFormMatrix(A, A, T, n);
        EXPECT_LT(cv::norm(T, cv::Mat::eye(n, n, CV_32F), cv::NORM_INF), kEigenRelTol) << T;
    }
}

TEST(ClosedFormMatrix, FloorRaisesTheSourceDiagonalOnly)
{
    cv::Mat T(3, 3, CV_32FC1);
    closedFormMatrix(cv::Mat::eye(3, 3, CV_32F), cv::Mat::eye(3, 3, CV_32F) * 9.0, T, 3);
    const cv::Mat expected = cv::Mat::eye(3, 3, CV_32F) * std::sqrt(9.0 / 7.5);
    EXPECT_LT(cv::norm(T, expected, cv::NORM_INF), 1e-5) << T;

    // A small target is taken as it is.
    closedFormMatrix(cv::Mat::eye(3, 3, CV_32F) * 100.0, cv::Mat::eye(3, 3, CV_32F), T, 3);
    EXPECT_LT(cv::norm(T, cv::Mat::eye(3, 3, CV_32F) * 0.1, cv::NORM_INF), 1e-6) << T;

    // The output may be one of the inputs.
    cv::Mat B = mat2(36, 0, 0, 64);
    closedFormMatrix(cv::Mat::eye(2, 2, CV_32F) * 9.0, B, B, 2);
    EXPECT_LT(cv::norm(B, mat2(2, 0, 0, 8.0f / 3.0f), cv::NORM_INF), 1e-5) << B;
}

TEST(Means, PlainMeanSkipsNaNAndPrintsSumAndCount)
{
    float mean = 0.0f;
    EXPECT_EQ(printed([&] { mean = computeMean(plane({ 1, kNaN, 2, 3 })); }), "6 3\n");
    EXPECT_EQ(mean, 2.0f);
    EXPECT_EQ(printed([&] { mean = computeMean(plane({ kNaN, kNaN })); }), "0 0\n");
    EXPECT_EQ(mean, 0.0f);
}

TEST(Means, WeightedMeanWeighsByRoundedValueFrequency)
{
    float mean = 0.0f;
    EXPECT_EQ(printed([&] { mean = computeWeightedMean(plane({ 1.2f, kNaN, 1.4f, 3.0f })); }), "");
    EXPECT_NEAR(mean, 1.64f, 1e-6);
    // Halves round away from zero: 0.5 shares the key 1 with 1.4 (half to
    // even would give 1.6333, equal weights).
    EXPECT_NEAR(computeWeightedMean(plane({ 0.5f, 1.4f, 3.0f })), 1.36f, 1e-6);
    EXPECT_NEAR(computeWeightedMean(plane({ -0.5f, -1.4f, -3.0f })), -1.36f, 1e-6);
    EXPECT_TRUE(std::isnan(computeWeightedMean(plane({ kNaN }))));
}

TEST(Means, VectorUsesWeightedChromaForTwoAndPlainMeansForThree)
{
    cv::Mat img(1, 3, CV_32FC3);
    img.at<cv::Vec3f>(0, 0) = { kNaN, 1.2f, 10.0f };
    img.at<cv::Vec3f>(0, 1) = { 5.0f, 1.4f, 10.0f };
    img.at<cv::Vec3f>(0, 2) = { 7.0f, 3.0f, kNaN };
    float values[3] = { -1, -1, -1 };
    float* means = values;
    EXPECT_EQ(printed([&] { computeWeightedMeanVector(img, means, 2); }), "");
    EXPECT_NEAR(values[0], 1.64f, 1e-6);
    EXPECT_EQ(values[1], 10.0f);
    EXPECT_EQ(values[2], -1.0f);

    EXPECT_EQ(printed([&] { computeWeightedMeanVector(img, means, 3); }), "12 2\n5.6 3\n20 2\n");
    EXPECT_EQ(values[0], 6.0f);
    EXPECT_NEAR(values[1], 5.6f / 3.0f, 1e-6);
    EXPECT_EQ(values[2], 10.0f);
}

TEST(Spread, VarianceAndBetaEstimates)
{
    float mean = 2.0f;
    EXPECT_NEAR(computeVariance(plane({ 1, 2, kNaN, 3 }), mean), 2.0 / 3.0, 1e-6);
    EXPECT_TRUE(std::isnan(computeVariance(plane({ kNaN }), mean)));

    // Mean 0.4, variance 0.08 / 3: alpha = 3.2, beta = 4.8 by the moments.
    cv::Mat values = plane({ 0.2f, 0.4f, kNaN, 0.6f });
    float alpha = 0.0f, beta = 0.0f;
    const std::string out = printed([&] {
        alpha = computeAlphaFromBetaDistr(values);
        beta = computeBetaFromBetaDistr(values, alpha);
    });
    EXPECT_EQ(lineCount(out), 2);
    EXPECT_NEAR(alpha, 3.2f, 1e-4);
    EXPECT_NEAR(beta, 4.8f, 1e-4);

    // Beta(2, 3) density x (1 - x)^2 / B(2, 3) with B(2, 3) = 1 / 12.
    EXPECT_NEAR(computeBetaDistribution(0.4f, 2.0f, 3.0f), 0.4 * 0.36 * 12.0, 1e-5);
    EXPECT_NEAR(computeBetaDistribution(0.3f, 1.0f, 1.0f), 1.0, 1e-6);
    EXPECT_EQ(computeBetaDistribution(1.5f, 2.0f, 3.0f), 0.0f);
    EXPECT_TRUE(std::isnan(computeBetaDistribution(0.5f, 0.0f, 3.0f)));
}

TEST(Covariance, SampleCovarianceSkipsNaNInEitherPlane)
{
    // Means 2 and 6 over each plane's own values; pairs (1,2), (2,6), (3,10).
    cv::Mat A = plane({ 1, 2, kNaN, 3, 5 });
    cv::Mat B = plane({ 2, 6, 9, 10, kNaN });
    float cov = 0.0f;
    const std::string out = printed([&] { cov = computeCovarianceElement(A, B); });
    EXPECT_EQ(out, "11 4\n27 4\n2.75 6.75\n");
    // (1-2.75)(2-6.75) + (2-2.75)(6-6.75) + (3-2.75)(10-6.75), over 2.
    EXPECT_NEAR(cov, (8.3125 + 0.5625 + 0.8125) / 2.0, 1e-5);
    EXPECT_TRUE(std::isfinite(cov));

    printed([&] { cov = computeCovarianceElement(plane({ 1, kNaN }), plane({ 4, 5 })); });
    EXPECT_EQ(cov, 0.0f);
}

TEST(Covariance, MatrixMatchesReferenceAndIgnoresLightnessInTwoDimensions)
{
    cv::RNG rng(5);
    cv::Mat img(20, 30, CV_32FC3);
    rng.fill(img, cv::RNG::UNIFORM, 0, 255);
    cv::Mat samples = img.reshape(1, img.rows * img.cols);
    cv::Mat reference, mean;
    cv::calcCovarMatrix(samples, reference, mean, cv::COVAR_NORMAL | cv::COVAR_ROWS | cv::COVAR_SCALE, CV_64F);
    reference *= double(samples.rows) / (samples.rows - 1);

    cv::Mat cov3(3, 3, CV_32FC1);
    std::string out = printed([&] { computeCovariance(img, cov3, 3); });
    EXPECT_EQ(lineCount(out), 27);
    cv::Mat cov3d;
    cov3.convertTo(cov3d, CV_64F);
    // Float sums over 600 values of size ~1e4.
    EXPECT_LT(relativeError(cov3d, reference), 1e-4) << cov3 << "\n" << reference;

    cv::Mat withNaN = img.clone();
    for (int i = 0; i < img.rows; ++i)
        withNaN.at<cv::Vec3f>(i, i % img.cols)[0] = kNaN;
    cv::Mat cov2(2, 2, CV_32FC1);
    out = printed([&] { computeCovariance(withNaN, cov2, 2); });
    EXPECT_EQ(lineCount(out), 12);
    EXPECT_EQ(cv::norm(cov2, cov3(cv::Rect(1, 1, 2, 2)), cv::NORM_INF), 0.0);

    cv::Mat same(3, 3, CV_32FC1);
    cv::Mat plane0;
    cv::extractChannel(img, plane0, 1);
    printed([&] { computeChannelCov(img, plane0, same, 3); });
    for (int k = 0; k < 9; ++k)
        EXPECT_EQ(same.at<float>(k / 3, k % 3), cov3.at<float>(0, 1));
}
