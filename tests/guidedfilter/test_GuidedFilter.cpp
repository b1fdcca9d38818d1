#include "toolkit/guidedfilter/GuidedFilter.hpp"

#include "tests/support/TestSupport.hpp"
#include "toolkit/common/ImageFiles.hpp"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/ximgproc.hpp>

#include <filesystem>
#include <limits>
#include <type_traits>

using namespace toolkit::guidedfilter;

namespace {

// Float rounding of window sums and of the per-pixel 3 x 3 inverse, which the
// two implementations order differently (measured: below 2e-5).
constexpr double kContribTol = 1e-4;
// A window mean of a constant is exact up to one rounding of the scale 1/k^2.
constexpr double kConstantTol = 1e-6;
// Transport maps of 0..255 data: float eigen decompositions, relative error
// near 1e-5, times deviations of up to ~128 levels.
constexpr double kTransportTol = 0.05;

cv::Mat floatPhoto(int rows, int cols, unsigned seed)
{
    cv::Mat f;
    testsupport::makePhoto(rows, cols, seed).convertTo(f, CV_32F, 1.0 / 255.0);
    return f;
}

cv::Mat grey(const cv::Mat& bgr)
{
    cv::Mat g;
    cv::cvtColor(bgr, g, cv::COLOR_BGR2GRAY);
    return g;
}

cv::Mat boxed(const cv::Mat& p, int side)
{
    cv::Mat m;
    cv::blur(p, m, cv::Size(side, side), cv::Point(-1, -1), cv::BORDER_REFLECT_101);
    return m;
}

// The image away from a band of `band` pixels along each edge.
cv::Mat inner(const cv::Mat& m, int band)
{
    return m(cv::Rect(band, band, m.cols - 2 * band, m.rows - 2 * band));
}

} // namespace

TEST(GuidedFilterContribAgreement, GreyAndColourGuidesOnFloatPhotographs)
{
    testsupport::ScopedWorkDir dir;
    const cv::Mat p = floatPhoto(96, 128, 1), I = floatPhoto(96, 128, 2);
    for (int r : { 1, 4, 8 }) {
        for (double eps : { 1e-4, 1e-2 }) {
            cv::Mat greyRef, colourRef;
            cv::ximgproc::guidedFilter(grey(I), p, greyRef, r, eps, -1);
            // Contrib edge pixels are repeated, ours are not: compare away from
            // a 2r band. Its colour guide needs 0..255 data to be right.
            EXPECT_TRUE(testsupport::near(inner(guidedFilter(grey(I), p, r, eps, -1), 2 * r),
                inner(greyRef, 2 * r), kContribTol));
            cv::ximgproc::guidedFilter(I * 255.0, p * 255.0, colourRef, r, eps * 255 * 255, -1);
            EXPECT_TRUE(testsupport::near(inner(guidedFilter(I, p, r, eps, -1), 2 * r),
                inner(colourRef / 255.0, 2 * r), kContribTol));
        }
    }
}

TEST(GuidedFilterInvariants, ZeroRadiusReturnsTheInput)
{
    testsupport::ScopedWorkDir dir;
    const cv::Mat p = floatPhoto(20, 30, 5), guide = floatPhoto(20, 30, 6);
    for (double eps : { 0.0, 1e-3 }) { // eps 0: a 0 / 0 slope counts as 0
        EXPECT_TRUE(testsupport::near(guidedFilter(grey(guide), p, 0, eps, -1), p, 0.0));
        EXPECT_TRUE(testsupport::near(guidedFilter(guide, p, 0, eps, -1), p, 0.0));
    }
    cv::Mat p8;
    p.convertTo(p8, CV_8U, 255.0);
    const cv::Mat q8 = guidedFilter(grey(guide), p8, 0, 1e-3, -1);
    EXPECT_EQ(q8.type(), CV_8UC3);
    EXPECT_TRUE(testsupport::near(q8, p8, 0.0));
}

TEST(GuidedFilterInvariants, ConstantImageStaysConstantUpToTheBorder)
{
    testsupport::ScopedWorkDir dir;
    const cv::Mat constant(40, 50, CV_32FC1, cv::Scalar(0.37)), guide = floatPhoto(40, 50, 7);
    EXPECT_TRUE(testsupport::near(
        guidedFilter(grey(guide), constant, 5, 1e-3, -1), constant, kConstantTol));
    EXPECT_TRUE(
        testsupport::near(guidedFilter(guide, constant, 5, 1e-3, -1), constant, kConstantTol));
}

TEST(GuidedFilterInvariants, FlatGuideGivesTwiceBoxAveragedInputWithoutNaN)
{
    testsupport::ScopedWorkDir dir;
    const cv::Mat p = floatPhoto(40, 50, 8), expected = boxed(boxed(p, 7), 7);
    const cv::Mat g = grey(floatPhoto(40, 50, 9));
    cv::Mat equalPlanes;
    cv::merge(std::vector<cv::Mat> { g, g, g }, equalPlanes);
    const std::pair<cv::Mat, double> cases[] = {
        { cv::Mat(40, 50, CV_32FC1, cv::Scalar(0.5)), 1e-3 }, // constant guide
        { cv::Mat(40, 50, CV_32FC3, cv::Scalar::all(0.5)), 1e-3 },
        { cv::Mat::zeros(40, 50, CV_32FC1), 0.0 }, // variance + eps = 0
        { equalPlanes, 0.0 }, // determinant 0 everywhere
    };
    for (const auto& c : cases) {
        const cv::Mat q = guidedFilter(c.first, p, 3, c.second, -1);
        EXPECT_TRUE(cv::checkRange(q)) << c.first.channels() << " " << c.second;
        EXPECT_TRUE(testsupport::near(q, expected, 0.0)) << c.first.channels() << " " << c.second;
    }
}

TEST(GuidedFilterErrors, GuideWithTwoOrFourChannelsIsRejected)
{
    testsupport::ScopedWorkDir dir;
    for (int channels : { 2, 4 }) {
        try {
            guidedFilter(cv::Mat(10, 10, CV_32FC(channels)), cv::Mat(10, 10, CV_32F), 2, 1e-3, -1);
            ADD_FAILURE() << "no error for " << channels << " channels";
        } catch (const cv::Exception& e) {
            EXPECT_EQ(e.code, -215);
            EXPECT_EQ(e.err, "I.channels() == 1 || I.channels() == 3");
            EXPECT_EQ(e.func, "GuidedFilter");
        }
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST(GuidedFilterDriver, PlaneByPlaneInTheGuideUnits)
{
    static_assert(!std::is_copy_constructible<GuidedFilter>::value, "owns its implementation");
    static_assert(!std::is_copy_assignable<GuidedFilter>::value, "owns its implementation");
    const cv::Mat p = floatPhoto(30, 40, 10), I = grey(floatPhoto(30, 40, 11));
    const GuidedFilter filter(I, 3, 1e-3);
    const cv::Mat q = filter.filter(p, -1);
    for (int k = 0; k < 3; ++k) {
        cv::Mat pk, qk;
        cv::extractChannel(p, pk, k);
        cv::extractChannel(q, qk, k);
        EXPECT_TRUE(testsupport::near(filter.filter(pk, -1), qk, 0.0)) << k;
    }
    // An 8-bit guide keeps its 0..255 values.
    cv::Mat I8, I8f;
    I.convertTo(I8, CV_8U, 255.0);
    I8.convertTo(I8f, CV_32F);
    EXPECT_TRUE(testsupport::near(
        guidedFilter(I8, p, 3, 10.0, -1), guidedFilter(I8f, p, 3, 10.0, -1), 0.0));
    EXPECT_EQ(guidedFilter(I8, I8, 3, 10.0, CV_32F).type(), CV_32FC1);
}

TEST(GuidedFilterColourGuide, DebugImagesAndLocalColourTransfer)
{
    testsupport::ScopedWorkDir dir;
    cv::Mat guide(24, 32, CV_32FC3);
    cv::RNG(13).fill(guide, cv::RNG::UNIFORM, 0.0, 255.0);
    guidedFilter(grey(guide), guide, 2, 1e-3, -1);
    EXPECT_TRUE(std::filesystem::is_empty(dir.path())); // grey guide: no file

    // Independent 0..255 noise: every window's covariance is well above the
    // 7.5 floor, so the map onto itself is the identity.
    const int side = 11; // the variants take the window side, not the radius
    const GuidedFilterColor filter(guide, side, 1e-3);
    EXPECT_TRUE(testsupport::near(filter.filterColorChannelsMK(guide), guide, kTransportTol));
    filter.filterSingleChannel(grey(guide));
    for (const char* name :
        { "0R.jpg", "0G.jpg", "0B.jpg", "cov_a_r.jpg", "a_r.jpg", "a_g.jpg", "a_b.jpg", "b.jpg" })
        EXPECT_TRUE(testsupport::fileExists(name)) << name;

    // On [0, 1] data the floor dominates: the map is about
    // sqrt((1/12) / 7.5) = 0.105 and local contrast shrinks by that much.
    const cv::Mat unit = guide / 255.0, mean = boxed(unit, side);
    const cv::Mat flat = GuidedFilterColor(unit, side, 1e-3).filterColorChannelsMK(unit);
    const double ratio = cv::norm(flat, mean) / cv::norm(unit, mean);
    EXPECT_GT(ratio, 0.07);
    EXPECT_LT(ratio, 0.15);

    // A double guide cannot be read as float planes; a grey guide has no transfer.
    cv::Mat unit64;
    unit.convertTo(unit64, CV_64F);
    EXPECT_THROW(GuidedFilterColor(unit64, side, 1e-3).filterColorChannelsMK(unit), cv::Exception);
    const cv::Mat none = GuidedFilterMono(grey(unit), side, 1e-3).filterColorChannelsMK(unit);
    EXPECT_EQ(none.type(), CV_32FC3);
    EXPECT_EQ(cv::countNonZero(none.reshape(1)), 0);
}

namespace {

// The filter as its definition reads, plane by plane with whole-image
// intermediates (each product, sum and quotient one OpenCV call): the slow,
// obvious implementation that the row-streaming one must reproduce bit for
// bit. Also returns the debug planes of the last plane: 0R, 0G, 0B,
// cov_a_r, a_r, a_g, a_b, b (colour guide only).
struct Reference {
    cv::Mat out; // at the working depth
    std::vector<cv::Mat> debug;
};

cv::Mat mulR(const cv::Mat& a, const cv::Mat& b)
{
    cv::Mat r;
    cv::multiply(a, b, r);
    return r;
}

cv::Mat addR(const cv::Mat& a, const cv::Mat& b)
{
    cv::Mat r;
    cv::add(a, b, r);
    return r;
}

cv::Mat subR(const cv::Mat& a, const cv::Mat& b)
{
    cv::Mat r;
    cv::subtract(a, b, r);
    return r;
}

cv::Mat plusEps(const cv::Mat& a, double eps)
{
    cv::Mat r;
    cv::add(a, cv::Scalar::all(eps), r);
    return r;
}

// a / b, 0 where b is exactly 0.
cv::Mat quotient(const cv::Mat& a, const cv::Mat& b)
{
    cv::Mat r;
    cv::divide(a, b, r);
    r.setTo(0, b == 0);
    return r;
}

cv::Mat greyPlane(const cv::Mat& I, const cv::Mat& p, int side, double eps)
{
    const cv::Mat mI = boxed(I, side), mP = boxed(p, side);
    const cv::Mat var = subR(boxed(mulR(I, I), side), mulR(mI, mI));
    const cv::Mat cov = subR(boxed(mulR(I, p), side), mulR(mI, mP));
    const cv::Mat a = quotient(cov, plusEps(var, eps));
    const cv::Mat b = subR(mP, mulR(a, mI));
    return addR(mulR(boxed(a, side), I), boxed(b, side));
}

cv::Mat colourPlane(
    const cv::Mat (&I)[3], const cv::Mat& p, int side, double eps, std::vector<cv::Mat>& debug)
{
    cv::Mat m[3], c[3][3];
    for (int i = 0; i < 3; ++i)
        m[i] = boxed(I[i], side);
    for (int i = 0; i < 3; ++i)
        for (int j = i; j < 3; ++j)
            c[i][j] = c[j][i] = subR(boxed(mulR(I[i], I[j]), side), mulR(m[i], m[j]));
    const cv::Mat sRR = plusEps(c[0][0], eps), sGG = plusEps(c[1][1], eps),
                  sBB = plusEps(c[2][2], eps);
    cv::Mat inv[6] = { subR(mulR(sGG, sBB), mulR(c[1][2], c[1][2])),
        subR(mulR(c[1][2], c[0][2]), mulR(c[0][1], sBB)),
        subR(mulR(c[0][1], c[1][2]), mulR(sGG, c[0][2])),
        subR(mulR(sRR, sBB), mulR(c[0][2], c[0][2])),
        subR(mulR(c[0][2], c[0][1]), mulR(sRR, c[1][2])),
        subR(mulR(sRR, sGG), mulR(c[0][1], c[0][1])) };
    const cv::Mat det = addR(addR(mulR(inv[0], sRR), mulR(inv[1], c[0][1])), mulR(inv[2], c[0][2]));
    for (cv::Mat& e : inv)
        e = quotient(e, det);
    // inv[0..5] = rr, rg, rb, gg, gb, bb; row k of the symmetric inverse:
    const int row[3][3] = { { 0, 1, 2 }, { 1, 3, 4 }, { 2, 4, 5 } };
    const cv::Mat mP = boxed(p, side);
    cv::Mat cov[3], a[3];
    for (int i = 0; i < 3; ++i)
        cov[i] = subR(boxed(mulR(I[i], p), side), mulR(m[i], mP));
    for (int k = 0; k < 3; ++k)
        a[k] = addR(addR(mulR(inv[row[k][0]], cov[0]), mulR(inv[row[k][1]], cov[1])),
            mulR(inv[row[k][2]], cov[2]));
    cv::Mat b = mP;
    for (int k = 0; k < 3; ++k)
        b = subR(b, mulR(a[k], m[k]));
    debug = { m[0], m[1], m[2], cov[0], a[0], a[1], a[2], b };
    cv::Mat q = mulR(boxed(a[0], side), I[0]);
    for (int k = 1; k < 3; ++k)
        q = addR(q, mulR(boxed(a[k], side), I[k]));
    return addR(q, boxed(b, side));
}

Reference reference(const cv::Mat& I, const cv::Mat& p, int r, double eps)
{
    cv::Mat guide;
    I.convertTo(guide, I.depth() == CV_64F ? CV_64F : CV_32F);
    cv::Mat p2 = p;
    if (p.depth() != guide.depth())
        p.convertTo(p2, guide.depth());
    std::vector<cv::Mat> planes { p2 }; // a single plane as given, part of a larger image or not
    if (p.channels() > 1)
        cv::split(p2, planes);
    Reference ref;
    cv::Mat g[3];
    cv::split(guide, g);
    for (cv::Mat& plane : planes)
        plane = I.channels() == 1 ? greyPlane(g[0], plane, 2 * r + 1, eps)
                                  : colourPlane(g, plane, 2 * r + 1, eps, ref.debug);
    cv::merge(planes, ref.out);
    return ref;
}

cv::Mat asDepth(const cv::Mat& m, int depth)
{
    cv::Mat r;
    m.convertTo(r, depth);
    return r;
}

} // namespace

TEST(GuidedFilterReference, EveryBorderAndRadiusBitForBit)
{
    testsupport::ScopedWorkDir dir;
    // 1 x 1 up to windows many times the image, and images many windows high;
    // 4001 columns: the wide rows of a photograph, streamed a few at a time.
    const cv::Size sizes[]
        = { { 1, 1 }, { 9, 1 }, { 1, 9 }, { 7, 5 }, { 37, 23 }, { 13, 71 }, { 4001, 6 } };
    for (const cv::Size size : sizes) {
        const cv::Mat photo = floatPhoto(size.height, size.width, 21);
        for (int r : { 0, 1, 2, 3, 8, 40 }) {
            for (int depth : { CV_32F, CV_64F }) {
                const cv::Mat I3 = floatPhoto(size.height, size.width, 22);
                for (const cv::Mat& I : { asDepth(grey(I3), depth), asDepth(I3, depth) }) {
                    const cv::Mat ps[] = { grey(photo), photo, asDepth(photo * 255.0, CV_8U) };
                    for (const cv::Mat& p : ps) {
                        const Reference ref = reference(I, p, r, 1e-3);
                        const cv::Mat q = guidedFilter(I, p, r, 1e-3, -1);
                        EXPECT_TRUE(testsupport::sameBytes(q, asDepth(ref.out, p.depth())))
                            << size << " r " << r << " guide " << I.type() << " p " << p.type();
                    }
                }
            }
        }
    }
}

TEST(GuidedFilterReference, PartOfALargerImageAndTheGuideCopy)
{
    testsupport::ScopedWorkDir dir;
    // cv::blur reads a single plane beyond its edges where the larger image
    // has pixels: the filter always has, and must go on doing so.
    const cv::Mat big = grey(floatPhoto(40, 50, 23)), I = floatPhoto(30, 35, 24);
    const cv::Mat p = big(cv::Rect(7, 4, 35, 30));
    for (const cv::Mat& guide : { grey(I), I }) {
        EXPECT_TRUE(testsupport::sameBytes(
            guidedFilter(guide, p, 3, 1e-3, -1), reference(guide, p, 3, 1e-3).out));
        // The filter object keeps its own copy of the guide.
        cv::Mat changing = guide.clone();
        const GuidedFilter filter(changing, 3, 1e-3);
        changing.setTo(0.5);
        EXPECT_TRUE(testsupport::sameBytes(filter.filter(p, -1), reference(guide, p, 3, 1e-3).out));
    }
}

// A window one pixel wide keeps no rows in its column sums, and cv::blur
// starts them afresh only every few rows: an infinity spoils the means of the
// rows below it until then. The filter's means must be cv::blur's there too.
TEST(GuidedFilterReference, OnePixelWindowsCarryAnInfinityDownAsBlurDoes)
{
    testsupport::ScopedWorkDir dir;
    const cv::Mat I = grey(floatPhoto(13, 6, 27));
    for (int row : { 0, 1, 2, 3, 6 }) {
        cv::Mat p = grey(floatPhoto(13, 6, 28));
        p.at<float>(row, 2) = std::numeric_limits<float>::infinity();
        const cv::Mat q = GuidedFilterMono(I, 1, 1e-3).filter(p, -1);
        EXPECT_TRUE(testsupport::sameBytes(q, greyPlane(I, p, 1, 1e-3))) << "row " << row;
    }
}

TEST(GuidedFilterReference, DebugImagesAreThoseOfTheDefinition)
{
    testsupport::ScopedWorkDir dir;
    const cv::Mat I = floatPhoto(23, 31, 25), p = floatPhoto(23, 31, 26);
    guidedFilter(I, p, 2, 1e-3, -1);
    const Reference ref = reference(I, p, 2, 1e-3);
    const char* names[]
        = { "0R.jpg", "0G.jpg", "0B.jpg", "cov_a_r.jpg", "a_r.jpg", "a_g.jpg", "a_b.jpg", "b.jpg" };
    for (int i = 0; i < 8; ++i) {
        const cv::Mat image = i >= 4 && i < 7 ? cv::Mat(ref.debug[i] * 255.0) : ref.debug[i];
        ASSERT_TRUE(toolkit::common::writeImage("expected.jpg", image));
        EXPECT_EQ(testsupport::readFile(names[i]), testsupport::readFile("expected.jpg"))
            << names[i];
    }
}
