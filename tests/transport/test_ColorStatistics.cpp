#include "toolkit/transport/ColorStatistics.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

using namespace toolkit::transport;

namespace {

const float kNaN = std::numeric_limits<float>::quiet_NaN();
// cv::eigen works in float: products of decomposed 3 x 3 matrices keep about
// five significant digits of the largest entry.
constexpr double kEigenRelTol = 2e-4;

cv::Mat plane(std::initializer_list<float> values)
{
    return cv::Mat(std::vector<float>(values), true).reshape(1, 1);
}

template <typename F> std::string printed(F f)
{
    testing::internal::CaptureStdout();
    f();
    return testing::internal::GetCapturedStdout();
}

int lines(const std::string& text)
{
    return int(std::count(text.begin(), text.end(), '\n'));
}

double relErr(const cv::Mat& got, const cv::Mat& expected)
{
    return cv::norm(got, expected, cv::NORM_INF) / std::max(1.0, cv::norm(expected, cv::NORM_INF));
}

// Symmetric positive-definite, eigenvalues in [lo, hi], random rotation.
cv::Mat randomSpd(cv::RNG& rng, int n, double lo, double hi)
{
    cv::Mat M(n, n, CV_64F), w, u, vt, spd;
    rng.fill(M, cv::RNG::NORMAL, 0, 1);
    cv::SVD::compute(M, w, u, vt);
    cv::Mat D = cv::Mat::zeros(n, n, CV_64F);
    for (int i = 0; i < n; ++i)
        D.at<double>(i, i) = rng.uniform(lo, hi);
    cv::Mat(u * D * u.t()).convertTo(spd, CV_32F);
    return (spd + spd.t()) * 0.5;
}

} // namespace

TEST(ColorStatisticsSquareRoot, SquaresBackAndClampsTinyNegativeEigenvalues)
{
    cv::RNG rng(7);
    for (int trial = 0; trial < 40; ++trial) {
        const int n = 2 + trial % 2;
        const cv::Mat S = randomSpd(rng, n, 0.5, 500.0);
        cv::Mat R(n, n, CV_32FC1);
        matrixSquareRoot(S, R, n);
        EXPECT_LT(relErr(R * R, S), kEigenRelTol);
    }
    // Eigenvalues 4, 1 and -1e-5: the last root is 0, not NaN.
    const double c = std::cos(0.7), s = std::sin(0.7);
    cv::Mat V = (cv::Mat_<double>(3, 3) << c, -s, 0, s * 0.6, c * 0.6, -0.8, s * 0.8, c * 0.8, 0.6);
    cv::Mat A, clamped, R(3, 3, CV_32FC1), values;
    cv::Mat(V.t() * cv::Mat::diag(cv::Mat(cv::Vec3d(4, 1, -1e-5))) * V).convertTo(A, CV_32F);
    cv::Mat(V.t() * cv::Mat::diag(cv::Mat(cv::Vec3d(4, 1, 0))) * V).convertTo(clamped, CV_32F);
    matrixSquareRoot(A, R, 3);
    ASSERT_TRUE(cv::checkRange(R));
    EXPECT_LT(relErr(R * R, clamped), kEigenRelTol);
}

TEST(ColorStatisticsClosedFormMatrix, MapsSourceOntoTargetWithFloorOnSourceOnly)
{
    cv::RNG rng(11);
    for (int trial = 0; trial < 100; ++trial) {
        const int n = 2 + trial % 2;
        // Eigenvalues, hence diagonal entries, of at least 8: no floor.
        const cv::Mat A = randomSpd(rng, n, 8.0, 3000.0), B = randomSpd(rng, n, 0.5, 3000.0);
        cv::Mat T(n, n, CV_32FC1), same(n, n, CV_32FC1);
        closedFormMatrix(A, B, T, n);
        EXPECT_LT(relErr(T * A * T, B), 5 * kEigenRelTol);
        EXPECT_LT(relErr(T, T.t()), kEigenRelTol);
        closedFormMatrix(A, A, same, n);
        EXPECT_LT(relErr(same, cv::Mat::eye(n, n, CV_32F)), kEigenRelTol);
    }
    const cv::Mat I3 = cv::Mat::eye(3, 3, CV_32F);
    cv::Mat T(3, 3, CV_32FC1);
    closedFormMatrix(I3, I3 * 9.0, T, 3); // source raised to 7.5
    EXPECT_LT(relErr(T, I3 * std::sqrt(9.0 / 7.5)), 1e-6);
    closedFormMatrix(I3 * 100.0, I3, T, 3); // small target taken as it is
    EXPECT_LT(relErr(T, I3 * 0.1), 1e-6);
}

TEST(ColorStatisticsMeans, PlainAndWeightedSkipNaN)
{
    float mean = 0.0f;
    EXPECT_EQ(printed([&] { mean = computeMean(plane({ 1, kNaN, 2, 3 })); }), "6 3\n");
    EXPECT_EQ(mean, 2.0f);
    EXPECT_EQ(printed([&] { mean = computeMean(plane({ kNaN, kNaN })); }), "0 0\n");
    EXPECT_EQ(mean, 0.0f);

    EXPECT_EQ(printed([&] { mean = computeWeightedMean(plane({ 1.2f, kNaN, 1.4f, 3.0f })); }), "");
    EXPECT_NEAR(mean, 1.64f, 1e-6);
    // Halves round away from zero: 0.5 shares key 1 with 1.4 (half to even
    // would give three equal weights, 1.6333).
    EXPECT_NEAR(computeWeightedMean(plane({ -0.5f, -1.4f, -3.0f })), -1.36f, 1e-6);
    EXPECT_TRUE(std::isnan(computeWeightedMean(plane({ kNaN }))));

    float two = 2.0f;
    EXPECT_NEAR(computeVariance(plane({ 1, 2, kNaN, 3 }), two), 2.0 / 3.0, 1e-6);
    EXPECT_TRUE(std::isnan(computeVariance(plane({ kNaN }), two)));
}

TEST(ColorStatisticsMeans, BetaMomentsAndDensity)
{
    // Mean 0.4, variance 0.08 / 3: alpha 3.2, beta 4.8.
    cv::Mat values = plane({ 0.2f, 0.4f, kNaN, 0.6f });
    float alpha = 0.0f, beta = 0.0f;
    EXPECT_EQ(lines(printed([&] {
        alpha = computeAlphaFromBetaDistr(values);
        beta = computeBetaFromBetaDistr(values, alpha);
    })),
        2);
    EXPECT_NEAR(alpha, 3.2f, 1e-4);
    EXPECT_NEAR(beta, 4.8f, 1e-4);
    // Beta(2, 3): 12 x (1 - x)^2.
    EXPECT_NEAR(computeBetaDistribution(0.4f, 2.0f, 3.0f), 0.4 * 0.36 * 12.0, 1e-5);
    EXPECT_EQ(computeBetaDistribution(1.5f, 2.0f, 3.0f), 0.0f);
}

TEST(ColorStatisticsCovariance, SkipsNaNInEitherPlaneAndPrintsThreeLinesPerEntry)
{
    // Means over each plane's own values: 2.75 and 6.75; pairs (1,2) (2,6) (3,10).
    float cov = 0.0f;
    EXPECT_EQ(printed([&] {
        cov = computeCovarianceElement(plane({ 1, 2, kNaN, 3, 5 }), plane({ 2, 6, 9, 10, kNaN }));
    }),
        "11 4\n27 4\n2.75 6.75\n");
    EXPECT_NEAR(cov, (8.3125 + 0.5625 + 0.8125) / 2.0, 1e-5);
    printed([&] { cov = computeCovarianceElement(plane({ 1, kNaN }), plane({ 4, 5 })); });
    EXPECT_EQ(cov, 0.0f);

    cv::RNG rng(5);
    cv::Mat img(20, 30, CV_32FC3), ref, mean;
    rng.fill(img, cv::RNG::UNIFORM, 0, 255);
    cv::calcCovarMatrix(img.reshape(1, 600), ref, mean,
        cv::COVAR_NORMAL | cv::COVAR_ROWS | cv::COVAR_SCALE, CV_32F);
    cv::Mat cov3(3, 3, CV_32FC1), cov2(2, 2, CV_32FC1);
    EXPECT_EQ(lines(printed([&] { computeCovariance(img, cov3, 3); })), 27);
    EXPECT_LT(relErr(cov3, ref * (600.0 / 599.0)), 1e-4); // float sums over 600 values

    // Two dimensions never read the lightness channel.
    for (int i = 0; i < img.rows; ++i)
        img.at<cv::Vec3f>(i, i)[0] = kNaN;
    EXPECT_EQ(lines(printed([&] { computeCovariance(img, cov2, 2); })), 12);
    EXPECT_EQ(cv::norm(cov2, cov3(cv::Rect(1, 1, 2, 2)), cv::NORM_INF), 0.0);
}
