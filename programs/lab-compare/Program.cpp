#include "programs/lab-compare/Program.hpp"

#include "programs/comparison/Comparison.hpp"
#include "toolkit/common/ResultFile.hpp"

#include <cerrno>
#include <cstring>
#include <future>
#include <iostream>
#include <string>

namespace common = toolkit::common;

namespace {

const char* const kResultFile = "For_fit.txt";
constexpr comparison::Plan kPlan { false, true, false };

struct Measured {
    bool read = false;
    comparison::Measurement measurement;
    std::string error;
};

Measured measure(const std::string& path, common::ProfileHandling profiles)
{
    Measured measured;
    measured.read
        = comparison::measureFile(path, kPlan, profiles, measured.measurement, measured.error);
    return measured;
}

} // namespace

int labcompare::mainBhattacharya(int argc, char** argv)
{
    if (argc != 3)
        return -1;

    std::string profileError;
    const common::ProfileHandling profiles = common::profileHandlingFromEnvironment(profileError);
    if (!profileError.empty()) {
        std::cerr << "lab-compare: " << profileError << "\n";
        return 1;
    }
    // The two images are read and measured on two threads.
    auto target = std::async(std::launch::async, measure, std::string(argv[2]), profiles);
    const Measured input = measure(argv[1], profiles);
    const Measured targetImage = target.get();
    bool readable = true;
    for (const auto& [path, image] :
        { std::make_pair(argv[1], &input), std::make_pair(argv[2], &targetImage) }) {
        if (!image->read) {
            std::cerr << "lab-compare: cannot read image \"" << path << "\": " << image->error
                      << "\n";
            readable = false;
        }
    }
    if (!readable)
        return 1;
    for (const auto& [path, image] :
        { std::make_pair(argv[1], &input), std::make_pair(argv[2], &targetImage) }) {
        const std::string notice = common::readingNotice(path, image->measurement.facts);
        if (!notice.empty())
            std::cerr << "lab-compare: " << notice << "\n";
    }

    const LabFigures figures
        = comparison::compare(input.measurement, targetImage.measurement, kPlan).lab;
    std::cout << figuresLine(figures) << std::endl;
    const bool printed = static_cast<bool>(std::cout);
    const int printErrno = errno;

    std::string error;
    int status = 0;
    if (!common::appendLocked(kResultFile, figuresBlock(figures), error)) {
        std::cerr << "lab-compare: " << error << std::endl;
        status = 1;
    }
    // Checked after the append, so that the figures reach "For_fit.txt" even
    // when the line is lost.
    if (!printed) {
        std::cerr << "lab-compare: cannot write the figures to standard output: "
                  << std::strerror(printErrno) << std::endl;
        status = 1;
    }
    return status;
}
