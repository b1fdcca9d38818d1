// Chromatic adaptation with spatially varying whites: every pixel is adapted
// from its own white, a smoothed version of the image (computeWhiteImg or
// computeWhiteImgVs2), instead of one white for the whole image.
//
// Sharpened images and whites are CV_32FC3 in the CAT02 sharpened cone space
// (S, M, L in channels 0, 1, 2, a white near 1); display images are CV_32FC3
// B, G, R in [0, 1]. Per-pixel whites and targets have the adapted image's
// size. Functions that could otherwise read past an image raise cv::Exception
// before changing or writing anything.
#pragma once

#include <opencv2/core.hpp>

namespace toolkit {
namespace color {

// Whether two float images agree: the sum over all elements of (a - b)^2,
// skipping pairs with a NaN, divided by the pixel count (float), is at most
// 1e-6. A sum of exactly 0 gives false: an image against itself, or against an
// all-NaN image, is not "equivalent" (it means no progress was measured).
// Images of different size, type or of a depth other than CV_32F give false.
// Prints and writes nothing.
bool areImgsEqualivalent(const cv::Mat& a, const cv::Mat& b);

// Adapts a display image towards the grey-world white of a reference display
// image, each pixel from its own smoothed white (the self-guided filter of the
// XYZ image), by iCAMCATLocal with the given blend of the reference's white
// and the pixel's white (0: the pixel's own white, which leaves the image
// unchanged; 1: the reference's white) and the damping of iCAMCATLocal.
// image: CV_32FC3 B, G, R in [0, 1], replaced by the result, companded but
// not clipped. reference: CV_32FC3 B, G, R, any size, not changed. An empty
// image or reference, or another type, raises cv::Exception.
// Prints the two grey-world whites (reference first, "[b, g, r]" lines); the
// guided filter writes its debug images.
void performLocalCAMCA(cv::Mat& image, const cv::Mat& reference, float blend);

// Von Kries adaptation of a sharpened image, in place, from the per-pixel
// white `white` to the per-pixel `target` (both sharpened CV_32FC3 of the
// image's size), with D = computeAdapFactD(20) applied twice: each element is
// multiplied by 1 - D^2 + D^2 ratio, ratio = target / white (float), or
// target / (white + 0.02) in double where white < 1e-3.
// xyzWhite and mask are not consulted (any matrix, empty included).
// Per channel (S, M, L) prints "<largest ratio> <white> <target>" at the first
// pixel holding the largest ratio (the previous channel's pixel, or (0, 0),
// while no ratio is above 0). Writes the last channel's (L's) files:
// "catRatio.txt" with its ratios, one per line in row-major order, and
// "increaseMap.jpg" (gain / largest ratio x 255).
// Safe to run from several threads at once on different images. Each file is
// written under a temporary name and renamed into place, so each holds the
// whole output of one call, though the two files may come from two calls;
// each printed line stays whole.
void biCAT(cv::Mat& image, const cv::Mat& white, const cv::Mat& xyzWhite, const cv::Mat& target,
    const cv::Mat& mask);

// biCAT without its files: the same result in place and the same printed
// lines, nothing written. For a caller that adapts many images and keeps the
// files of one.
void biCATWithoutFiles(cv::Mat& image, const cv::Mat& white, const cv::Mat& target);

// Re-lights a guidance image to the local white of an input image through the
// per-pixel linear model guidance' = weight (inputWhite + a (guidance -
// guidanceWhite)), a = 1 - D + D ratio, ratio = inputWhite / guidanceWhite,
// D = computeAdapFactD(20); with D = 1 this is the von Kries re-lighting
// weight x inputWhite / guidanceWhite x guidance. Computed on the 0..255
// scale; where the guidance white is below 1 on that scale the ratio is the
// input white itself (the divisor taken as 1) and the pixel is flagged.
//
// guidance: CV_32FC3 on 0..1, replaced by the result. guidanceWhite, input,
//   inputWhite: CV_32FC3 of the guidance's size. fourth: any CV_32F matrix
//   (or empty). All five are multiplied by 255 in place during the call and
//   divided by 255 at its end (the inputs come back up to float rounding).
// weight: CV_32FC1 of the guidance's size, used as it is.
// sigma: colour sigma of the bilateral smoothing behind the covariance images.
// Writes the structure tensor's files and line (for input, then guidance),
// an empty "catRatio.txt", "covariance1.jpg", "covariance2.jpg",
// "variance.jpg", "ratio_bowls.jpg" (ratio x 50), "diff1.jpg" (0 where all
// three channels were flagged, 255 elsewhere), "whiteGuidance.jpg" and
// "whiteInput.jpg" (0..255 scale).
void biCATRegression(cv::Mat& guidance, cv::Mat& guidanceWhite, cv::Mat& input, cv::Mat& fourth,
    cv::Mat& inputWhite, const cv::Mat& weight, float sigma);

} // namespace color
} // namespace toolkit
