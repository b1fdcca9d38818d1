// Times the flash-exposures example on the sample pair (samples/flash.png and
// samples/noflash.png, 600 x 400): the best and the median wall time of
// several runs, and the peak resident memory. Each run writes its stack into
// a fresh directory, as a first run would.
//
// Usage: bench_flash_exposures [--repeats K] [binary ...]
// With no binary named, the one built with the project is timed. Naming
// others (an earlier build, say) times them in the same rounds, one after the
// other, so that a busy moment of the machine weighs on all of them alike.

#include "ProgramRun.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// What one run of the program cost, and whether it succeeded (exit status 0).
struct Cost {
    std::chrono::duration<double> wall {};
    long peakKiB = 0;
    bool succeeded = false;
};

// One run of `binary` on the sample pair, its outputs in outputDir, standard
// output discarded.
Cost runOnSamples(const std::string& binary, const fs::path& outputDir)
{
    const bench::ProgramRun run = bench::runProgram(binary,
        { SAMPLES_DIR "/flash.png", SAMPLES_DIR "/noflash.png", "bench", outputDir.string() }, "");
    Cost cost;
    cost.wall = std::chrono::duration<double>(run.seconds);
    cost.peakKiB = run.peakKiB;
    cost.succeeded = run.status == 0;
    return cost;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
}

} // namespace

int main(int argc, char** argv)
{
    int repeats = 5;
    std::vector<std::string> binaries;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--repeats" && i + 1 < argc)
            repeats = std::max(1, std::atoi(argv[++i]));
        else
            binaries.push_back(arg);
    }
    if (binaries.empty())
        binaries = { FLASH_EXPOSURES_BINARY };

    const fs::path dir
        = fs::temp_directory_path() / ("toolkit-bench-flash-" + std::to_string(::getpid()));
    fs::create_directories(dir);

    // A first run of each warms the page cache and the libraries.
    for (std::size_t b = 0; b < binaries.size(); ++b) {
        if (!runOnSamples(binaries[b], dir / ("warm-" + std::to_string(b))).succeeded) {
            std::cerr << "bench: " << binaries[b] << " failed" << std::endl;
            fs::remove_all(dir);
            return 1;
        }
    }

    std::vector<std::vector<double>> seconds(binaries.size());
    std::vector<long> peakKiB(binaries.size(), 0);
    for (int k = 0; k < repeats; ++k) {
        for (std::size_t b = 0; b < binaries.size(); ++b) {
            const fs::path out = dir / ("run-" + std::to_string(b) + "-" + std::to_string(k));
            const Cost run = runOnSamples(binaries[b], out);
            fs::remove_all(out);
            if (!run.succeeded) {
                std::cerr << "bench: " << binaries[b] << " failed" << std::endl;
                fs::remove_all(dir);
                return 1;
            }
            seconds[b].push_back(run.wall.count());
            peakKiB[b] = std::max(peakKiB[b], run.peakKiB);
        }
    }
    fs::remove_all(dir);

    std::printf("flash-exposures on the 600 x 400 sample pair, %d runs each\n", repeats);
    for (std::size_t b = 0; b < binaries.size(); ++b) {
        const double best = *std::min_element(seconds[b].begin(), seconds[b].end());
        std::printf("%-40s best %.3f s   median %.3f s   peak memory %4.0f MiB\n",
            binaries[b].c_str(), best, median(seconds[b]), peakKiB[b] / 1024.0);
    }
    return 0;
}
