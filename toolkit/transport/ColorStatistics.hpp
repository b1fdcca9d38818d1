// Colour statistics of NaN-masked float images and the small dense-matrix
// helpers of the optimal-transport colour transfer: products and symmetric
// square roots of 2 x 2 and 3 x 3 matrices, per-channel means (plain and
// histogram-weighted), variances, covariances, method-of-moments beta
// estimates, and the closed-form Monge-Kantorovich map between two zero-mean
// Gaussians.
//
// Images are CV_32FC3 with channel 0 the lightness and channels 1, 2 the two
// chromatic channels (Lab-like order). The two-dimensional statistics (n = 2)
// use channels 1 and 2 only, the three-dimensional ones (n = 3) channels 0, 1
// and 2. NaN marks a value that takes no part in a statistic. Every loop runs
// rows outer, columns inner, and sums in single precision in that order.
//
// Small matrices are CV_32FC1, n x n with n = 2 or 3, allocated by the caller
// with that size and type; they are written element by element and never
// reallocated. A matrix of the wrong size or type raises cv::Exception rather
// than being written out of bounds.
#pragma once

#include <opencv2/core.hpp>

namespace toolkit {
namespace transport {

// P = A x B for square CV_32FC1 matrices of one size: every P(i, j) is set to
// 0 and then accumulates A(i, k) * B(k, j) for increasing k, in float.
// P must be allocated with A's size and must not share storage with A or B.
void dot(const cv::Mat& A, const cv::Mat& B, cv::Mat& P);

// R = the symmetric square root of the symmetric n x n matrix A (n = 2 or 3):
// R = V^T sqrt(diag(lambda)) V from cv::eigen, with every negative eigenvalue
// set to 0 first, so a slightly indefinite A (rounding) gives no NaN.
void matrixSquareRoot(const cv::Mat& A, cv::Mat& R, int n);

// Mean of the non-NaN values of a CV_32FC1 plane, summed in float. Prints the
// float sum, a blank and the count on standard output ("6 3"). A plane without
// a counted value prints "0 0" and gives 0. M is not changed.
float computeMean(const cv::Mat& M);

// Histogram-weighted mean of the non-NaN values of a CV_32FC1 plane: each
// value v is weighted by the share of the values whose key, v rounded to the
// nearest integer with halves away from zero, equals its own key.
// {1.2, 1.4, 3.0} gives 1.64. NaN when no value counts. Prints nothing.
float computeWeightedMean(const cv::Mat& M);

// Per-channel means of a CV_32FC3 image into means[0 .. n-1] (caller-owned):
// n = 2: computeWeightedMean of channels 1 and 2 (prints nothing);
// n = 3: computeMean of channels 0, 1, 2 (prints one line each).
void computeWeightedMeanVector(const cv::Mat& img, float*& means, int n);

// Population variance of the non-NaN values of a CV_32FC1 plane about the
// given mean: sum(v^2 - mean^2) / count, in float. NaN when no value counts.
// Prints nothing; mean is only read.
float computeVariance(const cv::Mat& M, float& mean);

// Method-of-moments shape alpha of a beta distribution fitted to the values of
// a CV_32FC1 plane in (0, 1): ((1 - mu) / var - 1 / mu) * mu^2, with mu from
// computeMean (prints its line) and var from computeVariance.
float computeAlphaFromBetaDistr(cv::Mat& M);

// Method-of-moments shape beta for a given alpha: (1 / mu - 1) * alpha, with
// mu from computeMean (prints its line).
float computeBetaFromBetaDistr(cv::Mat& M, float alpha);

// Probability density of the beta distribution with shapes alpha, beta > 0 at
// x (computed in double): x^(alpha-1) (1-x)^(beta-1) / B(alpha, beta) on
// [0, 1], 0 outside it, NaN for a shape that is not positive.
float computeBetaDistribution(float x, float alpha, float beta);

// Sample covariance of two CV_32FC1 planes of one size:
// sum((a - mA)(b - mB)) / (count - 1) over the positions where neither value
// is NaN, with mA = computeMean(A) and mB = computeMean(B). Prints three
// lines: A's sum and count, B's sum and count, then "mA mB". Fewer than two
// counted positions give 0.
float computeCovarianceElement(const cv::Mat& A, const cv::Mat& B);

// The n x n channel covariance matrix of a CV_32FC3 image into cov (n = 2:
// channels 1 and 2; n = 3: channels 0, 1 and 2). Every entry, both halves of
// the symmetric matrix, is its own computeCovarianceElement, row by row, so
// one call prints 3 lines per entry: 12 for n = 2, 27 for n = 3.
void computeCovariance(const cv::Mat& img, cv::Mat& cov, int n);

// Fills every entry of the n x n cov with computeCovarianceElement(channel 0
// of the CV_32FC3 img, the CV_32FC1 plane M), computed once (three lines).
void computeChannelCov(const cv::Mat& img, cv::Mat& M, cv::Mat& cov, int n);

// T = the Monge-Kantorovich linear map from a zero-mean Gaussian of covariance
// A to one of covariance B (symmetric n x n, n = 2 or 3): the symmetric
// positive semi-definite T with T A' T = B, where A' is A with every diagonal
// entry below 7.5 raised to 7.5 (B is used as given). The floor is in the
// units of the data, e.g. Lab stored in 0..255. T = S^-1 sqrt(S B S) S^-1 with
// S = sqrt(A') and S^-1 its SVD pseudo-inverse. T may be A or B itself.
void closedFormMatrix(const cv::Mat& A, const cv::Mat& B, cv::Mat& T, int n);

} // namespace transport
} // namespace toolkit
