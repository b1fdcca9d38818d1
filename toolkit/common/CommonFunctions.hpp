// Small helpers shared by the whole toolkit and by both programs: 8-bit to
// float normalisation, L*a*b* range scaling, file naming, clamping, NaN-aware
// plane statistics and 3 x 3 matrix products.
//
// Image functions work in place or into a destination the caller allocated
// with the right size and type; none of them allocates or resizes its output.
#pragma once

#include "toolkit/common/ImageFiles.hpp"

#include <opencv2/core.hpp>

#include <array>
#include <string>

namespace toolkit {
namespace common {

// Natural L*a*b* (L* 0..100, a* and b* signed) to the 0..255 range, in place:
// L* x 2.55 (product in double), a* + 128, b* + 128. CV_32FC3, channels L*, a*, b*.
//
// Every function here checks its matrices before touching them and raises
// cv::Exception for an empty matrix where pixels are needed, another type
// than the one stated, or a size that does not fit.
void scaleLab(cv::Mat& imgLab);

// Undoes scaleLab in place: L* x 100/255 (product in double), a* - 128, b* - 128.
void rescaleLab(cv::Mat& imgLab);

// v / 255.0 for every 8-bit value v, divided in double and stored as float.
const std::array<float, 256>& normalisationTable();

// CV_8UC3 BGR to CV_32FC3 BGR in [0, 1]: each value v becomes v / 255.0 (in
// double, stored as float). imgNorm must be a CV_32FC3 of at least img's size.
void normImg(cv::Mat& img, cv::Mat& imgNorm);

// Multiplies a CV_32FC3 image in [0, 1] by 255 in place (the caller's image is
// left scaled) and writes it to the file `name`; the format follows the
// extension. A failed write (or an empty image) is not reported; an image of
// another type raises cv::Exception.
void getFinalImg(cv::Mat& img, std::string name);

// Plain decimal text of i ("7", "-3").
std::string convertIntToString(int i);

// The name without its last "." and what follows; the whole name when it has
// no dot. The search does not stop at directory separators ("dir.old/img" gives "dir").
std::string remove_extension(const std::string& filename);

// n clamped to [lower, upper]. A NaN n gives lower; lower > upper gives lower.
float clip(float n, float lower, float upper);

// Mean of the non-NaN values of a CV_32FC1 plane, summed in float. Prints the
// float sum, a blank and the count on standard output. An all-NaN or empty
// plane prints "0 0" and gives 0.
float computeMean(cv::Mat& plane);

// Standard deviation of the non-NaN values of a CV_32FC1 plane around the
// given mean: sqrt(sum(v^2 - mean^2) / count), in float. NaN when no value counts.
float computeStdDev(const cv::Mat& plane, float& mean);

// C = A x B for square CV_32FC1 matrices (n = rows of A), accumulated in float
// in increasing k. A and B must be n x n CV_32FC1 and C an allocated n x n CV_32FC1.
void dotProduct(const cv::Mat& A, const cv::Mat& B, cv::Mat& C);

} // namespace common
} // namespace toolkit
