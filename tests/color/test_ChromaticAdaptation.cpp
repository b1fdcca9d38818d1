#include "toolkit/color/ChromaticAdaptation.hpp"

#include "toolkit/color/RgbXyz.hpp"
#include "toolkit/common/CommonFunctions.hpp"

#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <cmath>

using namespace toolkit::color;

namespace {

// A gain applied and then divided out: two float roundings, relative.
constexpr double kGainRoundTripRel = 5e-7;
// Gains that should be 1, up to a few float roundings.
constexpr double kNearUnitGainRel = 1e-6;
// The 1e-6 denominator offset of the per-pixel destination branch, relative
// to whites of at least 0.1.
constexpr double kOffsetRel = 2e-5;
// Per-pixel sharpened whites kept at 0.1 and above, so the offset stays small.
const cv::Scalar kWhiteLift = cv::Scalar::all(0.1);
// Display round trip through XYZ: float matrices and their LU inverses,
// magnified up to 12.92 times by the transfer curve.
constexpr double kDisplayRoundTripTol = 1e-5;

cv::Mat photoBGR(unsigned seed)
{
    cv::Mat img8 = testsupport::makePhoto(20, 28, seed);
    cv::Mat img(img8.size(), CV_32FC3);
    toolkit::common::normImg(img8, img);
    return img;
}

cv::Mat photoSharpened(unsigned seed)
{
    const cv::Mat bgr = photoBGR(seed);
    cv::Mat xyz(bgr.size(), CV_32FC3), sharp(bgr.size(), CV_32FC3);
    convertBGRToXYZDirect(bgr, xyz);
    convertXYZtoSharpenedBGR(xyz, sharp);
    return sharp;
}

cv::Mat pixel(float a, float b, float c)
{
    return cv::Mat(1, 1, CV_32FC3, cv::Scalar(double(a), double(b), double(c)));
}

double expectedD(double La)
{
    return 1.0 - std::exp((-La - 42.0) / 92.0) / 3.6;
}

} // namespace

TEST(ChromaticAdaptationDegreeOfAdaptation, ReferenceValuesAndMonotonicity)
{
    // CAT02 D for an average surround; six printed decimals plus float storage.
    EXPECT_NEAR(computeAdapFactD(20.0f), 0.858414, 1e-6);
    EXPECT_NEAR(computeAdapFactD(0.0f), 0.824032, 1e-6);
    // The CIECAM02 worked example (LA = 318.31 cd/m^2, F = 1) gives D = 0.994.
    EXPECT_NEAR(computeAdapFactD(318.31f), 0.994, 1e-3);
    EXPECT_NEAR(computeAdapFactD(1000.0f), 1.0, 1e-5);
    // Strictly rising until float resolution near 1 flattens it.
    for (int La = 1; La <= 1000; ++La) {
        if (La <= 200)
            ASSERT_GT(computeAdapFactD(float(La)), computeAdapFactD(float(La - 1))) << La;
        else
            ASSERT_GE(computeAdapFactD(float(La)), computeAdapFactD(float(La - 1))) << La;
    }
}

TEST(ChromaticAdaptationSharpenedSpace, ChannelOrderRoundTripAndBlack)
{
    cv::Mat s(1, 1, CV_32FC3);
    // CAT02 rows each sum to 1: the equal-energy white gives L = M = S = 1.
    convertXYZtoSharpenedBGR(pixel(1, 1, 1), s);
    EXPECT_TRUE(testsupport::near(s, pixel(1, 1, 1), 1e-6));
    // CAT02 of D65, four decimals: S in channel 0, L in channel 2.
    convertXYZtoSharpenedBGR(pixel(0.9505f, 1.0f, 1.0888f), s);
    EXPECT_TRUE(testsupport::near(s, pixel(1.0872f, 1.0354f, 0.9493f), 1e-4));

    const cv::Mat bgr = photoBGR(3);
    cv::Mat xyz(bgr.size(), CV_32FC3), sharp(bgr.size(), CV_32FC3), back(bgr.size(), CV_32FC3);
    convertBGRToXYZDirect(bgr, xyz);
    convertXYZtoSharpenedBGR(xyz, sharp);
    convertSharpenedBGRtoXYZ(sharp, back);
    // Float product and float LU inverse of a well-conditioned matrix.
    EXPECT_TRUE(testsupport::near(back, xyz, 1e-6));
    convertSharpenedBGRtoXYZ(sharp, sharp); // in place
    EXPECT_TRUE(testsupport::near(sharp, xyz, 1e-6));

    const cv::Mat black(3, 3, CV_32FC3, cv::Scalar::all(0));
    cv::Mat out(3, 3, CV_32FC3, cv::Scalar::all(5));
    convertXYZtoSharpenedBGR(black, out);
    EXPECT_TRUE(testsupport::near(out, black, 0.0));
}

TEST(ChromaticAdaptationAdaptationToD65, InverseRestoresAndImageMayBeItsOwnWhite)
{
    const cv::Mat original = photoSharpened(5);
    const cv::Mat white = original.clone();
    cv::Mat img = original.clone();
    iCAMCATByD65(img, white, cv::Mat());
    inverseCATByD65(img, white, cv::Mat());
    EXPECT_TRUE(testsupport::near(img, original, { 1e-9, kGainRoundTripRel }));

    // Own white: each value becomes (1 - D) v + D W v / (v + 1e-6).
    cv::Mat own = original.clone(), separate = original.clone();
    iCAMCATByD65(own, own, cv::Mat());
    iCAMCATByD65(separate, white, cv::Mat());
    EXPECT_TRUE(testsupport::near(own, separate, 0.0));
    const double D = static_cast<double>(computeAdapFactD(20.0f));
    const double W[3] = { 1.0872, 1.0354, 0.9493 }; // D65 as S, M, L
    const cv::Vec3f v = original.at<cv::Vec3f>(4, 6), a = own.at<cv::Vec3f>(4, 6);
    for (int k = 0; k < 3; ++k) // tolerance: W to four decimals
        EXPECT_NEAR(
            a[k], (1 - D) * double(v[k]) + D * W[k] * double(v[k]) / (double(v[k]) + 1e-6), 1e-4)
            << k;

    cv::Mat zero(2, 2, CV_32FC3, cv::Scalar::all(0));
    iCAMCATByD65(zero, zero, cv::Mat());
    inverseCATByD65(zero, zero, cv::Mat());
    EXPECT_TRUE(testsupport::near(zero, cv::Mat(2, 2, CV_32FC3, cv::Scalar::all(0)), 0.0));
}

TEST(ChromaticAdaptationPerPixelAdaptation, SourceEqualToDestinationLeavesTheImage)
{
    const cv::Mat original = photoSharpened(9);
    const cv::Vec3f w(0.8f, 0.9f, 0.7f);
    const cv::Mat uniform(
        original.size(), CV_32FC3, cv::Scalar(double(w[0]), double(w[1]), double(w[2])));
    cv::Mat img = original.clone();
    iCAMCAT(img, uniform, pixel(w[0], w[1], w[2]), cv::Mat(), cv::Mat(), 1.0f, false);
    EXPECT_TRUE(testsupport::near(img, original, testsupport::relative(kNearUnitGainRel)));

    cv::Mat ownWhite;
    cv::add(photoSharpened(10), kWhiteLift, ownWhite);
    img = original.clone();
    iCAMCAT(img, ownWhite, ownWhite, cv::Mat(), cv::Mat(), 0.3f, true);
    EXPECT_TRUE(testsupport::near(img, original, testsupport::relative(kOffsetRel)));
    img = original.clone();
    iCAMCAT(img, ownWhite, pixel(2, 2, 2), cv::Mat(), cv::Mat(), 0.0f, false); // blend 0
    EXPECT_TRUE(testsupport::near(img, original, testsupport::relative(kNearUnitGainRel)));
}

TEST(ChromaticAdaptationPerPixelAdaptation, DegreeComesFromTheSourceWhiteLuminance)
{
    // Source white: half-luminance D65, so La = 0.2 x 0.5.
    cv::Mat srcXyz = pixel(0.47525f, 0.5f, 0.5444f), src(1, 1, CV_32FC3);
    convertXYZtoSharpenedBGR(srcXyz, src);
    const cv::Vec3f ws = src.at<cv::Vec3f>(0, 0), wd(1.2f, 1.0f, 0.6f);
    const double D = expectedD(0.1);

    cv::Mat img = pixel(1, 1, 1), local = pixel(1, 1, 1), masked = pixel(1, 1, 1);
    iCAMCAT(img, src, pixel(wd[0], wd[1], wd[2]), cv::Mat(), cv::Mat(), 1.0f, false);
    iCAMCATLocal(local, src, pixel(wd[0], wd[1], wd[2]), cv::Mat(), cv::Mat(),
        cv::Mat(1, 1, CV_8UC1, cv::Scalar(255)), 1.0f, false);
    iCAMCATLocal(masked, src, pixel(wd[0], wd[1], wd[2]), cv::Mat(), cv::Mat(),
        cv::Mat(1, 1, CV_8UC1, cv::Scalar(0)), 1.0f, false);
    for (int k = 0; k < 3; ++k) {
        const double ratio = double(wd[k]) * D / double(ws[k]);
        EXPECT_NEAR(img.at<cv::Vec3f>(0, 0)[k], ratio + 1 - D, 1e-6) << k;
        EXPECT_NEAR(local.at<cv::Vec3f>(0, 0)[k], 0.3 * ratio + 1 - 0.3 * D, 1e-6) << k;
        EXPECT_EQ(masked.at<cv::Vec3f>(0, 0)[k], 1.0f) << k;
    }
}

TEST(ChromaticAdaptationPerPixelAdaptation, BlendZeroLeavesTheImageWhereTheWhiteDipsBelowZero)
{
    // A smoothed white across a dark border: the bright side, then values
    // overshooting a little below zero, as a guided filter gives next to
    // black. With blend 0 every gain is 1, the negative whites' included.
    const cv::Mat original = photoSharpened(11);
    cv::Mat white(original.size(), CV_32FC3);
    for (int i = 0; i < white.rows; ++i)
        for (int j = 0; j < white.cols; ++j) {
            const float dip = -2e-5f * static_cast<float>(1 + (i + j) % 7);
            white.at<cv::Vec3f>(i, j) = j < white.cols / 2 ? cv::Vec3f(0.7f, 0.8f, 0.6f)
                                                           : cv::Vec3f(dip, dip / 3, dip * 2);
        }
    cv::Mat img = original.clone();
    iCAMCAT(img, white, pixel(1, 1, 1), cv::Mat(), cv::Mat(), 0.0f, false);
    EXPECT_TRUE(testsupport::near(img, original, testsupport::relative(kNearUnitGainRel)));
}

TEST(ChromaticAdaptationPerPixelAdaptation, BlackWhiteKeepsBlackFinite)
{
    // A black source white (e.g. a dark neighbourhood) in the blended branch.
    const cv::Mat black(2, 2, CV_32FC3, cv::Scalar::all(0));
    cv::Mat img = black.clone(), local = black.clone();
    iCAMCAT(img, black, pixel(1, 1, 1), cv::Mat(), cv::Mat(), 1.0f, false);
    iCAMCATLocal(local, black, pixel(1, 1, 1), cv::Mat(), cv::Mat(),
        cv::Mat(2, 2, CV_8UC1, cv::Scalar(1)), 0.5f, false);
    EXPECT_TRUE(testsupport::near(img, black, 0.0));
    EXPECT_TRUE(testsupport::near(local, black, 0.0));
    iCAMCAT(img, black, black, cv::Mat(), cv::Mat(), 1.0f, true);
    EXPECT_TRUE(testsupport::near(img, black, 0.0));
}

TEST(ChromaticAdaptationPerPixelAdaptation, InverseCATUndoesIt)
{
    const cv::Mat original = photoSharpened(12);
    cv::Mat dst, src;
    cv::add(photoSharpened(13), kWhiteLift, dst);
    cv::add(photoSharpened(14), kWhiteLift, src);
    src.at<cv::Vec3f>(0, 0)[0] = 0.0f; // raised to 1e-6 in place
    cv::Mat adapted = original.clone();
    iCAMCAT(adapted, src, dst, cv::Mat(), cv::Mat(), 1.0f, true);

    // `out` carries the luminance on entry: the source white gives the same D.
    cv::Mat out = src.clone();
    inverseCAT(adapted, dst, src, out);
    EXPECT_FLOAT_EQ(src.at<cv::Vec3f>(0, 0)[0], 1e-6f);
    // Only the forward branch offsets its denominator by 1e-6.
    EXPECT_TRUE(testsupport::near(out, original, { 1e-9, kOffsetRel }));
}

TEST(ChromaticAdaptationWholeImageCAT, EqualWhitesOrNoAdaptationLeaveTheImage)
{
    cv::Mat original = photoBGR(21);
    original.at<cv::Vec3f>(0, 0) = cv::Vec3f(1, 1, 1);
    original.at<cv::Vec3f>(0, 1) = cv::Vec3f(1, 0.95f, 0.7f);
    const cv::Mat unit = pixel(1, 1, 1), grey = pixel(0.4f, 0.5f, 0.45f);
    cv::Mat img = original.clone();
    CAT(img, unit, unit, 0.9f, cv::Mat());
    // Bright pixels included: their XYZ (Z up to 1.089) must not be cut at 1.
    EXPECT_TRUE(testsupport::near(img, original, kDisplayRoundTripTol));
    img = original.clone();
    CAT(img, grey, pixel(0.2f, 0.6f, 0.3f), 0.0f, cv::Mat());
    EXPECT_TRUE(testsupport::near(img, original, kDisplayRoundTripTol));
}

TEST(ChromaticAdaptationWholeImageCAT, FullAdaptationTakesTheSourceWhiteToTheDestination)
{
    // Display white is the source white; with D = 1 it becomes the destination
    // white, i.e. linear whiteDst / whiteSrc per channel under the source's matrix.
    cv::Mat img = pixel(1, 1, 1);
    CAT(img, pixel(0.5f, 0.5f, 0.5f), pixel(0.25f, 0.5f, 0.5f), 1.0f, cv::Mat());
    // OpenCV's BGR-to-XYZ matrix differs from the primaries-derived one in the
    // fourth decimal.
    EXPECT_TRUE(testsupport::near(img, pixel(sRGBCompanding(0.5f), 1.0f, 1.0f), 2e-3));
}
