// Colour structure tensor: local orientation strength of a colour image, used
// by the bilateral chromatic-adaptation regression to weight edges.
#pragma once

#include <opencv2/core.hpp>

namespace toolkit {
namespace color {

// Builds the colour structure tensor of `image` (per pixel, the sum over the
// three channels of the outer products of the channel gradients), smooths it
// and derives from its eigenvalues l1 >= l2 a weight of how strongly oriented
// the local structure is.
//
// image: three channels, depth CV_8U, CV_16U, CV_16S or CV_32F; every channel
//   counts alike, so the channel order does not matter. The weight's constant
//   is tuned for values in 0..255 (the regression passes CV_32FC3 BGR x 255).
//   Not changed.
// structureWeight: CV_32FC1 of image's size, allocated by the caller and
//   written pixel by pixel with 0.5 + 0.5 exp(-1e10 / (l1 - l2)^2): 0.5 in flat
//   or isotropic regions, 0.684 at an eigenvalue gap of 1e5, towards 1 on
//   strong edges.
// kernelSize: truncated towards zero to k, the side of every Gaussian window
//   (sigma derived from k by OpenCV's rule: k = 3 gives 0.25, 0.5, 0.25).
//
// Prints once, for pixel (0, 0): the eigenvector matrix (vectors as rows)
// times s = sqrt(J00 + J11), "eig V", the eigenvalue column, " ", s and a line
// end; the matrices are in OpenCV's text form, so the entry spans lines.
// Writes, in this order: "inputGauss.jpg" (blurred input), "sobel.jpg" (x
// derivative of channel 0), "sobelMatr.jpg" (J10 = sum gx gy), "sobelGauss.jpg"
// (J10 smoothed), "tensorX.jpg" (x derivative of channel 0 x 255), "tensor.jpg"
// (structureWeight x 255) and "coherence.jpg" (((l1 - l2) / (l1 + l2))^2 x 255,
// NaN in flat regions, which the codec stores as 0). Failed writes are ignored.
//
// Raises cv::Exception, before printing or writing anything, when k is not odd
// and positive (a NaN or out-of-range kernelSize included), when image is
// empty or has not three channels, or when structureWeight is not a CV_32FC1
// of image's size.
void computeStructuralTensor(cv::Mat& image, cv::Mat& structureWeight, float kernelSize);

} // namespace color
} // namespace toolkit
