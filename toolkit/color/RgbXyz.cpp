#include "toolkit/color/RgbXyz.hpp"

#include "toolkit/color/Checks.hpp"
#include "toolkit/color/FixedPower.hpp"
#include "toolkit/color/MatrixRows.hpp"
#include "toolkit/common/CommonFunctions.hpp"
#include "toolkit/common/InputChecks.hpp"

#include <cmath>

using toolkit::color::checks::requireMatrix3x3;
using toolkit::color::checks::requireTypeAndSize;
using toolkit::common::requireType;

namespace {

using toolkit::color::rows::rowTimes;

// IEC 61966-2-1 (sRGB) transfer curve. The break points are compared as
// floats so that the float nearest each published break point (whose double
// widening lies just above 0.0031308) takes the linear branch.
constexpr float kCompandingBreak = 0.0031308f;
constexpr float kInverseCompandingBreak = 0.04045f;
constexpr double kLinearSlope = 12.92;
constexpr double kGammaScale = 1.055;
constexpr double kGammaOffset = 0.055;
constexpr double kGamma = 2.4;

// sRGB primaries (IEC 61966-2-1 / ITU-R BT.709) as xy chromaticities.
constexpr float kRedX = 0.64f, kRedY = 0.33f;
constexpr float kGreenX = 0.30f, kGreenY = 0.60f;
constexpr float kBlueX = 0.15f, kBlueY = 0.06f;

// Linear sRGB to XYZ for a D65 white (rows X, Y, Z; columns R, G, B), the
// matrix commonly tabulated for sRGB/D65 (Lindbloom).
cv::Mat sRGBD65Matrix()
{
    return (cv::Mat_<float>(3, 3) << 0.412424f, 0.357579f, 0.180464f, 0.212656f, 0.715158f,
        0.0721856f, 0.0193324f, 0.119193f, 0.950444f);
}

using toolkit::color::power::finishedPower;
using toolkit::color::power::FixedPower;

const FixedPower& compandingPower()
{
    static const FixedPower power(1.0 / kGamma);
    return power;
}

const FixedPower& inverseCompandingPower()
{
    static const FixedPower power(kGamma);
    return power;
}

// The transfer curves, with their powers fetched once by the caller.
inline float compand(float v, const FixedPower& power)
{
    if (v <= kCompandingBreak)
        return static_cast<float>(static_cast<double>(v) * kLinearSlope);
    return finishedPower(power, static_cast<double>(v),
        [](double p) { return static_cast<float>(kGammaScale * p - kGammaOffset); });
}

inline float linearise(float v, const FixedPower& power)
{
    if (v <= kInverseCompandingBreak)
        return static_cast<float>(static_cast<double>(v) / kLinearSlope);
    return finishedPower(power, (static_cast<double>(v) + kGammaOffset) / kGammaScale,
        [](double p) { return static_cast<float>(p); });
}

} // namespace

float toolkit::color::sRGBCompanding(float v)
{
    return compand(v, compandingPower());
}

float toolkit::color::sRGBInverseCompanding(float v)
{
    return linearise(v, inverseCompandingPower());
}

void toolkit::color::XYZtoxy(const cv::Mat& XYZ, cv::Mat& xy)
{
    requireType(XYZ, CV_32FC3, "XYZtoxy", "XYZ");
    requireType(xy, CV_32FC2, "XYZtoxy", "xy");
    const cv::Vec3f t = XYZ.at<cv::Vec3f>(0, 0);
    const float sum = t[0] + t[1] + t[2];
    xy.at<cv::Vec2f>(0, 0) = cv::Vec2f(t[0] / sum, t[1] / sum);
}

void toolkit::color::xytoXYZ(const cv::Mat& xy, float Y, cv::Mat& XYZ)
{
    requireType(xy, CV_32FC2, "xytoXYZ", "xy");
    requireType(XYZ, CV_32FC3, "xytoXYZ", "XYZ");
    const cv::Vec2f c = xy.at<cv::Vec2f>(0, 0);
    XYZ.at<cv::Vec3f>(0, 0) = cv::Vec3f(c[0] * Y / c[1], Y, (1.0f - c[0] - c[1]) * Y / c[1]);
}

float toolkit::color::product(const cv::Mat& vector, const cv::Mat& M, int row)
{
    requireType(vector, CV_32FC3, "product", "vector");
    requireMatrix3x3(M, "product", "M");
    CV_CheckGE(row, 0, "product: row of a 3 x 3 matrix");
    CV_CheckLE(row, 2, "product: row of a 3 x 3 matrix");
    const float* a = vector.ptr<float>(0);
    return M.at<float>(row, 0) * a[0] + M.at<float>(row, 1) * a[1] + M.at<float>(row, 2) * a[2];
}

void toolkit::color::getRGBtoXYZMatrix(const cv::Mat& white, cv::Mat& M)
{
    requireType(white, CV_32FC3, "getRGBtoXYZMatrix", "white");
    // Each primary at unit luminance: X = x / y, Y = 1, Z = (1 - x - y) / y.
    const float Xr = kRedX / kRedY, Zr = (1.0f - kRedX - kRedY) / kRedY;
    const float Xg = kGreenX / kGreenY, Zg = (1.0f - kGreenX - kGreenY) / kGreenY;
    const float Xb = kBlueX / kBlueY, Zb = (1.0f - kBlueX - kBlueY) / kBlueY;
    const cv::Mat P = (cv::Mat_<float>(3, 3) << Xr, Xg, Xb, 1.0f, 1.0f, 1.0f, Zr, Zg, Zb);
    const cv::Mat Pinv = P.inv(cv::DECOMP_LU);

    // Scale each primary so that the three together make the white.
    const float Sr = product(white, Pinv, 0);
    const float Sg = product(white, Pinv, 1);
    const float Sb = product(white, Pinv, 2);
    M = (cv::Mat_<float>(3, 3) << Sr * Xr, Sg * Xg, Sb * Xb, Sr, Sg, Sb, Sr * Zr, Sg * Zg, Sb * Zb);
}

void toolkit::color::convertBGRtoXYZ(cv::Mat& image, const cv::Mat& white, cv::Mat& xyz)
{
    requireType(image, CV_32FC3, "convertBGRtoXYZ", "image");
    requireType(white, CV_32FC3, "convertBGRtoXYZ", "white");
    requireTypeAndSize(xyz, CV_32FC3, image, "convertBGRtoXYZ", "xyz", "image");
    cv::Mat M(3, 3, CV_32FC1);
    getRGBtoXYZMatrix(white, M);
    const float* m = M.ptr<float>(0);
    for (int i = 0; i < image.rows; ++i) {
        float* src = image.ptr<float>(i);
        float* dst = xyz.ptr<float>(i);
        for (int j = 0; j < image.cols; ++j) {
            float* p = src + 3 * j;
            // The caller's image is left linearised.
            p[0] = sRGBInverseCompanding(p[0]);
            p[1] = sRGBInverseCompanding(p[1]);
            p[2] = sRGBInverseCompanding(p[2]);
            const float R = p[2], G = p[1], B = p[0];
            float* q = dst + 3 * j;
            q[0] = rowTimes(m, 0, R, G, B);
            q[1] = rowTimes(m, 1, R, G, B);
            q[2] = rowTimes(m, 2, R, G, B);
        }
    }
}

void toolkit::color::convertXYZtoBGR(const cv::Mat& xyz, const cv::Mat& white, cv::Mat& image)
{
    requireType(xyz, CV_32FC3, "convertXYZtoBGR", "xyz");
    requireType(white, CV_32FC3, "convertXYZtoBGR", "white");
    requireTypeAndSize(image, CV_32FC3, xyz, "convertXYZtoBGR", "image", "xyz");
    cv::Mat M(3, 3, CV_32FC1);
    getRGBtoXYZMatrix(white, M);
    // Row 0 of the inverse gives R, stored in channel 2; the applier reads a
    // whole pixel before writing it, so an in-place call stays correct.
    multiplyImageByMatrixBackward(xyz, image, M.inv(cv::DECOMP_LU));
    for (int i = 0; i < xyz.rows; ++i) {
        float* q = image.ptr<float>(i);
        for (int k = 0; k < xyz.cols * 3; ++k)
            q[k] = toolkit::common::clip(sRGBCompanding(q[k]), 0.0f, 1.0f);
    }
}

void toolkit::color::convertBGRToXYZDirect(const cv::Mat& image, cv::Mat& xyz)
{
    requireType(image, CV_32FC3, "convertBGRToXYZDirect", "image");
    requireTypeAndSize(xyz, CV_32FC3, image, "convertBGRToXYZDirect", "xyz", "image");
    const cv::Mat M = sRGBD65Matrix();
    const float* m = M.ptr<float>(0);
    const FixedPower& power = inverseCompandingPower();
    for (int i = 0; i < image.rows; ++i) {
        const float* src = image.ptr<float>(i);
        float* dst = xyz.ptr<float>(i);
        for (int j = 0; j < image.cols; ++j) {
            const float R = linearise(src[3 * j + 2], power);
            const float G = linearise(src[3 * j + 1], power);
            const float B = linearise(src[3 * j], power);
            float* q = dst + 3 * j;
            q[0] = rowTimes(m, 0, R, G, B);
            q[1] = rowTimes(m, 1, R, G, B);
            q[2] = rowTimes(m, 2, R, G, B);
        }
    }
}

void toolkit::color::convertXYZToBGRDirect(const cv::Mat& xyz, cv::Mat& image)
{
    requireType(xyz, CV_32FC3, "convertXYZToBGRDirect", "xyz");
    requireTypeAndSize(image, CV_32FC3, xyz, "convertXYZToBGRDirect", "image", "xyz");
    // Row 0 of the inverse gives R, stored in channel 2.
    multiplyImageByMatrixBackward(xyz, image, sRGBD65Matrix().inv(cv::DECOMP_LU));
    // Out-of-gamut colours are deliberately left outside [0, 1].
    const FixedPower& power = compandingPower();
    for (int i = 0; i < xyz.rows; ++i) {
        float* q = image.ptr<float>(i);
        for (int k = 0; k < xyz.cols * 3; ++k)
            q[k] = compand(q[k], power);
    }
}

void toolkit::color::multiplyImageByMatrixForward(
    const cv::Mat& src, cv::Mat& dst, const cv::Mat& M)
{
    requireType(src, CV_32FC3, "multiplyImageByMatrixForward", "src");
    requireTypeAndSize(dst, CV_32FC3, src, "multiplyImageByMatrixForward", "dst", "src");
    requireMatrix3x3(M, "multiplyImageByMatrixForward", "M");
    const cv::Mat Mf = M.isContinuous() ? M : M.clone();
    const float* m = Mf.ptr<float>(0);
    for (int i = 0; i < src.rows; ++i) {
        const float* s = src.ptr<float>(i);
        float* d = dst.ptr<float>(i);
        for (int j = 0; j < src.cols; ++j) {
            // B, G, R storage read as the vector (R, G, B).
            const float a0 = s[3 * j + 2], a1 = s[3 * j + 1], a2 = s[3 * j];
            float* q = d + 3 * j;
            q[0] = rowTimes(m, 0, a0, a1, a2);
            q[1] = rowTimes(m, 1, a0, a1, a2);
            q[2] = rowTimes(m, 2, a0, a1, a2);
        }
    }
}

void toolkit::color::multiplyImageByMatrixBackward(
    const cv::Mat& src, cv::Mat& dst, const cv::Mat& M)
{
    requireType(src, CV_32FC3, "multiplyImageByMatrixBackward", "src");
    requireTypeAndSize(dst, CV_32FC3, src, "multiplyImageByMatrixBackward", "dst", "src");
    requireMatrix3x3(M, "multiplyImageByMatrixBackward", "M");
    const cv::Mat Mf = M.isContinuous() ? M : M.clone();
    const float* m = Mf.ptr<float>(0);
    for (int i = 0; i < src.rows; ++i) {
        const float* s = src.ptr<float>(i);
        float* d = dst.ptr<float>(i);
        for (int j = 0; j < src.cols; ++j) {
            const float a0 = s[3 * j], a1 = s[3 * j + 1], a2 = s[3 * j + 2];
            float* q = d + 3 * j;
            // Natural-order result stored reversed: the last component lands in channel 0.
            q[2] = rowTimes(m, 0, a0, a1, a2);
            q[1] = rowTimes(m, 1, a0, a1, a2);
            q[0] = rowTimes(m, 2, a0, a1, a2);
        }
    }
}
