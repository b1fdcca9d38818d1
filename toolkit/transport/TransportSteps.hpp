// The steps of a transfer once both covariances are known, shared by the
// transfer drivers and the geodesic frames.
// Internal to toolkit/transport.
#pragma once

#include <opencv2/core.hpp>

#include <array>

namespace toolkit {
namespace transport {

// The input's and the target's Gaussians (the means of
// computeWeightedMeanVector and the given n x n covariances) and the full map
// between them (closedFormMatrix).
struct GaussianPair {
    int n;
    std::array<float, 3> meansIn, meansTar;
    cv::Mat covIn, covTar, fullMap;
};
GaussianPair gaussianPair(const cv::Mat& input, const cv::Mat& target, const cv::Mat& covIn,
    const cv::Mat& covTar, int n);

// Every input pixel mapped t of the way along the geodesic (t = 1: the full
// map; any other t, NaN included, through computeGeodesicPath) into output
// (CV_32FC2 for n = 2, CV_32FC3 for n = 3). The pair is not changed.
void mapAlongGeodesic(const GaussianPair& pair, const cv::Mat& input, const cv::Mat& target,
    float t, cv::Mat& output);

} // namespace transport
} // namespace toolkit
