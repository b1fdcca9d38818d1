#include "toolkit/color/WhitePoint.hpp"
#include "toolkit/common/DebugOutput.hpp"

#include "toolkit/color/ConeSpaces.hpp"
#include "toolkit/color/RgbXyz.hpp"
#include "toolkit/common/CommonFunctions.hpp"
#include "toolkit/common/InputChecks.hpp"

#include <algorithm>
#include <cmath>
#include <iostream>

using toolkit::common::requireType;

namespace {

// Grey-world estimator: a pixel is near-neutral when (|U| + |V|) / Y is below
// this (Huo et al.'s grey-point criterion in an unscaled YUV).
constexpr double kNeutralChromaRatio = 0.3;
// Starting count, so that an image without a near-neutral pixel gives
// U = V = 0 instead of 0 / 0.
constexpr float kCountStart = 1e-5f;
// Convergence: the estimate moved less than this in (U, V) ...
constexpr double kSettledDistance = 1e-6;
// ... or it is already this close to neutral in both U and V.
constexpr double kNeutralChroma = 0.001;

// sRGB primaries (ITU-R BT.709): x and y chromaticities, and relative luminances.
cv::Mat primariesMatrix()
{
    return (
        cv::Mat_<float>(3, 3) << 0.64f, 0.3f, 0.15f, 0.33f, 0.6f, 0.06f, 0.2126f, 0.7152f, 0.0722f);
}

// CIE D50 on the relative scale (Y = 1), the ICC profile connection white.
constexpr float kD50X = 0.9642f, kD50Y = 1.0f, kD50Z = 0.8249f;

} // namespace

bool toolkit::color::computeWhitePointFromGrayWorld(
    const cv::Mat& image, cv::Mat& white, cv::Mat& state, const cv::Mat& /*mask*/)
{
    requireType(image, CV_32FC3, "computeWhitePointFromGrayWorld", "image");
    requireType(white, CV_32FC3, "computeWhitePointFromGrayWorld", "white");
    requireType(state, CV_32FC3, "computeWhitePointFromGrayWorld", "state");
    const cv::Mat inverse = yuvMatrix().inv(cv::DECOMP_LU);

    cv::Mat yuv(image.rows, image.cols, CV_32FC3);
    convertBGRtoYUV(image, yuv);

    // Summed and counted in double: float sums drift once they are large, and
    // a float count stops growing at 2^24 pixels, which would bias the
    // estimate of a large photograph.
    double sumU = 0.0, sumV = 0.0, count = static_cast<double>(kCountStart);
    for (int i = 0; i < yuv.rows; ++i) {
        const float* p = yuv.ptr<float>(i);
        for (int j = 0; j < yuv.cols; ++j) {
            const float Y = p[3 * j], U = p[3 * j + 1], V = p[3 * j + 2];
            // Y = 0 gives inf or NaN here, which never passes the test below.
            const float s = static_cast<float>(
                (std::abs(static_cast<double>(U)) + std::abs(static_cast<double>(V)))
                / static_cast<double>(Y));
            if (kNeutralChromaRatio > static_cast<double>(s)) {
                sumU += static_cast<double>(U);
                sumV += static_cast<double>(V);
                count += 1.0;
            }
        }
    }
    // Luminance is normalised to 1; only the chroma of the estimate matters.
    const float U = static_cast<float>(sumU / count);
    const float V = static_cast<float>(sumV / count);

    cv::Vec3f& previous = state.at<cv::Vec3f>(0, 0);
    const float previousU = previous[1], previousV = previous[2];
    const float dist
        = std::sqrt((U - previousU) * (U - previousU) + (V - previousV) * (V - previousV));
    previous = cv::Vec3f(1.0f, U, V);

    // Back to display values; row 0 of the inverse gives R, stored in channel 2.
    cv::Vec3f& w = white.at<cv::Vec3f>(0, 0);
    for (int k = 0; k < 3; ++k) {
        const float value = inverse.at<float>(k, 0) * 1.0f + inverse.at<float>(k, 1) * U
            + inverse.at<float>(k, 2) * V;
        w[2 - k] = toolkit::common::clip(value, 0.0f, 1.0f);
    }

    // A NaN previous estimate starts a sequence; it must be tested first, as
    // the neutrality test alone would pass on a first neutral estimate.
    bool converged = false;
    if (!std::isnan(previousU)) {
        converged = kSettledDistance > static_cast<double>(dist)
            || kNeutralChroma > static_cast<double>(std::max(std::abs(U), std::abs(V)));
    }
    if (!converged)
        toolkit::common::progress() << white << std::endl;
    return converged;
}

void toolkit::color::adaptXYZToNewWhitePoint(cv::Mat& xyzWhite, const cv::Mat& referenceWhite)
{
    requireType(xyzWhite, CV_32FC3, "adaptXYZToNewWhitePoint", "xyzWhite");
    requireType(referenceWhite, CV_32FC3, "adaptXYZToNewWhitePoint", "referenceWhite");
    const cv::Mat P = primariesMatrix();
    const cv::Mat Pinv = P.inv(cv::DECOMP_LU);
    const cv::Mat d50(1, 1, CV_32FC3,
        cv::Scalar(
            static_cast<double>(kD50X), static_cast<double>(kD50Y), static_cast<double>(kD50Z)));

    // Scales that make the three primaries add up to D50.
    const float S0 = product(d50, Pinv, 0);
    const float S1 = product(d50, Pinv, 1);
    const float S2 = product(d50, Pinv, 2);
    const cv::Mat G = (cv::Mat_<float>(3, 3) << S0, 0.0f, 0.0f, 0.0f, S1, 0.0f, 0.0f, 0.0f, S2);
    cv::Mat T(3, 3, CV_32FC1);
    toolkit::common::dotProduct(P, G, T);

    const cv::Vec3f reference = referenceWhite.at<cv::Vec3f>(0, 0);
    const float u0 = sRGBInverseCompanding(reference[0]); // B
    const float u1 = sRGBInverseCompanding(reference[1]); // G
    const float u2 = sRGBInverseCompanding(reference[2]); // R

    cv::Vec3f& W = xyzWhite.at<cv::Vec3f>(0, 0);
    for (int i = 0; i < 3; ++i)
        W[i] = T.at<float>(i, 0) * u2 + T.at<float>(i, 1) * u1 + T.at<float>(i, 2) * u0;
}
