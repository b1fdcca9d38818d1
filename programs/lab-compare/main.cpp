#include "programs/lab-compare/LabCompare.hpp"

#include "toolkit/common/LargePages.hpp"

#include <csignal>

int main(int argc, char** argv)
{
    // A closed standard output is a failed write, reported, not the end of
    // the process before the figures reach "For_fit.txt".
    std::signal(SIGPIPE, SIG_IGN);
    toolkit::common::useLargePagesForImages();
    return labcompare::mainBhattacharya(argc, argv);
}
