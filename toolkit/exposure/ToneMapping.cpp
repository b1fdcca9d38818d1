#include "toolkit/exposure/ToneMapping.hpp"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cfloat>
#include <cmath>

namespace {

// Floor of the grey level before its logarithm, so black pixels get a finite
// log luminance (cv::log(0) is -88 in OpenCV 4 and -inf in OpenCV 3).
constexpr float kLogFloor = 1e-4f;

// Scales all channels together to [0, 1] by the smallest and largest value;
// an image whose values span no more than DBL_EPSILON is copied unchanged.
cv::Mat normaliseJointly(const cv::Mat& src)
{
    double lo = 0.0, hi = 0.0;
    cv::minMaxLoc(src.reshape(1), &lo, &hi);
    if (!(hi - lo > DBL_EPSILON))
        return src.clone();
    const float low = static_cast<float>(lo);
    const float range = static_cast<float>(hi - lo);
    cv::Mat out(src.size(), CV_32FC3);
    for (int i = 0; i < src.rows; ++i) {
        const float* in = src.ptr<float>(i);
        float* o = out.ptr<float>(i);
        for (int k = 0; k < src.cols * 3; ++k)
            o[k] = (in[k] - low) / range;
    }
    return out;
}

} // namespace

toolkit::exposure::TonemapDurand::TonemapDurand(
    float gamma, float contrast, float saturation, float sigmaSpace, float sigmaColor)
    : gamma_(gamma)
    , contrast_(contrast)
    , saturation_(saturation)
    , sigmaSpace_(sigmaSpace)
    , sigmaColor_(sigmaColor)
{
}

void toolkit::exposure::TonemapDurand::process(const cv::Mat& src, cv::Mat& dst) const
{
    CV_Assert(src.type() == CV_32FC3);
    const cv::Mat img = normaliseJointly(src);

    // The RGB weights on the channels as stored, as OpenCV's own Durand did
    // on BGR data.
    cv::Mat grey;
    cv::cvtColor(img, grey, cv::COLOR_RGB2GRAY);

    cv::Mat logLum(img.size(), CV_32FC1);
    for (int i = 0; i < img.rows; ++i) {
        const float* g = grey.ptr<float>(i);
        float* l = logLum.ptr<float>(i);
        for (int j = 0; j < img.cols; ++j)
            l[j] = std::log(std::max(g[j], kLogFloor));
    }

    cv::Mat base;
    cv::bilateralFilter(
        logLum, base, -1, static_cast<double>(sigmaColor_), static_cast<double>(sigmaSpace_));

    // A flat base layer has no range to compress: contrast / 0 would turn the
    // whole image into inf or NaN, so its luminance is kept as it is.
    double baseLo = 0.0, baseHi = 0.0;
    cv::minMaxLoc(base, &baseLo, &baseHi);
    const float scale
        = (baseHi - baseLo > DBL_EPSILON) ? contrast_ / static_cast<float>(baseHi - baseLo) : 1.0f;
    const float baseGain = scale - 1.0f;
    const float invGamma = 1.0f / gamma_;
    // pow(x, 1) is x for every float (NaN stays NaN), so saturation 1 skips
    // the inner power.
    const bool keepSaturation = saturation_ == 1.0f;

    cv::Mat out(img.size(), CV_32FC3);
    for (int i = 0; i < img.rows; ++i) {
        const float* in = img.ptr<float>(i);
        const float* g = grey.ptr<float>(i);
        const float* l = logLum.ptr<float>(i);
        const float* b = base.ptr<float>(i);
        float* o = out.ptr<float>(i);
        for (int j = 0; j < img.cols; ++j) {
            // Base compressed, detail (l - b) kept.
            const float lum = std::exp(b[j] * baseGain + l[j]);
            for (int c = 0; c < 3; ++c) {
                float v = 0.0f;
                if (g[j] != 0.0f) {
                    const float ratio = in[3 * j + c] / g[j];
                    const float saturated = keepSaturation ? ratio : std::pow(ratio, saturation_);
                    v = std::pow(saturated * lum, invGamma);
                }
                o[3 * j + c] = v;
            }
        }
    }
    dst = out;
}

cv::Ptr<toolkit::exposure::TonemapDurand> toolkit::exposure::createTonemapDurand(
    float gamma, float contrast, float saturation, float sigmaSpace, float sigmaColor)
{
    return cv::makePtr<TonemapDurand>(gamma, contrast, saturation, sigmaSpace, sigmaColor);
}
