// The local Monge-Kantorovich colour transfer of the colour-guided filter
// (GuidedFilterColor::filterColorChannelsMK in GuidedFilter.hpp).
// Internal to toolkit/guidedfilter.
#pragma once

#include <opencv2/core.hpp>

namespace toolkit {
namespace guidedfilter {

// At every pixel, the symmetric map T that carries the guide's window
// covariance (unregularised, its diagonal raised to at least 7.5 by
// closedFormMatrix) onto p's window covariance, applied to the guide's
// deviation from its window mean, plus p's window mean:
// out_k = sum_c T(k, c) (I_c - mean(I_c)) + mean(p_k), over windows of side
// kernelSize. guide and p are CV_32FC3 of the same size, channels in storage
// order; the result is CV_32FC3. Writes no file.
cv::Mat localColourTransfer(const cv::Mat& guide, const cv::Mat& p, int kernelSize);

} // namespace guidedfilter
} // namespace toolkit
