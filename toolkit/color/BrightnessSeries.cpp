#include "toolkit/color/BrightnessSeries.hpp"
#include "toolkit/common/DebugOutput.hpp"

#include "toolkit/color/AppearanceModel.hpp"
#include "toolkit/color/InverseModel.hpp"
#include "toolkit/common/CommonFunctions.hpp"
#include "toolkit/guidedfilter/GuidedFilter.hpp"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <fstream>
#include <iostream>

namespace {

// A flash photograph of the reference scene, copied to "tmpFlash.jpg" as a
// record of the scene the series was tuned on; it takes no part in the result.
const char* const kFlashPath = "Images/flash-nonFlash+multiExp/set06/Scaled/flash.JPG";

// Viewing conditions of the series: adopted white 100 (0..100 scale), adapting
// luminance 20 cd/m^2, chromatic induction 0.8 (the metrics program's).
constexpr float kWhiteLevel = 100.0f;
constexpr float kAdaptingLuminance = 20.0f;
constexpr float kChromaticInduction = 0.8f;

// The sharpened input is on 0..1; the appearance model expects 0..100.
constexpr float kModelScale = 100.0f;

// Brightness smoothing before the gamma passes: a small bilateral window with
// a colour sigma of a fiftieth of the largest brightness.
constexpr int kBrightnessFilterDiameter = 5;
constexpr float kBrightnessSigmaDivisor = 50.0f;
constexpr double kBrightnessSpaceSigma = 40.0;

// Six passes; the exposure factor falls by 0.7 from one to the next and the
// ratio of brightness levels is taken against a tenth of it.
constexpr int kPassCount = 6;
constexpr double kFactorStep = 0.7;
constexpr float kFactorReference = 10.0f;

// Planes of about -1..1 are drawn x 255 (the product is a float product).
constexpr double kDebugScale = 255.0;

// Guided-filter smoothing of the white images.
constexpr int kWhiteRadius = 16;
constexpr double kWhiteEps = 0.0001;

// Brightness relative to the largest, x 100, for "brightness_before.jpg".
cv::Mat relativeBrightness(const cv::Mat& Q, float Qmax)
{
    cv::Mat out(Q.size(), CV_32FC1);
    for (int i = 0; i < Q.rows; ++i) {
        const float* q = Q.ptr<float>(i);
        float* o = out.ptr<float>(i);
        for (int j = 0; j < Q.cols; ++j)
            o[j] = (q[j] / Qmax) * 100.0f;
    }
    return out;
}

void copyFlashRecord()
{
    // Looked for first, so that its usual absence does not make the codec
    // library log a warning.
    if (!std::ifstream(kFlashPath).good())
        return;
    const cv::Mat flash = cv::imread(kFlashPath, cv::IMREAD_COLOR);
    if (flash.empty())
        return;
    cv::Mat flashFloat;
    flash.convertTo(flashFloat, CV_32FC3, 1.0, 0.0);
    toolkit::common::writeDebugImage("tmpFlash.jpg", flashFloat);
}

} // namespace

void toolkit::color::performGammaCorrectionByStyle(
    const cv::Mat& src, cv::Mat& dst, float a, float b)
{
    const float gamma = static_cast<float>(std::log10(static_cast<double>(b / a)) + 1.0);
    toolkit::common::progress() << "Gamma: " << gamma << std::endl;

    for (int i = 0; i < src.rows; ++i) {
        const float* s = src.ptr<float>(i);
        float* d = dst.ptr<float>(i);
        for (int j = 0; j < src.cols; ++j) {
            const float source = s[j];
            float value = std::pow(source, gamma);
            if (source < 0.0f) {
                value = 0.0f;
                toolkit::common::progress() << source << std::endl;
            }
            d[j] = value;
            if (std::isnan(value))
                toolkit::common::progress() << "Nan values in the gamma correction!" << std::endl;
        }
    }
}

void toolkit::color::increaseBrightness(cv::Mat& image, cv::Mat* exposures, float factor)
{
    copyFlashRecord();

    const int rows = image.rows;
    const int cols = image.cols;
    const float Nc = kChromaticInduction;

    for (int i = 0; i < rows; ++i) {
        float* p = image.ptr<float>(i);
        for (int j = 0; j < cols * 3; ++j)
            p[j] *= kModelScale;
    }

    // The adopted white is uniform, so its luminance plane alone gives Yb and
    // the viewing factors are the same at every pixel.
    cv::Mat whiteY(rows, cols, CV_32FC1, cv::Scalar(kWhiteLevel));
    const float Yb = computeYback(whiteY);
    cv::Mat FL(rows, cols, CV_32FC1, cv::Scalar(computeFl(kAdaptingLuminance)));
    cv::Mat n(rows, cols, CV_32FC1, cv::Scalar(computeN(Yb, kWhiteLevel)));
    cv::Mat Ncb(rows, cols, CV_32FC1, cv::Scalar(computeNcb(Yb, kWhiteLevel)));
    cv::Mat z(rows, cols, CV_32FC1, cv::Scalar(computeZ(Yb, kWhiteLevel)));

    cv::Mat hpe(rows, cols, CV_32FC3), compressed(rows, cols, CV_32FC3);
    cv::Mat a(rows, cols, CV_32FC1), b(rows, cols, CV_32FC1);
    cv::Mat h(rows, cols, CV_32FC1), et(rows, cols, CV_32FC1);
    cv::Mat J(rows, cols, CV_32FC1), Q(rows, cols, CV_32FC1), Qf(rows, cols, CV_32FC1);
    cv::Mat C(rows, cols, CV_32FC1), t(rows, cols, CV_32FC1), A(rows, cols, CV_32FC1);

    convertSharpenedBGRtoHPE(image, hpe);
    computeNonLinearities(hpe, compressed, FL);
    computeAB(compressed, a, b);
    computeHue(a, b, h, et);
    const float Aw = computeLightness(compressed, Ncb, z, J, A);
    const float Qmax = computeBrightness(J, FL, z, Q, Aw);
    computeChroma(compressed, a, b, J, et, Ncb, n, C, Nc);

    using toolkit::common::writeImage;
    toolkit::common::writeDebugImage("rgba_before.jpg", compressed);
    toolkit::common::writeDebugImage("lms_before.jpg", hpe);
    toolkit::common::writeDebugImage("a_before.jpg", cv::Mat(a * kDebugScale));
    toolkit::common::writeDebugImage("b_before.jpg", cv::Mat(b * kDebugScale));
    toolkit::common::writeDebugImage("lightness_before.jpg", J);
    toolkit::common::writeDebugImage("brightness_before.jpg", relativeBrightness(Q, Qmax));

    const double sigmaColor = static_cast<double>(Qmax / kBrightnessSigmaDivisor);
    cv::bilateralFilter(Q, Qf, kBrightnessFilterDiameter, sigmaColor, kBrightnessSpaceSigma,
        cv::BORDER_REFLECT_101);
    toolkit::common::writeDebugImage("brightness_before_filtered.jpg", Qf);

    {
        // Kept open, and empty, for the length of the passes.
        std::ofstream pValues(
            toolkit::common::debugFilePath("pValues.txt"), std::ios::out | std::ios::trunc);

        float f = factor;
        for (int k = 0; k < kPassCount; ++k) {
            // Writing into the caller's buffer where it fits keeps the
            // sharing the caller set up; anything else would be overrun.
            cv::Mat& out = exposures[k];
            out.create(rows, cols, CV_32FC3);

            performGammaCorrectionByStyle(Qf, Q, (f * Qmax) / kFactorReference, Qmax);
            writeIntoFile(Q, "10_out.txt", rows, cols);
            toolkit::common::progress() << "Already out !" << std::endl;

            // Hue, eccentricity and chroma stay those of the input.
            brightness2Lightness(Q, FL, J, Aw);
            chromaAndLightness2t(C, J, n, t);
            lightness2A(J, z, A, Aw);
            hue2AB(A, h, t, et, Ncb, a, b, Nc);
            AB2NonLinearities(a, b, A, compressed, Ncb);
            inverseNonLinearities(compressed, hpe, FL);
            convertHPEtoSharpenedRGB(hpe, out);

            toolkit::common::writeDebugImage("brightness_after.jpg", Q);
            toolkit::common::writeDebugImage("z_after.jpg", cv::Mat(z * kDebugScale));
            toolkit::common::writeDebugImage("lightness_after.jpg", J);
            toolkit::common::writeDebugImage("A_after.jpg", A);
            toolkit::common::writeDebugImage("a_after.jpg", cv::Mat(a * kDebugScale));
            toolkit::common::writeDebugImage("b_after.jpg", cv::Mat(b * kDebugScale));
            toolkit::common::writeDebugImage("rgba_after.jpg", compressed);
            toolkit::common::writeDebugImage("lms_after.jpg", hpe);
            toolkit::common::writeDebugImage("dst.jpg", out);

            for (int i = 0; i < rows; ++i) {
                float* p = out.ptr<float>(i);
                for (int j = 0; j < cols * 3; ++j) {
                    p[j] /= kModelScale;
                    if (std::isnan(p[j]))
                        toolkit::common::progress() << p[j] << std::endl;
                }
            }

            f = static_cast<float>(static_cast<double>(f) - kFactorStep);
            toolkit::common::progress() << f << std::endl;
        }
    }

    for (int i = 0; i < rows; ++i) {
        float* p = image.ptr<float>(i);
        for (int j = 0; j < cols * 3; ++j) {
            p[j] /= kModelScale;
            if (p[j] > 1.0f)
                toolkit::common::progress() << p[j] << std::endl;
        }
    }
}

void toolkit::color::computeWhiteImgVs2(const cv::Mat& src, cv::Mat& dst, float sigmaColor, int d)
{
    // The bilateral filter cannot work in place.
    const cv::Mat input = src.data == dst.data ? src.clone() : src;
    cv::bilateralFilter(input, dst, d, static_cast<double>(sigmaColor), static_cast<double>(d),
        cv::BORDER_REFLECT_101);
}

void toolkit::color::computeWhiteImg(const cv::Mat& src, cv::Mat& dst, int /*unused*/)
{
    const cv::Mat filtered = src;
    dst = toolkit::guidedfilter::guidedFilter(src, filtered, kWhiteRadius, kWhiteEps, -1);
}
