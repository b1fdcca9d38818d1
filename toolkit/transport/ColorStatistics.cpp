#include "toolkit/transport/ColorStatistics.hpp"
#include "toolkit/common/DebugOutput.hpp"

#include "toolkit/common/CommonFunctions.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <iostream>
#include <limits>
#include <vector>

namespace {

// Smallest source variance closedFormMatrix accepts on the diagonal, in the
// units of the data as stored (Lab in 0..255). It keeps the map from blowing
// up the contrast of a nearly flat channel.
constexpr float kSourceVarianceFloor = 7.5f;

template <int N> using Square = cv::Matx<float, N, N>;

void requirePlane(const cv::Mat& M)
{
    CV_Assert(M.type() == CV_32FC1);
}

void requireSquare(const cv::Mat& M, int n)
{
    CV_Assert(M.type() == CV_32FC1 && M.rows >= n && M.cols >= n);
}

// The channel planes a statistic of dimension n uses: 1 and 2 for the
// chromatic pair, 0, 1 and 2 otherwise.
int firstChannel(int n)
{
    return n == 2 ? 1 : 0;
}

template <int N> Square<N> readSquare(const cv::Mat& M)
{
    Square<N> S;
    for (int i = 0; i < N; ++i) {
        const float* row = M.ptr<float>(i);
        for (int j = 0; j < N; ++j)
            S(i, j) = row[j];
    }
    return S;
}

template <int N> void writeSquare(const Square<N>& S, cv::Mat& M)
{
    for (int i = 0; i < N; ++i) {
        float* row = M.ptr<float>(i);
        for (int j = 0; j < N; ++j)
            row[j] = S(i, j);
    }
}

// The product of `dot`, on fixed-size matrices so that the per-pixel use of
// closedFormMatrix allocates nothing.
template <int N> Square<N> product(const Square<N>& A, const Square<N>& B)
{
    Square<N> P;
    for (int i = 0; i < N; ++i) {
        for (int j = 0; j < N; ++j) {
            float sum = 0.0f;
            for (int k = 0; k < N; ++k)
                sum += A(i, k) * B(k, j);
            P(i, j) = sum;
        }
    }
    return P;
}

template <int N> Square<N> symmetricSquareRoot(const Square<N>& A)
{
    cv::Matx<float, N, 1> values;
    Square<N> vectors; // rows are the unit eigenvectors
    cv::eigen(A, values, vectors);
    Square<N> D = Square<N>::zeros();
    for (int i = 0; i < N; ++i) {
        // Rounding can leave a positive semi-definite matrix with a tiny
        // negative eigenvalue; its root is 0, not NaN.
        const float lambda = values(i) < 0.0f ? 0.0f : values(i);
        D(i, i) = std::sqrt(lambda);
    }
    return product<N>(product<N>(vectors.t(), D), vectors);
}

template <int N> Square<N> mongeKantorovichMap(Square<N> A, const Square<N>& B)
{
    for (int i = 0; i < N; ++i) {
        // Written so that a NaN entry stays as it is.
        if (A(i, i) < kSourceVarianceFloor)
            A(i, i) = kSourceVarianceFloor;
    }
    const Square<N> S = symmetricSquareRoot<N>(A);
    const Square<N> Q = symmetricSquareRoot<N>(product<N>(product<N>(S, B), S));
    // The SVD inverse gives the pseudo-inverse of a singular S. Matx::inv is
    // not used: for 2 x 2 and 3 x 3 it ignores the method and returns zeros
    // for a singular matrix.
    Square<N> Sinv;
    cv::invert(S, Sinv, cv::DECOMP_SVD);
    return product<N>(product<N>(Sinv, Q), Sinv);
}

// Rounds to the nearest integer, halves away from zero, in double.
float histogramKey(float v)
{
    return static_cast<float>(std::round(static_cast<double>(v)));
}

} // namespace

void toolkit::transport::dot(const cv::Mat& A, const cv::Mat& B, cv::Mat& P)
{
    CV_Assert(A.type() == CV_32FC1 && B.type() == CV_32FC1 && P.type() == CV_32FC1);
    CV_Assert(A.rows == A.cols && B.size() == A.size() && P.size() == A.size());
    const int n = A.rows;
    for (int i = 0; i < n; ++i) {
        const float* a = A.ptr<float>(i);
        float* p = P.ptr<float>(i);
        for (int j = 0; j < n; ++j) {
            p[j] = 0.0f;
            for (int k = 0; k < n; ++k)
                p[j] += a[k] * B.ptr<float>(k)[j];
        }
    }
}

void toolkit::transport::matrixSquareRoot(const cv::Mat& A, cv::Mat& R, int n)
{
    CV_Assert(n == 2 || n == 3);
    requireSquare(A, n);
    requireSquare(R, n);
    if (n == 2)
        writeSquare<2>(symmetricSquareRoot<2>(readSquare<2>(A)), R);
    else
        writeSquare<3>(symmetricSquareRoot<3>(readSquare<3>(A)), R);
}

float toolkit::transport::computeMean(const cv::Mat& M)
{
    requirePlane(M);
    // The same mean and progress line as the shared utility, on a read-only plane.
    cv::Mat view = M;
    return toolkit::common::computeMean(view);
}

float toolkit::transport::computeWeightedMean(const cv::Mat& M)
{
    requirePlane(M);

    // The histogram of keys: sorted distinct keys with their counts. Counts
    // are integers, so they stay exact beyond 2^24 values of one key.
    std::vector<float> keys;
    keys.reserve(M.total());
    for (int i = 0; i < M.rows; ++i) {
        const float* row = M.ptr<float>(i);
        for (int j = 0; j < M.cols; ++j) {
            if (!std::isnan(row[j]))
                keys.push_back(histogramKey(row[j]));
        }
    }
    const std::size_t total = keys.size();
    if (total == 0)
        return std::numeric_limits<float>::quiet_NaN();

    std::sort(keys.begin(), keys.end());
    std::vector<std::size_t> counts;
    counts.reserve(total);
    std::size_t distinct = 0;
    for (std::size_t k = 0; k < total; ++k) {
        if (distinct > 0 && keys[k] == keys[distinct - 1]) {
            ++counts[distinct - 1];
        } else {
            keys[distinct++] = keys[k];
            counts.push_back(1);
        }
    }
    const auto keysEnd = keys.begin() + static_cast<std::ptrdiff_t>(distinct);

    const float count = static_cast<float>(total);
    float sumWV = 0.0f;
    float sumW = 0.0f;
    for (int i = 0; i < M.rows; ++i) {
        const float* row = M.ptr<float>(i);
        for (int j = 0; j < M.cols; ++j) {
            const float v = row[j];
            if (std::isnan(v))
                continue;
            const auto at = std::lower_bound(keys.begin(), keysEnd, histogramKey(v));
            const float w
                = static_cast<float>(counts[static_cast<std::size_t>(at - keys.begin())]) / count;
            sumWV += w * v;
            sumW += w;
        }
    }
    return sumWV / sumW;
}

void toolkit::transport::computeWeightedMeanVector(const cv::Mat& img, float*& means, int n)
{
    CV_Assert(img.type() == CV_32FC3 && (n == 2 || n == 3));
    std::array<cv::Mat, 3> planes;
    cv::split(img, planes.data());
    const int o = firstChannel(n);
    for (int i = 0; i < n; ++i)
        means[i] = n == 2 ? computeWeightedMean(planes[o + i]) : computeMean(planes[o + i]);
}

float toolkit::transport::computeVariance(const cv::Mat& M, float& mean)
{
    requirePlane(M);
    const float meanSquared = mean * mean;
    float sum = 0.0f;
    int count = 0;
    for (int i = 0; i < M.rows; ++i) {
        const float* row = M.ptr<float>(i);
        for (int j = 0; j < M.cols; ++j) {
            const float v = row[j];
            if (std::isnan(v))
                continue;
            sum += v * v - meanSquared;
            ++count;
        }
    }
    if (count == 0)
        return std::numeric_limits<float>::quiet_NaN();
    return sum / static_cast<float>(count);
}

float toolkit::transport::computeAlphaFromBetaDistr(cv::Mat& M)
{
    float mean = computeMean(M);
    const float variance = computeVariance(M, mean);
    return ((1.0f - mean) / variance - 1.0f / mean) * (mean * mean);
}

float toolkit::transport::computeBetaFromBetaDistr(cv::Mat& M, float alpha)
{
    const float mean = computeMean(M);
    return (1.0f / mean - 1.0f) * alpha;
}

float toolkit::transport::computeBetaDistribution(float x, float alpha, float beta)
{
    if (!(alpha > 0.0f) || !(beta > 0.0f) || std::isnan(x))
        return std::numeric_limits<float>::quiet_NaN();
    if (x < 0.0f || x > 1.0f)
        return 0.0f;
    const double a = static_cast<double>(alpha);
    const double b = static_cast<double>(beta);
    const double logBeta = std::lgamma(a) + std::lgamma(b) - std::lgamma(a + b);
    return static_cast<float>(
        std::pow(double(x), a - 1.0) * std::pow(1.0 - double(x), b - 1.0) / std::exp(logBeta));
}

float toolkit::transport::computeCovarianceElement(const cv::Mat& A, const cv::Mat& B)
{
    requirePlane(A);
    requirePlane(B);
    CV_Assert(A.size() == B.size());
    const float meanA = computeMean(A);
    const float meanB = computeMean(B);
    toolkit::common::progress() << meanA << " " << meanB << std::endl;

    float sum = 0.0f;
    int count = 0;
    for (int i = 0; i < A.rows; ++i) {
        const float* a = A.ptr<float>(i);
        const float* b = B.ptr<float>(i);
        for (int j = 0; j < A.cols; ++j) {
            // A NaN in either plane leaves the position out; a NaN in B alone
            // would otherwise turn the whole covariance into NaN.
            if (std::isnan(a[j]) || std::isnan(b[j]))
                continue;
            sum += (a[j] - meanA) * (b[j] - meanB);
            ++count;
        }
    }
    if (count < 2)
        return 0.0f;
    return sum / static_cast<float>(count - 1);
}

void toolkit::transport::computeCovariance(const cv::Mat& img, cv::Mat& cov, int n)
{
    CV_Assert(img.type() == CV_32FC3 && (n == 2 || n == 3));
    requireSquare(cov, n);
    std::array<cv::Mat, 3> planes;
    cv::split(img, planes.data());
    const int o = firstChannel(n);
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j)
            cov.at<float>(i, j) = computeCovarianceElement(planes[o + i], planes[o + j]);
}

void toolkit::transport::computeChannelCov(const cv::Mat& img, cv::Mat& M, cv::Mat& cov, int n)
{
    CV_Assert(img.type() == CV_32FC3);
    requireSquare(cov, n);
    std::array<cv::Mat, 3> planes;
    cv::split(img, planes.data());
    const float value = computeCovarianceElement(planes[0], M);
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j)
            cov.at<float>(i, j) = value;
}

void toolkit::transport::closedFormMatrix(const cv::Mat& A, const cv::Mat& B, cv::Mat& T, int n)
{
    CV_Assert(n == 2 || n == 3);
    requireSquare(A, n);
    requireSquare(B, n);
    requireSquare(T, n);
    // A and B are read completely before T is written, so T may alias them.
    if (n == 2)
        writeSquare<2>(mongeKantorovichMap<2>(readSquare<2>(A), readSquare<2>(B)), T);
    else
        writeSquare<3>(mongeKantorovichMap<3>(readSquare<3>(A), readSquare<3>(B)), T);
}
