#include "toolkit/common/Codecs.hpp"

#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <vector>

// The codec library loaded on demand is OpenCV's own: same pixels, same bytes.
TEST(Codecs, LoadedOnDemandTheyAreOpenCvs)
{
    testsupport::ScopedWorkDir dir;
    const cv::Mat photo = testsupport::makePhoto(21, 34, 15);
    ASSERT_TRUE(cv::imwrite("photo.png", photo));
    EXPECT_EQ(cv::norm(toolkit::common::codecs::imread("photo.png", cv::IMREAD_COLOR), photo,
                  cv::NORM_INF),
        0.0);
    for (const char* ext : { ".jpg", ".png", ".bmp" }) {
        std::vector<uchar> ours, theirs;
        ASSERT_TRUE(toolkit::common::codecs::imencode(ext, photo, ours));
        ASSERT_TRUE(cv::imencode(ext, photo, theirs));
        EXPECT_TRUE(ours == theirs) << ext;
    }
}
