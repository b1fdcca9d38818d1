#include "programs/lab-compare/Program.hpp"

#include "programs/ProgramEntry.hpp"

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
    return programs::runSinglePairProgram(
        "lab-compare", kHelp, argc, argv, labcompare::mainBhattacharya);
}
