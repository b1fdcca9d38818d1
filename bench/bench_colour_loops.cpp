// Times the per-pixel look-up loops (toolkit/common/ColourIndex.hpp) as built
// for every processor against their build for processors with a population
// count instruction, on generated JPEG photographs (12 megapixels and
// 640 x 480 by default): the colour index of every pixel, row by row, as the
// programs look pixels up, and the ranks of the 2^24-colour presence bitmap,
// made once per image. Best of the repeats, the two builds taking turns.
//
// Usage: bench_colour_loops [--megapixels N[,N...]] [--repeats K]

#include "GeneratedPhotos.hpp"
#include "ProgramRun.hpp"

#include "toolkit/common/ColourIndex.hpp"
#include "toolkit/common/DistinctColours.hpp"

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include <unistd.h>

namespace fs = std::filesystem;
namespace common = toolkit::common;

namespace {

struct Times {
    double indices = 1e30;
    double rank = 1e30;
};

// One timing of each loop; `sum` keeps the results alive.
void timeLoops(const common::ColourLoops& loops, const cv::Mat& img,
    const common::DistinctColours& colours, Times& best, std::uint64_t& sum)
{
    std::vector<std::uint32_t> indices(std::size_t(img.cols));
    double start = bench::now();
    for (int i = 0; i < img.rows; ++i) {
        loops.indices(img.ptr<uchar>(i), indices.size(), colours.present.data(),
            colours.rank.data(), indices.data());
        sum += indices[std::size_t(i) % indices.size()];
    }
    best.indices = std::min(best.indices, bench::now() - start);

    std::vector<std::uint32_t> rank(colours.rank.size());
    start = bench::now();
    sum += loops.rankWords(colours.present.data(), colours.present.size(), rank.data());
    best.rank = std::min(best.rank, bench::now() - start);
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<double> sizes { 12.0, 0.3072 };
    int repeats = 7;
    if (!bench::sizesAndRepeats(argc, argv, 1, sizes, repeats,
            "usage: bench_colour_loops [--megapixels N[,N...]] [--repeats K]\n"))
        return 2;
    const common::ColourLoops* popcount = common::popcountColourLoops();
    if (popcount == nullptr) {
        std::printf("the loops for the population count instruction are not built or not run "
                    "here: nothing to compare\n");
        return 0;
    }
    const fs::path dir
        = fs::temp_directory_path() / ("toolkit-bench-colour-loops-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    std::uint64_t sum = 0;
    for (const double megapixels : sizes) {
        const std::string path = bench::makePair(dir, SAMPLES_DIR, megapixels).second;
        const cv::Mat img = cv::imread(path, cv::IMREAD_COLOR);
        const common::DistinctColours colours = common::countDistinctColours(img);
        Times plain, popcnt;
        for (int k = 0; k < repeats; ++k) {
            timeLoops(common::plainColourLoops(), img, colours, plain, sum);
            timeLoops(*popcount, img, colours, popcnt, sum);
        }
        std::printf("%zu colours\n", colours.keys.size());
        std::printf("  index of every pixel   plain %7.2f ms   popcnt %7.2f ms   ratio %.2f\n",
            plain.indices * 1e3, popcnt.indices * 1e3, popcnt.indices / plain.indices);
        std::printf("  ranks of the bitmap    plain %7.2f ms   popcnt %7.2f ms   ratio %.2f\n",
            plain.rank * 1e3, popcnt.rank * 1e3, popcnt.rank / plain.rank);
    }
    fs::remove_all(dir);
    return sum == 0 ? 1 : 0;
}
