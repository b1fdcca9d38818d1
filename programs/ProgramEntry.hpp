// What the two single-pair programs do around their comparison: --help and
// --version as the only argument; any other argument list but two paths
// refused with status 255, nothing on standard output and the usage line on
// standard error; SIGPIPE and SIGXFSZ ignored so that lost output is a
// reported failure; and an allocation failure or other exception reported
// with status 1 (nothing is appended before the figures are known); OpenCV's
// log lines silenced.
#pragma once

#include "programs/LargePages.hpp"

#include <opencv2/core/utils/logger.hpp>

#include <csignal>
#include <cstring>
#include <exception>
#include <iostream>
#include <new>
#include <string_view>

namespace programs {

template <typename Run>
int runSinglePairProgram(const char* name, const char* help, int argc, char** argv, Run run)
{
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::cout << help;
        return std::cout.flush() ? 0 : 1;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::cout << name << " " TOOLKIT_VERSION "\n";
        return std::cout.flush() ? 0 : 1;
    }
    if (argc != 3) {
        // The help text's first line is the usage line.
        const std::string_view text(help);
        std::cerr << text.substr(0, text.find('\n')) << std::endl;
        return 255;
    }
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    // The image reader says what went wrong in its own words; OpenCV's log
    // lines would only repeat it.
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    useLargePagesForImages();
    try {
        return run(argc, argv);
    } catch (const std::bad_alloc&) {
        std::cerr << name << ": out of memory" << std::endl;
    } catch (const std::exception& e) {
        std::cerr << name << ": " << e.what() << std::endl;
    }
    return 1;
}

} // namespace programs
