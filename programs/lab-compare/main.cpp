#include "programs/lab-compare/LabCompare.hpp"

#include "toolkit/common/LargePages.hpp"

int main(int argc, char** argv)
{
    toolkit::common::useLargePagesForImages();
    return labcompare::mainBhattacharya(argc, argv);
}
