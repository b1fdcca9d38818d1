// sRGB transfer curves, chromaticities and conversions between display sRGB
// (CV_32FC3, channels B, G, R, values nominally in [0, 1]) and CIE XYZ
// (CV_32FC3, channels X, Y, Z in natural order, relative scale: a white has
// Y = 1), plus the per-pixel 3 x 3 matrix appliers that carry the library's
// B, G, R channel reversal.
//
// Output images are allocated by the caller with the source's rows x cols and
// type CV_32FC3; the conversions write every element and never reallocate them.
// Images and whites must be non-empty CV_32FC3 and 3 x 3 matrices CV_32FC1;
// other types, channel counts or sizes raise cv::Exception before any pixel is
// touched. Nothing is printed or written to files.
#pragma once

#include <opencv2/core.hpp>

namespace toolkit {
namespace color {

// Linear to display sRGB. Linear branch (v x 12.92) for v <= 0.0031308,
// including negative v; otherwise 1.055 v^(1/2.4) - 0.055. Computed in double,
// returned as float, not clipped.
float sRGBCompanding(float v);

// Display to linear sRGB. Linear branch (v / 12.92) for v <= 0.04045,
// including negative v; otherwise ((v + 0.055) / 1.055)^2.4. Computed in
// double, returned as float, not clipped.
float sRGBInverseCompanding(float v);

// Chromaticity of an XYZ triple: XYZ holds (X, Y, Z) at element (0, 0) of a
// CV_32FC3, and element (0, 0) of the allocated CV_32FC2 xy receives (x, y).
// X + Y + Z = 0 is not guarded (the result is the float quotient, NaN or
// infinite).
void XYZtoxy(const cv::Mat& XYZ, cv::Mat& xy);

// XYZ of a chromaticity ((x, y) at element (0, 0) of a CV_32FC2) at luminance
// Y: writes (x Y / y, Y, (1 - x - y) Y / y) into element (0, 0) of the
// allocated CV_32FC3 XYZ.
// y = 0 is not guarded.
void xytoXYZ(const cv::Mat& xy, float Y, cv::Mat& XYZ);

// Row `row` of the 3 x 3 CV_32FC1 matrix M applied to the three floats held at
// element (0, 0) of `vector` (a CV_32FC3 matrix): M(row,0) a0 + M(row,1) a1 +
// M(row,2) a2, in float. row is 0, 1 or 2.
float product(const cv::Mat& vector, const cv::Mat& M, int row);

// The 3 x 3 CV_32FC1 linear-sRGB (rows X, Y, Z; columns R, G, B) to XYZ
// matrix for the white held at element (0, 0) of `white` (CV_32FC3, X, Y, Z),
// from the sRGB primaries. Display white (1, 1, 1) maps exactly to that
// white. `M` is replaced by a new matrix.
void getRGBtoXYZMatrix(const cv::Mat& white, cv::Mat& M);

// Display sRGB (B, G, R) to XYZ with the matrix of getRGBtoXYZMatrix(white).
// `image` is linearised in place (each channel replaced by its inverse
// companding) and stays linear after the call.
void convertBGRtoXYZ(cv::Mat& image, const cv::Mat& white, cv::Mat& xyz);

// XYZ to display sRGB (B, G, R) with the inverse of getRGBtoXYZMatrix(white),
// companded and clipped to [0, 1]. `image` may be the same matrix as `xyz`.
void convertXYZtoBGR(const cv::Mat& xyz, const cv::Mat& white, cv::Mat& image);

// Display sRGB (B, G, R) to XYZ with the fixed sRGB/D65 matrix. `image` is not
// modified. For inputs in [0, 1], X <= 0.950467, Y <= 1, Z <= 1.0889694.
void convertBGRToXYZDirect(const cv::Mat& image, cv::Mat& xyz);

// XYZ to display sRGB (B, G, R) with the inverse of the fixed sRGB/D65
// matrix, companded but not clipped: out-of-gamut colours keep values below 0
// or above 1. `xyz` is not modified; `image` may be the same matrix as `xyz`.
void convertXYZToBGRDirect(const cv::Mat& xyz, cv::Mat& image);

// Applies the 3 x 3 CV_32FC1 matrix M to every pixel of a CV_32FC3 image read
// in reversed order: dst[r] = M(r,0) src[2] + M(r,1) src[1] + M(r,2) src[0].
// dst must be an allocated CV_32FC3 of src's size.
// A B, G, R pixel is taken as the vector (R, G, B) and the result is stored in
// natural order. dst may be the same matrix as src.
void multiplyImageByMatrixForward(const cv::Mat& src, cv::Mat& dst, const cv::Mat& M);

// Applies M to every pixel read in natural order and stores the result
// reversed: dst[2 - r] = M(r,0) src[0] + M(r,1) src[1] + M(r,2) src[2].
// dst may be the same matrix as src.
void multiplyImageByMatrixBackward(const cv::Mat& src, cv::Mat& dst, const cv::Mat& M);

} // namespace color
} // namespace toolkit
