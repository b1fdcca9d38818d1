#include "toolkit/guidedfilter/GuidedFilter.hpp"

#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/ximgproc.hpp>

#include <filesystem>
#include <type_traits>

using namespace toolkit::guidedfilter;

namespace {

// Float rounding of the window sums and of the per-pixel 3 x 3 inverse: the
// two implementations order their arithmetic differently.
constexpr double kContribTol = 1e-4;
// Window means of a constant are exact up to one rounding of the scale 1/k^2.
constexpr double kConstantTol = 1e-6;
// Transport maps of 0..255 data come out of float eigen decompositions with a
// relative error near 1e-5; times deviations of up to ~128 grey levels.
constexpr double kTransportTol = 0.05;

const std::vector<std::string> kColourDebugFiles = { "0R.jpg", "0G.jpg", "0B.jpg", "cov_a_r.jpg",
                                                     "a_r.jpg", "a_g.jpg", "a_b.jpg", "b.jpg" };

cv::Mat floatPhoto(int rows, int cols, unsigned seed, double scale = 1.0 / 255.0)
{
    cv::Mat f;
    testsupport::makePhoto(rows, cols, seed).convertTo(f, CV_32F, scale);
    return f;
}

cv::Mat grey(const cv::Mat& bgr)
{
    cv::Mat g;
    cv::cvtColor(bgr, g, cv::COLOR_BGR2GRAY);
    return g;
}

cv::Mat twiceBoxed(const cv::Mat& p, int r)
{
    const cv::Size k(2 * r + 1, 2 * r + 1);
    cv::Mat once, twice;
    cv::blur(p, once, k, cv::Point(-1, -1), cv::BORDER_REFLECT_101);
    cv::blur(once, twice, k, cv::Point(-1, -1), cv::BORDER_REFLECT_101);
    return twice;
}

// Largest difference away from a band of `band` pixels along the border.
double interiorDiff(const cv::Mat& a, const cv::Mat& b, int band)
{
    const cv::Rect inner(band, band, a.cols - 2 * band, a.rows - 2 * band);
    return cv::norm(a(inner), b(inner), cv::NORM_INF);
}

double maxAbsDiff(const cv::Mat& a, const cv::Mat& b)
{
    return cv::norm(a, b, cv::NORM_INF);
}

} // namespace

TEST(ContribAgreement, GreyGuideOnFloatPhotographs)
{
    const cv::Mat p = floatPhoto(96, 128, 1);
    const cv::Mat I = grey(floatPhoto(96, 128, 2));
    for (int r : { 1, 4, 8 }) {
        for (double eps : { 1e-4, 1e-2 }) {
            const cv::Mat ours = guidedFilter(I, p, r, eps, -1);
            cv::Mat reference;
            cv::ximgproc::guidedFilter(I, p, reference, r, eps, -1);
            ASSERT_EQ(ours.type(), CV_32FC3);
            EXPECT_LT(interiorDiff(ours, reference, 2 * r), kContribTol) << "r " << r << " eps " << eps;
        }
    }
}

TEST(ContribAgreement, ColourGuideScaledTo255)
{
    testsupport::ScopedWorkDir dir;
    const cv::Mat p = floatPhoto(96, 128, 3);
    const cv::Mat I = floatPhoto(96, 128, 4);
    for (int r : { 2, 6 }) {
        for (double eps : { 1e-4, 1e-2 }) {
            const cv::Mat ours = guidedFilter(I, p, r, eps, -1);
            // Contrib replaces tiny determinants by 1 on [0, 1] data, so it
            // runs on the same images in 0..255 units.
            cv::Mat reference;
            cv::ximgproc::guidedFilter(I * 255.0, p * 255.0, reference, r, eps * 255.0 * 255.0, -1);
            reference /= 255.0;
            EXPECT_LT(interiorDiff(ours, reference, 2 * r), kContribTol) << "r " << r << " eps " << eps;
        }
    }
}

TEST(Invariants, ZeroRadiusReturnsTheInput)
{
    testsupport::ScopedWorkDir dir;
    const cv::Mat p = floatPhoto(20, 30, 5);
    const cv::Mat colourGuide = floatPhoto(20, 30, 6);
    for (double eps : { 0.0, 1e-3 }) {
        EXPECT_EQ(maxAbsDiff(guidedFilter(grey(colourGuide), p, 0, eps, -1), p), 0.0) << eps;
        const cv::Mat q = guidedFilter(colourGuide, p, 0, eps, -1);
        EXPECT_EQ(maxAbsDiff(q, p), 0.0) << eps;
    }
    cv::Mat p8;
    p.convertTo(p8, CV_8U, 255.0);
    const cv::Mat q8 = guidedFilter(grey(colourGuide), p8, 0, 1e-3, -1);
    ASSERT_EQ(q8.type(), CV_8UC3);
    EXPECT_EQ(maxAbsDiff(q8, p8), 0.0);
}

TEST(Invariants, ConstantImageStaysConstantUpToTheBorder)
{
    testsupport::ScopedWorkDir dir;
    const cv::Mat constant(40, 50, CV_32FC1, cv::Scalar(0.37));
    const cv::Mat guide = floatPhoto(40, 50, 7);
    for (const cv::Mat& I : { grey(guide), guide }) {
        const cv::Mat q = guidedFilter(I, constant, 5, 1e-3, -1);
        EXPECT_LT(maxAbsDiff(q, constant), kConstantTol) << I.channels();
    }
}

TEST(Invariants, FlatGuideGivesTwiceBoxAveragedInput)
{
    testsupport::ScopedWorkDir dir;
    const cv::Mat p = floatPhoto(40, 50, 8);
    const int r = 3;
    const cv::Mat expected = twiceBoxed(p, r);

    // A constant guide: zero variance, so a = 0 for eps > 0.
    EXPECT_EQ(maxAbsDiff(guidedFilter(cv::Mat(40, 50, CV_32FC1, cv::Scalar(0.5)), p, r, 1e-3), expected), 0.0);
    EXPECT_EQ(maxAbsDiff(guidedFilter(cv::Mat(40, 50, CV_32FC3, cv::Scalar::all(0.5)), p, r, 1e-3), expected), 0.0);

    // eps = 0: a zero divisor gives a = 0, never NaN.
    const cv::Mat q = guidedFilter(cv::Mat::zeros(40, 50, CV_32FC1), p, r, 0.0);
    EXPECT_TRUE(cv::checkRange(q));
    EXPECT_EQ(maxAbsDiff(q, expected), 0.0);

    // A three-channel guide whose planes are equal is singular everywhere.
    const cv::Mat g = grey(floatPhoto(40, 50, 9));
    cv::Mat equalPlanes;
    cv::merge(std::vector<cv::Mat> { g, g, g }, equalPlanes);
    const cv::Mat qc = guidedFilter(equalPlanes, p, r, 0.0);
    EXPECT_TRUE(cv::checkRange(qc));
    EXPECT_EQ(maxAbsDiff(qc, expected), 0.0);
}

TEST(Errors, GuideWithTwoOrFourChannelsIsRejected)
{
    testsupport::ScopedWorkDir dir;
    const cv::Mat p(10, 10, CV_32FC1, cv::Scalar(0.5));
    for (int channels : { 2, 4 }) {
        const cv::Mat I(10, 10, CV_32FC(channels), cv::Scalar::all(0.5));
        try {
            guidedFilter(I, p, 2, 1e-3, -1);
            ADD_FAILURE() << "no error for " << channels << " channels";
        } catch (const cv::Exception& e) {
            EXPECT_EQ(e.code, -215);
            EXPECT_EQ(e.err, "I.channels() == 1 || I.channels() == 3");
            EXPECT_EQ(e.func, "GuidedFilter");
        }
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST(Driver, PlanesDepthsAndRepeatedUse)
{
    static_assert(!std::is_copy_constructible<GuidedFilter>::value, "the facade owns its implementation");
    static_assert(!std::is_copy_assignable<GuidedFilter>::value, "the facade owns its implementation");

    const cv::Mat p = floatPhoto(30, 40, 10);
    const cv::Mat I = grey(floatPhoto(30, 40, 11));
    const GuidedFilter filter(I, 3, 1e-3);
    const cv::Mat q = filter.filter(p, -1);
    EXPECT_EQ(maxAbsDiff(filter.filter(p, -1), q), 0.0);
    EXPECT_EQ(maxAbsDiff(guidedFilter(I, p, 3, 1e-3, -1), q), 0.0);

    // A multi-channel input is filtered plane by plane.
    std::vector<cv::Mat> planes;
    cv::split(p, planes);
    for (int k = 0; k < 3; ++k) {
        cv::Mat qk;
        cv::extractChannel(q, qk, k);
        EXPECT_EQ(maxAbsDiff(filter.filter(planes[k], -1), qk), 0.0) << k;
    }

    // An 8-bit guide is used in its 0..255 units, not rescaled.
    cv::Mat I8, I8f;
    I.convertTo(I8, CV_8U, 255.0);
    I8.convertTo(I8f, CV_32F);
    EXPECT_EQ(maxAbsDiff(guidedFilter(I8, p, 3, 10.0, -1), guidedFilter(I8f, p, 3, 10.0, -1)), 0.0);

    // An explicit depth; a double guide works in double.
    EXPECT_EQ(guidedFilter(I8, I8, 3, 10.0, CV_32F).type(), CV_32FC1);
    cv::Mat I64;
    I.convertTo(I64, CV_64F);
    const cv::Mat q64 = guidedFilter(I64, p, 3, 1e-3, -1);
    ASSERT_EQ(q64.type(), CV_32FC3);
    EXPECT_LT(maxAbsDiff(q64, q), kContribTol);
}

TEST(DebugImages, ColourGuideWritesItsPlanesMonoGuideNothing)
{
    testsupport::ScopedWorkDir dir;
    const cv::Mat p = floatPhoto(30, 40, 12);
    guidedFilter(grey(p), p, 2, 1e-3, -1);
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));

    const GuidedFilter filter(p, 2, 1e-3);
    for (int k = 0; k < 3; ++k)
        EXPECT_TRUE(testsupport::fileExists(kColourDebugFiles[k]));
    EXPECT_FALSE(testsupport::fileExists("b.jpg"));
    filter.filter(p, -1);
    for (const auto& name : kColourDebugFiles)
        EXPECT_TRUE(testsupport::fileExists(name)) << name;

    // Box means of a [0, 1] guide are written unscaled: near-black.
    double maxValue = 0.0;
    cv::minMaxLoc(cv::imread("0R.jpg", cv::IMREAD_GRAYSCALE), nullptr, &maxValue);
    EXPECT_LE(maxValue, 3.0); // 0 or 1 before JPEG ringing
}

TEST(ColourTransfer, GuideOntoItselfIsTheIdentity)
{
    testsupport::ScopedWorkDir dir;
    // Independent noise in 0..255: every window's covariance is well above
    // the 7.5 floor and well conditioned.
    cv::Mat guide(24, 32, CV_32FC3);
    cv::RNG rng(13);
    rng.fill(guide, cv::RNG::UNIFORM, 0.0, 255.0);
    // The variants take the window side, not the radius.
    const int side = 11;
    const GuidedFilterColor filter(guide, side, 1e-3);
    const cv::Mat out = filter.filterColorChannelsMK(guide);
    ASSERT_EQ(out.type(), CV_32FC3);
    EXPECT_LT(maxAbsDiff(out, guide), kTransportTol);

    // On [0, 1] data the floor dominates: local contrast shrinks strongly.
    const cv::Mat unit = guide / 255.0;
    const GuidedFilterColor unitFilter(unit, side, 1e-3);
    const cv::Mat flat = unitFilter.filterColorChannelsMK(unit);
    cv::Mat mean;
    cv::blur(unit, mean, cv::Size(side, side), cv::Point(-1, -1), cv::BORDER_REFLECT_101);
    // The map is about sqrt(var / 7.5) = sqrt((1/12) / 7.5) = 0.105.
    const double ratio = cv::norm(flat, mean, cv::NORM_L2) / cv::norm(unit, mean, cv::NORM_L2);
    EXPECT_GT(ratio, 0.07);
    EXPECT_LT(ratio, 0.15);

    // The single-channel variant has no colour transfer.
    const GuidedFilterMono mono(grey(unit), side, 1e-3);
    const cv::Mat none = mono.filterColorChannelsMK(unit);
    EXPECT_EQ(none.type(), CV_32FC3);
    EXPECT_EQ(none.size(), unit.size());
}
