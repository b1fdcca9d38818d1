#include "programs/lab-compare/LabCompare.hpp"

#include "toolkit/common/LargePages.hpp"

#include <csignal>
#include <cstring>
#include <exception>
#include <iostream>
#include <new>

namespace {

const char* const kHelp
    = "Usage: lab-compare INPUT TARGET\n"
      "Compares two photographs by the histograms of their CIE L*a*b* channels, as\n"
      "OpenCV converts float BGR in [0, 1] to L*a*b* (D65 white; L* 0..100, a* and b*\n"
      "signed): one bin per integer, bins -128 to 127, compared by the Bhattacharyya\n"
      "coefficient (1 = identical, 0 = disjoint).\n"
      "\n"
      "Prints one line, the L* coefficient and the mean of the a* and b* coefficients,\n"
      "comma-separated, and appends the same two figures to For_fit.txt in the working\n"
      "directory, one per line.\n"
      "\n"
      "Exit status: 0 after a comparison; 255 for a wrong number of arguments; 1 when\n"
      "an image cannot be read or is damaged, when For_fit.txt cannot be written, or\n"
      "when standard output cannot be written.\n"
      "\n"
      "To compare many pairs, use compare-pairs.\n";

} // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::cout << kHelp;
        return std::cout.flush() ? 0 : 1;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::cout << "lab-compare " TOOLKIT_VERSION "\n";
        return std::cout.flush() ? 0 : 1;
    }
    // A closed standard output is a failed write, reported, not the end of
    // the process before the figures reach "For_fit.txt".
    std::signal(SIGPIPE, SIG_IGN);
    // A file-size limit is a failed append, reported, not a killed process.
    std::signal(SIGXFSZ, SIG_IGN);
    toolkit::common::useLargePagesForImages();
    // Nothing is appended before the figures are known, so a failure on the
    // way leaves "For_fit.txt" as it was.
    try {
        return labcompare::mainBhattacharya(argc, argv);
    } catch (const std::bad_alloc&) {
        std::cerr << "lab-compare: out of memory" << std::endl;
    } catch (const std::exception& e) {
        std::cerr << "lab-compare: " << e.what() << std::endl;
    }
    return 1;
}
