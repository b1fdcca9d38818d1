#include "toolkit/color/ConeSpaces.hpp"

#include "toolkit/color/Checks.hpp"
#include "toolkit/color/MatrixRows.hpp"
#include "toolkit/color/RgbXyz.hpp"
#include "toolkit/color/WhitePoint.hpp"
#include "toolkit/common/CommonFunctions.hpp"
#include "toolkit/common/InputChecks.hpp"

#include <cmath>

using toolkit::color::checks::requireMatrix3x3;
using toolkit::color::checks::requireTypeAndSize;
using toolkit::color::checks::requireTypeCovering;
using toolkit::common::requireAtLeast;
using toolkit::common::requireType;

namespace {

using toolkit::color::rows::loadMatrix;
using toolkit::color::rows::rowTimes;

// Linear RGB to LMS cone responses (rows L, M, S; columns R, G, B), from
// Reinhard, Ashikhmin, Gooch and Shirley, "Color Transfer between Images" (2001).
cv::Mat rgbToLmsMatrix()
{
    return (cv::Mat_<float>(3, 3) << 0.3811f, 0.5783f, 0.0402f, 0.1967f, 0.7244f, 0.0782f, 0.0241f,
        0.1288f, 0.8444f);
}

// Its published inverse, LMS to linear RGB (rows R, G, B; columns L, M, S),
// from the same paper.
cv::Mat lmsToRgbMatrix()
{
    return (cv::Mat_<float>(3, 3) << 4.4679f, -3.5873f, 0.1193f, -1.2186f, 2.3809f, -0.1624f,
        0.0497f, -0.2439f, 1.2045f);
}

// Offset that keeps the logarithm of a zero cone response finite (-6).
constexpr double kZeroResponseOffset = 1e-6;

// l-alpha-beta decorrelation (Ruderman, Cronin and Chiao 1998): the scales
// 1/sqrt 3, 1/sqrt 6 and 1/sqrt 2, and the sum/difference pattern.
constexpr float kInvSqrt3 = 0.57735026918f;
constexpr float kInvSqrt6 = 0.40824829046f;
constexpr float kInvSqrt2 = 0.70710678118f;
// The inverse direction's constant, one digit shorter; the same float.
constexpr float kInvSqrt2Inverse = 0.7071067811f;

cv::Mat diagonal(float a, float b, float c)
{
    return (cv::Mat_<float>(3, 3) << a, 0.0f, 0.0f, 0.0f, b, 0.0f, 0.0f, 0.0f, c);
}

// CIE L*a*b* constants in their commonly published rounded form (epsilon for
// 216/24389, kappa for 24389/27); the inverse lightness switches branch at
// kappa x epsilon = 7.9996248.
constexpr double kLabEpsilon = 0.008856;
constexpr double kLabKappa = 903.3;
constexpr double kLabKappaEpsilon = kLabKappa * kLabEpsilon;
constexpr double kOneThird = 1.0 / 3.0;

// Forward L*a*b* companding of one white-relative component.
inline float labForward(float t)
{
    if (static_cast<double>(t) > kLabEpsilon)
        return static_cast<float>(std::pow(static_cast<double>(t), kOneThird));
    return static_cast<float>((kLabKappa * static_cast<double>(t) + 16.0) / 116.0);
}

// Inverse of labForward for the a* and b* components, from f.
inline float labInverse(float f)
{
    const float cube = f * f * f;
    if (static_cast<double>(cube) > kLabEpsilon)
        return cube;
    return static_cast<float>(static_cast<double>(116.0f * f - 16.0f) / kLabKappa);
}

// The XYZ white the L*a*b* conversions divide by.
cv::Mat labWhite(const cv::Mat& referenceWhite)
{
    cv::Mat W(1, 1, CV_32FC3);
    toolkit::color::adaptXYZToNewWhitePoint(W, referenceWhite);
    return W;
}

} // namespace

cv::Mat toolkit::color::yuvMatrix()
{
    // ITU-R BT.601 luma weights in row Y; U = B - Y and V = R - Y, unscaled.
    return (cv::Mat_<float>(3, 3) << 0.299f, 0.587f, 0.114f, -0.299f, -0.587f, 0.886f, 0.701f,
        -0.587f, -0.114f);
}

void toolkit::color::conversion(
    const cv::Mat& src, cv::Mat& dst, const cv::Mat& M, int rows, int cols)
{
    requireMatrix3x3(M, "conversion", "M");
    CV_CheckGE(rows, 0, "conversion: rows");
    CV_CheckGE(cols, 0, "conversion: cols");
    requireType(src, CV_32FC3, "conversion", "src");
    requireAtLeast(src, rows, cols, "conversion", "src");
    requireType(dst, CV_32FC3, "conversion", "dst");
    requireAtLeast(dst, rows, cols, "conversion", "dst");
    float m[9];
    loadMatrix(M, m);
    for (int i = 0; i < rows; ++i) {
        const float* s = src.ptr<float>(i);
        float* d = dst.ptr<float>(i);
        for (int j = 0; j < cols; ++j) {
            const float a0 = s[3 * j], a1 = s[3 * j + 1], a2 = s[3 * j + 2];
            float* q = d + 3 * j;
            q[0] = rowTimes(m, 0, a0, a1, a2);
            q[1] = rowTimes(m, 1, a0, a1, a2);
            q[2] = rowTimes(m, 2, a0, a1, a2);
        }
    }
}

void toolkit::color::convertToSimpleOpponentSpace(const cv::Mat& image, cv::Mat& opponent)
{
    requireType(image, CV_32FC3, "convertToSimpleOpponentSpace", "image");
    requireTypeAndSize(
        opponent, CV_32FC2, image, "convertToSimpleOpponentSpace", "opponent", "image");
    for (int i = 0; i < image.rows; ++i) {
        const float* s = image.ptr<float>(i);
        float* d = opponent.ptr<float>(i);
        for (int j = 0; j < image.cols; ++j) {
            const float B = s[3 * j], G = s[3 * j + 1], R = s[3 * j + 2];
            d[2 * j] = R - G;
            d[2 * j + 1] = (R + G) / 2.0f - B;
        }
    }
}

void toolkit::color::convertBGRtoLMS(const cv::Mat& image, cv::Mat& lms)
{
    requireType(image, CV_32FC3, "convertBGRtoLMS", "image");
    requireTypeAndSize(lms, CV_32FC3, image, "convertBGRtoLMS", "lms", "image");
    float m[9];
    loadMatrix(rgbToLmsMatrix(), m);
    for (int i = 0; i < image.rows; ++i) {
        const float* s = image.ptr<float>(i);
        float* d = lms.ptr<float>(i);
        for (int j = 0; j < image.cols; ++j) {
            const float R = sRGBInverseCompanding(s[3 * j + 2]);
            const float G = sRGBInverseCompanding(s[3 * j + 1]);
            const float B = sRGBInverseCompanding(s[3 * j]);
            for (int k = 0; k < 3; ++k) {
                float response = rowTimes(m, k, R, G, B);
                if (response == 0.0f)
                    response
                        = static_cast<float>(static_cast<double>(response) + kZeroResponseOffset);
                // A negative response (input outside [0, 1]) is left to give NaN.
                d[3 * j + k] = static_cast<float>(std::log10(static_cast<double>(response)));
            }
        }
    }
}

void toolkit::color::convertLMStoLab(const cv::Mat& lms, cv::Mat& lab)
{
    requireType(lms, CV_32FC3, "convertLMStoLab", "lms");
    requireTypeAndSize(lab, CV_32FC3, lms, "convertLMStoLab", "lab", "lms");
    const cv::Mat A = diagonal(kInvSqrt3, kInvSqrt6, kInvSqrt2);
    const cv::Mat B
        = (cv::Mat_<float>(3, 3) << 1.0f, 1.0f, 1.0f, 1.0f, 1.0f, -2.0f, 1.0f, -1.0f, 0.0f);
    cv::Mat T(3, 3, CV_32FC1);
    toolkit::common::dotProduct(A, B, T);
    conversion(lms, lab, T, lms.rows, lms.cols);
}

void toolkit::color::convertLabtoLMS(const cv::Mat& lab, cv::Mat& lms)
{
    requireType(lms, CV_32FC3, "convertLabtoLMS", "lms");
    requireTypeCovering(lab, CV_32FC3, lms, "convertLabtoLMS", "lab");
    // The transpose of the forward pattern, with the scales on the right.
    const cv::Mat B
        = (cv::Mat_<float>(3, 3) << 1.0f, 1.0f, 1.0f, 1.0f, 1.0f, -1.0f, 1.0f, -2.0f, 0.0f);
    const cv::Mat A = diagonal(kInvSqrt3, kInvSqrt6, kInvSqrt2Inverse);
    cv::Mat T(3, 3, CV_32FC1);
    toolkit::common::dotProduct(B, A, T);
    conversion(lab, lms, T, lms.rows, lms.cols);

    for (int i = 0; i < lms.rows; ++i) {
        float* d = lms.ptr<float>(i);
        for (int j = 0; j < 3 * lms.cols; ++j) {
            const float linear = static_cast<float>(std::pow(10.0, static_cast<double>(d[j])));
            d[j] = toolkit::common::clip(linear, 0.0f, 1.0f);
        }
    }
}

void toolkit::color::convertLMStoBGR(const cv::Mat& lms, cv::Mat& image)
{
    requireType(image, CV_32FC3, "convertLMStoBGR", "image");
    requireTypeCovering(lms, CV_32FC3, image, "convertLMStoBGR", "lms");
    float m[9];
    loadMatrix(lmsToRgbMatrix(), m);
    for (int i = 0; i < image.rows; ++i) {
        const float* s = lms.ptr<float>(i);
        float* d = image.ptr<float>(i);
        for (int j = 0; j < image.cols; ++j) {
            const float L = s[3 * j], M = s[3 * j + 1], S = s[3 * j + 2];
            float* q = d + 3 * j;
            // Row 0 gives R, stored in channel 2.
            for (int k = 0; k < 3; ++k)
                q[2 - k] = sRGBCompanding(rowTimes(m, k, L, M, S));
        }
    }
}

void toolkit::color::convertBGRtoYUV(const cv::Mat& image, cv::Mat& yuv)
{
    requireType(image, CV_32FC3, "convertBGRtoYUV", "image");
    requireTypeAndSize(yuv, CV_32FC3, image, "convertBGRtoYUV", "yuv", "image");
    // B, G, R storage read as (R, G, B); Y, U, V stored in natural order.
    multiplyImageByMatrixForward(image, yuv, yuvMatrix());
}

void toolkit::color::convertBGRToLab(cv::Mat& image, const cv::Mat& referenceWhite, cv::Mat& lab)
{
    requireType(image, CV_32FC3, "convertBGRToLab", "image");
    requireType(referenceWhite, CV_32FC3, "convertBGRToLab", "referenceWhite");
    requireTypeAndSize(lab, CV_32FC3, image, "convertBGRToLab", "lab", "image");
    const cv::Mat W = labWhite(referenceWhite);
    cv::Mat xyz(image.rows, image.cols, CV_32FC3);
    convertBGRtoXYZ(image, W, xyz);

    const cv::Vec3f w = W.at<cv::Vec3f>(0, 0);
    for (int i = 0; i < image.rows; ++i) {
        const float* s = xyz.ptr<float>(i);
        float* d = lab.ptr<float>(i);
        for (int j = 0; j < image.cols; ++j) {
            const float fx = labForward(s[3 * j] / w[0]);
            const float fy = labForward(s[3 * j + 1] / w[1]);
            const float fz = labForward(s[3 * j + 2] / w[2]);
            float* q = d + 3 * j;
            q[0] = 116.0f * fy - 16.0f;
            q[1] = 500.0f * (fx - fy);
            q[2] = 200.0f * (fy - fz);
        }
    }
}

void toolkit::color::convertLabToBGR(
    const cv::Mat& lab, const cv::Mat& referenceWhite, cv::Mat& image)
{
    requireType(lab, CV_32FC3, "convertLabToBGR", "lab");
    requireType(referenceWhite, CV_32FC3, "convertLabToBGR", "referenceWhite");
    requireTypeAndSize(image, CV_32FC3, lab, "convertLabToBGR", "image", "lab");
    const cv::Mat W = labWhite(referenceWhite);
    const cv::Vec3f w = W.at<cv::Vec3f>(0, 0);
    cv::Mat xyz(lab.rows, lab.cols, CV_32FC3);
    for (int i = 0; i < lab.rows; ++i) {
        const float* s = lab.ptr<float>(i);
        float* d = xyz.ptr<float>(i);
        for (int j = 0; j < lab.cols; ++j) {
            const float L = s[3 * j], a = s[3 * j + 1], b = s[3 * j + 2];
            const float fy = (16.0f + L) / 116.0f;
            const float fx = a / 500.0f + fy;
            const float fz = fy - b / 200.0f;
            float yr;
            if (static_cast<double>(L) > kLabKappaEpsilon) {
                const float t = (L + 16.0f) / 116.0f;
                yr = t * t * t;
            } else {
                yr = static_cast<float>(static_cast<double>(L) / kLabKappa);
            }
            float* q = d + 3 * j;
            q[0] = w[0] * labInverse(fx);
            q[1] = w[1] * yr;
            q[2] = w[2] * labInverse(fz);
        }
    }
    convertXYZtoBGR(xyz, W, image);
}
