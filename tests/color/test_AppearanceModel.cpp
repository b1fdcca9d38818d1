#include "toolkit/color/AppearanceModel.hpp"

#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <sstream>
#include <vector>

using namespace toolkit::color;

namespace {

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

// The reference figures below are printed with six significant digits.
constexpr double kSixDigits = 5e-7;
// The CIE 159:2004 intermediates come from a double-precision implementation
// that reproduces every published digit. This chain stores each step as float:
// it lands within 1.4e-6 relative (worst for a and C, where the opponent sum
// cancels); a float implementation is expected within about 1e-4. 2e-5 leaves
// room for float rounding and still fails any wrong term or constant.
constexpr double kWorkedExampleRel = 2e-5;
constexpr testsupport::Tolerance kWorkedExample = testsupport::relative(kWorkedExampleRel);

cv::Mat planeOf(const cv::Mat& like, float value)
{
    return cv::Mat(like.size(), CV_32FC1, cv::Scalar(double(value)));
}

// Every plane of the forward chain for one sharpened image.
struct Chain {
    cv::Mat hpe, nonlin, a, b, h, et, A, J, Q, C, M, s;
    float Aw = 0.0f;
};

Chain runChain(const cv::Mat& sharpened, float LA, float Yb, float Yw, float Nc)
{
    Chain c;
    const cv::Size size = sharpened.size();
    cv::Mat FL = planeOf(sharpened, computeFl(LA)), n = planeOf(sharpened, computeN(Yb, Yw));
    cv::Mat Ncb = planeOf(sharpened, computeNcb(Yb, Yw)), z = planeOf(sharpened, computeZ(Yb, Yw));
    c.hpe.create(size, CV_32FC3);
    c.nonlin.create(size, CV_32FC3);
    for (cv::Mat* m : { &c.a, &c.b, &c.h, &c.et, &c.A, &c.J, &c.Q, &c.C, &c.M, &c.s })
        m->create(size, CV_32FC1);
    convertSharpenedBGRtoHPE(sharpened, c.hpe);
    computeNonLinearities(c.hpe, c.nonlin, FL);
    computeAB(c.nonlin, c.a, c.b);
    computeHue(c.a, c.b, c.h, c.et);
    c.Aw = computeLightness(c.nonlin, Ncb, z, c.J, c.A);
    computeBrightness(c.J, FL, z, c.Q, c.Aw);
    computeChroma(c.nonlin, c.a, c.b, c.J, c.et, Ncb, n, c.C, Nc);
    computeColorfulness(c.C, FL, c.M);
    computeSaturation(c.M, c.Q, c.s);
    return c;
}

std::string streamText(const std::vector<float>& values)
{
    std::ostringstream out;
    for (float v : values)
        out << v << std::endl;
    return out.str();
}

} // namespace

TEST(AppearanceModelViewingConditions, ReferenceFiguresOfTheMetricsSetUp)
{
    EXPECT_NEAR(computeFl(20.0f), 0.464159, kSixDigits);
    EXPECT_EQ(computeN(20.0f, 100.0f), 0.2f);
    EXPECT_NEAR(computeNcb(20.0f, 100.0f), 1.000304, kSixDigits);
    EXPECT_NEAR(computeZ(20.0f, 100.0f), 1.927214, kSixDigits);
    EXPECT_NEAR(computeZ(20.0f, 100.0f) * 0.525f, 1.011787, kSixDigits);
    // LA = 200 is the adapting luminance with FL = 1 (CIE 159:2004).
    EXPECT_NEAR(computeFl(200.0f), 1.0, 1e-6);
}

TEST(AppearanceModelViewingConditions, BackgroundIsAFifthOfTheMeanAtAnySize)
{
    // Above a million pixels a float running sum gives 19.8 or less.
    cv::Mat white(1100, 1000, CV_32FC1, cv::Scalar(100));
    EXPECT_EQ(computeYback(white), 20.0f);

    // A view into a wider plane: only its own rows and columns count.
    cv::Mat wide(4, 6, CV_32FC1, cv::Scalar(1000));
    cv::Mat view = wide(cv::Rect(1, 1, 3, 2));
    view.setTo(50);
    view.at<float>(1, 2) = 110;
    EXPECT_FLOAT_EQ(computeYback(view), (5 * 50 + 110) / 6.0f / 5.0f);
}

TEST(AppearanceModelCompression, ResponseOf100WithFlOfOneIsAchromatic)
{
    cv::Mat hpe(1, 1, CV_32FC3, cv::Scalar::all(100)), nonlin(1, 1, CV_32FC3);
    cv::Mat FL = planeOf(hpe, 1.0f), a = planeOf(hpe, 9), b = planeOf(hpe, 9);
    computeNonLinearities(hpe, nonlin, FL);
    for (int k = 0; k < 3; ++k)
        EXPECT_NEAR(nonlin.at<cv::Vec3f>(0, 0)[k], 400.0 / 28.13 + 0.1, kSixDigits);
    computeAB(nonlin, a, b);
    EXPECT_EQ(b.at<float>(0, 0), 0.0f);
    // a = R (1 - 12/11 + 1/11) loses only the rounding of its double terms.
    EXPECT_NEAR(a.at<float>(0, 0), 0.0, 1e-14);
}

TEST(AppearanceModelHue, SignedAngleInDegreesWithoutWrapping)
{
    cv::Mat a = (cv::Mat_<float>(1, 4) << -1, 0, 1, 0);
    cv::Mat b = (cv::Mat_<float>(1, 4) << 0, -1, 0, 1);
    cv::Mat h(1, 4, CV_32FC1), et(1, 4, CV_32FC1);
    computeHue(a, b, h, et);
    EXPECT_EQ(h.at<float>(0, 0), 180.0f);
    EXPECT_EQ(h.at<float>(0, 1), -90.0f);
    EXPECT_EQ(h.at<float>(0, 2), 0.0f);
    EXPECT_EQ(h.at<float>(0, 3), 90.0f);
    EXPECT_NEAR(et.at<float>(0, 2), (std::cos(2.0) + 3.8) / 4.0, 1e-7); // float storage
}

// CIE 159:2004 worked example: XYZ (19.31, 23.93, 10.14), white (98.88, 90.00,
// 32.03), LA 200 (FL 1), Yb 18 with Yw 90 (n 0.2), average surround (Nc 1).
// The chain fixes c = 0.525 and takes Aw from the image, so it is fed the
// example's adapted responses (sample, then white) and checked on what does
// not depend on c; published J and Q stand in for the c-dependent steps.
TEST(AppearanceModelWorkedExample, Cie159ForwardIntermediates)
{
    testsupport::ScopedWorkDir dir;
    cv::Mat sharpened(1, 2, CV_32FC3);
    sharpened.at<cv::Vec3f>(0, 0) = cv::Vec3f(27.86722532f, 29.19847133f, 19.42773186f);
    sharpened.at<cv::Vec3f>(0, 1) = cv::Vec3f(88.85963285f, 89.86788187f, 90.31864028f);
    cv::Mat hpe(1, 2, CV_32FC3), nonlin(1, 2, CV_32FC3);
    cv::Mat FL = planeOf(sharpened, 1.0f), n = planeOf(sharpened, computeN(18.0f, 90.0f));
    cv::Mat Ncb = planeOf(sharpened, computeNcb(18.0f, 90.0f));
    cv::Mat z = planeOf(sharpened, computeZ(18.0f, 90.0f));
    cv::Mat a = planeOf(sharpened, 0), b = a.clone(), h = a.clone(), et = a.clone();
    cv::Mat A = a.clone(), J = a.clone(), Q = a.clone(), C = a.clone(), M = a.clone(),
            s = a.clone();

    convertSharpenedBGRtoHPE(sharpened, hpe);
    const cv::Vec3f rgb = hpe.at<cv::Vec3f>(0, 0);
    EXPECT_TRUE(testsupport::near(rgb[0], 21.90426087, kWorkedExample)) << "rho";
    EXPECT_TRUE(testsupport::near(rgb[1], 26.28995394, kWorkedExample)) << "gamma";
    EXPECT_TRUE(testsupport::near(rgb[2], 27.94089198, kWorkedExample)) << "beta";

    computeNonLinearities(hpe, nonlin, FL);
    const double sample[3] = { 7.74282332, 8.33916034, 8.54812681 };
    const double white[3] = { 13.73504829, 13.71932124, 13.65360218 };
    for (int k = 0; k < 3; ++k) {
        EXPECT_TRUE(testsupport::near(nonlin.at<cv::Vec3f>(0, 0)[k], sample[k], kWorkedExample))
            << "sample Ra'Ga'Ba'";
        EXPECT_TRUE(testsupport::near(nonlin.at<cv::Vec3f>(0, 1)[k], white[k], kWorkedExample))
            << "white Ra'Ga'Ba'";
    }

    computeAB(nonlin, a, b);
    EXPECT_TRUE(testsupport::near(a.at<float>(0, 0), -0.5773400650, kWorkedExample)) << "a";
    EXPECT_TRUE(testsupport::near(b.at<float>(0, 0), -0.1126966614, kWorkedExample)) << "b";
    computeHue(a, b, h, et);
    EXPECT_TRUE(testsupport::near(h.at<float>(0, 0), 191.04523657 - 360.0, kWorkedExample)) << "h";
    EXPECT_TRUE(testsupport::near(et.at<float>(0, 0), 1.0956612567, kWorkedExample)) << "et";

    const float Aw = computeLightness(nonlin, Ncb, z, J, A);
    EXPECT_TRUE(testsupport::near(A.at<float>(0, 0), 23.9544933924, kWorkedExample)) << "A";
    EXPECT_TRUE(testsupport::near(Aw, 41.5797345151, kWorkedExample)) << "Aw";
    EXPECT_EQ(J.at<float>(0, 1), 100.0f);

    J.setTo(48.0314100619);
    computeBrightness(J, FL, z, Q, Aw);
    // Q scales with 1 / c: the published Q for c = 0.69.
    EXPECT_TRUE(testsupport::near(Q.at<float>(0, 0), 183.1240396213 * 0.69 / 0.525, kWorkedExample))
        << "Q";

    computeChroma(nonlin, a, b, J, et, Ncb, n, C, 1.0f);
    EXPECT_TRUE(testsupport::near(C.at<float>(0, 0), 38.7788904681, kWorkedExample)) << "C";
    computeColorfulness(C, FL, M);
    EXPECT_EQ(M.at<float>(0, 0), C.at<float>(0, 0));
    Q.setTo(183.1240396213);
    computeSaturation(M, Q, s);
    EXPECT_TRUE(testsupport::near(s.at<float>(0, 0), 46.0177106981, kWorkedExample)) << "s";
}

TEST(AppearanceModelLightness, BrightestAchromaticResponseIsTheWhite)
{
    testsupport::ScopedWorkDir dir;
    cv::Mat nonlin(1, 3, CV_32FC3);
    nonlin.at<cv::Vec3f>(0, 0) = cv::Vec3f(10, 10, 10);
    nonlin.at<cv::Vec3f>(0, 1) = cv::Vec3f(12, 11, 10);
    nonlin.at<cv::Vec3f>(0, 2) = cv::Vec3f(0.05f, 0.05f, 0.05f); // A < 0
    cv::Mat Ncb = planeOf(nonlin, 1.0f), z = planeOf(nonlin, 1.927214f);
    cv::Mat J = planeOf(nonlin, 0), A = planeOf(nonlin, 0);
    const float Aw = computeLightness(nonlin, Ncb, z, J, A);
    EXPECT_EQ(Aw, A.at<float>(0, 1));
    EXPECT_EQ(J.at<float>(0, 1), 100.0f);
    EXPECT_LT(J.at<float>(0, 0), 100.0f);
    EXPECT_TRUE(std::isnan(J.at<float>(0, 2)));
}

TEST(AppearanceModelForwardChain, UniformImageIsEverywhereTheWhite)
{
    testsupport::ScopedWorkDir dir;
    cv::Mat img(5, 7, CV_32FC3, cv::Scalar(80, 95, 90));
    const Chain c = runChain(img, 20.0f, 20.0f, 100.0f, 0.8f);
    for (const cv::Mat* m : { &c.Q, &c.C, &c.M, &c.s, &c.h }) {
        double lo = 0, hi = 0;
        cv::minMaxLoc(*m, &lo, &hi);
        EXPECT_EQ(lo, hi);
    }
    EXPECT_EQ(cv::countNonZero(c.J != 100.0), 0);
}

TEST(AppearanceModelForwardChain, NegativeConeResponseMakesOnlyThatPixelNaN)
{
    testsupport::ScopedWorkDir dir;
    cv::Mat img(2, 3, CV_32FC3, cv::Scalar(40, 60, 70));
    img.at<cv::Vec3f>(0, 1) = cv::Vec3f(90, 20, 30);
    img.at<cv::Vec3f>(1, 2) = cv::Vec3f(50, 50, -40);
    const Chain c = runChain(img, 20.0f, 20.0f, 100.0f, 0.8f);
    ASSERT_LT(c.hpe.at<cv::Vec3f>(1, 2)[0], 0.0f);
    EXPECT_TRUE(std::isfinite(c.Aw));
    for (const cv::Mat* m : { &c.h, &c.et, &c.A, &c.J, &c.Q, &c.C, &c.M, &c.s })
        for (int i = 0; i < 2; ++i)
            for (int j = 0; j < 3; ++j)
                EXPECT_EQ(std::isnan(m->at<float>(i, j)), i == 1 && j == 2) << i << "," << j;
}

TEST(AppearanceModelDebugOutput, FilesOfARunAndTheBrightnessMask)
{
    testsupport::ScopedWorkDir dir;
    // Three uniform 8 x 8 blocks, so the JPEG holds them within its DC rounding.
    cv::Mat J(8, 24, CV_32FC1, cv::Scalar(0.1));
    J.colRange(8, 16).setTo(50);
    J.colRange(16, 24).setTo(double(kNaN));
    cv::Mat FL = planeOf(J, 0.464159f), z = planeOf(J, 0), Q = planeOf(J, 0);
    const float largest = computeBrightness(J, FL, z, Q, 40.0f);
    EXPECT_EQ(largest, Q.at<float>(0, 8));

    const cv::Mat mask = cv::imread("mask.jpg", cv::IMREAD_UNCHANGED);
    ASSERT_EQ(mask.type(), CV_8UC1);
    EXPECT_NEAR(mask.at<uchar>(4, 4), 0, 2);
    EXPECT_NEAR(mask.at<uchar>(4, 12), 255, 2);
    EXPECT_NEAR(mask.at<uchar>(4, 20), 255, 2);

    EXPECT_EQ(testsupport::readFile("10_in.txt"),
        streamText(std::vector<float>(Q.begin<float>(), Q.end<float>())));

    runChain(cv::Mat(3, 4, CV_32FC3, cv::Scalar(10, 50, 60)), 20.0f, 20.0f, 100.0f, 0.8f);
    for (const char* name : { "A_before.jpg", "10_in.txt", "mask.jpg", "t_before.jpg" })
        EXPECT_TRUE(testsupport::fileExists(name)) << name;
    const std::string dump = testsupport::readFile("10_in.txt");
    EXPECT_EQ(std::count(dump.begin(), dump.end(), '\n'), 3 * 4);
}

TEST(AppearanceModelPlaneDump, TextMatchesTheStreamRowByRow)
{
    testsupport::ScopedWorkDir dir;
    std::vector<float> values = { kNaN, -kNaN, kInf, -kInf, 0.0f, -0.0f, 1e-05f, 100000.0f, 1e+06f,
        999999.5f, 0.464159f, 1.17549435e-38f, 1.4e-45f, -3.0e-40f,
        std::numeric_limits<float>::max(), 20.0f, -168.954758f };
    // Random bit patterns cover every exponent; enough values to need
    // several buffer loads.
    std::mt19937 random(7);
    while (values.size() < 300 * 400) {
        const std::uint32_t bits = random();
        float v;
        std::memcpy(&v, &bits, sizeof v);
        values.push_back(v);
    }
    cv::Mat plane = cv::Mat(values, true).reshape(1, 300);
    writeIntoFile(plane, "dump.txt", plane.rows, plane.cols);
    EXPECT_EQ(testsupport::readFile("dump.txt"), streamText(values));
}

TEST(AppearanceModelPlaneDump, CountsAreLimitedToThePlaneAndFailuresAreSilent)
{
    testsupport::ScopedWorkDir dir;
    cv::Mat wide = (cv::Mat_<float>(3, 4) << 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12);
    cv::Mat view = wide(cv::Rect(1, 1, 2, 2)); // 6 7 / 10 11, rows not contiguous
    writeIntoFile(view, "view.txt", 2, 2);
    EXPECT_EQ(testsupport::readFile("view.txt"), "6\n7\n10\n11\n");
    writeIntoFile(view, "view.txt", 1, 1); // truncates
    EXPECT_EQ(testsupport::readFile("view.txt"), "6\n");
    writeIntoFile(view, "view.txt", 50, 1000);
    EXPECT_EQ(testsupport::readFile("view.txt"), "6\n7\n10\n11\n");
    writeIntoFile(view, "view.txt", -1, 2);
    EXPECT_EQ(testsupport::readFile("view.txt"), "");

    cv::Mat bytes(2, 2, CV_8UC1, cv::Scalar(1));
    writeIntoFile(bytes, "bytes.txt", 2, 2);
    EXPECT_EQ(testsupport::readFile("bytes.txt"), "");
    EXPECT_NO_THROW(writeIntoFile(wide, "missing-dir/x.txt", 3, 4));
    EXPECT_FALSE(testsupport::fileExists("missing-dir/x.txt"));
    EXPECT_NO_THROW(writeIntoFile(wide, nullptr, 3, 4));
}
