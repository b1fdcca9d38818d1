#include "programs/metrics/Metrics.hpp"

#include "toolkit/common/LargePages.hpp"

int main(int argc, char** argv)
{
    toolkit::common::useLargePagesForImages();
    return metrics::runProgram(argc, argv);
}
