#include "toolkit/common/DistinctColours.hpp"

#include "toolkit/common/ColourIndex.hpp"
#include "toolkit/common/InputChecks.hpp"

#include <algorithm>

namespace {

constexpr std::size_t kColourBits = 24;
constexpr std::size_t kWords = (std::size_t(1) << kColourBits) / 64;

} // namespace

cv::Mat toolkit::common::DistinctColours::asImage(int width) const
{
    if (width <= 0)
        CV_Error(cv::Error::StsBadArg, "the colours need a positive row width");
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

std::size_t toolkit::common::DistinctColours::index(std::uint32_t key) const
{
    return colourIndex(*this, key);
}

toolkit::common::DistinctColours toolkit::common::countDistinctColours(const cv::Mat& img)
{
    requireTypeOrEmpty(img, CV_8UC3, "countDistinctColours", "img");
    ColourCounter counter;
    for (int i = 0; i < img.rows; ++i)
        counter.mark(img.ptr<uchar>(i), std::size_t(img.cols));
    return counter.count(img);
}

// A presence bitmap of all 2^24 colours (2 MiB, small enough to stay in
// cache), then a rank per 64-bit word: the index of a colour among the
// present ones is its word's rank plus the set bits below it.
toolkit::common::ColourCounter::ColourCounter(ColourBuffers* buffers)
    : buffers_(buffers)
{
    // Each is taken when the buffers hold it: colours counted without
    // buffers may be given back to them, their bitmap without its summary.
    if (buffers != nullptr && buffers->present_.size() == kWords)
        present_ = std::move(buffers->present_);
    else
        present_.assign(kWords, 0);
    if (buffers != nullptr && buffers->occupied_.size() == kWords / 64)
        occupied_ = std::move(buffers->occupied_);
    else
        occupied_.assign(kWords / 64, 0);
}

void toolkit::common::ColourBuffers::recycle(DistinctColours& colours)
{
    if (colours.present.size() != kWords)
        return;
    for (const std::uint32_t key : colours.keys)
        colours.present[key >> 6] = 0;
    present_ = std::move(colours.present);
    rank_ = std::move(colours.rank);
    colours.present.clear();
    colours.rank.clear();
}

void toolkit::common::ColourCounter::mark(const uchar* pixels, std::size_t count)
{
    std::uint64_t* present = present_.data();
    std::uint64_t* occupied = occupied_.data();
    for (std::size_t j = 0; j < count; ++j, pixels += 3) {
        const std::uint32_t key = colourKey(pixels);
        present[key >> 6] |= std::uint64_t(1) << (key & 63);
        occupied[key >> 12] |= std::uint64_t(1) << ((key >> 6) & 63);
    }
}

toolkit::common::DistinctColours toolkit::common::ColourCounter::count(
    const cv::Mat& img, bool countPixels)
{
    requireTypeOrEmpty(img, CV_8UC3, "ColourCounter::count", "img");
    DistinctColours result;
    result.present = std::move(present_);
    std::vector<std::uint32_t>& rank = result.rank;
    if (buffers_ != nullptr)
        rank = std::move(buffers_->rank_);
    rank.resize(kWords);
    // The ranks of the words that hold colours (the others are never looked
    // at), then their keys, in order.
    std::uint32_t running = 0;
    for (std::size_t o = 0; o < occupied_.size(); ++o)
        for (std::uint64_t words = occupied_[o]; words != 0; words &= words - 1) {
            const std::size_t w = o * 64 + std::size_t(__builtin_ctzll(words));
            rank[w] = running;
            running += portablePopcount64(result.present[w]);
        }
    result.keys.resize(running);
    std::uint32_t* key = result.keys.data();
    for (std::size_t o = 0; o < occupied_.size(); ++o)
        for (std::uint64_t words = occupied_[o]; words != 0; words &= words - 1) {
            const std::size_t w = o * 64 + std::size_t(__builtin_ctzll(words));
            for (std::uint64_t word = result.present[w]; word != 0; word &= word - 1)
                *key++ = static_cast<std::uint32_t>(w * 64 + __builtin_ctzll(word));
        }
    if (buffers_ != nullptr) {
        std::fill(occupied_.begin(), occupied_.end(), 0);
        buffers_->occupied_ = std::move(occupied_);
    }

    result.counts.assign(result.keys.size(), 0);
    if (countPixels)
        for (int i = 0; i < img.rows; ++i)
            countColourPixels(
                result, img.ptr<uchar>(i), std::size_t(img.cols), result.counts.data());
    return result;
}

cv::Mat toolkit::common::readCountingColours(const std::string& path, std::string& error,
    DistinctColours& colours, bool countPixels, ProfileHandling profiles, ImageFacts* facts,
    ColourBuffers* buffers)
{
    ColourCounter counter(buffers);
    ReadOptions options;
    options.profiles = profiles;
    options.onRows = [&](const uchar* pixels, std::size_t count) { counter.mark(pixels, count); };
    cv::Mat img = readPhotograph(path, error, facts, options);
    if (!img.empty())
        colours = counter.count(img, countPixels);
    return img;
}
