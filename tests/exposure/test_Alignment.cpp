#include "toolkit/exposure/Alignment.hpp"

#include "toolkit/common/CommonFunctions.hpp"

#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

using namespace toolkit::common;
using namespace toolkit::exposure;

namespace {

// A value scaled by 255 and back in float: one rounding each way.
constexpr double kByteRoundTripRel = 2.5e-7;
// OpenCV 4's float L*a*b* conversions interpolate in tables: a BGR round trip
// is off by up to about 3e-3, and a* and b* seen through two conversions move
// by up to about 0.3 L*a*b* units.
constexpr double kLabRoundTripTol = 5e-3;
constexpr double kLabChromaTol = 0.5;
// Lightness statistics after the round trip, in L* units (0..100).
constexpr double kLightnessStatTol = 0.1;

cv::Mat photo(int rows, int cols, unsigned seed)
{
    cv::Mat img8 = testsupport::makePhoto(rows, cols, seed);
    cv::Mat img(img8.size(), CV_32FC3);
    normImg(img8, img);
    return img;
}

cv::Mat lab(const cv::Mat& bgr)
{
    cv::Mat out;
    cv::cvtColor(bgr, out, cv::COLOR_BGR2Lab);
    return out;
}

} // namespace

TEST(AlignmentOpticalFlow, IdenticalPhotographsGiveThePhotographBackAndStayUntouched)
{
    const cv::Mat original = photo(40, 48, 21);
    cv::Mat first = original.clone(), second = original.clone(), output;
    calculateOpticalFlow(first, second, output);
    EXPECT_LE(cv::norm(output, original, cv::NORM_INF), kByteRoundTripRel);
    EXPECT_EQ(cv::norm(first, original, cv::NORM_INF), 0.0);
    EXPECT_EQ(cv::norm(second, original, cv::NORM_INF), 0.0);

    // One matrix as both photographs: it must not be scaled twice.
    cv::Mat same = original.clone();
    calculateOpticalFlow(same, same, same);
    EXPECT_LE(cv::norm(same, original, cv::NORM_INF), kByteRoundTripRel);
}

TEST(AlignmentOpticalFlow, ShiftedPhotographIsAlignedAndUncoveredColumnsAreBlack)
{
    // second(x) = first(x - k): both cut from one wider, textured scene.
    const int k = 3, rows = 48, cols = 64;
    cv::Mat scene(rows, cols + k, CV_32FC3);
    cv::RNG rng(22);
    rng.fill(scene, cv::RNG::UNIFORM, 0.0, 1.0);
    cv::GaussianBlur(scene, scene, cv::Size(0, 0), 1.5);
    cv::Mat first = scene.colRange(k, cols + k).clone(), second = scene.colRange(0, cols).clone();

    cv::Mat output;
    calculateOpticalFlow(first, second, output);
    // Interior: away from the image border by about the flow window's half
    // size; the flow near the corners is a poorer fit and is not checked.
    const cv::Rect interior(8, 8, cols - 16, rows - 16);
    EXPECT_LE(cv::norm(output(interior), second(interior), cv::NORM_INF), kByteRoundTripRel);
    const cv::Mat uncovered = output(cv::Rect(0, 8, k, rows - 16));
    EXPECT_EQ(cv::countNonZero(uncovered.reshape(1)), 0);
}

TEST(AlignmentLightnessTransfer, SourceEqualToReferenceComesBack)
{
    cv::Mat source = photo(30, 40, 23), reference = source.clone(), output;
    testing::internal::CaptureStdout();
    alterNonFlashBrightness(source, reference, output);
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_LE(cv::norm(output, source, cv::NORM_INF), kLabRoundTripTol);

    // The computeMean line "<sum> <count>" of the source's L*, then of the
    // reference's (the same here).
    cv::Mat L;
    cv::extractChannel(lab(source), L, 0);
    testing::internal::CaptureStdout();
    computeMean(L);
    const std::string line = testing::internal::GetCapturedStdout();
    EXPECT_NE(line.find(" 1200\n"), std::string::npos) << line;
    EXPECT_EQ(printed, line + line);
}

TEST(AlignmentLightnessTransfer, OnlyLightnessChangesAndTakesTheReferenceStatistics)
{
    // Muted colours, so that moving their lightness keeps them in the gamut
    // (Lab to BGR clips those that leave it).
    cv::Mat source = photo(30, 40, 24) * 0.5 + cv::Scalar::all(0.25);
    cv::Mat reference = photo(30, 40, 25) * 0.3 + cv::Scalar::all(0.2), output;
    const cv::Mat sourceBefore = source.clone();
    testing::internal::CaptureStdout();
    alterNonFlashBrightness(source, reference, output);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(cv::norm(source, sourceBefore, cv::NORM_INF), 0.0);

    cv::Mat outLab[3], srcLab[3], refLab[3];
    cv::split(lab(output), outLab);
    cv::split(lab(source), srcLab);
    cv::split(lab(reference), refLab);
    EXPECT_LE(cv::norm(outLab[1], srcLab[1], cv::NORM_INF), kLabChromaTol);
    EXPECT_LE(cv::norm(outLab[2], srcLab[2], cv::NORM_INF), kLabChromaTol);
    cv::Scalar mOut, sOut, mRef, sRef;
    cv::meanStdDev(outLab[0], mOut, sOut);
    cv::meanStdDev(refLab[0], mRef, sRef);
    EXPECT_NEAR(mOut[0], mRef[0], kLightnessStatTol);
    EXPECT_NEAR(sOut[0], sRef[0], kLightnessStatTol);
}

TEST(AlignmentLightnessTransfer, FlatSourceMovesToTheReferenceMeanInsteadOfNaN)
{
    cv::Mat source(20, 24, CV_32FC3, cv::Scalar::all(0.4)), reference = photo(20, 24, 26), output;
    testing::internal::CaptureStdout();
    alterNonFlashBrightness(source, reference, output);
    testing::internal::GetCapturedStdout();
    ASSERT_TRUE(cv::checkRange(output));
    cv::Mat outLab[3];
    cv::split(lab(output), outLab);
    EXPECT_NEAR(outLab[0].at<float>(7, 9), cv::mean(lab(reference))[0], kLightnessStatTol);
}

TEST(AlignmentLightnessTransfer, PhotographsOfDifferentSizesAreRejected)
{
    cv::Mat source = photo(20, 24, 27), reference = photo(20, 25, 28), output;
    EXPECT_THROW(alterNonFlashBrightness(source, reference, output), cv::Exception);
    EXPECT_THROW(alterNonFlashBrightness(reference, source, output), cv::Exception);
}

TEST(Alignment, WrongMatricesRaiseBeforeAnyPixelIsTouched)
{
    cv::Mat a(8, 8, CV_32FC3, cv::Scalar::all(0.5)), b(8, 9, CV_32FC3), bytes(8, 8, CV_8UC3), out;
    EXPECT_THROW(calculateOpticalFlow(a, b, out), cv::Exception) << "two sizes";
    EXPECT_THROW(calculateOpticalFlow(bytes, a, out), cv::Exception) << "8-bit";
    EXPECT_THROW(alterNonFlashBrightness(a, bytes, out), cv::Exception) << "8-bit reference";
    cv::Mat empty;
    EXPECT_THROW(alterNonFlashBrightness(empty, empty, out), cv::Exception) << "empty";
}
