// Times compare-pairs, the program that compares a whole list of pairs in one
// process, against what it replaces: the two single-pair programs started once
// per pair. Three sections, each measured in the same run:
//
//   batch   pairs of 640 x 480 JPEG photographs (default 200): pairs per second
//           of `compare-pairs -j 2 --metrics perceptual,lab` against
//           `xargs -P 2` starting a two-line sh script per pair that runs
//           perceptual-metrics and then lab-compare (target: 10 times as many
//           pairs per second)
//   large   one pair of 12-megapixel JPEG photographs: compare-pairs on a
//           one-line list against perceptual-metrics followed by lab-compare
//           (target: no slower than the two together); median of the repeats
//   memory  peak resident memory of compare-pairs on a list of 100,000 lines
//           of small images against a list of 1,000 lines of the same images
//           (target: the peak does not grow with the length of the list)
//
// Each compare-pairs run is also checked: exit status 0, one CSV row per pair,
// no files left in its working directory, and for a few pairs the same figures
// as the single-pair programs print. A failed check is reported as a warning,
// the sections go on, and the benchmark exits with status 1 at the end.
// Targets that are missed are reported only.
//
// Usage: bench_compare_pairs [--only SECTION[,SECTION...]] [--repeats K] [--quick]
//                            [--pairs N] [--lines N] [--images N] [--megapixels N] [--jobs N]
//                            [--bin-dir DIR] [--keep]
//   --only      batch, large and/or memory (default: all three)
//   --repeats   runs of each timed command in batch and large (default 3);
//               the median is reported
//   --quick     40 pairs, 10,000 lines, one repeat
//   --pairs     pairs in the batch section (default 200)
//   --lines     lines of the long list in the memory section (default 100,000)
//   --images    distinct images the memory section's lists are made of (default 50)
//   --megapixels  size of each photograph of the large pair (default 12)
//   --jobs      -j of compare-pairs and -P of xargs (default 2)
//   --bin-dir   take compare-pairs, perceptual-metrics and lab-compare from DIR
//               instead of this build
//   --keep      keep the generated images and outputs (the directory is printed)

#include "GeneratedPhotos.hpp"
#include "ProgramRun.hpp"

#include "programs/compare-pairs/Table.hpp"
#include "tests/support/TestSupport.hpp"

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

using bench::loadSamples;
using bench::makeLargePhoto;
using bench::makePhoto;
using bench::now;
using bench::ProgramRun;
using bench::runProgram;
using testsupport::readFile;

struct Options {
    bool batch = true;
    bool large = true;
    bool memory = true;
    int repeats = 3;
    int pairs = 200;
    int lines = 100000;
    int shortLines = 1000;
    int images = 50;
    double megapixels = 12.0;
    int jobs = 2;
    bool keep = false;
    std::string comparePairs = COMPARE_PAIRS_BINARY;
    std::string perceptualMetrics = PERCEPTUAL_METRICS_BINARY;
    std::string labCompare = LAB_COMPARE_BINARY;
};

// Problems with what a program produced; the benchmark exits with 1 when any.
std::vector<std::string> g_warnings;

void warn(const std::string& message)
{
    if (std::find(g_warnings.begin(), g_warnings.end(), message) != g_warnings.end())
        return; // the same failure on a repeat
    std::printf("  WARNING: %s\n", message.c_str());
    std::fflush(stdout);
    g_warnings.push_back(message);
}

double median(std::vector<double> values)
{
    if (values.empty())
        return 0.0;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : 0.5 * (values[n / 2 - 1] + values[n / 2]);
}

double mib(long kib)
{
    return kib / 1024.0;
}

std::string describeStatus(int status)
{
    if (status > 128)
        return "was killed by signal " + std::to_string(status - 128);
    return "exited with " + std::to_string(status);
}

// The first lines of a log file, for a failed run's warning.
std::string head(const std::string& path, int maxLines = 3)
{
    std::ifstream in(path);
    std::string line;
    std::string text;
    for (int i = 0; i < maxLines && std::getline(in, line); ++i)
        text += (i ? " | " : "") + line;
    return text.empty() ? "(nothing on standard error)" : text;
}

// A fresh, empty directory.
std::string freshDir(const fs::path& path)
{
    fs::remove_all(path);
    fs::create_directories(path);
    return path.string();
}

std::string shellQuote(const std::string& s)
{
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// The fields of one line of a table, as compare-pairs reads them; a quote
// left open runs to the end of the line.
std::vector<std::string> csvFields(const std::string& line)
{
    std::vector<std::string> fields;
    comparepairs::parseCsvLine(line, fields);
    return fields;
}

std::vector<double> parseFigures(const std::string& text)
{
    std::vector<double> values;
    std::stringstream in(text);
    std::string field;
    while (std::getline(in, field, ',')) {
        char* end = nullptr;
        const double v = std::strtod(field.c_str(), &end);
        if (end == field.c_str())
            break;
        values.push_back(v);
    }
    return values;
}

// What a compare-pairs table holds. Rows are kept only when asked for.
struct Table {
    bool opened = false;
    std::string header;
    size_t rows = 0;
    std::map<std::string, size_t> statuses;
    std::vector<std::vector<std::string>> kept;
    std::vector<std::string> columns;
};

Table readTable(const std::string& path, bool keepRows)
{
    Table table;
    std::ifstream in(path);
    if (!in)
        return table;
    table.opened = true;
    std::string line;
    if (!std::getline(in, line))
        return table;
    table.header = line;
    table.columns = csvFields(line);
    const auto statusAt = std::find(table.columns.begin(), table.columns.end(), "status");
    const size_t statusColumn
        = statusAt == table.columns.end() ? 2 : size_t(statusAt - table.columns.begin());
    while (std::getline(in, line)) {
        if (line.empty() || line == "\r")
            continue;
        ++table.rows;
        std::vector<std::string> fields = csvFields(line);
        table.statuses[statusColumn < fields.size() ? fields[statusColumn]
                                                    : std::string("(missing)")]++;
        if (keepRows)
            table.kept.push_back(std::move(fields));
    }
    return table;
}

std::string describeStatuses(const Table& table)
{
    std::string text;
    for (const auto& [status, count] : table.statuses)
        text += (text.empty() ? "" : ", ") + (status.empty() ? std::string("(empty)") : status)
            + " " + std::to_string(count);
    return text;
}

// Checks one compare-pairs run: exit status, the CSV's header and rows, and
// that nothing but the table was left in its working directory.
Table checkRun(const std::string& what, const ProgramRun& run, const std::string& csv,
    size_t expectedRows, const std::string& workDir, const std::string& stderrPath, bool keepRows)
{
    if (run.status != 0)
        warn(what + ": compare-pairs " + describeStatus(run.status) + ": " + head(stderrPath));
    Table table = readTable(csv, keepRows);
    if (!table.opened) {
        warn(what + ": no table was written to " + csv);
        return table;
    }
    const std::string expectedHeader
        = "first,second,status,Q,J,C,M,s,L,ab,a,b,first_size,first_bits,first_profile,"
          "first_reading,first_white,second_size,second_bits,second_profile,second_reading,"
          "second_white";
    if (table.header != expectedHeader)
        warn(what + ": table header is \"" + table.header + "\", expected \"" + expectedHeader
            + "\"");
    if (table.rows != expectedRows)
        warn(what + ": table has " + std::to_string(table.rows) + " data rows, expected "
            + std::to_string(expectedRows));
    std::string left;
    for (const auto& entry : fs::directory_iterator(workDir))
        if (entry.path() != fs::path(csv))
            left += (left.empty() ? "" : ", ") + entry.path().filename().string();
    if (!left.empty())
        warn(what + ": compare-pairs left files in its working directory: " + left);
    return table;
}

// Compares the figures of compare-pairs' row for FIRST,SECOND with those the
// two single-pair programs printed. Returns false, after a warning, on a mismatch.
bool figuresAgree(const std::string& what, const Table& table, const std::string& first,
    const std::string& second, const std::vector<double>& perceptual,
    const std::vector<double>& lab, double* maxDifference)
{
    auto column = [&](const std::string& label, size_t fallback) {
        const auto at = std::find(table.columns.begin(), table.columns.end(), label);
        return at == table.columns.end() ? fallback : size_t(at - table.columns.begin());
    };
    const std::vector<std::string> labels { "Q", "J", "C", "M", "s", "L", "ab" };
    std::vector<double> expected = perceptual;
    expected.insert(expected.end(), lab.begin(), lab.end());
    if (expected.size() != labels.size()) {
        warn(what + ": the single-pair programs printed " + std::to_string(perceptual.size())
            + " + " + std::to_string(lab.size()) + " figures for " + first + ", expected 5 + 2");
        return false;
    }
    const size_t firstColumn = column("first", 0);
    const size_t secondColumn = column("second", 1);
    for (const auto& row : table.kept) {
        if (row.size() <= std::max(firstColumn, secondColumn) || row[firstColumn] != first
            || row[secondColumn] != second)
            continue;
        std::string mismatch;
        for (size_t i = 0; i < labels.size(); ++i) {
            const size_t c = column(labels[i], 3 + i);
            const std::string field = c < row.size() ? row[c] : std::string();
            char* end = nullptr;
            const double v = std::strtod(field.c_str(), &end);
            const double difference
                = end == field.c_str() ? static_cast<double>(INFINITY) : std::fabs(v - expected[i]);
            *maxDifference = std::max(*maxDifference, difference);
            // Both sides are printed with six significant digits.
            if (!(difference <= 1e-5 + 1e-5 * std::fabs(expected[i]))) {
                char buffer[160];
                std::snprintf(buffer, sizeof buffer, " %s \"%s\" against %g;", labels[i].c_str(),
                    field.c_str(), expected[i]);
                mismatch += buffer;
            }
        }
        if (!mismatch.empty()) {
            warn(what + ": figures differ from the single-pair programs for "
                + fs::path(first).filename().string() + " / " + fs::path(second).filename().string()
                + ":" + mismatch);
            return false;
        }
        return true;
    }
    warn(what + ": no row for " + first + " / " + second);
    return false;
}

// Other work on the machine skews every figure; the load average shows it.
std::string loadAverage()
{
    std::ifstream in("/proc/loadavg");
    double one = 0, five = 0, fifteen = 0;
    if (!(in >> one >> five >> fifteen))
        return "unknown";
    char text[64];
    std::snprintf(text, sizeof text, "%.2f %.2f %.2f", one, five, fifteen);
    return text;
}

// Reads every file once, so that the timed runs find them in the page cache.
void warmCache(const std::vector<std::string>& files)
{
    std::vector<char> buffer(1 << 20);
    for (const auto& f : files) {
        std::ifstream in(f, std::ios::binary);
        while (in.read(buffer.data(), std::streamsize(buffer.size())))
            ;
    }
}

void writePairs(const std::string& path,
    const std::vector<std::pair<std::string, std::string>>& pairs, size_t count)
{
    std::ofstream out(path);
    for (size_t i = 0; i < count && i < pairs.size(); ++i)
        out << pairs[i].first << '\t' << pairs[i].second << '\n';
    if (!out) {
        std::cerr << "bench: cannot write " << path << std::endl;
        std::exit(1);
    }
}

size_t countLines(const std::string& path)
{
    std::ifstream in(path);
    std::string line;
    size_t n = 0;
    while (std::getline(in, line))
        n += !line.empty();
    return n;
}

// A target is met only by a run that passed its checks.
std::string verdict(bool ran, bool met)
{
    return !ran ? "NOT MET (compare-pairs failed)" : met ? "met" : "NOT MET";
}

struct Summary {
    std::vector<std::string> lines;
};

// ---------------------------------------------------------------------------

void benchBatch(
    const Options& o, const fs::path& root, const std::vector<cv::Mat>& samples, Summary& summary)
{
    const int n = o.pairs;
    std::printf(
        "\n== batch: %d pairs of 640 x 480 JPEG photographs, -j/-P %d, median of %d run%s ==\n", n,
        o.jobs, o.repeats, o.repeats == 1 ? "" : "s");
    const fs::path dir = root / "batch";
    const std::string images = freshDir(dir / "images");

    // 2n distinct photographs, paired in a shuffled order.
    std::vector<std::string> files;
    for (int i = 0; i < 2 * n; ++i) {
        cv::RNG rng(1000 + unsigned(i));
        const cv::Mat photo = makePhoto(samples, cv::Size(640, 480), rng);
        char file[32];
        std::snprintf(file, sizeof file, "photo-%04d.jpg", i);
        files.push_back((fs::path(images) / file).string());
        cv::imwrite(files.back(), photo, { cv::IMWRITE_JPEG_QUALITY, rng.uniform(85, 96) });
    }
    std::vector<int> order(files.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = int(i);
    std::shuffle(order.begin(), order.end(), std::mt19937(20240611u));
    std::vector<std::pair<std::string, std::string>> pairs;
    for (int i = 0; i < n; ++i)
        pairs.emplace_back(
            files[size_t(order[size_t(2 * i)])], files[size_t(order[size_t(2 * i + 1)])]);
    const std::string pairsPath = (dir / "pairs.txt").string();
    writePairs(pairsPath, pairs, pairs.size());
    warmCache(files);

    // The recipe compare-pairs replaces: one sh per pair, started by xargs,
    // running both single-pair programs on it.
    const std::string script = (dir / "pair.sh").string();
    {
        std::ofstream out(script);
        out << "#!/bin/sh\n"
            << shellQuote(o.perceptualMetrics) << " \"$1\" \"$2\" && " << shellQuote(o.labCompare)
            << " \"$1\" \"$2\"\n";
    }
    const std::string xargsCommand = "xargs -P " + std::to_string(o.jobs) + " -n 2 /bin/sh "
        + shellQuote(script) + " < " + shellQuote(pairsPath);
    std::printf(
        "  compare-pairs: compare-pairs -j %d --metrics perceptual,lab --out t.csv pairs.txt\n",
        o.jobs);
    std::printf(
        "  old recipe:    /bin/sh -c 'xargs -P %d -n 2 sh pair.sh < pairs.txt', where pair.sh is\n"
        "                 perceptual-metrics \"$1\" \"$2\" && lab-compare \"$1\" \"$2\"\n",
        o.jobs);

    std::vector<double> timeA, timeB, cpuA, cpuB;
    long peakA = 0, peakB = 0;
    bool aOk = true, bOk = true;
    Table table;
    const std::string errA = (dir / "compare-pairs.err").string();
    const std::string errB = (dir / "xargs.err").string();
    for (int k = 0; k < o.repeats; ++k) {
        const std::string workA = freshDir(dir / "run-compare-pairs");
        const ProgramRun a = runProgram(o.comparePairs,
            { "-j", std::to_string(o.jobs), "--metrics", "perceptual,lab", "--out", "t.csv",
                pairsPath },
            workA, "", errA);
        timeA.push_back(a.seconds);
        cpuA.push_back(a.cpuSeconds);
        peakA = std::max(peakA, a.peakKiB);
        const bool last = k + 1 == o.repeats;
        table = checkRun(
            "batch", a, (fs::path(workA) / "t.csv").string(), size_t(n), workA, errA, last);
        aOk = aOk && a.status == 0 && table.rows == size_t(n);

        const std::string workB = freshDir(dir / "run-xargs");
        const std::string outB = (dir / "xargs.out").string();
        const ProgramRun b = runProgram("/bin/sh", { "-c", xargsCommand }, workB, outB, errB);
        timeB.push_back(b.seconds);
        cpuB.push_back(b.cpuSeconds);
        peakB = std::max(peakB, b.peakKiB);
        const size_t printed = countLines(outB);
        if (b.status != 0 || printed != size_t(2 * n)) {
            bOk = false;
            warn("batch: the xargs recipe " + describeStatus(b.status) + " and printed "
                + std::to_string(printed) + " lines, expected " + std::to_string(2 * n) + ": "
                + head(errB));
        }
    }
    if (table.opened)
        std::printf("  compare-pairs table: %zu data rows (status column: %s)\n", table.rows,
            describeStatuses(table).c_str());

    // A few pairs once more through the single-pair programs, for their figures.
    if (table.rows > 0) {
        // In a folder of their own, where they leave their "For_fit.txt".
        const testsupport::ScopedWorkDir checkDir;
        const int checks = std::min(n, 3);
        int agreed = 0;
        double maxDifference = 0.0;
        for (int i = 0; i < checks; ++i) {
            const auto& [first, second] = pairs[size_t(i * (n / checks))];
            const std::vector<double> perceptual
                = parseFigures(testsupport::runProgram(o.perceptualMetrics, { first, second }).out);
            const std::vector<double> lab
                = parseFigures(testsupport::runProgram(o.labCompare, { first, second }).out);
            agreed += figuresAgree("batch", table, first, second, perceptual, lab, &maxDifference);
        }
        std::printf("  figures: %d of %d pairs checked agree with the single-pair programs"
                    " (largest difference %.2g)\n",
            agreed, checks, maxDifference);
    }

    const double a = median(timeA), b = median(timeB);
    const double rateA = n / a, rateB = n / b;
    std::printf("\n  %-44s %9s %9s %9s %9s\n", "", "wall s", "cpu s", "pairs/s", "peak MiB");
    std::printf("  %-44s %9.3f %9.3f %9.1f %9.1f%s\n", "compare-pairs", a, median(cpuA), rateA,
        mib(peakA), aOk ? "" : "   (FAILED, see warnings)");
    std::printf("  %-44s %9.3f %9.3f %9.1f %9.1f%s\n", "xargs: perceptual-metrics + lab-compare", b,
        median(cpuB), rateB, mib(peakB), bOk ? "" : "   (FAILED, see warnings)");
    std::printf(
        "  (peak of the xargs recipe: its largest single process; %d run at a time)\n", o.jobs);
    const double ratio = rateA / rateB;
    std::printf(
        "  compare-pairs runs %.1fx the pairs per second of the xargs recipe; target >= 10x: %s\n",
        ratio, verdict(aOk, ratio >= 10.0).c_str());
    char line[200];
    std::snprintf(line, sizeof line, "batch   %.1f against %.1f pairs/s, %.1fx (target >= 10x): %s",
        rateA, rateB, ratio, verdict(aOk, ratio >= 10.0).c_str());
    summary.lines.push_back(line);
}

void benchLarge(
    const Options& o, const fs::path& root, const std::vector<cv::Mat>& samples, Summary& summary)
{
    const fs::path dir = root / "large";
    fs::create_directories(dir);
    const int cols = int(std::lround(std::sqrt(o.megapixels * 1e6 * 4.0 / 3.0)));
    const int rows = int(std::lround(o.megapixels * 1e6 / cols));
    std::printf("\n== large: one pair of %d x %d JPEG photographs (%.1f megapixels each), median "
                "of %d run%s ==\n",
        cols, rows, cols * double(rows) / 1e6, o.repeats, o.repeats == 1 ? "" : "s");
    const std::string first = (dir / "first.jpg").string();
    const std::string second = (dir / "second.jpg").string();
    const std::vector<int> quality { cv::IMWRITE_JPEG_QUALITY, 92 };
    // The same pair bench_programs times: coffee against chelsea.
    cv::imwrite(first, makeLargePhoto(samples[1], cv::Size(cols, rows), 1), quality);
    cv::imwrite(second, makeLargePhoto(samples[0], cv::Size(cols, rows), 2), quality);
    const std::string list = (dir / "pair.txt").string();
    writePairs(list, { { first, second } }, 1);

    // Decoding both files, for scale; this also warms the page cache.
    auto decode = [&] {
        const double start = now();
        const cv::Mat x = cv::imread(first, cv::IMREAD_COLOR);
        const cv::Mat y = cv::imread(second, cv::IMREAD_COLOR);
        return now() - start;
    };
    decode();

    std::vector<double> timeA, timePM, timeLC, timeSum, timeDecode;
    long peakA = 0, peakPM = 0, peakLC = 0;
    bool aOk = true, bOk = true;
    Table table;
    std::vector<double> perceptual, lab;
    const std::string errA = (dir / "compare-pairs.err").string();
    for (int k = 0; k < o.repeats; ++k) {
        timeDecode.push_back(decode());
        const std::string workA = freshDir(dir / "run-compare-pairs");
        const ProgramRun a = runProgram(o.comparePairs,
            { "-j", std::to_string(o.jobs), "--metrics", "perceptual,lab", "--out", "large.csv",
                list },
            workA, "", errA);
        timeA.push_back(a.seconds);
        peakA = std::max(peakA, a.peakKiB);
        table
            = checkRun("large", a, (fs::path(workA) / "large.csv").string(), 1, workA, errA, true);
        aOk = aOk && a.status == 0 && table.rows == 1;

        const std::string workB = freshDir(dir / "run-single");
        const std::string out = (dir / "single.out").string();
        const std::string err = (dir / "single.err").string();
        const ProgramRun pm = runProgram(o.perceptualMetrics, { first, second }, workB, out, err);
        if (pm.status != 0)
            warn("large: perceptual-metrics " + describeStatus(pm.status) + ": " + head(err));
        perceptual = parseFigures(readFile(out));
        const ProgramRun lc = runProgram(o.labCompare, { first, second }, workB, out, err);
        if (lc.status != 0)
            warn("large: lab-compare " + describeStatus(lc.status) + ": " + head(err));
        lab = parseFigures(readFile(out));
        bOk = bOk && pm.status == 0 && lc.status == 0;
        timePM.push_back(pm.seconds);
        timeLC.push_back(lc.seconds);
        timeSum.push_back(pm.seconds + lc.seconds);
        peakPM = std::max(peakPM, pm.peakKiB);
        peakLC = std::max(peakLC, lc.peakKiB);
    }
    if (table.rows == 1) {
        double maxDifference = 0.0;
        if (figuresAgree("large", table, first, second, perceptual, lab, &maxDifference))
            std::printf("  figures: compare-pairs agrees with the single-pair programs (largest "
                        "difference %.2g)\n",
                maxDifference);
    }

    const double a = median(timeA), sum = median(timeSum);
    std::printf("\n  %-44s %9s %9s\n", "", "wall s", "peak MiB");
    std::printf("  %-44s %9.3f %9.1f%s\n", "compare-pairs (one-line list)", a, mib(peakA),
        aOk ? "" : "   (FAILED, see warnings)");
    std::printf("  %-44s %9.3f %9.1f\n", "perceptual-metrics", median(timePM), mib(peakPM));
    std::printf("  %-44s %9.3f %9.1f\n", "lab-compare", median(timeLC), mib(peakLC));
    std::printf("  %-44s %9.3f %9s%s\n", "perceptual-metrics + lab-compare", sum, "",
        bOk ? "" : "   (FAILED, see warnings)");
    std::printf(
        "  %-44s %9.3f\n", "decoding both files only (in this process)", median(timeDecode));
    const double ratio = a / sum;
    std::printf(
        "  compare-pairs takes %.2fx the time of the two programs together; target <= 1.00x: %s\n",
        ratio, verdict(aOk, ratio <= 1.0).c_str());
    char line[200];
    std::snprintf(line, sizeof line, "large   %.3f s against %.3f s, %.2fx (target <= 1.00x): %s",
        a, sum, ratio, verdict(aOk, ratio <= 1.0).c_str());
    summary.lines.push_back(line);
}

void benchMemory(
    const Options& o, const fs::path& root, const std::vector<cv::Mat>& samples, Summary& summary)
{
    const int shortLines = std::min(o.shortLines, o.lines);
    std::printf(
        "\n== memory: compare-pairs on %d and on %d lines of %d small images (64 x 48) ==\n",
        shortLines, o.lines, o.images);
    const fs::path dir = root / "memory";
    const std::string images = freshDir(dir / "images");
    std::vector<std::string> files;
    for (int i = 0; i < o.images; ++i) {
        cv::RNG rng(5000 + unsigned(i));
        const cv::Mat photo = makePhoto(samples, cv::Size(64, 48), rng);
        char file[32];
        std::snprintf(file, sizeof file, "small-%05d.%s", i, i % 2 ? "jpg" : "png");
        files.push_back((fs::path(images) / file).string());
        cv::imwrite(files.back(), photo);
    }
    std::mt19937 rng(777u);
    std::uniform_int_distribution<size_t> pick(0, files.size() - 1);
    std::vector<std::pair<std::string, std::string>> pairs;
    pairs.reserve(size_t(o.lines));
    while (pairs.size() < size_t(o.lines)) {
        const size_t a = pick(rng), b = pick(rng);
        if (a != b)
            pairs.emplace_back(files[a], files[b]);
    }
    const std::string shortList = (dir / "short.txt").string();
    const std::string longList = (dir / "long.txt").string();
    writePairs(shortList, pairs, size_t(shortLines));
    writePairs(longList, pairs, pairs.size());
    warmCache(files);
    std::printf("  compare-pairs -j %d --metrics perceptual,lab --out mem.csv LIST (the short list "
                "is the first\n"
                "  %d lines of the long one; list files %.1f and %.1f MiB)\n",
        o.jobs, shortLines, fs::file_size(shortList) / 1048576.0,
        fs::file_size(longList) / 1048576.0);

    struct Result {
        int lines;
        ProgramRun run;
        bool ok;
    };
    std::vector<Result> results;
    for (const int count : { shortLines, o.lines }) {
        const std::string work = freshDir(dir / "run");
        const std::string err = (dir / "compare-pairs.err").string();
        const ProgramRun run = runProgram(o.comparePairs,
            { "-j", std::to_string(o.jobs), "--metrics", "perceptual,lab", "--out", "mem.csv",
                count == shortLines ? shortList : longList },
            work, "", err);
        const Table table = checkRun("memory, " + std::to_string(count) + " lines", run,
            (fs::path(work) / "mem.csv").string(), size_t(count), work, err, false);
        results.push_back({ count, run, run.status == 0 && table.rows == size_t(count) });
    }

    std::printf("\n  %-44s %9s %9s %9s %9s\n", "", "wall s", "cpu s", "pairs/s", "peak MiB");
    for (const auto& r : results) {
        const std::string label = "compare-pairs, " + std::to_string(r.lines) + " lines";
        std::printf("  %-44s %9.3f %9.3f %9.1f %9.1f%s\n", label.c_str(), r.run.seconds,
            r.run.cpuSeconds, r.lines / r.run.seconds, mib(r.run.peakKiB),
            r.ok ? "" : "   (FAILED, see warnings)");
    }
    const double ratio
        = double(results[1].run.peakKiB) / double(std::max(1L, results[0].run.peakKiB));
    // Allocator arenas and thread stacks vary by a few MiB between runs; a list
    // held in memory would add tens of MiB at 100,000 lines.
    const bool flat = ratio <= 1.10;
    const bool ok = results[0].ok && results[1].ok;
    std::printf("  peak at %d lines over peak at %d lines: %.2fx (%+.1f MiB); target: no growth "
                "(<= 1.10x): %s\n",
        o.lines, shortLines, ratio, mib(results[1].run.peakKiB - results[0].run.peakKiB),
        verdict(ok, flat).c_str());
    char line[200];
    std::snprintf(line, sizeof line,
        "memory  %.1f MiB at %d lines against %.1f MiB at %d, %.2fx (target <= 1.10x): %s",
        mib(results[1].run.peakKiB), o.lines, mib(results[0].run.peakKiB), shortLines, ratio,
        verdict(ok, flat).c_str());
    summary.lines.push_back(line);
}

int usage()
{
    std::cerr << "usage: bench_compare_pairs [--only batch,large,memory] [--repeats K] [--quick] "
                 "[--pairs N]\n"
                 "                           [--lines N] [--images N] [--megapixels N] [--jobs N] "
                 "[--bin-dir DIR] [--keep]\n";
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    Options o;
    bool repeatsGiven = false;
    bool quick = false;
    std::vector<std::string> only;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--only" && hasValue) {
            std::stringstream list(argv[++i]);
            std::string section;
            while (std::getline(list, section, ','))
                only.push_back(section);
        } else if (arg == "--repeats" && hasValue) {
            o.repeats = std::max(1, std::atoi(argv[++i]));
            repeatsGiven = true;
        } else if (arg == "--pairs" && hasValue) {
            o.pairs = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--lines" && hasValue) {
            o.lines = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--images" && hasValue) {
            o.images = std::max(2, std::atoi(argv[++i]));
        } else if (arg == "--megapixels" && hasValue) {
            o.megapixels = std::max(0.01, std::atof(argv[++i]));
        } else if (arg == "--jobs" && hasValue) {
            o.jobs = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--bin-dir" && hasValue) {
            const fs::path bin = argv[++i];
            o.comparePairs = fs::absolute(bin / "compare-pairs").string();
            o.perceptualMetrics = fs::absolute(bin / "perceptual-metrics").string();
            o.labCompare = fs::absolute(bin / "lab-compare").string();
        } else if (arg == "--quick") {
            quick = true;
        } else if (arg == "--keep") {
            o.keep = true;
        } else {
            return usage();
        }
    }
    if (quick) {
        // Explicit sizes given alongside --quick win, whatever their order.
        bool pairsGiven = false, linesGiven = false;
        for (int i = 1; i < argc; ++i) {
            pairsGiven = pairsGiven || std::string(argv[i]) == "--pairs";
            linesGiven = linesGiven || std::string(argv[i]) == "--lines";
        }
        if (!pairsGiven)
            o.pairs = 40;
        if (!linesGiven)
            o.lines = 10000;
        if (!repeatsGiven)
            o.repeats = 1;
    }
    if (!only.empty()) {
        o.batch = o.large = o.memory = false;
        for (const auto& section : only) {
            if (section == "batch")
                o.batch = true;
            else if (section == "large")
                o.large = true;
            else if (section == "memory")
                o.memory = true;
            else
                return usage();
        }
    }
    for (const auto& binary : { o.comparePairs, o.perceptualMetrics, o.labCompare })
        if (::access(binary.c_str(), X_OK) != 0) {
            std::cerr << "bench: cannot run " << binary << std::endl;
            return 1;
        }

    const fs::path root
        = fs::temp_directory_path() / ("toolkit-bench-pairs-" + std::to_string(::getpid()));
    fs::create_directories(root);
    std::printf("compare-pairs:      %s\nperceptual-metrics: %s\nlab-compare:        %s\n",
        o.comparePairs.c_str(), o.perceptualMetrics.c_str(), o.labCompare.c_str());
    std::printf("machine: %ld cores online, load average %s; working in %s\n",
        ::sysconf(_SC_NPROCESSORS_ONLN), loadAverage().c_str(), root.c_str());

    const std::vector<cv::Mat> samples = loadSamples(SAMPLES_DIR);
    Summary summary;
    const double start = now();
    if (o.batch)
        benchBatch(o, root, samples, summary);
    if (o.large)
        benchLarge(o, root, samples, summary);
    if (o.memory)
        benchMemory(o, root, samples, summary);

    std::printf(
        "\n== summary (%.0f s; load average now %s) ==\n", now() - start, loadAverage().c_str());
    for (const auto& line : summary.lines)
        std::printf("  %s\n", line.c_str());
    if (!g_warnings.empty()) {
        std::printf(
            "  %zu check%s failed:\n", g_warnings.size(), g_warnings.size() == 1 ? "" : "s");
        for (const auto& w : g_warnings)
            std::printf("    %s\n", w.c_str());
    } else {
        std::printf("  every check passed (exit status, rows, working directory, figures)\n");
    }
    if (o.keep)
        std::printf("  kept %s\n", root.c_str());
    else
        fs::remove_all(root);
    return g_warnings.empty() ? 0 : 1;
}
