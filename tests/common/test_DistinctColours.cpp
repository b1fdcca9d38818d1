#include "toolkit/common/DistinctColours.hpp"

#include "toolkit/common/ColourIndex.hpp"

#include "tests/support/TestSupport.hpp"

#include <algorithm>
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

// The inline look-up is index(), and its population count counts the set
// bits; both builds of the pixel loops, the usual one and the one for the
// population count instruction where this processor runs it, give index() for
// every pixel and the running count of set bits as ranks.
TEST(DistinctColours, LookUpLoopsAreIndex)
{
    for (const std::uint64_t word : { std::uint64_t(0), std::uint64_t(1), ~std::uint64_t(0),
             std::uint64_t(0x8000000000000001u), std::uint64_t(0x0123456789abcdefu) }) {
        unsigned bits = 0;
        for (int b = 0; b < 64; ++b)
            bits += unsigned((word >> b) & 1u);
        EXPECT_EQ(popcount64(word), bits) << word;
    }
    cv::Mat img = testsupport::makePhoto(40, 50, 5);
    // The first and last bit of a word, and the first and last colour.
    const std::uint32_t edges[] = { 0u, 63u, 64u, 127u, 0xffffc0u, 0xffffffu };
    for (int n = 0; n < 6; ++n) {
        uchar* p = img.ptr<uchar>(n) + 3 * n;
        p[0] = uchar(edges[n] & 0xff);
        p[1] = uchar((edges[n] >> 8) & 0xff);
        p[2] = uchar(edges[n] >> 16);
    }
    const DistinctColours colours = countDistinctColours(img);
    for (const std::uint32_t key : colours.keys)
        ASSERT_EQ(colourIndex(colours, key), colours.index(key));

    std::vector<const ColourLoops*> builds { &plainColourLoops() };
    if (popcountColourLoops() != nullptr)
        builds.push_back(popcountColourLoops());
    for (const ColourLoops* loops : builds) {
        std::vector<std::uint32_t> indices(std::size_t(img.cols));
        std::vector<std::uint32_t> counts(colours.keys.size(), 0);
        for (int i = 0; i < img.rows; ++i) {
            loops->countPixels(img.ptr<uchar>(i), std::size_t(img.cols), colours.present.data(),
                colours.rank.data(), counts.data());
            loops->indices(img.ptr<uchar>(i), indices.size(), colours.present.data(),
                colours.rank.data(), indices.data());
            for (int j = 0; j < img.cols; ++j)
                ASSERT_EQ(
                    indices[std::size_t(j)], colours.index(colourKey(img.ptr<uchar>(i) + 3 * j)))
                    << i << " " << j;
        }
        EXPECT_EQ(counts, colours.counts);
        std::vector<std::uint32_t> rank(colours.present.size());
        EXPECT_EQ(loops->rankWords(colours.present.data(), colours.present.size(), rank.data()),
            colours.keys.size());
        for (std::size_t w = 0; w < rank.size(); ++w)
            if (colours.present[w] != 0) {
                ASSERT_EQ(rank[w], colours.rank[w]) << w;
            }

        // Places of present colours are their indices; absent ones, the
        // neighbours of present ones in their words among them, have none.
        std::vector<std::uint32_t> keys;
        for (const std::uint32_t key : colours.keys)
            for (const std::uint32_t k : { key - 1, key, key + 1 })
                if (k <= 0xffffffu)
                    keys.push_back(k);
        std::vector<std::uint32_t> places(keys.size());
        loops->places(
            keys.data(), keys.size(), colours.present.data(), colours.rank.data(), places.data());
        for (std::size_t k = 0; k < keys.size(); ++k) {
            const auto at = std::lower_bound(colours.keys.begin(), colours.keys.end(), keys[k]);
            const bool present = at != colours.keys.end() && *at == keys[k];
            ASSERT_EQ(
                places[k], present ? std::uint32_t(at - colours.keys.begin()) : kNoColourPlace)
                << keys[k];
        }
    }
}

TEST(DistinctColours, BuffersKeptBetweenImagesCountAsFreshOnes)
{
    // Images of many colours and of few, one after another through the same
    // buffers, each returned before the next (and one never returned), the
    // first buffers given colours counted without them.
    ColourBuffers buffers;
    DistinctColours unbuffered = countDistinctColours(testsupport::makePhoto(20, 30, 29));
    buffers.recycle(unbuffered);
    for (int n = 0; n < 6; ++n) {
        cv::Mat img = testsupport::makePhoto(60 + 10 * n, 80, unsigned(30 + n));
        if (n == 2)
            img.setTo(cv::Scalar(255, 255, 255));
        ColourCounter counter(&buffers);
        for (int i = 0; i < img.rows; ++i)
            counter.mark(img.ptr<uchar>(i), std::size_t(img.cols));
        DistinctColours colours = counter.count(img);
        const DistinctColours fresh = countDistinctColours(img);
        ASSERT_EQ(colours.keys, fresh.keys) << n;
        ASSERT_EQ(colours.counts, fresh.counts) << n;
        ASSERT_EQ(colours.present, fresh.present) << n;
        // Ranks matter, and are kept, for the words that hold colours.
        for (std::size_t w = 0; w < fresh.present.size(); ++w)
            if (fresh.present[w] != 0) {
                ASSERT_EQ(colours.rank[w], fresh.rank[w]) << n << " " << w;
            }
        if (n != 4)
            buffers.recycle(colours);
        EXPECT_EQ(colours.keys, fresh.keys);
        EXPECT_TRUE(colours.present.empty() == (n != 4));
    }
}
