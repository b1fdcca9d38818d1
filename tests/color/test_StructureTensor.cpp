#include "toolkit/color/StructureTensor.hpp"

#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <limits>

using toolkit::color::computeStructuralTensor;

namespace {

// Float 0..255 image, `low` left of column `edge` and `high` from it on, all channels.
cv::Mat verticalStep(int rows, int cols, int edge, float low, float high)
{
    cv::Mat img(rows, cols, CV_32FC3, cv::Scalar::all(double(low)));
    img.colRange(edge, cols).setTo(cv::Scalar::all(double(high)));
    return img;
}

std::string run(cv::Mat& image, cv::Mat& weight, float kernelSize)
{
    testing::internal::CaptureStdout();
    computeStructuralTensor(image, weight, kernelSize);
    return testing::internal::GetCapturedStdout();
}

} // namespace

TEST(StructureTensorWeight, FlatImageGivesOneHalfStrongEdgeNearOne)
{
    testsupport::ScopedWorkDir dir;
    cv::Mat flat(9, 11, CV_32FC3, cv::Scalar(40, 100, 220));
    const cv::Mat original = flat.clone();
    cv::Mat weight(9, 11, CV_32FC1);
    run(flat, weight, 3.0f);
    EXPECT_EQ(cv::countNonZero(weight != 0.5), 0);
    EXPECT_TRUE(testsupport::near(flat, original, 0.0)) << "the input must not change";

    // Across a 0 to 255 edge the blur gives 0, 63.75, 191.25, 255 and the x
    // derivatives 255, 765, 765, 255, so beside the edge the smoothed J00 is
    // 3 x (0.25 x 255^2 + 0.75 x 765^2) = 1365525 with J01 = J11 = 0.
    cv::Mat step = verticalStep(8, 16, 8, 0.0f, 255.0f);
    cv::Mat stepWeight(8, 16, CV_32FC1);
    run(step, stepWeight, 3.0f);
    const float nearEdge
        = static_cast<float>(0.5 + 0.5 * std::exp(-1e10 / (1365525.0 * 1365525.0)));
    constexpr double kWeightTolerance = 1e-6; // float tensor and float exponential
    EXPECT_TRUE(testsupport::near(stepWeight.colRange(7, 9),
        cv::Mat(8, 2, CV_32FC1, cv::Scalar(double(nearEdge))), kWeightTolerance));
    for (int i = 0; i < 8; ++i) {
        for (int j : { 0, 1, 2, 3, 12, 13, 14, 15 })
            EXPECT_EQ(stepWeight.at<float>(i, j), 0.5f) << i << "," << j;
    }
    EXPECT_GT(nearEdge, 0.99f);
}

TEST(StructureTensorKernel, FractionalSizeIsTruncated)
{
    testsupport::ScopedWorkDir dir;
    cv::Mat photo;
    testsupport::makePhoto(24, 32, 7).convertTo(photo, CV_32FC3);
    cv::Mat three(24, 32, CV_32FC1), threePointNine(24, 32, CV_32FC1), five(24, 32, CV_32FC1);
    const std::string out3 = run(photo, three, 3.0f);
    EXPECT_EQ(run(photo, threePointNine, 3.9f), out3);
    run(photo, five, 5.0f);
    EXPECT_TRUE(testsupport::near(three, threePointNine, 0.0));
    EXPECT_GT(cv::norm(three, five, cv::NORM_INF), 0.0) << "the window must matter";
}

TEST(StructureTensorRejection, BadKernelSizeOrArgumentsFailBeforeAnyOutput)
{
    testsupport::ScopedWorkDir dir;
    cv::Mat img = verticalStep(8, 8, 4, 0.0f, 255.0f);
    cv::Mat weight(8, 8, CV_32FC1, cv::Scalar::all(-1));
    testing::internal::CaptureStdout();
    for (float size : { 2.0f, 4.5f, 0.0f, 0.9f, -3.0f, std::numeric_limits<float>::quiet_NaN(),
             std::numeric_limits<float>::infinity(), 1e12f })
        EXPECT_THROW(computeStructuralTensor(img, weight, size), cv::Exception) << size;
    cv::Mat small(4, 8, CV_32FC1), wrongType(8, 8, CV_64FC1), unallocated, grey(8, 8, CV_32FC1);
    for (cv::Mat* out : { &small, &wrongType, &unallocated })
        EXPECT_THROW(computeStructuralTensor(img, *out, 3.0f), cv::Exception);
    EXPECT_THROW(computeStructuralTensor(grey, weight, 3.0f), cv::Exception);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(cv::countNonZero(weight != -1.0), 0);
    EXPECT_TRUE(unallocated.empty());
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST(StructureTensorOutput, FirstPixelLineAndSevenImages)
{
    testsupport::ScopedWorkDir dir;
    // Edge between columns 0 and 1: with reflect-101 borders the smoothed J00
    // at (0, 0) is 3 x 0.5 x 510^2 = 390150 and J01 = J11 = 0, so s = sqrt(390150)
    // and the eigenvectors are the unit axes; their signs are free.
    cv::Mat img = verticalStep(5, 6, 1, 0.0f, 255.0f);
    cv::Mat weight(5, 6, CV_32FC1);
    std::string out = run(img, weight, 3.0f);
    out.erase(std::remove(out.begin(), out.end(), '-'), out.end());
    EXPECT_EQ(out, "[624.61987, 0;\n 0, 624.61987]eig V[390150;\n 0] 624.62\n");

    cv::Mat flat(10, 12, CV_32FC3, cv::Scalar::all(100));
    cv::Mat flatWeight(10, 12, CV_32FC1);
    run(flat, flatWeight, 3.0f);
    for (const char* name : { "inputGauss.jpg", "sobel.jpg", "sobelMatr.jpg", "sobelGauss.jpg",
             "tensorX.jpg", "tensor.jpg", "coherence.jpg" })
        EXPECT_TRUE(testsupport::fileExists(name)) << name;
    // JPEG reproduces a flat plane within one level. 0.5 x 255 = 127.5 rounds
    // half to even; the flat coherence 0/0 is stored as 0.
    constexpr double kJpegFlatTolerance = 1.0;
    EXPECT_NEAR(cv::mean(cv::imread("inputGauss.jpg"))[1], 100.0, kJpegFlatTolerance);
    EXPECT_NEAR(
        cv::mean(cv::imread("tensor.jpg", cv::IMREAD_GRAYSCALE))[0], 128.0, kJpegFlatTolerance);
    EXPECT_NEAR(
        cv::mean(cv::imread("coherence.jpg", cv::IMREAD_GRAYSCALE))[0], 0.0, kJpegFlatTolerance);
}
