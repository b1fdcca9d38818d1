// The perceptual-metrics program over the comparison route.
#pragma once

#include <opencv2/core.hpp>

namespace metrics {

// Compares two 8-bit BGR images (sizes may differ): appends the five
// coefficients Q, J, C, M, s to "For_fit.txt", one per line, in one locked
// write, and prints them comma-separated on standard output. Leaves the debug
// files of perceptualMetrics holding the second image's data.
// Returns false, after a message on standard error, when "For_fit.txt" could
// not be written (the line is printed all the same) or standard output could
// not be written (after the append). A debug file that cannot be written is a
// warning on standard error.
bool metrics(const cv::Mat& image1, const cv::Mat& image2);

// The entry point: `perceptual-metrics FIRST SECOND`. Returns 0 after a
// comparison, -1 for a wrong argument count (nothing printed), 1 when an image
// cannot be read (message on standard error, nothing written) or when
// "For_fit.txt" cannot be written.
int runProgram(int argc, char** argv);

} // namespace metrics
