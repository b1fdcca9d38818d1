#include "toolkit/transport/MongeTransform.hpp"
#include "toolkit/common/DebugOutput.hpp"

#include "toolkit/transport/ColorStatistics.hpp"
#include "toolkit/transport/TransportSteps.hpp"

#include <array>
#include <cmath>
#include <iostream>
#include <limits>

namespace {

const float kNaN = std::numeric_limits<float>::quiet_NaN();

// Neutral chroma of Lab values stored in 0..255.
constexpr double kNeutralChroma = 128.0;
// 180 / 3.14159265: degrees per radian, from that truncated value of pi.
constexpr double kDegreesPerRadian = 57.29577957855229;

void requireMapping(const cv::Mat& input, const cv::Mat& T, const cv::Mat& output, int n)
{
    CV_Assert(input.type() == CV_32FC3);
    CV_Assert(output.type() == CV_MAKETYPE(CV_32F, n) && output.rows == input.rows
        && output.cols == input.cols);
    CV_Assert(T.type() == CV_32FC1 && T.rows >= n && T.cols >= n);
}

void requireRow(const cv::Mat& row, int entries)
{
    CV_Assert(row.type() == CV_32FC1 && row.rows >= 1 && row.cols >= entries);
}

// means(0, i) = computeWeightedMean of channel first + i, i = 0 .. count-1.
void weightedChannelMeans(const cv::Mat& img, int first, int count, cv::Mat& means)
{
    CV_Assert(img.type() == CV_32FC3);
    requireRow(means, count);
    std::array<cv::Mat, 3> planes;
    cv::split(img, planes.data());
    float* out = means.ptr<float>(0);
    for (int i = 0; i < count; ++i)
        out[i] = toolkit::transport::computeWeightedMean(planes[first + i]);
}

// The steps both drivers share once the two covariances are known: the full
// map into `transport`, and the mapping of every input pixel.
void transportPixels(const cv::Mat& input, const cv::Mat& target, cv::Mat& output,
    cv::Mat& transport, const cv::Mat& covIn, const cv::Mat& covTar, float t, int n)
{
    using namespace toolkit::transport;
    const GaussianPair pair = gaussianPair(input, target, covIn, covTar, n);
    // Written in place, into the caller's matrix (which may be larger).
    closedFormMatrix(covIn, covTar, transport, n);
    mapAlongGeodesic(pair, input, target, t, output);
}

} // namespace

toolkit::transport::GaussianPair toolkit::transport::gaussianPair(
    const cv::Mat& input, const cv::Mat& target, const cv::Mat& covIn, const cv::Mat& covTar, int n)
{
    GaussianPair pair { n, {}, {}, covIn.clone(), covTar.clone(), cv::Mat(n, n, CV_32FC1) };
    float* in = pair.meansIn.data();
    float* tar = pair.meansTar.data();
    computeWeightedMeanVector(input, in, n);
    computeWeightedMeanVector(target, tar, n);
    closedFormMatrix(pair.covIn, pair.covTar, pair.fullMap, n);
    return pair;
}

void toolkit::transport::mapAlongGeodesic(
    const GaussianPair& pair, const cv::Mat& input, const cv::Mat& target, float t, cv::Mat& output)
{
    // The point t of the geodesic moves the target's mean, covariance and
    // map: it starts from copies of the full ones.
    std::array<float, 3> meansIn = pair.meansIn;
    std::array<float, 3> meansAtT = pair.meansTar;
    float* in = meansIn.data();
    float* atT = meansAtT.data();
    cv::Mat covIn = pair.covIn;
    cv::Mat covAtT = pair.covTar.clone();
    cv::Mat map = pair.fullMap.clone();
    // A NaN t is not 1 and goes along the geodesic like any other.
    if (!(t == 1.0f))
        computeGeodesicPath(in, atT, covIn, covAtT, map, t, pair.n);
    if (pair.n == 2)
        computeMapping2D(input, target, in, atT, map, output);
    else
        computeMapping3D(input, target, in, atT, map, output);
}

void toolkit::transport::computeMapping2D(const cv::Mat& input, const cv::Mat& /*target*/,
    float*& meansIn, float*& meansOut, const cv::Mat& T, cv::Mat& output)
{
    requireMapping(input, T, output, 2);
    const float t00 = T.at<float>(0, 0), t01 = T.at<float>(0, 1);
    const float t10 = T.at<float>(1, 0), t11 = T.at<float>(1, 1);
    const float m0 = meansIn[0], m1 = meansIn[1];
    const float o0 = meansOut[0], o1 = meansOut[1];
    for (int i = 0; i < input.rows; ++i) {
        const auto* in = input.ptr<cv::Vec3f>(i);
        auto* out = output.ptr<cv::Vec2f>(i);
        for (int j = 0; j < input.cols; ++j) {
            const cv::Vec3f& x = in[j];
            out[j][0] = std::isnan(x[0]) ? kNaN : t00 * (x[1] - m0) + t01 * (x[2] - m1) + o0;
            out[j][1] = std::isnan(x[1]) ? kNaN : t10 * (x[1] - m0) + t11 * (x[2] - m1) + o1;
        }
    }
}

void toolkit::transport::computeMapping3D(const cv::Mat& input, const cv::Mat& /*target*/,
    float*& meansIn, float*& meansOut, const cv::Mat& T, cv::Mat& output)
{
    requireMapping(input, T, output, 3);
    cv::Matx33f M;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            M(r, c) = T.at<float>(r, c);
    const float m0 = meansIn[0], m1 = meansIn[1], m2 = meansIn[2];
    for (int i = 0; i < input.rows; ++i) {
        const auto* in = input.ptr<cv::Vec3f>(i);
        auto* out = output.ptr<cv::Vec3f>(i);
        for (int j = 0; j < input.cols; ++j) {
            const cv::Vec3f& x = in[j];
            const float d0 = x[0] - m0, d1 = x[1] - m1, d2 = x[2] - m2;
            for (int k = 0; k < 3; ++k) {
                out[j][k] = std::isnan(x[k])
                    ? kNaN
                    : M(k, 0) * d0 + M(k, 1) * d1 + M(k, 2) * d2 + meansOut[k];
            }
        }
    }
}

void toolkit::transport::computeMapping2DBonneel(const cv::Mat& input, const cv::Mat& /*target*/,
    float*& meansIn, float*& meansOut, const cv::Mat& T, cv::Mat& output)
{
    requireMapping(input, T, output, 2);
    const float t00 = T.at<float>(0, 0), t01 = T.at<float>(0, 1);
    const float t10 = T.at<float>(1, 0), t11 = T.at<float>(1, 1);
    const float m0 = meansIn[0], m1 = meansIn[1];
    const float o0 = meansOut[0], o1 = meansOut[1];
    for (int i = 0; i < input.rows; ++i) {
        const auto* in = input.ptr<cv::Vec3f>(i);
        auto* out = output.ptr<cv::Vec2f>(i);
        for (int j = 0; j < input.cols; ++j) {
            const cv::Vec3f& x = in[j];
            out[j][0] = std::isnan(x[0]) ? kNaN : t00 * x[1] + t01 * x[2] - m0 + o0;
            out[j][1] = std::isnan(x[1]) ? kNaN : t10 * x[1] + t11 * x[2] - m1 + o1;
        }
    }
}

void toolkit::transport::computeNewValue2D(cv::Mat& input, cv::Mat& outRow, cv::Mat& meanIn,
    cv::Mat& meanOut, cv::Mat& T, int row, int col)
{
    CV_Assert(input.type() == CV_32FC3);
    requireRow(outRow, 2);
    requireRow(meanIn, 2);
    requireRow(meanOut, 2);
    CV_Assert(T.type() == CV_32FC1 && T.rows >= 2 && T.cols >= 2);
    const cv::Vec3f& x = input.at<cv::Vec3f>(row, col);
    const float d1 = x[1] - meanIn.at<float>(0, 0);
    const float d2 = x[2] - meanIn.at<float>(0, 1);
    for (int k = 0; k < 2; ++k)
        outRow.at<float>(0, k)
            = meanOut.at<float>(0, k) + (d1 * T.at<float>(k, 0) + d2 * T.at<float>(k, 1));
}

void toolkit::transport::computeNewValue2DBonneel(cv::Mat& input, cv::Mat& outRow, cv::Mat& meanIn,
    cv::Mat& meanOut, cv::Mat& T, int row, int col)
{
    CV_Assert(input.type() == CV_32FC3);
    requireRow(outRow, 2);
    requireRow(meanIn, 2);
    requireRow(meanOut, 2);
    CV_Assert(T.type() == CV_32FC1 && T.rows >= 2 && T.cols >= 2);
    const cv::Vec3f& x = input.at<cv::Vec3f>(row, col);
    for (int k = 0; k < 2; ++k) {
        outRow.at<float>(0, k) = meanOut.at<float>(0, k)
            + (x[1] * T.at<float>(k, 0) + x[2] * T.at<float>(k, 1) - meanIn.at<float>(0, k));
    }
}

void toolkit::transport::computeGeodesicPath(
    float* meansIn, float* meansOut, cv::Mat& covIn, cv::Mat& covOut, cv::Mat& T, float t, int n)
{
    CV_Assert(n == 2 || n == 3);
    for (int i = 0; i < n; ++i)
        meansOut[i] = meansOut[i] * t + meansIn[i] * (1.0f - t);

    // Displacement interpolation: the map of the point t is (1 - t) I + t T.
    cv::Mat mapT(n, n, CV_32FC1);
    for (int i = 0; i < n; ++i) {
        for (int j = 0; j < n; ++j) {
            const float identity = i == j ? 1.0f : 0.0f;
            mapT.at<float>(i, j) = (1.0f - t) * identity + t * T.at<float>(i, j);
        }
    }
    cv::Mat partial(n, n, CV_32FC1);
    dot(mapT, covIn, partial);
    dot(partial, mapT, covOut);
    closedFormMatrix(covIn, covOut, T, n);
}

void toolkit::transport::applyOptimalTransport(const cv::Mat& input, const cv::Mat& target,
    cv::Mat& output, cv::Mat& /*inputCovInverse*/, cv::Mat& inputMeans, cv::Mat& /*targetCov*/,
    cv::Mat& targetMeans, cv::Mat& transport, float t, int n)
{
    CV_Assert(n == 2 || n == 3);
    cv::Mat covIn(n, n, CV_32FC1);
    cv::Mat covTar(n, n, CV_32FC1);
    computeCovariance(input, covIn, n);
    computeCovariance(target, covTar, n);

    const int first = n == 2 ? 1 : 0;
    weightedChannelMeans(input, first, n, inputMeans);
    weightedChannelMeans(target, first, n, targetMeans);

    transportPixels(input, target, output, transport, covIn, covTar, t, n);
}

void toolkit::transport::applyOptimalTransportBonneel(const cv::Mat& input, const cv::Mat& target,
    cv::Mat& output, cv::Mat& inputCovInverse, cv::Mat& inputMeans, cv::Mat& targetCov,
    cv::Mat& targetMeans, cv::Mat& transport, float t, int n)
{
    CV_Assert(n == 2 || n == 3);
    cv::Mat covIn(n, n, CV_32FC1);
    cv::Mat covTar(n, n, CV_32FC1);
    computeCovariance(input, covIn, n);
    computeCovariance(target, covTar, n);
    toolkit::common::progress() << covIn << " inpCovs" << std::endl;
    toolkit::common::progress() << covTar << " tarCovs" << std::endl;

    computeCovariance(input, inputCovInverse, 3);
    computeCovariance(target, targetCov, 2);
    // LU inversion gives a zero matrix for a singular covariance.
    cv::Mat covIn3 = inputCovInverse(cv::Rect(0, 0, 3, 3));
    const cv::Mat inverse = covIn3.inv(cv::DECOMP_LU);
    inverse.copyTo(covIn3);

    weightedChannelMeans(input, 0, 3, inputMeans);
    weightedChannelMeans(target, 1, 2, targetMeans);

    transportPixels(input, target, output, transport, covIn, covTar, t, n);
}

void toolkit::transport::computeHue(const cv::Mat& image, cv::Mat& hue, int ca, int cb)
{
    CV_Assert(image.type() == CV_32FC3 && hue.type() == CV_32FC1 && hue.size() == image.size());
    CV_Assert(ca >= 0 && ca < 3 && cb >= 0 && cb < 3);
    for (int i = 0; i < image.rows; ++i) {
        const auto* px = image.ptr<cv::Vec3f>(i);
        float* h = hue.ptr<float>(i);
        for (int j = 0; j < image.cols; ++j) {
            // The angle is stored as float first; the turn is added to that float.
            float angle = static_cast<float>(
                std::atan2(double(px[j][cb]) - kNeutralChroma, double(px[j][ca]) - kNeutralChroma)
                * kDegreesPerRadian);
            if (angle < 0.0f)
                angle += 360.0f;
            h[j] = angle;
        }
    }
}
