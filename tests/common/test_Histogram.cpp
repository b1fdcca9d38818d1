#include "toolkit/common/Histogram.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

using namespace toolkit::common;

namespace {

constexpr BinRange kMetrics { 0, 999 };
constexpr BinRange kLab { -128, 127 };
const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

cv::Mat plane(std::initializer_list<float> values)
{
    return cv::Mat(std::vector<float>(values), true).reshape(1, 1);
}

} // namespace

TEST(HistogramBinning, HalvesRoundAwayFromZero)
{
    // 0.49 and 0.5 fall in bins 0 and 1: nothing shared.
    EXPECT_EQ(getBhattacharyaCoeff(plane({ 0.49f }), plane({ 0.5f }), kMetrics), 0.0f);
    EXPECT_EQ(getBhattacharyaCoeff(plane({ 1.5f }), plane({ 2.4f }), kMetrics), 1.0f);
    EXPECT_EQ(getBhattacharyaCoeff(plane({ 2.5f }), plane({ 3.4f }), kMetrics), 1.0f);
    // -0.5 is bin -1: outside the metrics range, inside the Lab range.
    EXPECT_EQ(getBhattacharyaCoeff(plane({ -0.5f }), plane({ -0.5f }), kMetrics), 0.0f);
    EXPECT_EQ(getBhattacharyaCoeff(plane({ -0.5f }), plane({ -1.4f }), kLab), 1.0f);
    EXPECT_EQ(getBhattacharyaCoeff(plane({ -0.5f }), plane({ -0.4f }), kLab), 0.0f);

    std::map<int, float> freq;
    computeFreqProbs(plane({ -0.5f, 0.5f, -2.5f, 2.5f, 0.49f }), freq);
    EXPECT_EQ(freq,
        (std::map<int, float> {
            { -3, 0.2f }, { -1, 0.2f }, { 0, 0.2f }, { 1, 0.2f }, { 3, 0.2f } }));
}

TEST(HistogramCoefficient, NaNSkippedAndProbabilitiesNormalised)
{
    const cv::Mat a = plane({ kNaN, 1.2f, 1.4f, 3.0f });
    const cv::Mat b = plane({ 1.0f, 3.0f });
    std::map<int, float> freq;
    computeFreqProbs(a, freq);
    EXPECT_EQ(freq, (std::map<int, float> { { 1, 2.0f / 3.0f }, { 3, 1.0f / 3.0f } }));
    EXPECT_NEAR(
        getBhattacharyaCoeff(a, b, kMetrics), std::sqrt(1.0 / 3) + std::sqrt(1.0 / 6), 1e-6);
    EXPECT_NEAR(getBhattacharyaCoeff(a, b, kMetrics), 0.985599f, 1e-6);
}

TEST(HistogramCoefficient, OutOfRangeValuesCountInNOnly)
{
    // A plane with itself gives the share of its values whose bin is summed.
    const cv::Mat half = plane({ 5.0f, 2000.0f, 7.0f, -3.0f });
    EXPECT_FLOAT_EQ(getBhattacharyaCoeff(half, half, kMetrics), 0.5f);
    EXPECT_EQ(
        getBhattacharyaCoeff(plane({ 1000.0f, 5000.0f }), plane({ 1000.0f }), kMetrics), 0.0f);
    EXPECT_EQ(getBhattacharyaCoeff(plane({ 127.5f }), plane({ 127.5f }), kLab), 0.0f);
    EXPECT_EQ(getBhattacharyaCoeff(plane({ -128.5f }), plane({ -128.5f }), kLab), 0.0f);
    EXPECT_FLOAT_EQ(
        getBhattacharyaCoeff(plane({ 127.4f, -128.4f }), plane({ 127.4f, -128.4f }), kLab), 1.0f);
}

TEST(HistogramCoefficient, ValuesBeyondIntRangeAndInfinitiesFallIntoNoBin)
{
    // Converting these to int would be undefined behaviour; they must only count in n.
    const cv::Mat extreme = plane({ 3e9f, -3e9f, 1e30f, kInf, -kInf, 4.0f, kNaN });
    EXPECT_FLOAT_EQ(getBhattacharyaCoeff(extreme, extreme, kMetrics), 1.0f / 6.0f);
    std::map<int, float> freq;
    computeFreqProbs(extreme, freq);
    EXPECT_EQ(freq, (std::map<int, float> { { 4, 1.0f / 6.0f } }));

    BinCounts counts(kMetrics);
    counts.addPlane(extreme);
    EXPECT_EQ(counts.total(), 6u);
    EXPECT_EQ(counts.count(4), 1u);
}

TEST(HistogramCoefficient, IdenticalAndEmptyPlanes)
{
    cv::Mat img(64, 48, CV_32FC1);
    cv::randu(img, -0.49, 999.49);
    EXPECT_NEAR(getBhattacharyaCoeff(img, img, kMetrics), 1.0f, 1e-5);

    const cv::Mat empty(0, 5, CV_32FC1);
    EXPECT_EQ(getBhattacharyaCoeff(empty, empty, kMetrics), 0.0f);
    EXPECT_EQ(getBhattacharyaCoeff(img, empty, kMetrics), 0.0f);
    EXPECT_EQ(getBhattacharyaCoeff(plane({ kNaN, kNaN }), img, kMetrics), 0.0f);
    std::map<int, float> freq;
    computeFreqProbs(plane({ kNaN }), freq);
    EXPECT_TRUE(freq.empty());
}

TEST(HistogramCoefficient, CountsAreExactBeyondFloatCounterLimit)
{
    // 2^24 + 8 zeros and 8 ones: a float counter would stick at 2^24 zeros.
    const int zeros = (1 << 24) + 8;
    cv::Mat big(1, zeros + 8, CV_32FC1, cv::Scalar(0));
    big.colRange(zeros, zeros + 8).setTo(1.0);

    BinCounts counts(kMetrics);
    counts.addPlane(big);
    EXPECT_EQ(counts.count(0), std::uint64_t(zeros));
    EXPECT_EQ(counts.total(), std::uint64_t(zeros + 8));

    std::map<int, float> freq;
    computeFreqProbs(big, freq);
    EXPECT_EQ(freq[0], float(zeros) / float(zeros + 8));
    EXPECT_EQ(freq[1], 8.0f / float(zeros + 8));

    // Counted by weight, as the distinct-colour path does.
    BinCounts weighted(kMetrics);
    weighted.add(0.2f, zeros);
    weighted.add(1.0f, 8);
    EXPECT_EQ(bhattacharyyaCoeff(counts, weighted), bhattacharyyaCoeff(counts, counts));
}

namespace {

BinCounts countsOf(const cv::Mat& values, BinRange range)
{
    BinCounts counts(range);
    counts.addPlane(values);
    return counts;
}

// The distance by its definition for two samples of one size: the mean gap
// between their sorted values, each rounded to its bin first.
double sortedSampleDistance(const cv::Mat& a, const cv::Mat& b)
{
    std::vector<double> x, y;
    for (int k = 0; k < static_cast<int>(a.total()); ++k) {
        x.push_back(std::round(static_cast<double>(a.at<float>(k))));
        y.push_back(std::round(static_cast<double>(b.at<float>(k))));
    }
    std::sort(x.begin(), x.end());
    std::sort(y.begin(), y.end());
    double sum = 0;
    for (std::size_t k = 0; k < x.size(); ++k)
        sum += std::abs(x[k] - y[k]);
    return sum / double(x.size());
}

} // namespace

TEST(HistogramDistance, AUniformShiftOfKBinsGivesK)
{
    // A photograph-like spread over a few bins, moved whole by k: exactly k,
    // however the values are spread, while the coefficient falls to 0 once
    // the bins no longer overlap.
    cv::Mat values(120, 160, CV_32FC1), quarters;
    cv::randn(values, 300.0, 2.0);
    // Quarters, so that adding k moves no value across a bin's edge by rounding.
    values.convertTo(quarters, CV_32S, 4.0);
    quarters.convertTo(values, CV_32F, 0.25);
    for (int k : { 0, 1, 2, 7, 50 }) {
        const cv::Mat shifted = values + k;
        const BinCounts a = countsOf(values, kMetrics), b = countsOf(shifted, kMetrics);
        EXPECT_EQ(earthMoversDistance(a, b), double(k)) << k;
        EXPECT_EQ(earthMoversDistance(b, a), double(k)) << k;
    }
    EXPECT_LT(getBhattacharyaCoeff(values, values + 50, kMetrics), 1e-3f);
    // Signed bins of the L*a*b* range: -5 to 5 is 10.
    EXPECT_EQ(
        earthMoversDistance(countsOf(plane({ -5.0f }), kLab), countsOf(plane({ 5.0f }), kLab)),
        10.0);
}

TEST(HistogramDistance, EqualsTheMeanGapOfSortedSamples)
{
    cv::RNG rng(26);
    for (int trial = 0; trial < 20; ++trial) {
        cv::Mat a(1, 500, CV_32FC1), b(1, 500, CV_32FC1);
        rng.fill(a, cv::RNG::UNIFORM, 0.0, 40.0 + trial);
        rng.fill(b, cv::RNG::NORMAL, 20.0, 3.0 + trial);
        // The signed range holds every value drawn.
        EXPECT_NEAR(earthMoversDistance(countsOf(a, kLab), countsOf(b, kLab)),
            sortedSampleDistance(a, b), 1e-12)
            << trial;
    }
    // Unequal sizes: half of {0, 2} moves by 2 to meet {0}.
    EXPECT_EQ(earthMoversDistance(
                  countsOf(plane({ 0.0f }), kMetrics), countsOf(plane({ 0.0f, 2.0f }), kMetrics)),
        1.0);
    // Values one unit apart are one bin apart, after rounding.
    EXPECT_EQ(earthMoversDistance(
                  countsOf(plane({ 0.49f }), kMetrics), countsOf(plane({ 0.5f }), kMetrics)),
        1.0);
}

TEST(HistogramDistance, OnlyValuesInTheRangeCount)
{
    // NaN, values beyond the range and infinities are left out of both
    // sides' shares; nothing in the range leaves the distance undefined.
    const BinCounts a = countsOf(plane({ 3.0f, kNaN, 5000.0f, kInf }), kMetrics);
    const BinCounts b = countsOf(plane({ 6.0f, -7.0f }), kMetrics);
    EXPECT_EQ(earthMoversDistance(a, b), 3.0);
    EXPECT_TRUE(std::isnan(earthMoversDistance(a, countsOf(plane({ 1200.0f }), kMetrics))));
    EXPECT_TRUE(std::isnan(earthMoversDistance(
        countsOf(cv::Mat(0, 3, CV_32FC1), kMetrics), countsOf(plane({ 1.0f }), kMetrics))));
}

TEST(HistogramDistance, ExactForMillionsOfPixelsAcrossTheWholeRange)
{
    // Counts far beyond 2^32 products: all of 12 megapixels moved from bin 0
    // to bin 999 is 999, and half of them 499.5.
    BinCounts low(kMetrics), high(kMetrics), half(kMetrics);
    low.add(0.0f, 12000000);
    high.add(999.0f, 12000000);
    half.add(0.0f, 6000000);
    half.add(999.0f, 6000000);
    EXPECT_EQ(earthMoversDistance(low, high), 999.0);
    EXPECT_EQ(earthMoversDistance(low, half), 499.5);
}
