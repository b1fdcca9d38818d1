#include "programs/metrics/Program.hpp"

#include "programs/ProgramEntry.hpp"

namespace {

const char* const kHelp
    = "Usage: perceptual-metrics FIRST SECOND\n"
      "Compares two photographs by five colour-appearance attributes: brightness Q,\n"
      "lightness J, chroma C, colourfulness M and saturation s. Both images are adapted\n"
      "to D65 with CAT02 (each serving as its own white) and run through the CIE CAM02\n"
      "appearance model (adapting luminance 20 cd/m^2, background 20, dark surround);\n"
      "each attribute's histograms (bins 0 to 999) are compared by the Bhattacharyya\n"
      "coefficient (1 = identical, 0 = disjoint).\n"
      "\n"
      "Prints the five coefficients as one line, Q,J,C,M,s, and appends them to\n"
      "For_fit.txt in the working directory, one per line. Leaves the debug files\n"
      "A_before.jpg, t_before.jpg, mask.jpg and 10_in.txt of the second image there.\n"
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
        "perceptual-metrics", kHelp, argc, argv, metrics::runProgram);
}
