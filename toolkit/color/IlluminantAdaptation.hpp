// Iterative grey-world illuminant adaptation of a display image towards the
// illuminant of a reference image.
#pragma once

#include <opencv2/core.hpp>

namespace toolkit {
namespace color {

// Adapts `image` (CV_32FC3, B, G, R in [0, 1]) in place towards the illuminant
// of `reference` (same type, any size, read only). An empty image or reference,
// or another type, raises cv::Exception before anything is changed. Both
// illuminants are grey-world estimates (computeWhitePointFromGrayWorld); the
// image is then repeatedly adapted with CAT from its current white to the
// reference's white with degree D (passed unchanged to every pass) and
// re-estimated, until the estimate converges or after 80 passes. At least one
// pass is made; the image holds the result of the last pass, companded and
// clipped to [0, 1].
//
// Reads "Masks/giantShadow.jpg" from the working directory, if present, into
// a shadow mask; the mask is not consulted by the estimator nor by CAT, so a
// missing or unreadable file changes nothing.
// Prints every white estimate that has not converged (standard output, one
// "[b, g, r]" line each): one for the reference and up to 81 for the image.
void performIlluminantAdaptation(cv::Mat& image, const cv::Mat& reference, float D);

} // namespace color
} // namespace toolkit
