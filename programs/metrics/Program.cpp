#include "programs/metrics/Program.hpp"

#include "programs/comparison/Comparison.hpp"
#include "toolkit/common/ResultFile.hpp"

#include <cerrno>
#include <cstring>
#include <future>
#include <iostream>
#include <string>
#include <vector>

namespace common = toolkit::common;

namespace {

const char* const kResultFile = "For_fit.txt";

// The perceptual comparison; the second image keeps its pixels for its debug
// files, which the program leaves.
constexpr comparison::Plan kFirstPlan { true, false, false };
constexpr comparison::Plan kSecondPlan { true, false, true };

// Prints and appends the figures; false when either fails.
bool report(const metrics::Figures& figures, const std::vector<std::string>& debugFailures)
{
    std::string error;
    const bool written = common::appendLocked(kResultFile, metrics::figuresBlock(figures), error);

    std::cout << metrics::figuresLine(figures) << std::endl;
    for (const std::string& failure : debugFailures)
        std::cerr << "perceptual-metrics: warning: " << failure << std::endl;
    if (!written)
        std::cerr << "perceptual-metrics: " << error << std::endl;
    if (!std::cout) {
        std::cerr << "perceptual-metrics: cannot write the figures to standard output: "
                  << std::strerror(errno) << std::endl;
        return false;
    }
    return written;
}

// A measured second image and its debug files, written as soon as it is
// measured, while the first image may still be measured.
struct Second {
    bool read = false;
    comparison::Measurement measurement;
    std::vector<std::string> debugFailures;
    std::string error;
};

void writeDebugFiles(Second& second)
{
    second.debugFailures = comparison::writeDebugFiles("", second.measurement);
}

} // namespace

bool metrics::metrics(const cv::Mat& image1, const cv::Mat& image2)
{
    auto measured = std::async(std::launch::async, [&] {
        Second second;
        second.measurement = comparison::measureImage(image2, kSecondPlan);
        writeDebugFiles(second);
        return second;
    });
    const comparison::Measurement first = comparison::measureImage(image1, kFirstPlan);
    const Second second = measured.get();
    return report(comparison::compare(first, second.measurement, kFirstPlan).perceptual,
        second.debugFailures);
}

int metrics::runProgram(int argc, char** argv)
{
    if (argc != 3)
        return -1;
    std::string error;
    const common::ProfileHandling profiles = common::profileHandlingFromEnvironment(error);
    if (!error.empty()) {
        std::cerr << "perceptual-metrics: " << error << "\n";
        return 1;
    }
    // The two files are read and measured at the same time; the second
    // image's debug files are written as soon as it is measured, once the
    // first image could be read too.
    const std::string path2 = argv[2];
    std::promise<bool> firstReadPromise;
    std::future<bool> firstReadFuture = firstReadPromise.get_future();
    auto measured = std::async(std::launch::async, [&] {
        Second second;
        second.read = comparison::measureFile(
            path2, kSecondPlan, profiles, second.measurement, second.error);
        if (second.read && firstReadFuture.get())
            writeDebugFiles(second);
        return second;
    });
    comparison::Measurement first;
    const bool firstRead = comparison::measureFile(argv[1], kFirstPlan, profiles, first, error);
    firstReadPromise.set_value(firstRead);
    Second second = measured.get();
    if (!firstRead)
        std::cerr << "perceptual-metrics: cannot read image \"" << argv[1] << "\": " << error
                  << "\n";
    if (!second.read)
        std::cerr << "perceptual-metrics: cannot read image \"" << path2 << "\": " << second.error
                  << "\n";
    if (!firstRead || !second.read)
        return 1;
    for (const auto& [path, facts] : { std::make_pair(argv[1], &first.facts),
             std::make_pair(argv[2], &second.measurement.facts) }) {
        const std::string notice = common::readingNotice(path, *facts);
        if (!notice.empty())
            std::cerr << "perceptual-metrics: " << notice << "\n";
    }
    return report(comparison::compare(first, second.measurement, kFirstPlan).perceptual,
               second.debugFailures)
        ? 0
        : 1;
}
