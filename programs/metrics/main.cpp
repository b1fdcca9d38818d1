#include "programs/metrics/Metrics.hpp"

int main(int argc, char** argv)
{
    return metrics::runProgram(argc, argv);
}
