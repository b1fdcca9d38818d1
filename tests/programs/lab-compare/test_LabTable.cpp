#include "programs/lab-compare/LabTable.hpp"

#include "toolkit/common/CommonFunctions.hpp"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include <cstring>

// Every one of the 2^24 colours against OpenCV's own conversion, bit for bit:
// the table must agree with cv::cvtColor wherever the program can use it.
TEST(LabTable, EveryColourMatchesOpenCvBitForBit)
{
    constexpr int kSide = 4096;
    cv::Mat colours(kSide, kSide, CV_8UC3);
    for (std::uint32_t key = 0; key < (1u << 24); ++key) {
        uchar* p = colours.ptr<uchar>(0) + 3 * std::size_t(key);
        p[0] = uchar(key & 0xff);
        p[1] = uchar((key >> 8) & 0xff);
        p[2] = uchar(key >> 16);
    }
    cv::Mat norm(colours.size(), CV_32FC3);
    toolkit::common::normImg(colours, norm);
    cv::Mat lab;
    cv::cvtColor(norm, lab, cv::COLOR_BGR2Lab);

    std::size_t mismatches = 0;
    std::uint32_t firstMismatch = 0;
    for (std::uint32_t key = 0; key < (1u << 24); ++key) {
        const cv::Vec3f expected = lab.ptr<cv::Vec3f>(0)[key];
        const cv::Vec3f actual = labcompare::labOfColour(key);
        if (std::memcmp(&expected, &actual, sizeof expected) != 0 && mismatches++ == 0)
            firstMismatch = key;
    }
    EXPECT_EQ(mismatches, 0u) << "first at key 0x" << std::hex << firstMismatch << ": "
                              << lab.ptr<cv::Vec3f>(0)[firstMismatch] << " against "
                              << labcompare::labOfColour(firstMismatch);
}
