// Wrong matrices given to the shared functions must raise cv::Exception
// before any pixel is touched (run under the sanitizers, an overrun fails).
#include "toolkit/common/CommonFunctions.hpp"
#include "toolkit/common/DistinctColours.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

namespace common = toolkit::common;

namespace {

void expectRaises(const std::function<void()>& call, const char* what)
{
    EXPECT_THROW(call(), cv::Exception) << what;
}

} // namespace

TEST(InputChecks, LabScalingAndNormalisation)
{
    cv::Mat empty, grey(4, 4, CV_32FC1, cv::Scalar(1)), bytes(4, 4, CV_8UC3, cv::Scalar::all(9));
    cv::Mat small(2, 2, CV_32FC3), norm(4, 4, CV_32FC3);
    expectRaises([&] { common::scaleLab(empty); }, "scaleLab, empty");
    expectRaises([&] { common::scaleLab(grey); }, "scaleLab, one channel");
    expectRaises([&] { common::rescaleLab(bytes); }, "rescaleLab, 8-bit");
    expectRaises([&] { common::normImg(grey, norm); }, "normImg, float source");
    expectRaises([&] { common::normImg(bytes, small); }, "normImg, destination too small");
    cv::Mat greyBytes(4, 4, CV_8UC1);
    expectRaises([&] { common::normImg(bytes, greyBytes); }, "normImg, 8-bit destination");
    expectRaises([&] { common::getFinalImg(grey, "never.png"); }, "getFinalImg, one channel");
    // Valid calls still work, and an empty image is still only not written.
    EXPECT_NO_THROW(common::normImg(bytes, norm));
    EXPECT_FLOAT_EQ(norm.at<cv::Vec3f>(3, 3)[2], float(9 / 255.0));
    EXPECT_NO_THROW(common::getFinalImg(empty, "never.png"));
}

TEST(InputChecks, StatisticsAndMatrices)
{
    cv::Mat empty, colour(3, 3, CV_32FC3, cv::Scalar::all(1));
    float mean = 0.0f;
    expectRaises([&] { common::computeMean(colour); }, "computeMean, three channels");
    expectRaises([&] { common::computeStdDev(colour, mean); }, "computeStdDev, three channels");
    EXPECT_EQ(common::computeMean(empty), 0.0f);

    cv::Mat square = cv::Mat::eye(3, 3, CV_32FC1), wide(3, 4, CV_32FC1), C(3, 3, CV_32FC1);
    cv::Mat smallC(2, 2, CV_32FC1), doubles = cv::Mat::eye(3, 3, CV_64FC1);
    expectRaises([&] { common::dotProduct(wide, wide, C); }, "dotProduct, not square");
    expectRaises([&] { common::dotProduct(square, square, smallC); }, "dotProduct, C too small");
    expectRaises([&] { common::dotProduct(square, doubles, C); }, "dotProduct, double B");
    expectRaises([&] { common::dotProduct(square, square, empty); }, "dotProduct, empty C");
    common::dotProduct(square, square, C);
    EXPECT_EQ(cv::norm(C, square, cv::NORM_INF), 0.0);
}

TEST(InputChecks, ColoursAndPhotographPairs)
{
    // A one-channel image would be read three bytes a pixel, past its end.
    expectRaises([] { common::countDistinctColours(cv::Mat(5, 5, CV_8UC1)); }, "grey image");
    expectRaises([] { common::countDistinctColours(cv::Mat(5, 5, CV_32FC3)); }, "float image");
    EXPECT_TRUE(common::countDistinctColours(cv::Mat()).keys.empty());
    const common::DistinctColours colours
        = common::countDistinctColours(cv::Mat(2, 2, CV_8UC3, cv::Scalar(1, 2, 3)));
    expectRaises([&] { colours.asImage(0); }, "row width 0");
}
