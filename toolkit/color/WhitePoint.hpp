// White points: the grey-world estimate of an image's illuminant, restricted
// to near-neutral pixels, and the XYZ white that the CIE L*a*b* conversions
// measure against.
#pragma once

#include <opencv2/core.hpp>

namespace toolkit {
namespace color {

// Grey-world illuminant estimate of a colour image (non-empty CV_32FC3,
// B, G, R in [0, 1], not modified), over its near-neutral pixels: those whose
// (|U| + |V|) / Y is below 0.3 in the YUV space of convertBGRtoYUV. The
// estimate is (Y, U, V) = (1, mean U, mean V); without any near-neutral
// pixel it is (1, 0, 0).
//
// white (allocated CV_32FC3): element (0, 0) receives the estimate as display
// B, G, R, each clipped to [0, 1].
// state (1 x 1 CV_32FC3): the previous estimate (1, U, V); set it to quiet NaN
// in all channels to start a sequence. It is overwritten with this estimate.
// mask: not consulted (any size is accepted).
//
// Returns true when the estimate has converged: a previous estimate exists
// and U, V moved by less than 1e-6 from it, or max(|U|, |V|) < 0.001. The
// first call of a sequence never converges. An empty image, or an image,
// white or state of another type, raises cv::Exception. When not converged,
// prints the white matrix on standard output ("[b, g, r]") followed by a
// newline.
bool computeWhitePointFromGrayWorld(
    const cv::Mat& image, cv::Mat& white, cv::Mat& state, const cv::Mat& mask);

// The XYZ white (relative scale, Y = 1 for a white) for a display reference
// white: referenceWhite (CV_32FC3, B, G, R at element (0, 0)) is linearised
// and mapped by the sRGB primaries scaled to D50, so that (1, 1, 1) gives
// D50 = (0.9642, 1.0, 0.8249) and (0, 0, 0) gives (0, 0, 0). Writes element
// (0, 0) of the allocated CV_32FC3 xyzWhite only. Another type, or an empty
// matrix, raises cv::Exception.
void adaptXYZToNewWhitePoint(cv::Mat& xyzWhite, const cv::Mat& referenceWhite);

} // namespace color
} // namespace toolkit
