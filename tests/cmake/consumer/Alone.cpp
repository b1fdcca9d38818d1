// The consumer's use of the system libraries, in a program without the
// toolkit: what the consumer must print after its own first line.
#include "SystemLibraries.hpp"

#include <iostream>

int main()
{
    std::cout << systemLibraryFigures() << std::flush;
    return 0;
}
