// A colour's position among the distinct colours by the processor's
// population count, for the loops that look up every pixel, and the macro
// that builds such loops for processors with and without the instruction.
// Internal to toolkit/common and to the programs built with it in this tree.
#pragma once

#include "toolkit/common/DistinctColours.hpp"

#include <cstddef>
#include <cstdint>

// Loops that look colours up by colourIndex() run best with the processor's
// population count; this builds such a function twice, with and without it,
// and picks one at load time (GCC, and Clang from 14, on x86-64 ELF). GCC's
// clones cannot pass an exception on (one thrown through them ends the
// process), so only loops that neither allocate nor throw may be built so:
// mark them noexcept. Clang 14 gives a clone's resolver external linkage even
// in an unnamed namespace: each cloned function needs a name of its own in
// the program.
#if defined(__x86_64__) && defined(__ELF__) && defined(__has_attribute)
#if __has_attribute(target_clones)
#define TOOLKIT_POPCOUNT_CLONES __attribute__((target_clones("popcnt", "default")))
#endif
#endif
#ifndef TOOLKIT_POPCOUNT_CLONES
#define TOOLKIT_POPCOUNT_CLONES
#endif

namespace toolkit {
namespace common {

// The set bits of a word.
inline unsigned popcount64(std::uint64_t word) noexcept
{
#if defined(__GNUC__) || defined(__clang__)
    return static_cast<unsigned>(__builtin_popcountll(word));
#else
    word = word - ((word >> 1) & 0x5555555555555555u);
    word = (word & 0x3333333333333333u) + ((word >> 2) & 0x3333333333333333u);
    word = (word + (word >> 4)) & 0x0f0f0f0f0f0f0f0fu;
    return static_cast<unsigned>((word * 0x0101010101010101u) >> 56);
#endif
}

// DistinctColours::index, inline: the colour's word's rank plus the colours
// present below it in that word.
inline std::size_t colourIndex(const DistinctColours& colours, std::uint32_t key) noexcept
{
    const std::uint64_t below = colours.present[key >> 6] & ((std::uint64_t(1) << (key & 63)) - 1);
    return colours.rank[key >> 6] + static_cast<std::size_t>(popcount64(below));
}

} // namespace common
} // namespace toolkit
