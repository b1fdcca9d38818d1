// The loops of ColourLoops.cpp, built for processors with a population count
// instruction (this file alone is compiled with -mpopcnt) and run only on
// them. It includes no header with inline functions of its own, so that no
// copy of one built for the instruction can stand in for the usual build
// elsewhere in the program.
#include <cstddef>
#include <cstdint>

namespace toolkit {
namespace common {
namespace popcnt {

void indices(const unsigned char* pixels, std::size_t count, const std::uint64_t* present,
    const std::uint32_t* rank, std::uint32_t* indices)
{
    for (std::size_t j = 0; j < count; ++j, pixels += 3) {
        const std::uint32_t key = std::uint32_t(pixels[0]) | (std::uint32_t(pixels[1]) << 8)
            | (std::uint32_t(pixels[2]) << 16);
        const std::uint64_t below = present[key >> 6] & ((std::uint64_t(1) << (key & 63)) - 1);
        indices[j] = rank[key >> 6] + static_cast<std::uint32_t>(__builtin_popcountll(below));
    }
}

void countPixels(const unsigned char* pixels, std::size_t count, const std::uint64_t* present,
    const std::uint32_t* rank, std::uint32_t* counts)
{
    for (std::size_t j = 0; j < count; ++j, pixels += 3) {
        const std::uint32_t key = std::uint32_t(pixels[0]) | (std::uint32_t(pixels[1]) << 8)
            | (std::uint32_t(pixels[2]) << 16);
        const std::uint64_t below = present[key >> 6] & ((std::uint64_t(1) << (key & 63)) - 1);
        ++counts[rank[key >> 6] + static_cast<std::uint32_t>(__builtin_popcountll(below))];
    }
}

std::uint32_t rankWords(const std::uint64_t* present, std::size_t words, std::uint32_t* rank)
{
    std::uint32_t running = 0;
    for (std::size_t w = 0; w < words; ++w) {
        rank[w] = running;
        running += static_cast<std::uint32_t>(__builtin_popcountll(present[w]));
    }
    return running;
}

void places(const std::uint32_t* keys, std::size_t count, const std::uint64_t* present,
    const std::uint32_t* rank, std::uint32_t* places)
{
    for (std::size_t k = 0; k < count; ++k) {
        const std::uint32_t key = keys[k];
        const std::uint64_t word = present[key >> 6];
        const std::uint64_t bit = std::uint64_t(1) << (key & 63);
        places[k] = (word & bit) == 0
            ? ~std::uint32_t(0)
            : rank[key >> 6] + static_cast<std::uint32_t>(__builtin_popcountll(word & (bit - 1)));
    }
}

} // namespace popcnt
} // namespace common
} // namespace toolkit
