#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

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

// The synthetic photographs are the same whichever compiler built the tests
// (these are the photographs GCC has always made), so that the figures tests
// expect of them hold under GCC and clang alike.
TEST(TestSupport, SyntheticPhotographsDoNotDependOnTheCompiler)
{
    EXPECT_EQ(fingerprint(testsupport::makePhoto(20, 20, 2)), 6504630872761521106u);
    EXPECT_EQ(fingerprint(testsupport::makePhoto(30, 40, 23)), 1391455852514815465u);
}
