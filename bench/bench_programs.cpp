// Times the programs on generated pairs of JPEG photographs (12 megapixels by
// default) side by side with a program that only decodes the same two files
// one after the other (bench_decode_only), measured in the same run, and
// reports each program's peak resident memory. The ratio is the program's
// wall time over the decoding program's: below 1, the program costs less than
// reading its two files. The time of decoding the two files inside an already
// running process (no start-up) is printed as well.
//
// Usage: bench_programs [--megapixels N[,N...]] [--repeats K] [--keep DIR] [program ...]
// With no program named, every program built with the project is timed.
// --megapixels 0 gives a 1 x 1 pair: start-up alone. --keep writes the pairs
// into DIR and leaves them there (for profiling).

#include "GeneratedPhotos.hpp"
#include "ProgramRun.hpp"

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

namespace fs = std::filesystem;

namespace {

using bench::now;
using bench::ProgramRun;
using bench::runProgram;

double decodeSeconds(const std::string& a, const std::string& b)
{
    const double start = now();
    const cv::Mat x = cv::imread(a, cv::IMREAD_COLOR);
    const cv::Mat y = cv::imread(b, cv::IMREAD_COLOR);
    const double elapsed = now() - start;
    if (x.empty() || y.empty())
        std::exit(1);
    return elapsed;
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<double> sizes;
    int repeats = 5;
    std::vector<std::string> programs;
    std::string keepDir;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--megapixels" && i + 1 < argc) {
            sizes = bench::numberList(argv[++i]);
        } else if (arg == "--repeats" && i + 1 < argc)
            repeats = std::max(1, std::atoi(argv[++i]));
        else if (arg == "--keep" && i + 1 < argc)
            keepDir = argv[++i];
        else
            programs.push_back(arg);
    }
    if (sizes.empty())
        sizes = { 12.0 };
    if (programs.empty())
        programs = { LAB_COMPARE_BINARY, PERCEPTUAL_METRICS_BINARY };

    const fs::path dir = keepDir.empty()
        ? fs::temp_directory_path() / ("toolkit-bench-" + std::to_string(::getpid()))
        : fs::path(keepDir);
    fs::create_directories(dir);

    for (const double megapixels : sizes) {
        const auto [first, second] = bench::makePair(dir, SAMPLES_DIR, megapixels);
        // Warm the page cache and the libraries' first-use costs.
        decodeSeconds(first, second);
        runProgram(DECODE_ONLY_BINARY, { first, second }, dir.string());

        // Each repeat runs the decoding program and every program once, so
        // that a busy moment of the machine weighs on all of them alike.
        ProgramRun bestDecoder { 1e30, 0, 0 };
        double bestInProcess = 1e30;
        std::vector<ProgramRun> best(programs.size(), ProgramRun { 1e30, 0, 0 });
        for (int k = 0; k < repeats; ++k) {
            bestInProcess = std::min(bestInProcess, decodeSeconds(first, second));
            const ProgramRun decoder
                = runProgram(DECODE_ONLY_BINARY, { first, second }, dir.string());
            bestDecoder.seconds = std::min(bestDecoder.seconds, decoder.seconds);
            bestDecoder.peakKiB = std::max(bestDecoder.peakKiB, decoder.peakKiB);
            for (std::size_t p = 0; p < programs.size(); ++p) {
                const ProgramRun run = runProgram(programs[p], { first, second }, dir.string());
                if (run.status != 0) {
                    std::cerr << "bench: " << programs[p] << " exited with " << run.status
                              << std::endl;
                    return 1;
                }
                best[p].seconds = std::min(best[p].seconds, run.seconds);
                best[p].peakKiB = std::max(best[p].peakKiB, run.peakKiB);
            }
        }
        std::printf(
            "%-22s wall %.3f s                peak memory %4.0f MiB   (inside a process: %.3f s)\n",
            "decode only", bestDecoder.seconds, bestDecoder.peakKiB / 1024.0, bestInProcess);
        for (std::size_t p = 0; p < programs.size(); ++p)
            std::printf("%-22s wall %.3f s   ratio %.2f   peak memory %4.0f MiB\n",
                fs::path(programs[p]).filename().c_str(), best[p].seconds,
                best[p].seconds / bestDecoder.seconds, best[p].peakKiB / 1024.0);
    }
    if (keepDir.empty())
        fs::remove_all(dir);
    return 0;
}
