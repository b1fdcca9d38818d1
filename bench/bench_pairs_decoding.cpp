// compare-pairs against decoding alone, on the workload of a study: many
// different ordinary photographs that share part of their colours.
//
//   study   400 different 640 x 480 JPEG photographs (quality 92), cut from
//           the sample photographs by bench::makePhoto (random crops scaled
//           to size, mirrored or not, exposure and white balance changed,
//           sensor-like noise), compared in 200 pairs, each file in one
//           pair: `compare-pairs -j 1` against a program that decodes the
//           same 400 files with cv::imread on one thread (target: within 3x),
//           and `compare-pairs -j 2` against -j 1 (target: at least 1.8x the
//           pairs per second)
//   large   6 different 12-megapixel JPEG photographs (upscaled samples with
//           noise, quality 92) in 3 pairs: `compare-pairs -j 1` against
//           decoding the 6 files (target: within 2x)
//
// Each figure is the best of the repeats, each run of every command in
// turn, so that other work on the machine shows in all alike; processor
// times are printed beside the wall times, and the median of the rounds'
// own ratios beside the ratios of the best times. The -j 1 and -j 2 tables must be
// the same, byte for byte, with a row of status ok for every pair.
//
// Usage: bench_pairs_decoding [--only study|large] [--repeats K] [--photos N]
//                             [--keep]

#include "GeneratedPhotos.hpp"
#include "ProgramRun.hpp"

#include "tests/support/TestSupport.hpp"
#include "toolkit/common/DistinctColours.hpp"

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <unordered_set>
#include <vector>

#include <unistd.h>

namespace fs = std::filesystem;

namespace {

struct Options {
    bool study = true;
    bool large = true;
    int repeats = 5;
    int photos = 400;
    bool keep = false;
};

// Best wall and processor time of a command over the repeats.
struct Best {
    double wall = 1e30;
    double cpu = 1e30;
    std::vector<double> walls; // of each round
    void add(const bench::ProgramRun& run)
    {
        wall = std::min(wall, run.seconds);
        cpu = std::min(cpu, run.cpuSeconds);
        walls.push_back(run.seconds);
    }
};

// The median, lowest and highest of the rounds' ratios of wall times: each
// round's runs follow one another, so a machine that other work slows for a
// while slows both sides of a round's ratio alike.
double reportRounds(const char* what, const Best& numerator, const Best& denominator)
{
    std::vector<double> ratios;
    for (std::size_t k = 0; k < numerator.walls.size() && k < denominator.walls.size(); ++k)
        ratios.push_back(numerator.walls[k] / denominator.walls[k]);
    if (ratios.empty())
        return 0.0;
    std::sort(ratios.begin(), ratios.end());
    const std::size_t n = ratios.size();
    const double median = n % 2 == 1 ? ratios[n / 2] : (ratios[n / 2 - 1] + ratios[n / 2]) / 2.0;
    std::printf("  %-36s median %.2fx (rounds %.2fx to %.2fx)\n", what, median, ratios.front(),
        ratios.back());
    return median;
}

// A target's verdict on the best times' ratio and on the rounds' median.
void verdict(const char* what, double best, double median, double target, bool atMost)
{
    const auto met = [&](double ratio) { return atMost ? ratio <= target : ratio >= target; };
    std::printf("  %s (target %s %.1f): best times %.2fx, %s; rounds' median %.2fx, %s\n", what,
        atMost ? "<=" : ">=", target, best, met(best) ? "met" : "NOT MET", median,
        met(median) ? "met" : "NOT MET");
}

int g_failures = 0;

void fail(const std::string& message)
{
    std::printf("  FAILED: %s\n", message.c_str());
    ++g_failures;
}

void writeLines(const std::string& path, const std::vector<std::string>& lines)
{
    std::ofstream out(path);
    for (const std::string& line : lines)
        out << line << '\n';
}

// Writes photographs into dir and a list of their paths; returns the paths.
std::vector<std::string> writePhotos(const fs::path& dir, const std::vector<cv::Mat>& photos)
{
    std::vector<std::string> files;
    for (std::size_t i = 0; i < photos.size(); ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "photo-%04zu.jpg", i);
        files.push_back((dir / name).string());
        cv::imwrite(files.back(), photos[i], { cv::IMWRITE_JPEG_QUALITY, 92 });
    }
    writeLines((dir / "files.txt").string(), files);
    std::vector<std::string> pairs;
    for (std::size_t i = 0; i + 1 < files.size(); i += 2)
        pairs.push_back(files[i] + "\t" + files[i + 1]);
    writeLines((dir / "pairs.txt").string(), pairs);
    return files;
}

// The distinct colours of the photographs as decoded: per photograph, and
// how many of all of them are different.
void describeColours(const std::vector<std::string>& files)
{
    std::size_t sum = 0;
    std::unordered_set<std::uint32_t> all;
    for (const std::string& file : files) {
        const toolkit::common::DistinctColours colours
            = toolkit::common::countDistinctColours(cv::imread(file, cv::IMREAD_COLOR));
        sum += colours.keys.size();
        all.insert(colours.keys.begin(), colours.keys.end());
    }
    std::printf("  %zu photographs, %.0f distinct colours each on average; %zu different colours "
                "in all (each met in %.1f photographs on average)\n",
        files.size(), double(sum) / double(files.size()), all.size(),
        double(sum) / double(all.size()));
}

struct Timed {
    Best decode, one, two;
};

// Runs the decoding program and compare-pairs with -j 1 (and -j 2) in turn,
// checking their tables.
Timed timeRuns(const Options& o, const fs::path& dir, std::size_t pairs, bool withTwo)
{
    Timed t;
    const std::string list = (dir / "files.txt").string();
    const std::string pairList = (dir / "pairs.txt").string();
    for (int k = 0; k < o.repeats; ++k) {
        const bench::ProgramRun decode
            = bench::runProgram(DECODE_ONLY_BINARY, { "--list", list }, dir.string());
        if (decode.status != 0)
            fail("the decoding program exited with " + std::to_string(decode.status));
        t.decode.add(decode);
        for (const int jobs : { 1, 2 }) {
            if (jobs == 2 && !withTwo)
                continue;
            const std::string table = (dir / ("j" + std::to_string(jobs) + ".csv")).string();
            fs::remove(table);
            const bench::ProgramRun run = bench::runProgram(COMPARE_PAIRS_BINARY,
                { "-j", std::to_string(jobs), "--out", table, pairList }, dir.string());
            if (run.status != 0)
                fail("compare-pairs -j " + std::to_string(jobs) + " exited with "
                    + std::to_string(run.status));
            (jobs == 1 ? t.one : t.two).add(run);
        }
    }
    const std::string one = testsupport::readFile((dir / "j1.csv").string());
    std::size_t ok = 0;
    for (std::size_t at = one.find(",ok,"); at != std::string::npos; at = one.find(",ok,", at + 1))
        ++ok;
    if (ok != pairs)
        fail(std::to_string(ok) + " rows of status ok, expected " + std::to_string(pairs));
    if (withTwo && testsupport::readFile((dir / "j2.csv").string()) != one)
        fail("the tables of -j 1 and -j 2 differ");
    return t;
}

void report(const char* what, const Best& best, const Best& decode)
{
    std::printf("  %-36s %8.3f s wall (%5.2fx decoding) %8.3f s processor (%5.2fx)\n", what,
        best.wall, best.wall / decode.wall, best.cpu, best.cpu / decode.cpu);
}

void benchStudy(const Options& o, const fs::path& root, const std::vector<cv::Mat>& samples)
{
    const fs::path dir = root / "study";
    fs::create_directories(dir);
    std::printf("\n== study: %d different 640 x 480 JPEG photographs (quality 92) in %d pairs, "
                "best of %d ==\n",
        o.photos, o.photos / 2, o.repeats);
    std::vector<cv::Mat> photos;
    for (int i = 0; i < o.photos; ++i) {
        cv::RNG rng(7000 + unsigned(i));
        photos.push_back(bench::makePhoto(samples, cv::Size(640, 480), rng));
    }
    const std::vector<std::string> files = writePhotos(dir, photos);
    describeColours(files);
    const Timed t = timeRuns(o, dir, files.size() / 2, true);
    std::printf("  %-36s %8.3f s wall                     %8.3f s processor\n",
        "decoding the files (cv::imread)", t.decode.wall, t.decode.cpu);
    report("compare-pairs -j 1", t.one, t.decode);
    report("compare-pairs -j 2", t.two, t.decode);
    const double medianRatio = reportRounds("each round, -j 1 over decoding:", t.one, t.decode);
    const double medianSpeedUp = reportRounds("each round, -j 1 over -j 2:", t.one, t.two);
    verdict("-j 1 over decoding", t.one.wall / t.decode.wall, medianRatio, 3.0, true);
    verdict(
        "-j 2 pairs per second over -j 1's", t.one.wall / t.two.wall, medianSpeedUp, 1.8, false);
}

void benchLarge(const Options& o, const fs::path& root, const std::vector<cv::Mat>& samples)
{
    const fs::path dir = root / "large";
    fs::create_directories(dir);
    std::printf(
        "\n== large: 6 different 4000 x 3000 JPEG photographs (quality 92) in 3 pairs, best of "
        "%d ==\n",
        o.repeats);
    std::vector<cv::Mat> photos;
    for (unsigned i = 0; i < 6; ++i)
        photos.push_back(
            bench::makeLargePhoto(samples[i % samples.size()], cv::Size(4000, 3000), 100 + i));
    const std::vector<std::string> files = writePhotos(dir, photos);
    describeColours(files);
    const Timed t = timeRuns(o, dir, 3, false);
    std::printf("  %-36s %8.3f s wall                     %8.3f s processor\n",
        "decoding the files (cv::imread)", t.decode.wall, t.decode.cpu);
    report("compare-pairs -j 1", t.one, t.decode);
    const double medianRatio = reportRounds("each round, -j 1 over decoding:", t.one, t.decode);
    verdict("-j 1 over decoding", t.one.wall / t.decode.wall, medianRatio, 2.0, true);
}

int usage()
{
    std::fprintf(stderr,
        "usage: bench_pairs_decoding [--only study|large] [--repeats K] [--photos N] [--keep]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--only" && i + 1 < argc) {
            const std::string section = argv[++i];
            o.study = section == "study";
            o.large = section == "large";
            if (!o.study && !o.large)
                return usage();
        } else if (arg == "--repeats" && i + 1 < argc) {
            o.repeats = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--photos" && i + 1 < argc) {
            o.photos = std::max(2, std::atoi(argv[++i]) / 2 * 2);
        } else if (arg == "--keep") {
            o.keep = true;
        } else {
            return usage();
        }
    }
    const fs::path root
        = fs::temp_directory_path() / ("toolkit-bench-decoding-" + std::to_string(::getpid()));
    fs::create_directories(root);
    std::ifstream load("/proc/loadavg");
    std::string loadAverage;
    std::getline(load, loadAverage);
    std::printf("machine: %ld cores online, load average %s\n", ::sysconf(_SC_NPROCESSORS_ONLN),
        loadAverage.c_str());
    const std::vector<cv::Mat> samples = bench::loadSamples(SAMPLES_DIR);
    if (o.study)
        benchStudy(o, root, samples);
    if (o.large)
        benchLarge(o, root, samples);
    if (o.keep)
        std::printf("kept %s\n", root.c_str());
    else
        fs::remove_all(root);
    return g_failures == 0 ? 0 : 1;
}
