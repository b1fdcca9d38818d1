#include "programs/LargePages.hpp"

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include <cstdint>
#include <vector>

TEST(LargePages, LargeAndSmallMatricesAndForeignDataBehaveAsUsual)
{
    programs::useLargePagesForImages();

    cv::Mat large(3000, 4000, CV_8UC3, cv::Scalar(1, 2, 3));
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(large.data) % (std::uintptr_t(2) << 20), 0u)
        << "large buffers start on a huge-page boundary";
    cv::Mat copy = large.clone();
    cv::Mat roi = copy(cv::Rect(10, 20, 30, 40));
    roi.setTo(cv::Scalar::all(9));
    EXPECT_EQ(large.at<cv::Vec3b>(2999, 3999), cv::Vec3b(1, 2, 3));
    EXPECT_EQ(copy.at<cv::Vec3b>(20, 10), cv::Vec3b(9, 9, 9));

    cv::Mat small(5, 7, CV_32FC1, cv::Scalar(0.5));
    EXPECT_EQ(cv::sum(small)[0], 17.5);

    // A matrix over memory it does not own leaves that memory alone.
    std::vector<float> owned(12, 1.0f);
    {
        cv::Mat view(3, 4, CV_32FC1, owned.data());
        view.setTo(2.0);
    }
    EXPECT_EQ(owned[11], 2.0f);

    // Steps of a padded foreign buffer are kept.
    std::vector<std::uint8_t> padded(4 * 16, 0);
    cv::Mat strided(4, 10, CV_8UC1, padded.data(), 16);
    EXPECT_EQ(strided.step[0], 16u);
}
