// The brightness series: six renderings of one adapted image that differ only
// in the appearance attribute brightness (Q of the forward appearance model),
// plus the smoothed "white" images that the local adaptations take as
// per-pixel whites.
//
// Colour images are CV_32FC3 (channel order stated per function); planes are
// CV_32FC1. Outputs are allocated by the caller unless stated otherwise.
// An empty image, another type or channel count, or an output of another size
// raises cv::Exception before any pixel is touched.
#pragma once

#include "toolkit/common/DebugOutput.hpp"

#include <opencv2/core.hpp>

#include <functional>
#include <ostream>

namespace toolkit {
namespace color {

// Power law on a brightness plane with an exponent set by a ratio of two
// brightness levels: gamma = log10(b / a) + 1 (b / a in float, the logarithm
// and the addition in double, gamma stored as float). For every pixel
// dst = src^gamma in float; a negative source gives 0.
// src and dst: CV_32FC1 of the same size; dst allocated by the caller (it may
// be src itself).
// Prints to `printed` (the progress stream unless given) "Gamma: <gamma>",
// then, on a line each, every negative source value and "Nan values in the
// gamma correction!" for every NaN result (a negative a, hence a NaN gamma,
// gives one such line per pixel).
void performGammaCorrectionByStyle(const cv::Mat& src, cv::Mat& dst, float a, float b,
    std::ostream& printed = toolkit::common::progress());

// Six brightness renderings of a sharpened cone image (CV_32FC3, S, M, L in
// channels 0, 1, 2, values about 0..1). The forward appearance model runs once,
// through its chroma step (computeAppearance under the default
// ViewingConditions: white 100, La = 20, dark surround); its brightness is bilateral-filtered to Qf
// (diameter 5, colour sigma Qmax / 50, space sigma 40). Pass k = 0..5 raises
// Qf to 1 + log10(10 / f_k), f_0 = factor, f_k+1 = f_k - 0.7 (in double), keeps
// hue and chroma and runs the inverse model back to a sharpened image.
//
// image: scaled by 100 in place during the call and divided by 100 at its end,
//   so it holds its former values again up to float rounding.
// exposures: at least six matrices (not null); element k receives pass k as
//   a sharpened CV_32FC3 image of the input's size on the 0..1 scale.
//   Elements already of that size and type are written in place; others are
//   (re)allocated.
// factor: f_0; 10 leaves pass 0 at the filtered brightness; below 3.5 the last
//   passes have a negative f and therefore NaN results.
//
// Reads "Images/flash-nonFlash+multiExp/set06/Scaled/flash.JPG" and writes it
// as "tmpFlash.jpg" (nothing when it is missing). Writes the model's own files
// plus "rgba_before.jpg", "lms_before.jpg", "a_before.jpg", "b_before.jpg",
// "lightness_before.jpg", "brightness_before.jpg",
// "brightness_before_filtered.jpg", an empty "pValues.txt", and of the last
// pass "10_out.txt", "t_after.jpg", "brightness_after.jpg", "z_after.jpg",
// "lightness_after.jpg", "A_after.jpg", "a_after.jpg", "b_after.jpg",
// "rgba_after.jpg", "lms_after.jpg" and "dst.jpg".
// Prints, per pass, the lines of
// performGammaCorrectionByStyle, "Already out !", the inverse model's lines,
// every NaN value of the pass's output and the next f; finally every restored
// input value above 1.
// The six passes run at once, on as many threads as there are cores; each
// keeps its lines until all have finished, and the lines come out in the
// order of the passes. exposureDone(k), when given, runs on pass k's thread
// (with the caller's debug setting) as soon as element k is complete, while
// other passes may still run; what it prints comes before the passes' lines.
void increaseBrightness(cv::Mat& image, cv::Mat* exposures, float factor,
    const std::function<void(int)>& exposureDone = {});

// Bilateral smoothing: dst = bilateral filter of src with diameter d, colour
// sigma sigmaColor and space sigma d, reflect-101 border. Any depth and
// channel count the bilateral filter accepts (8-bit or float, 1 or 3
// channels); dst receives src's size and type and may be src itself.
void computeWhiteImgVs2(const cv::Mat& src, cv::Mat& dst, float sigmaColor, int d);

// Edge-preserving smoothing of an image by itself: dst is replaced by the
// guided filter of src guided by src (radius 16, eps 0.0001, src's depth),
// sharing the filter's result. Three-channel float images are the usual input
// (the colour guide then writes its debug images); the int argument is
// ignored.
void computeWhiteImg(const cv::Mat& src, cv::Mat& dst, int unused);

} // namespace color
} // namespace toolkit
