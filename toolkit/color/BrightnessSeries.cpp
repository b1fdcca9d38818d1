#include "toolkit/color/BrightnessSeries.hpp"
#include "toolkit/common/DebugOutput.hpp"

#include "toolkit/color/AppearanceModel.hpp"
#include "toolkit/color/Checks.hpp"
#include "toolkit/color/InverseModel.hpp"
#include "toolkit/common/CommonFunctions.hpp"
#include "toolkit/common/InputChecks.hpp"
#include "toolkit/guidedfilter/GuidedFilter.hpp"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <exception>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>
#include <vector>

using toolkit::color::checks::requireTypeAndSize;
using toolkit::common::requireType;

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

// What every pass of the series reads: the filtered brightness, the viewing
// factors and the forward model's planes, with the parts of the inverse model
// that depend on the hue and the chroma alone (hueTerms, chromaPower).
struct SeriesPlanes {
    cv::Mat Qf, FL, n, Ncb, z, C, et, hue, chromaPower;
    float Aw, Qmax, Nc;
};

// One pass: Qf raised to the exponent of f, back through the inverse model to
// a sharpened image on the 0..1 scale in out. Lines go to `printed`; the last
// pass writes the pass files. The planes in `in` are only read.
void renderPass(const SeriesPlanes& in, float f, bool lastPass, cv::Mat& out, std::ostream& printed)
{
    namespace color = toolkit::color;
    const int rows = in.Qf.rows;
    const int cols = in.Qf.cols;
    cv::Mat Q(rows, cols, CV_32FC1), J(rows, cols, CV_32FC1), t(rows, cols, CV_32FC1);
    cv::Mat A(rows, cols, CV_32FC1), a(rows, cols, CV_32FC1), b(rows, cols, CV_32FC1);
    cv::Mat compressed(rows, cols, CV_32FC3), hpe(rows, cols, CV_32FC3);
    // The inverse model's functions take non-const headers of planes they
    // only read.
    cv::Mat FL = in.FL, n = in.n, Ncb = in.Ncb, z = in.z, et = in.et;

    color::performGammaCorrectionByStyle(
        in.Qf, Q, (f * in.Qmax) / kFactorReference, in.Qmax, printed);
    if (lastPass)
        color::writeIntoFile(Q, "10_out.txt", rows, cols);
    printed << "Already out !" << std::endl;

    // Hue, eccentricity and chroma stay those of the input.
    color::brightness2Lightness(Q, FL, J, in.Aw);
    color::chromaPowerAndLightness2t(in.chromaPower, J, n, t);
    if (lastPass)
        toolkit::common::writeDebugImage("t_after.jpg", t);
    color::lightness2A(J, z, A, in.Aw, printed);
    color::hueTerms2AB(A, in.hue, t, et, Ncb, a, b, in.Nc);
    color::AB2NonLinearities(a, b, A, compressed, Ncb);
    color::inverseNonLinearities(compressed, hpe, FL, printed);
    color::convertHPEtoSharpenedRGB(hpe, out);

    if (lastPass) {
        toolkit::common::writeDebugImage("brightness_after.jpg", Q);
        toolkit::common::writeDebugImage("z_after.jpg", cv::Mat(z * kDebugScale));
        toolkit::common::writeDebugImage("lightness_after.jpg", J);
        toolkit::common::writeDebugImage("A_after.jpg", A);
        toolkit::common::writeDebugImage("a_after.jpg", cv::Mat(a * kDebugScale));
        toolkit::common::writeDebugImage("b_after.jpg", cv::Mat(b * kDebugScale));
        toolkit::common::writeDebugImage("rgba_after.jpg", compressed);
        toolkit::common::writeDebugImage("lms_after.jpg", hpe);
        toolkit::common::writeDebugImage("dst.jpg", out);
    }

    for (int i = 0; i < rows; ++i) {
        float* p = out.ptr<float>(i);
        for (int j = 0; j < cols * 3; ++j) {
            p[j] /= kModelScale;
            if (std::isnan(p[j]))
                printed << p[j] << std::endl;
        }
    }
}

// Runs pass(k) for k = 0 .. 5 on as many threads as there are cores (at most
// six), each with the caller's debug setting; the last pass, which also
// writes the files, is started first. An exception does not stop the other
// passes; the one of the lowest k is rethrown once all have finished.
template <class F> void forEachPass(F&& pass)
{
    const toolkit::common::DebugOutput debugOutput = toolkit::common::currentDebugOutput();
    std::array<std::exception_ptr, kPassCount> failures;
    std::atomic<int> next { 0 };
    auto work = [&] {
        const toolkit::common::DebugOutputScope scope(debugOutput);
        for (int started = next++; started < kPassCount; started = next++) {
            const int k = (started + kPassCount - 1) % kPassCount;
            try {
                pass(k);
            } catch (...) {
                failures[k] = std::current_exception();
            }
        }
    };
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    const unsigned threads = std::min(cores, static_cast<unsigned>(kPassCount));
    std::vector<std::thread> others;
    for (unsigned i = 1; i < threads; ++i)
        others.emplace_back(work);
    work();
    for (std::thread& other : others)
        other.join();
    for (const std::exception_ptr& failure : failures) {
        if (failure)
            std::rethrow_exception(failure);
    }
}

} // namespace

void toolkit::color::performGammaCorrectionByStyle(
    const cv::Mat& src, cv::Mat& dst, float a, float b, std::ostream& printed)
{
    requireType(src, CV_32FC1, "performGammaCorrectionByStyle", "src");
    requireTypeAndSize(dst, CV_32FC1, src, "performGammaCorrectionByStyle", "dst", "src");
    const float gamma = static_cast<float>(std::log10(static_cast<double>(b / a)) + 1.0);
    printed << "Gamma: " << gamma << std::endl;

    for (int i = 0; i < src.rows; ++i) {
        const float* s = src.ptr<float>(i);
        float* d = dst.ptr<float>(i);
        for (int j = 0; j < src.cols; ++j) {
            const float source = s[j];
            float value = std::pow(source, gamma);
            if (source < 0.0f) {
                value = 0.0f;
                printed << source << std::endl;
            }
            d[j] = value;
            if (std::isnan(value))
                printed << "Nan values in the gamma correction!" << std::endl;
        }
    }
}

void toolkit::color::increaseBrightness(
    cv::Mat& image, cv::Mat* exposures, float factor, const std::function<void(int)>& exposureDone)
{
    requireType(image, CV_32FC3, "increaseBrightness", "image");
    CV_Assert(exposures != nullptr);
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
    cv::Mat whiteY(rows, cols, CV_32FC1, cv::Scalar(static_cast<double>(kWhiteLevel)));
    const float Yb = computeYback(whiteY);
    cv::Mat FL(
        rows, cols, CV_32FC1, cv::Scalar(static_cast<double>(computeFl(kAdaptingLuminance))));
    cv::Mat n(rows, cols, CV_32FC1, cv::Scalar(static_cast<double>(computeN(Yb, kWhiteLevel))));
    cv::Mat Ncb(rows, cols, CV_32FC1, cv::Scalar(static_cast<double>(computeNcb(Yb, kWhiteLevel))));
    cv::Mat z(rows, cols, CV_32FC1, cv::Scalar(static_cast<double>(computeZ(Yb, kWhiteLevel))));

    cv::Mat hpe(rows, cols, CV_32FC3), compressed(rows, cols, CV_32FC3);
    cv::Mat a(rows, cols, CV_32FC1), b(rows, cols, CV_32FC1);
    cv::Mat h(rows, cols, CV_32FC1), et(rows, cols, CV_32FC1);
    cv::Mat J(rows, cols, CV_32FC1), Q(rows, cols, CV_32FC1), Qf(rows, cols, CV_32FC1);
    cv::Mat C(rows, cols, CV_32FC1), A(rows, cols, CV_32FC1);

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

        // The passes share the forward model's planes, read only, and what
        // the inverse model takes from the hue and the chroma alone; each
        // writes planes of its own and its lines into its own buffer.
        SeriesPlanes shared { Qf, FL, n, Ncb, z, C, et, cv::Mat(), cv::Mat(), Aw, Qmax, Nc };
        hueTerms(h, shared.hue);
        chromaPower(C, shared.chromaPower);

        std::array<float, kPassCount + 1> f {};
        f[0] = factor;
        for (int k = 0; k < kPassCount; ++k)
            f[k + 1] = static_cast<float>(static_cast<double>(f[k]) - kFactorStep);

        std::array<std::ostringstream, kPassCount> printed;
        forEachPass([&](int k) {
            // Writing into the caller's buffer where it fits keeps the
            // sharing the caller set up; anything else would be overrun.
            cv::Mat& out = exposures[k];
            out.create(rows, cols, CV_32FC3);
            renderPass(shared, f[k], k == kPassCount - 1, out, printed[k]);
            printed[k] << f[k + 1] << std::endl;
            if (exposureDone)
                exposureDone(k);
        });
        for (const std::ostringstream& lines : printed)
            toolkit::common::progress() << lines.str() << std::flush;
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
