#include "toolkit/common/CommonFunctions.hpp"

#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <cmath>
#include <limits>

using namespace toolkit::common;

namespace {

const float kNaN = std::numeric_limits<float>::quiet_NaN();

cv::Mat plane(std::initializer_list<float> values)
{
    return cv::Mat(std::vector<float>(values), true).reshape(1, 1);
}

} // namespace

TEST(CommonFunctionsLabScaling, NaturalRangeMapsToByteRangeAndBack)
{
    cv::Mat lab(1, 2, CV_32FC3);
    lab.at<cv::Vec3f>(0, 0) = cv::Vec3f(100.0f, -128.0f, 127.0f);
    lab.at<cv::Vec3f>(0, 1) = cv::Vec3f(37.5f, 12.25f, -60.0f);
    const cv::Mat original = lab.clone();

    scaleLab(lab);
    EXPECT_FLOAT_EQ(lab.at<cv::Vec3f>(0, 0)[0], 255.0f);
    EXPECT_EQ(lab.at<cv::Vec3f>(0, 0)[1], 0.0f);
    EXPECT_EQ(lab.at<cv::Vec3f>(0, 0)[2], 255.0f);
    EXPECT_EQ(lab.at<cv::Vec3f>(0, 1)[2], 68.0f);

    rescaleLab(lab);
    // One float rounding in each direction.
    for (int j = 0; j < 2; ++j)
        for (int c = 0; c < 3; ++c)
            EXPECT_NEAR(lab.at<cv::Vec3f>(0, j)[c], original.at<cv::Vec3f>(0, j)[c], 2e-5);
}

TEST(CommonFunctionsLabScaling, LightnessProductIsFormedInDouble)
{
    // 2.55 is not a float; a float product would differ in the last bit for
    // many inputs. Compare with the double product rounded once.
    cv::Mat lab(1, 1000, CV_32FC3);
    for (int j = 0; j < 1000; ++j)
        lab.at<cv::Vec3f>(0, j) = cv::Vec3f(j * 0.1f, 0.0f, 0.0f);
    scaleLab(lab);
    for (int j = 0; j < 1000; ++j)
        ASSERT_EQ(lab.at<cv::Vec3f>(0, j)[0], static_cast<float>(double(j * 0.1f) * 2.55));
}

TEST(CommonFunctionsNormalisation, EightBitValuesDivideBy255InDouble)
{
    cv::Mat img(2, 128, CV_8UC3);
    for (int j = 0; j < 256 * 3; ++j)
        img.data[j] = static_cast<uchar>(j % 256);
    img.at<cv::Vec3b>(0, 0) = cv::Vec3b(0, 128, 255);
    // A larger destination: only the image's own area is written.
    cv::Mat norm(3, 130, CV_32FC3, cv::Scalar::all(-1));
    normImg(img, norm);

    const cv::Vec3f first = norm.at<cv::Vec3f>(0, 0);
    EXPECT_EQ(first[0], 0.0f);
    EXPECT_FLOAT_EQ(first[1], 0.50196081f);
    EXPECT_EQ(first[2], 1.0f);
    for (int i = 0; i < 2; ++i)
        for (int j = 0; j < 128; ++j)
            for (int c = 0; c < 3; ++c)
                ASSERT_EQ(norm.at<cv::Vec3f>(i, j)[c],
                    static_cast<float>(img.at<cv::Vec3b>(i, j)[c] / 255.0));
    EXPECT_EQ(norm.at<cv::Vec3f>(2, 0)[0], -1.0f);
    EXPECT_EQ(norm.at<cv::Vec3f>(0, 129)[0], -1.0f);
}

TEST(CommonFunctionsClip, ClampsAndResolvesNaNAndInvertedBoundsToLower)
{
    EXPECT_EQ(clip(5.0f, 0.0f, 1.0f), 1.0f);
    EXPECT_EQ(clip(-1.0f, 0.0f, 1.0f), 0.0f);
    EXPECT_EQ(clip(0.25f, 0.0f, 1.0f), 0.25f);
    EXPECT_EQ(clip(kNaN, 0.0f, 1.0f), 0.0f);
    EXPECT_EQ(clip(0.5f, 1.0f, 0.0f), 1.0f);
    EXPECT_EQ(clip(std::numeric_limits<float>::infinity(), 0.0f, 1.0f), 1.0f);
}

TEST(CommonFunctionsStatistics, MeanSkipsNaNAndPrintsSumAndCount)
{
    cv::Mat values = plane({ 1.0f, 2.0f, kNaN, 3.0f });
    testing::internal::CaptureStdout();
    const float mean = computeMean(values);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "6 3\n");
    EXPECT_EQ(mean, 2.0f);

    cv::Mat none = plane({ kNaN, kNaN });
    testing::internal::CaptureStdout();
    EXPECT_EQ(computeMean(none), 0.0f);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "0 0\n");

    cv::Mat fractional = plane({ 0.1f, 0.2f });
    testing::internal::CaptureStdout();
    computeMean(fractional);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "0.3 2\n");
}

TEST(CommonFunctionsStatistics, StdDevAroundGivenMeanSkipsNaN)
{
    float mean = 2.0f;
    EXPECT_NEAR(computeStdDev(plane({ 1.0f, kNaN, 2.0f, 3.0f }), mean), std::sqrt(2.0 / 3.0), 1e-7);
    EXPECT_EQ(mean, 2.0f);
    float zero = 0.0f;
    EXPECT_TRUE(std::isnan(computeStdDev(plane({ kNaN }), zero)));
}

TEST(CommonFunctionsStatistics, DotProductOfThreeByThree)
{
    cv::Mat A = (cv::Mat_<float>(3, 3) << 1, 2, 3, 4, 5, 6, 7, 8, 9);
    cv::Mat B = (cv::Mat_<float>(3, 3) << 0, 1, 0, 1, 0, 0, 0, 0, 2);
    cv::Mat C(3, 3, CV_32FC1, cv::Scalar(99));
    dotProduct(A, B, C);
    const cv::Mat expected = (cv::Mat_<float>(3, 3) << 2, 1, 6, 5, 4, 12, 8, 7, 18);
    EXPECT_EQ(cv::norm(C, expected, cv::NORM_INF), 0.0);
}

TEST(CommonFunctionsFileNaming, IntegersAndExtensions)
{
    EXPECT_EQ(convertIntToString(7), "7");
    EXPECT_EQ(convertIntToString(-3), "-3");
    EXPECT_EQ(convertIntToString(1234567), "1234567");
    EXPECT_EQ(remove_extension("photo.final.jpg"), "photo.final");
    EXPECT_EQ(remove_extension("photo"), "photo");
    EXPECT_EQ(remove_extension("dir.old/img"), "dir");
    EXPECT_EQ(remove_extension(".hidden"), "");
}

TEST(CommonFunctionsFinalImage, ScalesInPlaceWritesAndNeverThrows)
{
    testsupport::ScopedWorkDir dir;
    cv::Mat img(4, 5, CV_32FC3, cv::Scalar(0.0, 0.5, 1.0));
    getFinalImg(img, "out.png");
    EXPECT_EQ(img.at<cv::Vec3f>(3, 4), cv::Vec3f(0.0f, 127.5f, 255.0f));
    const cv::Mat written = cv::imread("out.png", cv::IMREAD_UNCHANGED);
    ASSERT_FALSE(written.empty());
    EXPECT_EQ(written.at<cv::Vec3b>(0, 0), cv::Vec3b(0, 128, 255));

    // A second call on the same image writes a saturated file.
    getFinalImg(img, "again.png");
    EXPECT_EQ(cv::imread("again.png").at<cv::Vec3b>(0, 0), cv::Vec3b(0, 255, 255));

    // Failures are silent: an empty image, an unknown extension.
    cv::Mat empty;
    EXPECT_NO_THROW(getFinalImg(empty, "empty.jpg"));
    EXPECT_FALSE(testsupport::fileExists("empty.jpg"));
    EXPECT_NO_THROW(getFinalImg(img, "noformat.unknownext"));
    EXPECT_FALSE(writeImage("missing-dir/x.jpg", img));
}
