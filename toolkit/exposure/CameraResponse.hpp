// Camera response recovery and the HDR tool chain (Debevec calibration and
// merge, Durand tone mapping, Mertens fusion) for a sequence of float
// exposures, and the appearance model run over every exposure of a sequence.
//
// Exposures are CV_32FC3, B, G, R, values in [0, 1], all of the first one's
// size. Exposure i is taken with time 1 / table[i + 1]; entry 0 of an
// exposure-time table is never used. Files go to the working directory and
// overwrite earlier ones; these functions must not run concurrently in one
// directory.
#pragma once

#include <opencv2/core.hpp>

#include <string>
#include <vector>

namespace toolkit {
namespace exposure {

// Turns n exposures into the inputs of OpenCV's HDR tools. Multiplies the
// reference image and each of the n exposures by 255 in place and converts
// them to CV_8UC3 (rounded, saturated). Appends the n 8-bit exposures to
// `images` and 1 / table[i + 1] (float) to `times`; neither list is cleared.
// `table` needs n + 1 entries.
// Writes "test2.jpg" (the reference), and for n >= 2 "test10.jpg" (the
// list's first image) and "test11.jpg" (the second image of this call).
// Prints per exposure the line "<time> <table[i + 1]> <n>".
void loadExposureSeq(cv::Mat* exposures, cv::Mat& reference, const float* table,
    std::vector<cv::Mat>& images, std::vector<float>& times, int n);

// Recovers the camera response of n >= 2 exposures (times 1 / 512, 1 / 256,
// ..., from the table 1024 / 2^k), merges them into an HDR image, tone-maps
// it (Durand: gamma 2.2, contrast 4, saturation 1, sigmas 2) and fuses the
// exposures (Mertens: contrast and saturation weights 1, exposure weight 0).
// Scales the reference and the exposures by 255 in place (loadExposureSeq).
// Writes "test.jpg" (exposure 1), the files of loadExposureSeq, "test1.jpg"
// (8-bit image 1), "Rreal.txt", "Greal.txt", "Breal.txt" (the response per
// channel, one value per line), "valuesReal.txt" (row indices 0..255), and
// name + ".hdr" (Radiance), name + ".jpg" (tone-mapped x 255), name +
// "fusion.jpg" (fusion x 255); a directory part in name places the last three.
// Prints the lines of loadExposureSeq, "here i am" before and after the
// calibration, the response matrix in OpenCV's text format, and the line
// "<name>.hdr <name>.jpg".
// Throws cv::Exception (StsBadArg) before touching anything when n < 2 or
// exposures is null.
void recoverCRF(cv::Mat*& exposures, cv::Mat& reference, int n, std::string name);

// Adapts each of the n exposures to D65 with itself as the per-pixel white
// and runs the forward appearance model through its brightness step
// (toolkit::color::computeAppearance under the default ViewingConditions: a
// white of 100, LA = 20, Yb = 20). The planes are computed and dropped.
// Each exposure is left holding its adapted sharpened (S, M, L) image x 100.
// Writes "test1.jpg" and "test.jpg" (exposure x 255 before and after the
// adaptation; the last exposure's remain) and the model's debug files
// ("A_before.jpg", "10_in.txt", "mask.jpg"). Prints nothing. n <= 0 does nothing.
void recoverLightnessExposureCurve(cv::Mat*& exposures, int n);

} // namespace exposure
} // namespace toolkit
