// Conversions of float colour images (CV_32FC3, channels B, G, R, display
// values in [0, 1]) into and out of the logarithmic LMS cone space, the
// decorrelated l-alpha-beta space, a simple opponent space, an unscaled
// luma/colour-difference space (YUV) and CIE L*a*b*.
//
// LMS, l-alpha-beta, YUV and L*a*b* images are CV_32FC3 in natural order:
// channel 0 holds the first-named component (L, l, Y or L*). Output images are
// allocated by the caller with the size the loops walk (stated per function);
// every element in that range is written and nothing is reallocated. An empty
// source, another type or channel count, or an image smaller than the loops
// walk raises cv::Exception before any pixel is touched. Nothing is printed or
// written to files.
//
// Note that convertLMStoLab and convertLabtoLMS work in l-alpha-beta; only
// convertBGRToLab and convertLabToBGR work in CIE L*a*b*.
#pragma once

#include <opencv2/core.hpp>

namespace toolkit {
namespace color {

// Applies the 3 x 3 CV_32FC1 matrix M to the first rows x cols pixels of the
// CV_32FC3 src, in natural order on both sides:
// dst[k] = M(k,0) src[0] + M(k,1) src[1] + M(k,2) src[2], in float. Each source
// pixel is read once before its destination is written, so dst may be src.
// Both images must cover rows x cols (rows, cols >= 0).
void conversion(const cv::Mat& src, cv::Mat& dst, const cv::Mat& M, int rows, int cols);

// Colour image (B, G, R) to the two-channel opponent image (CV_32FC2, the
// source's size): channel 0 = R - G, channel 1 = (R + G) / 2 - B, on display
// values. Walks the source.
void convertToSimpleOpponentSpace(const cv::Mat& image, cv::Mat& opponent);

// Colour image (B, G, R, display values, not modified) to log10 cone
// responses L, M, S (channels 0, 1, 2) with the Reinhard et al. RGB-to-LMS
// matrix on linearised values. A zero response becomes log10(1e-6) = -6, so
// inputs in [0, 1] give values in [-6, about 0]. Walks the source.
void convertBGRtoLMS(const cv::Mat& image, cv::Mat& lms);

// Log-LMS image to l-alpha-beta (Ruderman et al.): l = (L + M + S) / sqrt 3,
// alpha = (L + M - 2S) / sqrt 6, beta = (L - M) / sqrt 2, in channels 0, 1, 2.
// Walks the source.
void convertLMStoLab(const cv::Mat& lms, cv::Mat& lab);

// l-alpha-beta image to *linear* LMS: the inverse decorrelation, then 10^x
// (in double) clipped to [0, 1] per channel, in channels L, M, S. Walks the
// output, which must not be larger than the source.
void convertLabtoLMS(const cv::Mat& lab, cv::Mat& lms);

// Linear LMS image (L, M, S) to a colour image (B, G, R) with the inverse
// Reinhard et al. matrix, then sRGB companding; not clipped. Walks the output,
// which must not be larger than the source.
void convertLMStoBGR(const cv::Mat& lms, cv::Mat& image);

// Colour image (B, G, R) to Y, U, V in channels 0, 1, 2 with the matrix of
// yuvMatrix(), on display values (no transfer curve): Y in [0, 1],
// U = B - Y in [-0.886, 0.886], V = R - Y in [-0.701, 0.701]; a grey has
// U = V = 0. Walks the source.
void convertBGRtoYUV(const cv::Mat& image, cv::Mat& yuv);

// The 3 x 3 CV_32FC1 matrix of convertBGRtoYUV: rows Y, U, V; columns R, G, B.
cv::Mat yuvMatrix();

// Colour image (B, G, R) to CIE L*a*b* (L* 0..100 within the white, a* and b*
// signed) relative to the XYZ white that adaptXYZToNewWhitePoint derives from
// referenceWhite (CV_32FC3, display B, G, R at element (0, 0); (1, 1, 1)
// gives D50).
// `image` is linearised in place (sRGB inverse companding) and stays linear.
// Walks the source.
void convertBGRToLab(cv::Mat& image, const cv::Mat& referenceWhite, cv::Mat& lab);

// CIE L*a*b* (L*, a*, b*) to a colour image (B, G, R), companded and clipped
// to [0, 1], relative to the white derived from referenceWhite as in
// convertBGRToLab. Walks the source.
void convertLabToBGR(const cv::Mat& lab, const cv::Mat& referenceWhite, cv::Mat& image);

} // namespace color
} // namespace toolkit
