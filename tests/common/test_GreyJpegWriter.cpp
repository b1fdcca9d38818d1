#include "toolkit/common/GreyJpegWriter.hpp"
#include "toolkit/common/ImageFiles.hpp"

#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include <filesystem>

namespace fs = std::filesystem;
using testsupport::readFile;

// The row writer must give writeImage's bytes, and never leave a partial file.
TEST(GreyJpegWriter, GreyJpegRowsGiveImwriteBytes)
{
    testsupport::ScopedWorkDir dir;
    cv::Mat grey;
    cv::cvtColor(testsupport::makePhoto(23, 61, 14), grey, cv::COLOR_BGR2GRAY);
    for (const cv::Mat& img : { grey, cv::Mat(grey(cv::Rect(0, 0, 1, 1))) }) {
        ASSERT_TRUE(toolkit::common::writeImage("whole.jpg", img));
        toolkit::common::GreyJpegWriter writer("rows.jpg", img.cols, img.rows);
        for (int i = 0; i < img.rows; ++i)
            writer.writeRow(img.ptr<uchar>(i));
        std::string error;
        ASSERT_TRUE(writer.finish(error)) << error;
        EXPECT_TRUE(readFile("rows.jpg") == readFile("whole.jpg")) << img.size();
    }

    // Too few rows, an empty image, a folder that does not exist: the old file stays.
    std::string error;
    toolkit::common::GreyJpegWriter shortOne("rows.jpg", grey.cols, grey.rows);
    shortOne.writeRow(grey.ptr<uchar>(0));
    EXPECT_FALSE(shortOne.finish(error));
    EXPECT_NE(error.find("rows.jpg"), std::string::npos) << error;
    EXPECT_FALSE(toolkit::common::GreyJpegWriter("rows.jpg", 0, 0).finish(error));
    EXPECT_TRUE(readFile("rows.jpg") == readFile("whole.jpg"));
    EXPECT_FALSE(toolkit::common::GreyJpegWriter("missing/rows.jpg", 4, 4).finish(error));
    for (const auto& entry : fs::directory_iterator("."))
        EXPECT_EQ(entry.path().filename().string().find(".tmp-"), std::string::npos)
            << entry.path();
}
