#include "toolkit/common/DistinctColours.hpp"

#include "toolkit/common/ColourIndex.hpp"

#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <map>

using namespace toolkit::common;

TEST(DistinctColours, CountsEveryPixelOnceAndIndexesEachColour)
{
    const cv::Mat img = testsupport::makePhoto(300, 200, 11);
    std::map<std::uint32_t, std::uint32_t> expected;
    for (int i = 0; i < img.rows; ++i)
        for (int j = 0; j < img.cols; ++j)
            ++expected[colourKey(img.ptr<uchar>(i) + 3 * j)];

    const DistinctColours colours = countDistinctColours(img);
    ASSERT_EQ(colours.keys.size(), expected.size());
    std::size_t k = 0;
    for (const auto& [key, count] : expected) {
        ASSERT_EQ(colours.keys[k], key);
        ASSERT_EQ(colours.counts[k], count);
        ASSERT_EQ(colours.index(key), k);
        ++k;
    }

    // The colours laid out as an image, row by row, the last one repeated.
    const cv::Mat laid = colours.asImage(64);
    ASSERT_EQ(laid.cols, 64);
    ASSERT_EQ(laid.total(), (colours.keys.size() + 63) / 64 * 64);
    for (std::size_t n = 0; n < laid.total(); ++n)
        ASSERT_EQ(colourKey(laid.ptr<uchar>(0) + 3 * n),
            colours.keys[std::min(n, colours.keys.size() - 1)]);
}

TEST(DistinctColours, ExtremeKeysAndEmptyImage)
{
    cv::Mat img(2, 2, CV_8UC3, cv::Scalar::all(255));
    img.at<cv::Vec3b>(0, 0) = cv::Vec3b(0, 0, 0);
    const DistinctColours colours = countDistinctColours(img);
    ASSERT_EQ(colours.keys, (std::vector<std::uint32_t> { 0u, 0xffffffu }));
    EXPECT_EQ(colours.counts, (std::vector<std::uint32_t> { 1u, 3u }));
    EXPECT_EQ(colours.index(0xffffff), 1u);

    const DistinctColours none = countDistinctColours(cv::Mat(0, 0, CV_8UC3));
    EXPECT_TRUE(none.keys.empty());
    EXPECT_EQ(none.asImage(16).total(), 0u);
}

// The inline look-up the pixel loops use is index(), and its population count
// counts the set bits.
TEST(DistinctColours, InlineLookUpIsIndex)
{
    for (const std::uint64_t word : { std::uint64_t(0), std::uint64_t(1), ~std::uint64_t(0),
             std::uint64_t(0x8000000000000001u), std::uint64_t(0x0123456789abcdefu) }) {
        unsigned bits = 0;
        for (int b = 0; b < 64; ++b)
            bits += unsigned((word >> b) & 1u);
        EXPECT_EQ(popcount64(word), bits) << word;
    }
    const cv::Mat img = testsupport::makePhoto(40, 50, 5);
    const DistinctColours colours = countDistinctColours(img);
    for (const std::uint32_t key : colours.keys)
        ASSERT_EQ(colourIndex(colours, key), colours.index(key));
}
