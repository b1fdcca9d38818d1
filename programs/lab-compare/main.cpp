#include "programs/lab-compare/LabCompare.hpp"

int main(int argc, char** argv)
{
    return labcompare::mainBhattacharya(argc, argv);
}
