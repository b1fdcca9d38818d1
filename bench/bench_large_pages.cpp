// Times the single-pair comparisons with OpenCV's own allocator against the
// programs' allocator of large pages (programs/LargePages), on generated pairs
// of JPEG photographs (12 and 48 megapixels by default). Each run is a new
// process of this benchmark that sets the allocator, or not, and then runs
// lab-compare's or perceptual-metrics' own main in a scratch folder; the two
// allocators take turns, so that a busy moment of the machine weighs on both
// alike. Reported per program and size: best wall time, best processor time
// (user and system) and page faults of each allocator, and the large pages'
// times over the usual ones.
//
// Usage: bench_large_pages [--megapixels N[,N...]] [--repeats K]

#include "GeneratedPhotos.hpp"
#include "ProgramRun.hpp"

#include "programs/LargePages.hpp"
#include "programs/lab-compare/Program.hpp"
#include "programs/metrics/Program.hpp"

#include <opencv2/core/utils/logger.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// What a run of this benchmark as a child does: bench_large_pages --run
// large|usual lab|metrics FIRST SECOND.
int runChild(char** argv)
{
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    if (std::strcmp(argv[2], "large") == 0)
        programs::useLargePagesForImages();
    char* programArgs[] = { argv[3], argv[4], argv[5], nullptr };
    return std::strcmp(argv[3], "lab") == 0 ? labcompare::mainBhattacharya(3, programArgs)
                                            : metrics::runProgram(3, programArgs);
}

struct Best {
    double seconds = 1e30;
    double cpuSeconds = 1e30;
    long faults = 0;
};

} // namespace

int main(int argc, char** argv)
{
    if (argc == 6 && std::strcmp(argv[1], "--run") == 0)
        return runChild(argv);

    std::vector<double> sizes { 12.0, 48.0 };
    int repeats = 5;
    if (!bench::sizesAndRepeats(argc, argv, 1, sizes, repeats,
            "usage: bench_large_pages [--megapixels N[,N...]] [--repeats K]\n"))
        return 2;
    const std::string self = fs::canonical("/proc/self/exe").string();
    const fs::path dir
        = fs::temp_directory_path() / ("toolkit-bench-large-pages-" + std::to_string(::getpid()));
    fs::create_directories(dir);

    const char* const programs[] = { "lab", "metrics" };
    const char* const allocators[] = { "usual", "large" };
    int status = 0;
    for (const double megapixels : sizes) {
        const auto [first, second] = bench::makePair(dir, SAMPLES_DIR, megapixels);
        for (const char* program : programs) {
            Best best[2];
            // One run of each beforehand warms the page cache.
            for (int k = -1; k < repeats; ++k)
                for (int a = 0; a < 2; ++a) {
                    const bench::ProgramRun run = bench::runProgram(
                        self, { "--run", allocators[a], program, first, second }, dir.string());
                    if (run.status != 0) {
                        std::cerr << "bench: " << program << " with the " << allocators[a]
                                  << " allocator exited with " << run.status << std::endl;
                        status = 1;
                    }
                    if (k < 0)
                        continue;
                    best[a].seconds = std::min(best[a].seconds, run.seconds);
                    best[a].cpuSeconds = std::min(best[a].cpuSeconds, run.cpuSeconds);
                    best[a].faults = run.minorFaults;
                }
            const char* name = program[0] == 'l' ? "lab-compare" : "perceptual-metrics";
            for (int a = 0; a < 2; ++a)
                std::printf("%-18s %-5s pages  wall %.3f s   processor %.3f s   page faults %6ld\n",
                    name, a == 0 ? "usual" : "large", best[a].seconds, best[a].cpuSeconds,
                    best[a].faults);
            std::printf("%-18s large over usual: wall %.2f, processor %.2f\n", name,
                best[1].seconds / best[0].seconds, best[1].cpuSeconds / best[0].cpuSeconds);
        }
    }
    fs::remove_all(dir);
    return status;
}
