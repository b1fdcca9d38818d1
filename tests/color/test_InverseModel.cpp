#include "toolkit/color/InverseModel.hpp"

#include "toolkit/color/AppearanceModel.hpp"
#include "toolkit/color/ChromaticAdaptation.hpp"
#include "toolkit/color/RgbXyz.hpp"
#include "toolkit/common/CommonFunctions.hpp"

#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

using namespace toolkit::color;

namespace {

constexpr double kPi = 3.141592653589793;

const std::string kNaNLine
    = "Error in the inverse non-linearities! Some of the obtained values are nan.\n";

cv::Mat planeOf(const cv::Mat& like, float v)
{
    return cv::Mat(like.size(), CV_32FC1, cv::Scalar(double(v)));
}

// A photograph adapted to D65 and scaled by 100, run through the forward chain
// under the metrics program's viewing conditions.
class InverseModelInverseChain : public ::testing::Test {
protected:
    void forward(unsigned seed)
    {
        cv::Mat photo = testsupport::makePhoto(48, 64, seed), xyz(48, 64, CV_32FC3);
        adapted.create(photo.size(), CV_32FC3);
        toolkit::common::normImg(photo, adapted);
        convertBGRToXYZDirect(adapted, xyz);
        convertXYZtoSharpenedBGR(xyz, adapted);
        iCAMCATByD65(adapted, adapted, xyz);
        adapted *= 100.0;
        FL = planeOf(adapted, computeFl(20.0f));
        n = planeOf(adapted, computeN(20.0f, 100.0f));
        Ncb = planeOf(adapted, computeNcb(20.0f, 100.0f));
        z = planeOf(adapted, computeZ(20.0f, 100.0f));
        hpe.create(adapted.size(), CV_32FC3);
        nonlin.create(adapted.size(), CV_32FC3);
        for (cv::Mat* m : { &a, &b, &h, &et, &A, &J, &Q, &C })
            *m = planeOf(adapted, 0.0f);
        convertSharpenedBGRtoHPE(adapted, hpe);
        computeNonLinearities(hpe, nonlin, FL);
        computeAB(nonlin, a, b);
        computeHue(a, b, h, et);
        Aw = computeLightness(nonlin, Ncb, z, J, A);
        computeBrightness(J, FL, z, Q, Aw);
        computeChroma(nonlin, a, b, J, et, Ncb, n, C, kNc);
        // The round trip holds where the compression can be undone.
        double lo = 0, hi = 0;
        cv::minMaxLoc(hpe.reshape(1), &lo);
        cv::minMaxLoc(nonlin.reshape(1), nullptr, &hi);
        ASSERT_GT(lo, 0.0);
        ASSERT_LE(hi, 400.1);
    }
    // The whole inverse chain from the forward Q, C, h and et; keeps what it printed.
    cv::Mat inverse()
    {
        cv::Mat J2 = planeOf(A, 0), t = J2.clone(), A2 = J2.clone(), a2 = J2.clone(),
                b2 = J2.clone();
        cv::Mat nonlin2(adapted.size(), CV_32FC3), hpe2 = nonlin2.clone(), out = nonlin2.clone();
        testing::internal::CaptureStdout();
        brightness2Lightness(Q, FL, J2, Aw);
        chromaAndLightness2t(C, J2, n, t);
        lightness2A(J2, z, A2, Aw);
        hue2AB(A2, h, t, et, Ncb, a2, b2, kNc);
        AB2NonLinearities(a2, b2, A2, nonlin2, Ncb);
        inverseNonLinearities(nonlin2, hpe2, FL);
        convertHPEtoSharpenedRGB(hpe2, out);
        printed = testing::internal::GetCapturedStdout();
        return out;
    }
    std::string printed;
    static constexpr float kNc = 0.8f;
    testsupport::ScopedWorkDir dir;
    cv::Mat adapted, FL, n, Ncb, z, hpe, nonlin, a, b, h, et, A, J, Q, C;
    float Aw = 0.0f;
};

// Each step stores float (epsilon 1.2e-7): one step lands within 6e-7 of its
// forward input and the whole chain, whose compression inverse raises to
// 1 / 0.42, within 1.4e-6 on these photographs. 1e-5 keeps a margin of seven;
// a wrong term or constant is off by 1e-3 or more.
constexpr double kRoundTrip = 1e-5;
// Absolute below 1 (responses are on the 0..100 scale, so 1 is dark), relative above.
constexpr testsupport::Tolerance kRoundTripGap = testsupport::scaled(kRoundTrip);

} // namespace

TEST_F(InverseModelInverseChain, ForwardThenInverseRestoresTheAdaptedPhoto)
{
    for (unsigned seed : { 3u, 11u, 29u }) {
        ASSERT_NO_FATAL_FAILURE(forward(seed));
        EXPECT_TRUE(testsupport::near(inverse(), adapted, kRoundTripGap)) << "seed " << seed;
        // One "mean A" line and no NaN message.
        EXPECT_EQ(printed.rfind("mean A ", 0), 0u) << printed;
        EXPECT_EQ(std::count(printed.begin(), printed.end(), '\n'), 1);
    }
}

TEST_F(InverseModelInverseChain, EachStepUndoesItsForwardStep)
{
    ASSERT_NO_FATAL_FAILURE(forward(5));
    cv::Mat got = planeOf(A, 0), got3(adapted.size(), CV_32FC3), b2 = got.clone();
    brightness2Lightness(Q, FL, got, Aw);
    EXPECT_TRUE(testsupport::near(got, J, kRoundTripGap)) << "J from Q";
    testing::internal::CaptureStdout();
    lightness2A(J, z, got, Aw);
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(testsupport::near(got, A, kRoundTripGap)) << "A from J";
    // t from its definition, then back to a and b with the forward A, h and et.
    cv::Mat tRef = planeOf(A, 0);
    for (int i = 0; i < A.rows; ++i)
        for (int j = 0; j < A.cols; ++j) {
            const cv::Vec3f r = nonlin.at<cv::Vec3f>(i, j);
            tRef.at<float>(i, j) = float(double(kNc) * 50000.0 / 13.0 * double(Ncb.at<float>(i, j))
                * double(et.at<float>(i, j))
                * double(std::hypot(a.at<float>(i, j), b.at<float>(i, j)))
                / (double(r[0] + r[1]) + 1.05 * double(r[2])));
        }
    chromaAndLightness2t(C, J, n, got);
    EXPECT_TRUE(testsupport::near(got, tRef, kRoundTripGap)) << "t from C and J";
    hue2AB(A, h, tRef, et, Ncb, got, b2, kNc);
    EXPECT_TRUE(testsupport::near(got, a, kRoundTripGap)) << "a from hue";
    EXPECT_TRUE(testsupport::near(b2, b, kRoundTripGap)) << "b from hue";
    AB2NonLinearities(a, b, A, got3, Ncb);
    EXPECT_TRUE(testsupport::near(got3, nonlin, kRoundTripGap)) << "compressed from a, b, A";
    inverseNonLinearities(nonlin, got3, FL);
    EXPECT_TRUE(testsupport::near(got3, hpe, kRoundTripGap)) << "HPE from compressed";
    convertHPEtoSharpenedRGB(hpe, hpe); // in place
    EXPECT_TRUE(testsupport::near(hpe, adapted, kRoundTripGap)) << "sharpened from HPE";
}

// A pixel of opponent coordinates (a, b) must come back with its own sign of a:
// 135, -135 and 180 (a < 0) take u - E; 45, -45 and 0 take E + u.
TEST(InverseModelHueToAB, QuadrantOfTheHueChoosesTheDenominator)
{
    const float Nc = 0.8f, ncb = 1.000304f, response = 30.0f;
    const float ab[][2]
        = { { 1, 1 }, { 1, -1 }, { -1, 1 }, { -1, -1 }, { -2, 0 }, { 2, 0 }, { 0.3f, -2 } };
    for (const auto& p : ab) {
        cv::Mat A(1, 1, CV_32FC1, cv::Scalar(double(response))),
            Ncb(1, 1, CV_32FC1, cv::Scalar(double(ncb)));
        const double hue = double(std::atan2(p[1], p[0])) * 180.0 / kPi,
                     etv = (std::cos(hue * kPi / 180.0 + 2) + 3.8) / 4;
        // t from its definition, with Ra' + Ga' + 1.05 Ba' = A / Ncb + 0.305 - (11 a + 108 b) / 23.
        const double t = double(Nc) * 50000.0 / 13.0 * double(ncb) * etv
            * double(std::hypot(p[0], p[1]))
            / (double(response / ncb) + 0.305
                - (11.0 * double(p[0]) + 108.0 * double(p[1])) / 23.0);
        cv::Mat h(1, 1, CV_32FC1, cv::Scalar(hue)), tm(1, 1, CV_32FC1, cv::Scalar(t));
        cv::Mat et(1, 1, CV_32FC1, cv::Scalar(etv)), a(1, 1, CV_32FC1), b(1, 1, CV_32FC1);
        hue2AB(A, h, tm, et, Ncb, a, b, Nc);
        // The tangent of a float hue is good to a few float ulps.
        EXPECT_NEAR(a.at<float>(0, 0), p[0], 1e-5) << "hue " << hue;
        EXPECT_NEAR(b.at<float>(0, 0), p[1], 1e-5) << "hue " << hue;
        if (p[0] == 1 && p[1] == -1) {
            EXPECT_EQ(b.at<float>(0, 0), -a.at<float>(0, 0)); // tan(-45) is -1 in float
        }
    }
}

TEST(InverseModelHueToAB, AchromaticPixelHasNoOpponentCoordinates)
{
    cv::Mat h = (cv::Mat_<float>(1, 6) << 0, 90, -90, 135, 180, -45);
    cv::Mat A = planeOf(h, 40), t = planeOf(h, 0), et = planeOf(h, 1.1f), Ncb = planeOf(h, 1);
    cv::Mat a = planeOf(h, 9), b = planeOf(h, 9);
    hue2AB(A, h, t, et, Ncb, a, b, 0.8f);
    EXPECT_EQ(cv::countNonZero(a), 0);
    EXPECT_EQ(cv::countNonZero(b), 0);
}

TEST(InverseModelInverseCompression, OutOfRangeResponsesAreClampedInPlace)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    cv::Mat in(1, 3, CV_32FC3), out(1, 3, CV_32FC3), FL = planeOf(in, 1.0f);
    in.at<cv::Vec3f>(0, 0) = cv::Vec3f(0.05f, -3.0f, 400.0f);
    in.at<cv::Vec3f>(0, 1) = cv::Vec3f(500.0f, 400.05f, 400.0f / 28.13f + 0.1f);
    in.at<cv::Vec3f>(0, 2) = cv::Vec3f(nan, 20.0f, nan);
    testing::internal::CaptureStdout();
    inverseNonLinearities(in, out, FL);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), kNaNLine + kNaNLine);
    EXPECT_EQ(in.at<cv::Vec3f>(0, 0), cv::Vec3f(0.1f, 0.1f, 400.0f));
    EXPECT_EQ(in.at<cv::Vec3f>(0, 1)[0], 400.0f);
    EXPECT_EQ(in.at<cv::Vec3f>(0, 1)[1], 400.05f); // (400, 400.1] is kept
    const cv::Vec3f r0 = out.at<cv::Vec3f>(0, 0), r1 = out.at<cv::Vec3f>(0, 1);
    EXPECT_LT(r0[0], 1e-20f);
    EXPECT_GE(r0[0], 0.0f);
    EXPECT_EQ(r0[1], r0[0]);
    EXPECT_EQ(r1[0], r0[2]);
    EXPECT_TRUE(std::isfinite(r1[1]) && r1[1] > r1[0]);
    EXPECT_NEAR(r1[2], 100.0, 100.0 * 1e-5); // the forward edge case: HPE 100 with FL 1
    EXPECT_TRUE(std::isnan(out.at<cv::Vec3f>(0, 2)[0]) && std::isnan(out.at<cv::Vec3f>(0, 2)[2]));
}

TEST(InverseModelBrightnessToLightness, TinyBrightnessIsRaisedInPlace)
{
    cv::Mat Q = (cv::Mat_<float>(1, 5) << 0, -0.5f, 5e-7f, 2e-6f, 50), J = planeOf(Q, 0);
    cv::Mat FL = planeOf(Q, 0.464159f);
    brightness2Lightness(Q, FL, J, 40.0f);
    EXPECT_EQ(Q.at<float>(0, 0), float(1e-6));
    EXPECT_EQ(Q.at<float>(0, 1), float(-0.5 + 1e-6));
    EXPECT_EQ(Q.at<float>(0, 2), float(double(5e-7f) + 1e-6));
    EXPECT_EQ(Q.at<float>(0, 3), 2e-6f);
    EXPECT_GT(J.at<float>(0, 0), 0.0f);
}

TEST(InverseModelLightnessToA, PrintsTheMeanOfA)
{
    cv::Mat J = (cv::Mat_<float>(2, 2) << 100, 0, 0, 100), z = planeOf(J, 1.927214f),
            A = planeOf(J, 0);
    testing::internal::CaptureStdout();
    lightness2A(J, z, A, 40.0f);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "mean A 20\n");
    // Over a megapixel a float running sum prints 41.167.
    J = planeOf(cv::Mat(1100, 1000, CV_32FC1), 100), z = planeOf(J, 1.927214f), A = planeOf(J, 0);
    testing::internal::CaptureStdout();
    lightness2A(J, z, A, 41.3f);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "mean A 41.3\n");
}

TEST(InverseModelChromaToT, WritesTheDebugImageAndNeverThrows)
{
    testsupport::ScopedWorkDir dir;
    cv::Mat C = planeOf(cv::Mat(4, 4, CV_32FC1), std::pow(1.64f - std::pow(0.29f, 0.2f), 0.73f));
    cv::Mat J = planeOf(C, 100), n = planeOf(C, 0.2f), t = planeOf(C, 0);
    chromaAndLightness2t(C, J, n, t);
    EXPECT_NEAR(t.at<float>(3, 3), 1.0, 1e-6); // J = 100 and the background term alone give t = 1
    EXPECT_TRUE(testsupport::fileExists("t_after.jpg"));
    cv::Mat empty;
    EXPECT_NO_THROW(chromaAndLightness2t(empty, empty, empty, empty));
}

TEST_F(InverseModelInverseChain, UndefinedBrightnessSpoilsOnlyItsPixelAndIsAnnounced)
{
    ASSERT_NO_FATAL_FAILURE(forward(7));
    Q.at<float>(2, 3) = std::numeric_limits<float>::quiet_NaN();
    const cv::Mat out = inverse().reshape(1, 1);
    // The NaN A makes the mean NaN; each of the pixel's three responses is announced.
    EXPECT_EQ(printed.substr(printed.find('\n') + 1), kNaNLine + kNaNLine + kNaNLine);
    EXPECT_EQ(
        std::count_if(out.begin<float>(), out.end<float>(), [](float v) { return std::isnan(v); }),
        3);
}
