#include "toolkit/color/ChromaticAdaptation.hpp"

#include "toolkit/color/Checks.hpp"
#include "toolkit/color/MatrixRows.hpp"
#include "toolkit/color/RgbXyz.hpp"
#include "toolkit/common/CommonFunctions.hpp"
#include "toolkit/common/InputChecks.hpp"

#include <opencv2/imgproc.hpp>

#include <cmath>
#include <limits>

using toolkit::color::checks::requireTypeAndSize;
using toolkit::color::checks::requireTypeCovering;
using toolkit::common::requireType;

namespace {

using toolkit::color::rows::rowTimes;

// CAT02 (CIECAM02, CIE 159:2004), rows L, M, S from X, Y, Z.
cv::Mat cat02Matrix()
{
    return (cv::Mat_<float>(3, 3) << 0.7328f, 0.4296f, -0.1624f, -0.7036f, 1.6975f, 0.0061f, 0.003f,
        0.0136f, 0.9834f);
}

// CIE D65 on the relative scale (Y = 1).
constexpr float kD65X = 0.9505f, kD65Y = 1.0f, kD65Z = 1.0888f;

// Keeps von Kries denominators away from zero; the double nearest 10^-6.
constexpr double kTinyOffset = 1e-6;

// Adapting luminance as a fraction of the white's Y (a 20 % grey background).
constexpr double kAdaptingLuminanceFraction = 0.2;

// Surround factor F of CIECAM02 for an average surround, and 1 / 3.6.
constexpr double kAverageSurroundF = 1.0;
constexpr double kOneOver3_6 = 0.2777777777777778;

// Adapting luminance behind the D65 pair, in cd/m^2.
constexpr float kD65AdaptingLuminance = 20.0f;

// Damping of the local adaptation: an effective degree of 0.3 D.
constexpr float kLocalDamping = 0.3f;

// Adapted XYZ is only kept non-negative before the conversion back; the
// display clip of convertXYZtoBGR bounds it from above. (An upper bound of 1
// on XYZ would cut Z of any white with Z > 1, e.g. D65's 1.0888, and tint it.)
constexpr float kXyzLowerBound = 0.0f;
constexpr float kXyzUpperBound = std::numeric_limits<float>::max();

inline float adaptingLuminance(float whiteY)
{
    return static_cast<float>(kAdaptingLuminanceFraction * static_cast<double>(whiteY));
}

// Von Kries ratio D x destination / (1e-6 + source): product in float,
// offset sum and quotient in double.
inline float offsetRatio(float whiteDst, float D, float whiteSrc)
{
    const float numerator = whiteDst * D;
    return static_cast<float>(
        static_cast<double>(numerator) / (kTinyOffset + static_cast<double>(whiteSrc)));
}

// Destination white blended between the global white and the pixel's own
// source white, times D, over the source white, in float. A source white in
// [0, 1e-6) (a black neighbourhood) is offset by 1e-6 like the other
// branches, so that the gain stays finite and a black pixel stays black. A
// negative white (a smoothed white can dip below zero at a dark border) is
// divided by as it is, so that with blend 0 the gain is 1 there too.
inline float blendedRatio(float globalDst, float whiteSrc, float blend, float D)
{
    const float numerator = (globalDst * blend + whiteSrc * (1.0f - blend)) * D;
    const float denominator = whiteSrc >= 0.0f && static_cast<double>(whiteSrc) < kTinyOffset
        ? static_cast<float>(static_cast<double>(whiteSrc) + kTinyOffset)
        : whiteSrc;
    return numerator / denominator;
}

// The image and whites of iCAMCAT and iCAMCATLocal: one destination white
// at (0, 0), or one per pixel.
void checkPerPixelArguments(const cv::Mat& image, const cv::Mat& whiteSrc, const cv::Mat& whiteDst,
    bool perPixelDst, const char* function)
{
    requireType(image, CV_32FC3, function, "image");
    requireTypeCovering(whiteSrc, CV_32FC3, image, function, "whiteSrc");
    if (perPixelDst)
        requireTypeCovering(whiteDst, CV_32FC3, image, function, "whiteDst");
    else
        requireType(whiteDst, CV_32FC3, function, "whiteDst");
}

// Shared body of iCAMCAT and iCAMCATLocal: damping 1 and no mask for the
// former, damping 0.3 and a mask for the latter.
void adaptPerPixel(cv::Mat& image, const cv::Mat& whiteSrc, const cv::Mat& whiteDst,
    const cv::Mat* mask, float damping, float blend, bool perPixelDst)
{
    cv::Mat whiteXyz(whiteSrc.rows, whiteSrc.cols, CV_32FC3);
    toolkit::color::convertSharpenedBGRtoXYZ(whiteSrc, whiteXyz);
    const cv::Vec3f globalDst = whiteDst.at<cv::Vec3f>(0, 0);

    for (int i = 0; i < image.rows; ++i) {
        float* img = image.ptr<float>(i);
        const float* ws = whiteSrc.ptr<float>(i);
        const float* wxyz = whiteXyz.ptr<float>(i);
        const float* wd = perPixelDst ? whiteDst.ptr<float>(i) : nullptr;
        const uchar* m = mask ? mask->ptr<uchar>(i) : nullptr;
        for (int j = 0; j < image.cols; ++j) {
            if (m && m[j] == 0)
                continue;
            const float D = toolkit::color::computeAdapFactD(adaptingLuminance(wxyz[3 * j + 1]));
            for (int k = 0; k < 3; ++k) {
                const float src = ws[3 * j + k];
                const float ratio = perPixelDst ? offsetRatio(wd[3 * j + k], D, src)
                                                : blendedRatio(globalDst[k], src, blend, D);
                img[3 * j + k] *= damping * ratio + 1.0f - damping * D;
            }
        }
    }
}

// The D65 white in the sharpened space, (S, M, L).
cv::Vec3f sharpenedD65()
{
    const cv::Mat d65 = (cv::Mat_<cv::Vec3f>(1, 1) << cv::Vec3f(kD65X, kD65Y, kD65Z));
    cv::Mat w(1, 1, CV_32FC3);
    toolkit::color::convertXYZtoSharpenedBGR(d65, w);
    return w.at<cv::Vec3f>(0, 0);
}

// Multiplies (or divides) every element by its von Kries gain towards D65.
void adaptByD65(cv::Mat& image, const cv::Mat& whiteSrc, bool inverse)
{
    const cv::Vec3f W = sharpenedD65();
    const float D = toolkit::color::computeAdapFactD(kD65AdaptingLuminance);
    for (int i = 0; i < image.rows; ++i) {
        float* img = image.ptr<float>(i);
        const float* ws = whiteSrc.ptr<float>(i);
        for (int j = 0; j < image.cols; ++j) {
            for (int k = 0; k < 3; ++k) {
                // The white is read before the element is written, so the
                // image may be its own white.
                const float gain = 1.0f + offsetRatio(W[k], D, ws[3 * j + k]) - D;
                if (inverse)
                    img[3 * j + k] /= gain;
                else
                    img[3 * j + k] *= gain;
            }
        }
    }
}

} // namespace

void toolkit::color::convertXYZtoSharpenedBGR(const cv::Mat& xyz, cv::Mat& sharpened)
{
    requireType(xyz, CV_32FC3, "convertXYZtoSharpenedBGR", "xyz");
    requireTypeAndSize(sharpened, CV_32FC3, xyz, "convertXYZtoSharpenedBGR", "sharpened", "xyz");
    // X, Y, Z in natural order in; L, M, S stored reversed (S in channel 0).
    multiplyImageByMatrixBackward(xyz, sharpened, cat02Matrix());
}

void toolkit::color::convertSharpenedBGRtoXYZ(const cv::Mat& sharpened, cv::Mat& xyz)
{
    requireType(sharpened, CV_32FC3, "convertSharpenedBGRtoXYZ", "sharpened");
    requireTypeAndSize(xyz, CV_32FC3, sharpened, "convertSharpenedBGRtoXYZ", "xyz", "sharpened");
    // L, M, S read from channels 2, 1, 0; X, Y, Z stored in natural order.
    multiplyImageByMatrixForward(sharpened, xyz, cat02Matrix().inv(cv::DECOMP_LU));
}

float toolkit::color::computeAdapFactD(float La)
{
    const float exponentNumerator = -La - 42.0f;
    const double d = 1.0 - kOneOver3_6 * std::exp(static_cast<double>(exponentNumerator) / 92.0);
    return static_cast<float>(kAverageSurroundF * d);
}

void toolkit::color::CAT(cv::Mat& image, const cv::Mat& whiteSrc, const cv::Mat& whiteDst, float D,
    const cv::Mat& /*mask*/)
{
    requireType(image, CV_32FC3, "CAT", "image");
    requireType(whiteSrc, CV_32FC3, "CAT", "whiteSrc");
    requireType(whiteDst, CV_32FC3, "CAT", "whiteDst");
    // The whites are linear B, G, R: OpenCV's fixed matrix, no transfer curve.
    cv::Mat w1, w2;
    cv::cvtColor(whiteSrc, w1, cv::COLOR_BGR2XYZ);
    cv::cvtColor(whiteDst, w2, cv::COLOR_BGR2XYZ);

    cv::Mat xyz(image.rows, image.cols, CV_32FC3);
    convertBGRtoXYZ(image, w1, xyz);

    const cv::Mat cat02 = cat02Matrix();
    const float L1 = product(w1, cat02, 0), M1 = product(w1, cat02, 1), S1 = product(w1, cat02, 2);
    const float L2 = product(w2, cat02, 0), M2 = product(w2, cat02, 1), S2 = product(w2, cat02, 2);
    const float gL = ((1.0f - D) * L1 + D * L2) / L1;
    const float gM = ((1.0f - D) * M1 + D * M2) / M1;
    const float gS = ((1.0f - D) * S1 + D * S2) / S1;
    const cv::Mat G = (cv::Mat_<float>(3, 3) << gL, 0.0f, 0.0f, 0.0f, gM, 0.0f, 0.0f, 0.0f, gS);

    // T = CAT02^-1 G CAT02, the whole adaptation as one XYZ matrix.
    const cv::Mat cat02Inv = cat02.inv(cv::DECOMP_LU);
    cv::Mat invTimesG(3, 3, CV_32FC1), T(3, 3, CV_32FC1);
    toolkit::common::dotProduct(cat02Inv, G, invTimesG);
    toolkit::common::dotProduct(invTimesG, cat02, T);
    const float* t = T.ptr<float>(0);

    cv::Mat working = xyz.clone();
    for (int i = 0; i < xyz.rows; ++i) {
        const float* src = xyz.ptr<float>(i);
        float* dst = working.ptr<float>(i);
        for (int j = 0; j < xyz.cols; ++j) {
            const float X = src[3 * j], Y = src[3 * j + 1], Z = src[3 * j + 2];
            for (int k = 0; k < 3; ++k)
                dst[3 * j + k] = toolkit::common::clip(
                    rowTimes(t, k, X, Y, Z), kXyzLowerBound, kXyzUpperBound);
        }
    }

    convertXYZtoBGR(working, w1, image);
}

void toolkit::color::inverseCAT(
    const cv::Mat& adapted, const cv::Mat& whiteDst, cv::Mat& whiteSrc, cv::Mat& out)
{
    requireType(adapted, CV_32FC3, "inverseCAT", "adapted");
    requireTypeAndSize(out, CV_32FC3, adapted, "inverseCAT", "out", "adapted");
    requireTypeCovering(whiteDst, CV_32FC3, adapted, "inverseCAT", "whiteDst");
    requireTypeCovering(whiteSrc, CV_32FC3, adapted, "inverseCAT", "whiteSrc");
    // The current content of `out` supplies each pixel's luminance.
    cv::Mat luminance(out.rows, out.cols, CV_32FC3);
    convertSharpenedBGRtoXYZ(out, luminance);

    for (int i = 0; i < adapted.rows; ++i) {
        const float* a = adapted.ptr<float>(i);
        const float* wd = whiteDst.ptr<float>(i);
        float* ws = whiteSrc.ptr<float>(i);
        const float* lum = luminance.ptr<float>(i);
        float* o = out.ptr<float>(i);
        for (int j = 0; j < adapted.cols; ++j) {
            const float D = computeAdapFactD(adaptingLuminance(lum[3 * j + 1]));
            for (int k = 0; k < 3; ++k) {
                float& src = ws[3 * j + k];
                if (static_cast<double>(src) < kTinyOffset)
                    src = static_cast<float>(static_cast<double>(src) + kTinyOffset);
                const float ratio = wd[3 * j + k] * D / src;
                o[3 * j + k] = a[3 * j + k] / (1.0f + ratio - D);
            }
        }
    }
}

void toolkit::color::iCAMCAT(cv::Mat& image, const cv::Mat& whiteSrc, const cv::Mat& whiteDst,
    const cv::Mat& /*unused1*/, const cv::Mat& /*unused2*/, float blend, bool perPixelDst)
{
    checkPerPixelArguments(image, whiteSrc, whiteDst, perPixelDst, "iCAMCAT");
    adaptPerPixel(image, whiteSrc, whiteDst, nullptr, 1.0f, blend, perPixelDst);
}

void toolkit::color::iCAMCATLocal(cv::Mat& image, const cv::Mat& whiteSrc, const cv::Mat& whiteDst,
    const cv::Mat& /*unused1*/, const cv::Mat& /*unused2*/, const cv::Mat& mask, float blend,
    bool perPixelDst)
{
    checkPerPixelArguments(image, whiteSrc, whiteDst, perPixelDst, "iCAMCATLocal");
    requireTypeAndSize(mask, CV_8UC1, image, "iCAMCATLocal", "mask", "image");
    adaptPerPixel(image, whiteSrc, whiteDst, &mask, kLocalDamping, blend, perPixelDst);
}

void toolkit::color::iCAMCATByD65(
    cv::Mat& image, const cv::Mat& whiteSrc, const cv::Mat& /*unused*/)
{
    requireType(image, CV_32FC3, "iCAMCATByD65", "image");
    requireTypeCovering(whiteSrc, CV_32FC3, image, "iCAMCATByD65", "whiteSrc");
    adaptByD65(image, whiteSrc, false);
}

void toolkit::color::inverseCATByD65(
    cv::Mat& image, const cv::Mat& whiteSrc, const cv::Mat& /*unused*/)
{
    requireType(image, CV_32FC3, "inverseCATByD65", "image");
    requireTypeCovering(whiteSrc, CV_32FC3, image, "inverseCATByD65", "whiteSrc");
    adaptByD65(image, whiteSrc, true);
}
