#include "programs/LargePages.hpp"
#include "programs/compare-pairs/Batch.hpp"
#include "programs/compare-pairs/Table.hpp"

#include "toolkit/common/ImageFiles.hpp"
#include "toolkit/common/ImageReader.hpp"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

namespace {

// Allocations below this size come from the heap and are reused once freed.
constexpr int kHeapedAllocationLimit = 64 << 20;

const char* const kDescription
    = "Compares many pairs of photographs in one run: by five colour-appearance attributes\n"
      "(as perceptual-metrics does) and by their CIE L*a*b* histograms (as lab-compare does).\n"
      "PAIRS (a file, or - for standard input) holds one pair a line: two image paths\n"
      "separated by a tab, or by white space where the line has no tab. Blank lines and\n"
      "lines starting with # are skipped; a line longer than 65536 bytes or holding a NUL\n"
      "byte is malformed. Writes a CSV table in UTF-8, one row per line in the order of the\n"
      "list: the figures, then each image's size, bit depth, colour profile, what the\n"
      "reader did with it, and the share of its pixels at its white. Text that is not\n"
      "UTF-8 is written with \\ doubled and each other byte as \\xHH.";

const char* const kFooter
    = "Exit status: 0 when every pair succeeded, 1 when a pair failed or a write failed\n"
      "(a file of the report included), 2 for a wrong option, an unreadable list or table,\n"
      "a table that does not follow the list, or a report directory that is neither new,\n"
      "empty nor a report of compare-pairs.\n"
      "Merge shard tables: compare-pairs --merge [--list PAIRS] [--out FILE] TABLE...\n"
      "(with --list, every line of PAIRS must have exactly one row; rows in list order)";

unsigned defaultJobs()
{
    const unsigned cores = std::thread::hardware_concurrency();
    return cores == 0 ? 1 : cores;
}

int usageError(const CLI::App& app, const std::string& message)
{
    std::cerr
        << "compare-pairs: " << message << "\nUsage: " << app.get_name()
        << " [--metrics perceptual,lab[,distance]] [--profiles convert|ignore] [-j N] [--out FILE]"
           " [--resume] [--for-fit] [--shard K/N] [--debug-dir DIR] [--report DIR]"
           " [--safe-cells] PAIRS\n"
           "Run with --help for more information.\n"
        << std::flush;
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    programs::useLargePagesForImages();
    // Every image allocates and frees the same working planes again; keeping
    // freed memory in the heap, instead of returning it to the kernel and
    // faulting it in anew, saves a good share of a small image's time.
    ::mallopt(M_MMAP_THRESHOLD, kHeapedAllocationLimit);
    ::mallopt(M_TRIM_THRESHOLD, kHeapedAllocationLimit);

    CLI::App app(kDescription, "compare-pairs");
    app.footer(kFooter);
    app.set_version_flag("--version", std::string("compare-pairs ") + TOOLKIT_VERSION);

    std::string metricsText = "perceptual,lab";
    std::string profilesText = "convert";
    unsigned jobs = defaultJobs();
    std::string out;
    bool resume = false;
    bool forFit = false;
    std::string shardText;
    std::string debugDir;
    std::string reportDir;
    std::uint64_t maxMegapixels = 0;
    bool merge = false;
    std::string mergeList;
    bool safeCells = false;
    std::vector<std::string> inputs;

    app.add_option("--metrics", metricsText,
           "Comparisons to make, comma-separated: perceptual (columns Q,J,C,M,s), "
           "lab (columns L,ab,a,b), and distance to add their earth mover's distances "
           "(Q_distance ... b_distance, in each attribute's units)")
        ->capture_default_str()
        ->option_text("LIST");
    app.add_option("--profiles", profilesText,
           "What to do with an image's embedded colour profile: convert (the default; the "
           "pixels are converted to sRGB through it) or ignore (the pixels are taken as stored, "
           "as sRGB)")
        ->capture_default_str()
        ->option_text("convert|ignore");
    app.add_option("-j,--jobs", jobs, "Worker threads (default: the number of cores)")
        ->check(CLI::Range(1u, 1024u))
        ->option_text("N");
    app.add_option("-o,--out", out, "Write the table to FILE instead of standard output")
        ->option_text("FILE");
    app.add_flag(
        "--resume", resume, "With --out: skip the pairs FILE already holds and append the rest");
    app.add_flag("--for-fit", forFit,
        "Also append each pair's figures to For_fit.txt, as the single-pair programs do");
    app.add_option(
           "--shard", shardText, "K/N: take only the lines whose 0-based index modulo N is K")
        ->option_text("K/N");
    app.add_option("--debug-dir", debugDir, "Write each pair's debug files into DIR/<line number>/")
        ->option_text("DIR");
    app.add_option("--report", reportDir,
           "Write a visual report (index.html, thumbnails, histograms) into DIR, which must be "
           "new, empty or an earlier report (replaced whole, once the run ends); not with "
           "--resume")
        ->option_text("DIR");
    app.add_option("--max-megapixels", maxMegapixels,
           "Refuse images above this many megapixels (default 250, or TOOLKIT_MAX_MEGAPIXELS)")
        ->check(CLI::Range(std::uint64_t(1), std::uint64_t(1) << 30))
        ->option_text("N");
    app.add_flag("--safe-cells", safeCells,
        "Put ' before text cells starting with =, +, - or @, which a spreadsheet would take "
        "for formulas");
    app.add_flag("--merge", merge, "Concatenate shard tables (the header once) instead");
    app.add_option("--list", mergeList,
           "With --merge: the list the tables were made from; each of its lines must have "
           "exactly one row, and the rows are written in its order")
        ->option_text("PAIRS");
    app.add_option("PAIRS", inputs, "The list of pairs (with --merge: the tables)")
        ->required()
        ->option_text("PAIRS");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        return usageError(app, e.what());
    }

    int outFd = 1;
    if (merge) {
        if (resume || forFit || !shardText.empty() || !debugDir.empty() || !reportDir.empty()
            || app.count("--profiles") > 0 || safeCells)
            return usageError(app, "--merge takes only --list, --out and the tables to merge");
        if (!out.empty()) {
            // The merged table is written whole to a new file; an existing
            // table is never overwritten.
            outFd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
            if (outFd < 0) {
                std::cerr << "compare-pairs: cannot create \"" << out
                          << "\": " << std::strerror(errno) << std::endl;
                return 2;
            }
        }
        int status = comparepairs::mergeTables(inputs, mergeList, outFd);
        if (!out.empty()) {
            if (::close(outFd) != 0 && status == 0) {
                std::cerr << "compare-pairs: cannot write \"" << out
                          << "\": " << std::strerror(errno) << std::endl;
                status = 1;
            }
            if (status != 0)
                ::unlink(out.c_str());
        }
        return status;
    }

    if (!mergeList.empty())
        return usageError(app, "--list goes with --merge");
    comparepairs::Options options;
    if (inputs.size() != 1)
        return usageError(app, "expected one list of pairs, got " + std::to_string(inputs.size()));
    options.pairs = inputs.front();
    if (!comparepairs::parseComparisons(metricsText, options.comparisons))
        return usageError(app,
            "--metrics: expected perceptual, lab or perceptual,lab, each optionally with "
            ",distance, got \""
                + metricsText + "\"");
    if (!toolkit::common::parseProfileHandling(profilesText, options.profiles))
        return usageError(
            app, "--profiles: expected convert or ignore, got \"" + profilesText + "\"");
    if (!shardText.empty() && !comparepairs::parseShard(shardText, options.shard))
        return usageError(app, "--shard: expected K/N with 0 <= K < N, got \"" + shardText + "\"");
    if (resume && out.empty())
        return usageError(app, "--resume needs --out FILE");
    if (resume && !reportDir.empty())
        return usageError(app,
            "--report cannot be used with --resume: the report would lack the pairs of the earlier "
            "run; for a report, run the whole list again with --report and a new --out table");
    options.jobs = jobs;
    options.out = out;
    options.resume = resume;
    options.forFit = forFit;
    options.debugDir = debugDir;
    options.reportDir = reportDir;
    options.progress = ::isatty(2) == 1;
    options.safeCells = safeCells;
    toolkit::common::setMaxImagePixels(maxMegapixels * 1000000);
    // Rows already written are whole; the run ends with a message, not an abort.
    try {
        return comparepairs::runBatch(options);
    } catch (const std::bad_alloc&) {
        std::cerr << "compare-pairs: out of memory" << std::endl;
    } catch (const std::exception& e) {
        std::cerr << "compare-pairs: " << e.what() << std::endl;
    }
    return 1;
}
