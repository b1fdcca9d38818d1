// Von Kries chromatic adaptation in the CAT02 sharpened cone space.
//
// A sharpened image is CV_32FC3 holding the CAT02 responses in reversed order
// (channel 0 = S, 1 = M, 2 = L, "sharpened BGR"), unscaled: an XYZ white with
// Y = 1 gives responses near 1. XYZ images are CV_32FC3 (X, Y, Z) on the
// relative scale (white Y = 1); colour images are CV_32FC3 B, G, R in [0, 1].
//
// Per-pixel white images must cover at least the adapted image's rows x cols.
// Adapting luminance La is 0.2 x Y of the pixel's white (Y on the 0..1 scale).
// Images and whites must be non-empty CV_32FC3; another type, channel count or
// a white that does not cover the image raises cv::Exception before any pixel
// is touched. Nothing here prints or writes files.
#pragma once

#include <opencv2/core.hpp>

namespace toolkit {
namespace color {

// XYZ to sharpened BGR with the CAT02 matrix: channel 2 = L, 1 = M, 0 = S.
// sharpened must be an allocated CV_32FC3 of xyz's size; it may be xyz itself.
void convertXYZtoSharpenedBGR(const cv::Mat& xyz, cv::Mat& sharpened);

// Sharpened BGR (S, M, L) to XYZ with the inverse CAT02 matrix. xyz must be an
// allocated CV_32FC3 of sharpened's size; it may be sharpened itself.
void convertSharpenedBGRtoXYZ(const cv::Mat& sharpened, cv::Mat& xyz);

// CAT02 degree of adaptation for an average surround (F = 1) at adapting
// luminance La (cd/m^2): 1 - exp((-La - 42) / 92) / 3.6. Not clamped.
float computeAdapFactD(float La);

// Adapts a display image (B, G, R in [0, 1]) from the white whiteSrc to the
// white whiteDst with degree D. Both whites are linear B, G, R triples at
// element (0, 0) of a CV_32FC3 matrix (converted to XYZ with OpenCV's fixed
// BGR-to-XYZ matrix).
// The image is replaced by the adapted display image, companded and clipped
// to [0, 1]; adapted XYZ values are clamped at 0 from below before the
// conversion back. The mask is not consulted.
void CAT(
    cv::Mat& image, const cv::Mat& whiteSrc, const cv::Mat& whiteDst, float D, const cv::Mat& mask);

// Undoes a per-pixel von Kries adaptation of the sharpened image `adapted`.
// On entry `out` holds the sharpened image whose Y supplies each pixel's
// adapting luminance; on return it holds adapted / (1 + whiteDst D / whiteSrc
// - D), per pixel and channel. whiteDst and whiteSrc are per-pixel sharpened
// whites; elements of whiteSrc below 1e-6 are raised by 1e-6 in place.
// `out` has adapted's size and may be `adapted` itself.
void inverseCAT(const cv::Mat& adapted, const cv::Mat& whiteDst, cv::Mat& whiteSrc, cv::Mat& out);

// Per-pixel von Kries adaptation of a sharpened image, in place. whiteSrc is a
// per-pixel sharpened white (it also gives La, hence D, per pixel). With
// perPixelDst the destination white is whiteDst(i, j); otherwise it is
// blend x whiteDst(0, 0) + (1 - blend) x whiteSrc(i, j). The fourth and fifth
// matrices are not consulted. A source white in [0, 1e-6) (blended branch) is
// offset by 1e-6 so that black whites give a finite gain; a negative one is
// divided by as it is.
void iCAMCAT(cv::Mat& image, const cv::Mat& whiteSrc, const cv::Mat& whiteDst,
    const cv::Mat& unused1, const cv::Mat& unused2, float blend, bool perPixelDst);

// As iCAMCAT, with the gain damped to a degree of adaptation of 0.3 D and
// applied only where mask (CV_8UC1, the image's size) is non-zero; other
// pixels keep their values.
void iCAMCATLocal(cv::Mat& image, const cv::Mat& whiteSrc, const cv::Mat& whiteDst,
    const cv::Mat& unused1, const cv::Mat& unused2, const cv::Mat& mask, float blend,
    bool perPixelDst);

// Adapts a sharpened image in place to the D65 white with D for La = 20, using
// the per-pixel sharpened white whiteSrc: v x (1 + W65 D / (1e-6 + white) - D).
// The image may be passed as its own white. The third matrix is not consulted.
void iCAMCATByD65(cv::Mat& image, const cv::Mat& whiteSrc, const cv::Mat& unused);

// Exact inverse of iCAMCATByD65 for the same whiteSrc, in place (divides by
// the same gain). The third matrix is not consulted.
void inverseCATByD65(cv::Mat& image, const cv::Mat& whiteSrc, const cv::Mat& unused);

} // namespace color
} // namespace toolkit
