#include "toolkit/color/IlluminantAdaptation.hpp"

#include "toolkit/color/ChromaticAdaptation.hpp"
#include "toolkit/color/WhitePoint.hpp"
#include "toolkit/common/CommonFunctions.hpp"

#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <limits>

using namespace toolkit::color;

namespace {

// One printed white per unconverged estimate: the reference's, the image's
// first, then one per adaptation pass that did not converge.
constexpr long kLinesBeforeTheLoop = 2;
constexpr long kMaxPasses = 80;

// Photograph in [0, 1]; `saturation` < 1 mixes it towards mid grey.
cv::Mat photo(unsigned seed, double saturation)
{
    cv::Mat img8 = testsupport::makePhoto(48, 64, seed), img(48, 64, CV_32FC3);
    toolkit::common::normImg(img8, img);
    return img * saturation + cv::Scalar::all(0.5 * (1.0 - saturation));
}

cv::Mat warmCast(const cv::Mat& img)
{
    cv::Mat out;
    cv::multiply(img, cv::Scalar(0.8, 0.9, 1.0), out);
    return out;
}

// Adapts in place and returns the printed text.
std::string adapt(cv::Mat& image, const cv::Mat& reference, float D)
{
    testing::internal::CaptureStdout();
    performIlluminantAdaptation(image, reference, D);
    return testing::internal::GetCapturedStdout();
}

long lines(const std::string& text)
{
    return std::count(text.begin(), text.end(), '\n');
}

cv::Vec3f greyWorldState(const cv::Mat& image, cv::Vec3f* white)
{
    cv::Mat state(1, 1, CV_32FC3, cv::Scalar::all(double(std::numeric_limits<float>::quiet_NaN())));
    cv::Mat w(1, 1, CV_32FC3);
    testing::internal::CaptureStdout();
    computeWhitePointFromGrayWorld(image, w, state, cv::Mat());
    testing::internal::GetCapturedStdout();
    *white = w.at<cv::Vec3f>(0, 0);
    return state.at<cv::Vec3f>(0, 0);
}

} // namespace

TEST(IlluminantAdaptation, ReferenceEqualToImageStopsAfterTheFirstPass)
{
    testsupport::ScopedWorkDir dir;
    const cv::Mat original = warmCast(photo(5, 1.0));
    cv::Mat image = original.clone();
    const std::string printed = adapt(image, original, 0.9f);
    EXPECT_EQ(lines(printed), kLinesBeforeTheLoop) << printed;

    // Exactly one CAT pass from the image's white to itself.
    cv::Vec3f w;
    greyWorldState(original, &w);
    cv::Mat white(1, 1, CV_32FC3, cv::Scalar(double(w[0]), double(w[1]), double(w[2]))),
        expected = original.clone();
    CAT(expected, white, white, 0.9f, cv::Mat());
    EXPECT_TRUE(testsupport::near(image, expected, 0.0));
}

TEST(IlluminantAdaptation, TintedPhotoAdaptedToNeutralReferenceEndsNearNeutral)
{
    testsupport::ScopedWorkDir dir;
    cv::Mat image = warmCast(photo(5, 0.3));
    const cv::Mat grey(32, 32, CV_32FC3, cv::Scalar::all(0.5));
    cv::Vec3f before, after;
    const cv::Vec3f stateBefore = greyWorldState(image, &before);
    ASSERT_GT(std::max(std::abs(stateBefore[1]), std::abs(stateBefore[2])), 0.05f);

    const std::string printed = adapt(image, grey, 1.0f);
    EXPECT_LT(lines(printed), kLinesBeforeTheLoop + kMaxPasses)
        << "should converge before the limit";
    // Converged as neutral: U and V of the result below the 0.001 of the test.
    const cv::Vec3f stateAfter = greyWorldState(image, &after);
    EXPECT_LT(std::max(std::abs(stateAfter[1]), std::abs(stateAfter[2])), 0.001f);
    EXPECT_TRUE(testsupport::near(after, cv::Vec3f(1, 1, 1), 0.001));
}

TEST(IlluminantAdaptation, NeverMoreThanEightyPasses)
{
    testsupport::ScopedWorkDir dir;
    // A colourful photograph whose estimate keeps drifting: it runs to the limit.
    cv::Mat image = warmCast(photo(5, 1.0));
    const std::string printed = adapt(image, cv::Mat(32, 32, CV_32FC3, cv::Scalar::all(0.5)), 1.0f);
    EXPECT_EQ(lines(printed), kLinesBeforeTheLoop + kMaxPasses);
}

TEST(IlluminantAdaptation, ShadowMaskFileChangesNothing)
{
    testsupport::ScopedWorkDir dir;
    const cv::Mat original = warmCast(photo(9, 0.5)), reference = photo(3, 0.3);
    cv::Mat withoutFile = original.clone();
    const std::string printedWithout = adapt(withoutFile, reference, 0.8f);

    // A shadow image smaller in one direction and larger in the other.
    std::filesystem::create_directory("Masks");
    cv::Mat shadow(30, 90, CV_8UC1, cv::Scalar(0));
    shadow(cv::Rect(10, 5, 40, 20)).setTo(200);
    ASSERT_TRUE(toolkit::common::writeImage("Masks/giantShadow.jpg", shadow));
    cv::Mat withFile = original.clone();
    EXPECT_EQ(adapt(withFile, reference, 0.8f), printedWithout);
    EXPECT_TRUE(testsupport::near(withFile, withoutFile, 0.0));

    // Neither does an unreadable one.
    std::ofstream("Masks/giantShadow.jpg", std::ios::trunc) << "not a JPEG";
    cv::Mat withBadFile = original.clone();
    EXPECT_EQ(adapt(withBadFile, reference, 0.8f), printedWithout);
    EXPECT_TRUE(testsupport::near(withBadFile, withoutFile, 0.0));
}
