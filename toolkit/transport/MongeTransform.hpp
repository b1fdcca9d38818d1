// Colour transfer by optimal transport: the colours of an input image and of a
// target image are modelled as Gaussians (channel means and covariance), and
// every input pixel goes through the Monge-Kantorovich affine map between
// them, fully or part of the way along the transport geodesic.
//
// Images are CV_32FC3 with channel 0 the lightness and channels 1, 2 the two
// chromatic channels (Lab-like order, e.g. Lab stored in 0..255 with 128 as
// neutral chroma). With n = 2 only channels 1 and 2 are used and the output
// holds the two mapped chromatic channels in its channels 0 and 1; with n = 3
// all three channels are used and output. NaN marks a value that the
// statistics skip and the mappings pass through. Outputs are allocated by the
// caller and written element by element; a wrong size or type raises
// cv::Exception rather than being written out of bounds.
#pragma once

#include <opencv2/core.hpp>

namespace toolkit {
namespace transport {

// out[k] = T(k,0) (x1 - meansIn[0]) + T(k,1) (x2 - meansIn[1]) + meansOut[k],
// k = 0, 1, for every pixel (x0, x1, x2) of the CV_32FC3 input; summed left to
// right in float. Output component k is NaN wherever input channel k is NaN
// (channel 0 or 1, although the map reads channels 1 and 2). output is
// CV_32FC2 of the input's size; T is 2 x 2 CV_32FC1; target is not read.
void computeMapping2D(const cv::Mat& input, const cv::Mat& target, float*& meansIn,
    float*& meansOut, const cv::Mat& T, cv::Mat& output);

// out[k] = T(k,0) (x0 - meansIn[0]) + T(k,1) (x1 - meansIn[1])
//          + T(k,2) (x2 - meansIn[2]) + meansOut[k], k = 0, 1, 2,
// NaN wherever input channel k is NaN. output is CV_32FC3 of the input's
// size; T is 3 x 3 CV_32FC1; target is not read.
void computeMapping3D(const cv::Mat& input, const cv::Mat& target, float*& meansIn,
    float*& meansOut, const cv::Mat& T, cv::Mat& output);

// Bonneel's form: out[k] = T(k,0) x1 + T(k,1) x2 - meansIn[k] + meansOut[k],
// k = 0, 1, with the NaN rule and the arguments of computeMapping2D.
void computeMapping2DBonneel(const cv::Mat& input, const cv::Mat& target, float*& meansIn,
    float*& meansOut, const cv::Mat& T, cv::Mat& output);

// One pixel (row, col) of the CV_32FC3 input into the 1 x 2 CV_32FC1 outRow:
// outRow(0,k) = meanOut(0,k) + ((x1 - meanIn(0,0)) T(k,0) + (x2 - meanIn(0,1)) T(k,1)).
// meanIn and meanOut are 1 x 2, T is 2 x 2, all CV_32FC1. No NaN rule.
void computeNewValue2D(cv::Mat& input, cv::Mat& outRow, cv::Mat& meanIn, cv::Mat& meanOut,
    cv::Mat& T, int row, int col);

// As computeNewValue2D in Bonneel's form:
// outRow(0,k) = meanOut(0,k) + (x1 T(k,0) + x2 T(k,1) - meanIn(0,k)).
void computeNewValue2DBonneel(cv::Mat& input, cv::Mat& outRow, cv::Mat& meanIn, cv::Mat& meanOut,
    cv::Mat& T, int row, int col);

// Moves the target Gaussian (meansOut, covOut) and the map T to the point t of
// the transport geodesic from the input Gaussian (meansIn, covIn), in place:
// meansOut = t meansOut + (1 - t) meansIn; T_t = (1 - t) I + t T;
// covOut = T_t covIn T_t; T = closedFormMatrix(covIn, covOut). t = 1 keeps the
// target (up to rounding), t = 0 gives the input's own mean and covariance and
// T = I (for a covIn diagonal of at least 7.5). n = 2 or 3; matrices n x n
// CV_32FC1, mean arrays of n floats. meansIn and covIn are only read.
void computeGeodesicPath(
    float* meansIn, float* meansOut, cv::Mat& covIn, cv::Mat& covOut, cv::Mat& T, float t, int n);

// Transfers the target's colour distribution onto the input (both CV_32FC3,
// sizes may differ) in n = 2 or 3 dimensions, t of the way along the geodesic
// (t = 1: full transfer; any other t, NaN included, goes through
// computeGeodesicPath). Writes:
//   output       input's size, CV_32FC2 (n = 2) or CV_32FC3 (n = 3): the mapped pixels;
//   inputMeans   1 x n: computeWeightedMean of the input's used channels;
//   targetMeans  1 x n: the same for the target;
//   transport    n x n: the full map of t = 1.
// The mapping itself uses the means of computeWeightedMeanVector (histogram-
// weighted for n = 2, plain for n = 3). inputCovInverse and targetCov are not
// used. Prints the progress lines of the two covariances (12 each for n = 2,
// 27 each for n = 3), then for n = 3 one line per plain mean (3 + 3).
void applyOptimalTransport(const cv::Mat& input, const cv::Mat& target, cv::Mat& output,
    cv::Mat& inputCovInverse, cv::Mat& inputMeans, cv::Mat& targetCov, cv::Mat& targetMeans,
    cv::Mat& transport, float t, int n);

// As applyOptimalTransport, and also writes:
//   inputCovInverse  3 x 3: the inverse (LU) of the input's channel 0..2
//                    covariance; zero when that covariance is singular;
//   targetCov        2 x 2: the covariance of the target's channels 1 and 2;
//   inputMeans       1 x 3: computeWeightedMean of the input's channels 0, 1, 2;
//   targetMeans      1 x 2: computeWeightedMean of the target's channels 1, 2;
// whatever n is. Prints, in order: the two covariances' progress lines; the
// input covariance as matrix text followed by " inpCovs", the target one
// followed by " tarCovs"; 27 and 12 progress lines of the extra covariances;
// for n = 3 the lines of the plain means.
void applyOptimalTransportBonneel(const cv::Mat& input, const cv::Mat& target, cv::Mat& output,
    cv::Mat& inputCovInverse, cv::Mat& inputMeans, cv::Mat& targetCov, cv::Mat& targetMeans,
    cv::Mat& transport, float t, int n);

// Hue angle in degrees, [0, 360), of the chromatic pair (ca, cb) of a CV_32FC3
// image stored in 0..255 with 128 as neutral chroma:
// atan2(image[cb] - 128, image[ca] - 128) in degrees (double, stored as
// float), plus 360 in float when negative, into the caller's CV_32FC1 hue
// plane of the image's size.
// Neutral (128, 128) gives 0; (ca, cb) = (128, 0) gives 270.
void computeHue(const cv::Mat& image, cv::Mat& hue, int ca, int cb);

} // namespace transport
} // namespace toolkit
