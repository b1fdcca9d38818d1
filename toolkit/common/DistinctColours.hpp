// The distinct colours of an 8-bit BGR image with their pixel counts. Per-pixel
// colour operations that depend on nothing but the colour can run once per
// distinct colour and be weighted by the count: a photograph of 12 million
// pixels typically holds a few hundred thousand colours.
#pragma once

#include "toolkit/common/ImageReader.hpp"

#include <opencv2/core.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace toolkit {
namespace common {

struct DistinctColours {
    // Colours in increasing key order, key = B | G << 8 | R << 16.
    std::vector<std::uint32_t> keys;
    // Pixels of each colour.
    std::vector<std::uint32_t> counts;

    // The colours as a CV_8UC3 image of `width` columns, in key order and row
    // by row; the cells after the last colour repeat the last colour, so that
    // the image holds no colour the counted image lacks. A width below 1
    // raises cv::Exception.
    cv::Mat asImage(int width) const;

    // Position in `keys` of a colour of the counted image, in constant time.
    std::size_t index(std::uint32_t key) const;

    // Presence bitmap of all 2^24 colours and, per 64-bit word that holds a
    // colour, the number of colours present before it (the entries of the
    // other words are unspecified).
    std::vector<std::uint64_t> present;
    std::vector<std::uint32_t> rank;
};

// The key of a BGR pixel.
inline std::uint32_t colourKey(const uchar* bgr)
{
    return std::uint32_t(bgr[0]) | (std::uint32_t(bgr[1]) << 8) | (std::uint32_t(bgr[2]) << 16);
}

// Counts the colours of a CV_8UC3 image (any size, including empty).
// Images of 2^32 pixels or more are not supported; an image of another type
// raises cv::Exception.
DistinctColours countDistinctColours(const cv::Mat& img);

// Memory for counting the colours of one image after another: the colour
// bitmap (2 MiB), its summary and the words' ranks (1 MiB), kept between
// images, the bitmaps zeroed, so that an image clears only the words its
// colours used instead of allocating and zeroing them whole. Used by one
// thread at a time.
class ColourBuffers {
public:
    // Takes back the bitmap and ranks of counted colours that are no longer
    // needed (their present and rank are left empty; keys and counts stay).
    void recycle(DistinctColours& colours);

private:
    friend class ColourCounter;
    std::vector<std::uint64_t> present_, occupied_; // all zero, or empty
    std::vector<std::uint32_t> rank_;
};

// countDistinctColours in two steps, so that the first can run on each row
// while the image is decoded: mark() every pixel of the image (in any order,
// any number of times), then count() the whole image once. With buffers, the
// counter takes its memory from them and gives back what it alone used.
class ColourCounter {
public:
    explicit ColourCounter(ColourBuffers* buffers = nullptr);
    // Notes the colours of `count` BGR pixels at `pixels`.
    void mark(const uchar* pixels, std::size_t count);
    // The colours of the CV_8UC3 image whose pixels were all marked, and only
    // they; the counter is used up. With countPixels false the counts are
    // left 0, for a caller that visits every pixel anyway and counts there.
    DistinctColours count(const cv::Mat& img, bool countPixels = true);

private:
    ColourBuffers* buffers_;
    std::vector<std::uint64_t> present_;
    // One bit per word of present_ that holds a colour, so that counting
    // visits those words alone.
    std::vector<std::uint64_t> occupied_;
};

// readPhotograph, counting the colours of each row as it is decoded: the
// image, with its colours in `colours` (as ColourCounter::count gives them)
// and what the reader found in `facts` (when given); an empty image, with the
// reason in `error`, when it cannot be read. The counter's memory comes from
// `buffers` when given.
cv::Mat readCountingColours(const std::string& path, std::string& error, DistinctColours& colours,
    bool countPixels = true, ProfileHandling profiles = ProfileHandling::Convert,
    ImageFacts* facts = nullptr, ColourBuffers* buffers = nullptr);

} // namespace common
} // namespace toolkit
