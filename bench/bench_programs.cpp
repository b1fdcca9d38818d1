// Times the programs on a generated pair of 12-megapixel JPEG photographs and
// compares each run with the time it takes only to decode the same two files,
// measured in the same run. Also reports each program's peak resident memory.
//
// Usage: bench_programs [--megapixels N] [--repeats K] [program ...]
// With no program named, every program built with the project is timed.

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
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

struct ProgramRun {
    double seconds = 0.0;
    long peakKiB = 0;
    int status = -1;
};

double now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// An upscaled sample with sensor-like noise, so that it holds about as many
// distinct colours as a real photograph of that size.
cv::Mat makeLargePhoto(const std::string& sample, cv::Size size, unsigned seed)
{
    const cv::Mat small = cv::imread(sample, cv::IMREAD_COLOR);
    if (small.empty()) {
        std::cerr << "bench: cannot read " << sample << std::endl;
        std::exit(1);
    }
    cv::Mat big;
    cv::resize(small, big, size, 0, 0, cv::INTER_CUBIC);
    cv::Mat noise(big.size(), CV_16SC3);
    cv::RNG rng(seed);
    rng.fill(noise, cv::RNG::NORMAL, cv::Scalar::all(0), cv::Scalar::all(3));
    cv::Mat noisy;
    big.convertTo(noisy, CV_16SC3);
    noisy += noise;
    noisy.convertTo(big, CV_8UC3);
    return big;
}

ProgramRun runProgram(const std::string& binary, const std::vector<std::string>& args,
                      const std::string& workDir)
{
    ProgramRun result;
    const double start = now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::chdir(workDir.c_str()) != 0)
            ::_exit(126);
        const int devnull = ::open("/dev/null", O_WRONLY);
        ::dup2(devnull, 1);
        std::vector<char*> argv { const_cast<char*>(binary.c_str()) };
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(binary.c_str(), argv.data());
        ::_exit(127);
    }
    int status = 0;
    struct rusage usage {};
    ::wait4(pid, &status, 0, &usage);
    result.seconds = now() - start;
    result.peakKiB = usage.ru_maxrss;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

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
    double megapixels = 12.0;
    int repeats = 3;
    std::vector<std::string> programs;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--megapixels" && i + 1 < argc)
            megapixels = std::atof(argv[++i]);
        else if (arg == "--repeats" && i + 1 < argc)
            repeats = std::max(1, std::atoi(argv[++i]));
        else
            programs.push_back(arg);
    }
    if (programs.empty())
        programs = { LAB_COMPARE_BINARY, PERCEPTUAL_METRICS_BINARY };

    const fs::path dir = fs::temp_directory_path() / ("toolkit-bench-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const int cols = int(std::lround(std::sqrt(megapixels * 1e6 * 4.0 / 3.0)));
    const int rows = int(std::lround(megapixels * 1e6 / cols));
    const std::string first = (dir / "first.jpg").string();
    const std::string second = (dir / "second.jpg").string();
    const std::vector<int> quality { cv::IMWRITE_JPEG_QUALITY, 92 };
    cv::imwrite(first, makeLargePhoto(SAMPLES_DIR "/coffee.png", cv::Size(cols, rows), 1), quality);
    cv::imwrite(second, makeLargePhoto(SAMPLES_DIR "/chelsea.png", cv::Size(cols, rows), 2), quality);
    std::printf("pair: two %d x %d JPEG photographs (%.1f megapixels each)\n", cols, rows,
                cols * double(rows) / 1e6);

    // Warm the page cache and the libraries' first-use costs.
    decodeSeconds(first, second);

    for (const auto& program : programs) {
        double bestRun = 1e30;
        double bestDecode = 1e30;
        long peak = 0;
        for (int k = 0; k < repeats; ++k) {
            bestDecode = std::min(bestDecode, decodeSeconds(first, second));
            const ProgramRun run = runProgram(program, { first, second }, dir.string());
            if (run.status != 0) {
                std::cerr << "bench: " << program << " exited with " << run.status << std::endl;
                return 1;
            }
            bestRun = std::min(bestRun, run.seconds);
            peak = std::max(peak, run.peakKiB);
        }
        std::printf("%-22s wall %.3f s   decode only %.3f s   ratio %.2f   peak memory %.0f MiB\n",
                    fs::path(program).filename().c_str(), bestRun, bestDecode, bestRun / bestDecode,
                    peak / 1024.0);
    }
    fs::remove_all(dir);
    return 0;
}
