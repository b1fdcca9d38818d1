#include "toolkit/common/DistinctColours.hpp"

#include <algorithm>

namespace {

constexpr std::size_t kColourBits = 24;
constexpr std::size_t kWords = (std::size_t(1) << kColourBits) / 64;

} // namespace

cv::Mat toolkit::common::DistinctColours::asImage(int width) const
{
    const int rows = static_cast<int>((keys.size() + width - 1) / width);
    cv::Mat img(rows, width, CV_8UC3);
    const std::size_t cells = img.total();
    for (std::size_t k = 0; k < cells; ++k) {
        const std::uint32_t key = keys[std::min(k, keys.size() - 1)];
        uchar* p = img.ptr<uchar>(0) + 3 * k;
        p[0] = uchar(key & 0xff);
        p[1] = uchar((key >> 8) & 0xff);
        p[2] = uchar(key >> 16);
    }
    return img;
}

TOOLKIT_POPCOUNT_CLONES
toolkit::common::DistinctColours toolkit::common::countDistinctColours(const cv::Mat& img)
{
    // A presence bitmap of all 2^24 colours (2 MiB, small enough to stay in
    // cache), then a rank per 64-bit word: the index of a colour among the
    // present ones is its word's rank plus the set bits below it.
    DistinctColours result;
    std::vector<std::uint64_t>& present = result.present;
    present.assign(kWords, 0);
    for (int i = 0; i < img.rows; ++i) {
        const uchar* p = img.ptr<uchar>(i);
        for (int j = 0; j < img.cols; ++j, p += 3) {
            const std::uint32_t key = colourKey(p);
            present[key >> 6] |= std::uint64_t(1) << (key & 63);
        }
    }

    std::vector<std::uint32_t>& rank = result.rank;
    rank.resize(kWords);
    std::uint32_t running = 0;
    for (std::size_t w = 0; w < kWords; ++w) {
        rank[w] = running;
        std::uint64_t word = present[w];
        running += static_cast<std::uint32_t>(__builtin_popcountll(word));
        while (word != 0) {
            const int bit = __builtin_ctzll(word);
            result.keys.push_back(static_cast<std::uint32_t>(w * 64 + bit));
            word &= word - 1;
        }
    }

    result.counts.assign(result.keys.size(), 0);
    for (int i = 0; i < img.rows; ++i) {
        const uchar* p = img.ptr<uchar>(i);
        for (int j = 0; j < img.cols; ++j, p += 3) {
            ++result.counts[result.index(colourKey(p))];
        }
    }
    return result;
}
