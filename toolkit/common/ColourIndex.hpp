// A colour's position among the distinct colours, for the loops that look up
// every pixel. Internal to toolkit/common and to the programs built with it in
// this tree, and to its tests and benchmarks.
#pragma once

#include "toolkit/common/DistinctColours.hpp"

#include <cstddef>
#include <cstdint>

namespace toolkit {
namespace common {

// The set bits of a word by shifts, masks and one multiplication: inline
// code, where a build for every processor would call the compiler's runtime.
inline unsigned portablePopcount64(std::uint64_t word) noexcept
{
    word = word - ((word >> 1) & 0x5555555555555555u);
    word = (word & 0x3333333333333333u) + ((word >> 2) & 0x3333333333333333u);
    word = (word + (word >> 4)) & 0x0f0f0f0f0f0f0f0fu;
    return static_cast<unsigned>((word * 0x0101010101010101u) >> 56);
}

// The set bits of a word.
inline unsigned popcount64(std::uint64_t word) noexcept
{
#if defined(__GNUC__) || defined(__clang__)
    return static_cast<unsigned>(__builtin_popcountll(word));
#else
    return portablePopcount64(word);
#endif
}

// DistinctColours::index, inline: the colour's word's rank plus the colours
// present below it in that word.
inline std::size_t colourIndex(const DistinctColours& colours, std::uint32_t key) noexcept
{
    const std::uint64_t below = colours.present[key >> 6] & ((std::uint64_t(1) << (key & 63)) - 1);
    return colours.rank[key >> 6] + static_cast<std::size_t>(popcount64(below));
}

// The position among `colours` of each of `count` BGR pixels' colours, into
// `indices`; every pixel's colour must be one of the counted image's. On a
// processor with a population count instruction, it is used (bench_colour_loops
// measures both).
void colourIndices(
    const DistinctColours& colours, const uchar* pixels, std::size_t count, std::uint32_t* indices);

// Adds each of `count` BGR pixels to its colour's count in `counts` (one per
// colour, in the colours' order); every pixel's colour must be one of the
// counted image's.
void countColourPixels(
    const DistinctColours& colours, const uchar* pixels, std::size_t count, std::uint32_t* counts);

// Each of the `words` words' rank in a presence bitmap: the number of bits set
// in the words before it. Returns the bits set in all of them.
std::uint32_t rankWords(const std::uint64_t* present, std::size_t words, std::uint32_t* rank);

// A place that colourPlaces gives to a colour not present.
constexpr std::uint32_t kNoColourPlace = ~std::uint32_t(0);

// For each of `count` colour keys, the rank of its word in `rank` plus the
// colours present below it in its word of the presence bitmap `present`
// (2^18 words), into `places`; kNoColourPlace for a colour not present.
void colourPlaces(const std::uint32_t* keys, std::size_t count, const std::uint64_t* present,
    const std::uint32_t* rank, std::uint32_t* places);

// The loops of colourIndices, countColourPixels, rankWords and colourPlaces as
// built for every processor and, where the processor has a population count
// instruction, as built for it.
struct ColourLoops {
    void (*indices)(const uchar* pixels, std::size_t count, const std::uint64_t* present,
        const std::uint32_t* rank, std::uint32_t* indices);
    void (*countPixels)(const uchar* pixels, std::size_t count, const std::uint64_t* present,
        const std::uint32_t* rank, std::uint32_t* counts);
    std::uint32_t (*rankWords)(
        const std::uint64_t* present, std::size_t words, std::uint32_t* rank);
    void (*places)(const std::uint32_t* keys, std::size_t count, const std::uint64_t* present,
        const std::uint32_t* rank, std::uint32_t* places);
};
const ColourLoops& plainColourLoops();
// Null where the loops were not built for the instruction or the processor
// lacks it.
const ColourLoops* popcountColourLoops();

} // namespace common
} // namespace toolkit
