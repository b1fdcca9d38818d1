#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

using testsupport::near;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

bool mentions(const ::testing::AssertionResult& result, const std::string& text)
{
    return std::string(result.message()).find(text) != std::string::npos;
}

// FNV-1a over the pixels, row by row.
std::uint64_t fingerprint(const cv::Mat& img)
{
    std::uint64_t h = 14695981039346656037u;
    for (int i = 0; i < img.rows; ++i) {
        const uchar* p = img.ptr<uchar>(i);
        for (std::size_t k = 0; k < img.cols * img.elemSize(); ++k)
            h = (h ^ p[k]) * 1099511628211u;
    }
    return h;
}

} // namespace

TEST(TestSupportNear, AbsoluteBelowTheCrossingRelativeAbove)
{
    const testsupport::Tolerance tol { 1e-3, 1e-2 }; // crossing at |e| = 0.1
    EXPECT_TRUE(near(1e-3, 0.0, tol));
    EXPECT_FALSE(near(1.1e-3, 0.0, tol));
    EXPECT_TRUE(near(-0.0495, -0.05, tol));
    EXPECT_FALSE(near(-0.0489, -0.05, tol)); // 1.1e-3 against the absolute 1e-3
    EXPECT_TRUE(near(1009.0, 1000.0, tol));
    EXPECT_FALSE(near(1011.0, 1000.0, tol));
    EXPECT_FALSE(near(0.0, 1e-12, testsupport::relative(0.5))); // relative alone: exact at zero
    EXPECT_TRUE(near(0.5, 1.0, testsupport::relative(0.5)));
    EXPECT_TRUE(near(100.0, 101.0, testsupport::scaled(0.01)));
    EXPECT_FALSE(near(0.0, 0.011, testsupport::scaled(0.01)));
    EXPECT_TRUE(near(3.0, 3.0, 0.0));
    EXPECT_FALSE(near(3.0, std::nextafter(3.0, 4.0), 0.0));
}

TEST(TestSupportNear, NaNMatchesOnlyNaNAndInfinityOnlyItself)
{
    EXPECT_TRUE(near(kNaN, kNaN, 0.0));
    EXPECT_FALSE(near(kNaN, 1.0, 1e300));
    EXPECT_FALSE(near(1.0, kNaN, 1e300));
    EXPECT_TRUE(near(kInf, kInf, 0.0));
    EXPECT_TRUE(near(-kInf, -kInf, 0.0));
    EXPECT_FALSE(near(-kInf, kInf, 1e300));
    // An infinite expected value makes any relative tolerance infinite.
    EXPECT_FALSE(near(1.0, kInf, testsupport::relative(0.1)));
    EXPECT_FALSE(near(kInf, 1e300, testsupport::scaled(1.0)));
    EXPECT_FALSE(near(kInf, kNaN, 0.0));
}

TEST(TestSupportNear, ImagesOfEveryDepthAndChannelCountNameTheWorstElement)
{
    for (int depth : { CV_8U, CV_16S, CV_32F, CV_64F }) {
        for (int channels : { 1, 3, 4 }) {
            SCOPED_TRACE(cv::typeToString(CV_MAKETYPE(depth, channels)));
            cv::Mat wide(3, 5, CV_64FC(channels), cv::Scalar::all(7)), expected, actual;
            wide.convertTo(expected, depth);
            wide.reshape(1).at<double>(1, 0) = 8; // row 1, column 0, channel 0: off by 1
            wide.reshape(1).at<double>(2, 5 * channels - 1) = 10; // the last element: off by 3
            wide.convertTo(actual, depth);
            EXPECT_TRUE(near(actual, expected, 3.0));
            const auto result = near(actual, expected, 0.5);
            ASSERT_FALSE(result);
            EXPECT_TRUE(mentions(result, "2 of " + std::to_string(15 * channels) + " elements"))
                << result.message();
            const std::string where = channels > 1
                ? "row 2, column 4, channel " + std::to_string(channels - 1) + ":"
                : "row 2, column 4:";
            EXPECT_TRUE(mentions(result, where)) << result.message();
            EXPECT_TRUE(mentions(result, "actual 10, expected 7, error 3, 6x the tolerance 0.5"))
                << result.message();
        }
    }
    // A view is compared by its own elements, not its parent's.
    cv::Mat parent(6, 6, CV_32FC1, cv::Scalar(1));
    parent.col(0).setTo(5);
    EXPECT_TRUE(near(parent(cv::Rect(1, 1, 4, 4)), cv::Mat(4, 4, CV_32FC1, cv::Scalar(1)), 0.0));
    // Sizes and types must match.
    EXPECT_FALSE(
        near(cv::Mat(2, 3, CV_32FC1, cv::Scalar(0)), cv::Mat(3, 2, CV_32FC1, cv::Scalar(0)), 1.0));
    EXPECT_FALSE(
        near(cv::Mat(2, 3, CV_32FC1, cv::Scalar(0)), cv::Mat(2, 3, CV_64FC1, cv::Scalar(0)), 1.0));
    EXPECT_FALSE(
        near(cv::Mat(2, 3, CV_32FC3, cv::Scalar(0)), cv::Mat(2, 3, CV_32FC1, cv::Scalar(0)), 1.0));
}

TEST(TestSupportNear, ZeroToleranceAndNaNInImages)
{
    cv::Mat a(2, 2, CV_32FC2, cv::Scalar(1, kNaN)), b = a.clone();
    EXPECT_TRUE(near(a, b, 0.0));
    b.at<cv::Vec2f>(1, 1)[0] = 1.5f;
    const auto result = near(a, b, 0.0);
    ASSERT_FALSE(result);
    EXPECT_TRUE(mentions(result,
        "row 1, column 1, channel 0: actual 1, expected 1.5, error 0.5 where the tolerance is 0"))
        << result.message();
    b = a.clone();
    b.at<cv::Vec2f>(0, 1)[1] = 0.0f;
    EXPECT_FALSE(near(a, b, 1e30));
    EXPECT_TRUE(near(cv::Vec3f(1, 2, 3), cv::Vec3f(1, 2, 3.001f), 0.002));
    EXPECT_FALSE(near(cv::Vec3f(1, 2, 3), cv::Vec3f(1, 2.003f, 3), 0.002));
}

TEST(TestSupportSameBytes, SignedZerosDifferAndTheFirstDifferenceIsNamed)
{
    cv::Mat a(3, 4, CV_32FC3, cv::Scalar::all(0)), b = a.clone();
    EXPECT_TRUE(testsupport::sameBytes(a, b));
    b.at<cv::Vec3f>(2, 1)[2] = -0.0f;
    b.at<cv::Vec3f>(2, 3)[0] = 1.0f;
    const auto result = testsupport::sameBytes(a, b);
    ASSERT_FALSE(result);
    EXPECT_TRUE(mentions(result, "row 2, column 1, channel 2")) << result.message();
    EXPECT_TRUE(near(a, b(cv::Rect(0, 0, 4, 3)), 2.0)); // near takes -0 as 0
    cv::Mat parent(5, 6, CV_8UC1, cv::Scalar(3));
    EXPECT_TRUE(testsupport::sameBytes(
        parent(cv::Rect(1, 1, 3, 3)), cv::Mat(3, 3, CV_8UC1, cv::Scalar(3))));
    EXPECT_FALSE(testsupport::sameBytes(a, a.reshape(1)));
}

// The synthetic photographs are the same whichever compiler built the tests
// (these are the photographs GCC has always made), so that the figures tests
// expect of them hold under GCC and clang alike.
TEST(TestSupport, SyntheticPhotographsDoNotDependOnTheCompiler)
{
    EXPECT_EQ(fingerprint(testsupport::makePhoto(20, 20, 2)), 6504630872761521106u);
    EXPECT_EQ(fingerprint(testsupport::makePhoto(30, 40, 23)), 1391455852514815465u);
}
