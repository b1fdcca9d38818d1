// The per-pixel look-up loops for every processor, and the choice, made once,
// of the build of them that the processor runs best.
#include "toolkit/common/ColourIndex.hpp"

namespace toolkit {
namespace common {
namespace popcnt {

// ColourLoopsPopcnt.cpp, built for processors with a population count.
void indices(const uchar* pixels, std::size_t count, const std::uint64_t* present,
    const std::uint32_t* rank, std::uint32_t* indices);
void countPixels(const uchar* pixels, std::size_t count, const std::uint64_t* present,
    const std::uint32_t* rank, std::uint32_t* counts);
std::uint32_t rankWords(const std::uint64_t* present, std::size_t words, std::uint32_t* rank);
void places(const std::uint32_t* keys, std::size_t count, const std::uint64_t* present,
    const std::uint32_t* rank, std::uint32_t* places);

} // namespace popcnt
} // namespace common
} // namespace toolkit

namespace {

using toolkit::common::popcount64;

void plainIndices(const uchar* pixels, std::size_t count, const std::uint64_t* present,
    const std::uint32_t* rank, std::uint32_t* indices)
{
    for (std::size_t j = 0; j < count; ++j, pixels += 3) {
        const std::uint32_t key = toolkit::common::colourKey(pixels);
        const std::uint64_t below = present[key >> 6] & ((std::uint64_t(1) << (key & 63)) - 1);
        indices[j] = rank[key >> 6] + popcount64(below);
    }
}

void plainCountPixels(const uchar* pixels, std::size_t count, const std::uint64_t* present,
    const std::uint32_t* rank, std::uint32_t* counts)
{
    for (std::size_t j = 0; j < count; ++j, pixels += 3) {
        const std::uint32_t key = toolkit::common::colourKey(pixels);
        const std::uint64_t below = present[key >> 6] & ((std::uint64_t(1) << (key & 63)) - 1);
        ++counts[rank[key >> 6] + popcount64(below)];
    }
}

std::uint32_t plainRankWords(const std::uint64_t* present, std::size_t words, std::uint32_t* rank)
{
    std::uint32_t running = 0;
    for (std::size_t w = 0; w < words; ++w) {
        rank[w] = running;
        running += popcount64(present[w]);
    }
    return running;
}

void plainPlaces(const std::uint32_t* keys, std::size_t count, const std::uint64_t* present,
    const std::uint32_t* rank, std::uint32_t* places)
{
    for (std::size_t k = 0; k < count; ++k) {
        const std::uint32_t key = keys[k];
        const std::uint64_t word = present[key >> 6];
        const std::uint64_t bit = std::uint64_t(1) << (key & 63);
        places[k] = (word & bit) == 0 ? toolkit::common::kNoColourPlace
                                      : rank[key >> 6] + popcount64(word & (bit - 1));
    }
}

const toolkit::common::ColourLoops kPlain { plainIndices, plainCountPixels, plainRankWords,
    plainPlaces };

const toolkit::common::ColourLoops& chosenLoops()
{
    static const toolkit::common::ColourLoops* const popcount
        = toolkit::common::popcountColourLoops();
    return popcount != nullptr ? *popcount : kPlain;
}

} // namespace

const toolkit::common::ColourLoops& toolkit::common::plainColourLoops()
{
    return kPlain;
}

const toolkit::common::ColourLoops* toolkit::common::popcountColourLoops()
{
#if defined(TOOLKIT_POPCNT_LOOPS)
    static const ColourLoops loops { popcnt::indices, popcnt::countPixels, popcnt::rankWords,
        popcnt::places };
    static const bool supported = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("popcnt") != 0;
    }();
    return supported ? &loops : nullptr;
#else
    return nullptr;
#endif
}

void toolkit::common::colourIndices(
    const DistinctColours& colours, const uchar* pixels, std::size_t count, std::uint32_t* indices)
{
    chosenLoops().indices(pixels, count, colours.present.data(), colours.rank.data(), indices);
}

void toolkit::common::countColourPixels(
    const DistinctColours& colours, const uchar* pixels, std::size_t count, std::uint32_t* counts)
{
    chosenLoops().countPixels(pixels, count, colours.present.data(), colours.rank.data(), counts);
}

std::uint32_t toolkit::common::rankWords(
    const std::uint64_t* present, std::size_t words, std::uint32_t* rank)
{
    return chosenLoops().rankWords(present, words, rank);
}

void toolkit::common::colourPlaces(const std::uint32_t* keys, std::size_t count,
    const std::uint64_t* present, const std::uint32_t* rank, std::uint32_t* places)
{
    chosenLoops().places(keys, count, present, rank, places);
}
