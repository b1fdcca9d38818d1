#include "toolkit/color/LocalAdaptation.hpp"
#include "toolkit/common/DebugOutput.hpp"

#include "toolkit/color/AppearanceModel.hpp"
#include "toolkit/color/BrightnessSeries.hpp"
#include "toolkit/color/ChromaticAdaptation.hpp"
#include "toolkit/color/RgbXyz.hpp"
#include "toolkit/color/StructureTensor.hpp"
#include "toolkit/color/WhitePoint.hpp"
#include "toolkit/common/CommonFunctions.hpp"
#include "toolkit/common/InputChecks.hpp"

#include <array>
#include <cmath>
#include <fstream>
#include <iostream>
#include <limits>
#include <sstream>
#include <string>

using toolkit::common::requireType;

namespace {

// Mean squared difference per pixel at or below which two images agree.
constexpr double kEquivalenceThreshold = 1e-6;

// Passes of the local adaptation; it would repeat while the smoothed white
// keeps changing, but one pass is what the rendering was tuned with.
constexpr int kLocalPasses = 1;
// Handed to computeWhiteImg, which ignores its int argument.
constexpr int kWhiteImgArgument = 1600;

// Both bilateral transforms adapt as if at La = 20 cd/m^2.
constexpr float kBilateralAdaptingLuminance = 20.0f;

// biCAT: whites below this are near black; the target is then divided by the
// white lifted by kBlackWhiteLift instead.
constexpr double kBlackWhiteLimit = 1e-3;
constexpr double kBlackWhiteLift = 0.02;
// The channels run S, M, L; the files left are those of L.
constexpr int kLastChannel = 2;

// biCATRegression works on the 8-bit scale.
constexpr float kByteScale = 255.0f;
// Guidance whites below 1 (on 0..255) are not divided by.
constexpr float kDarkGuidanceWhite = 1.0f;
// Ratios above 4 mark a pixel as unusable; the ratio image is drawn x 50.
constexpr float kRatioDrawScale = 50.0f;
constexpr float kRatioDrawLimit = 200.0f;
constexpr float kFlagged = 0.0f;
constexpr float kUsable = 255.0f;
// Structure tensor window, and the bilateral diameter as a fraction of the
// image diagonal.
constexpr float kTensorKernel = 3.0f;
constexpr double kDiagonalDivisor = 25.0;

void requireSameSizeAndType(const cv::Mat& m, const cv::Mat& like, int type, const char* what)
{
    if (m.type() != type || m.size() != like.size())
        CV_Error(cv::Error::StsBadArg, std::string(what) + " must match the image's size and type");
}

// Multiplies (or divides) every element of a float matrix in place, in float.
void scaleElements(cv::Mat& m, float factor, bool divide)
{
    const int width = m.cols * m.channels();
    for (int i = 0; i < m.rows; ++i) {
        float* p = m.ptr<float>(i);
        for (int j = 0; j < width; ++j)
            p[j] = divide ? p[j] / factor : p[j] * factor;
    }
}

} // namespace

bool toolkit::color::areImgsEqualivalent(const cv::Mat& a, const cv::Mat& b)
{
    if (a.size() != b.size() || a.type() != b.type() || a.depth() != CV_32F)
        return false;

    const int width = a.cols * a.channels();
    float sum = 0.0f;
    for (int i = 0; i < a.rows; ++i) {
        const float* pa = a.ptr<float>(i);
        const float* pb = b.ptr<float>(i);
        for (int j = 0; j < width; ++j) {
            if (std::isnan(pa[j]) || std::isnan(pb[j]))
                continue;
            const float d = (pa[j] - pb[j]) * (pa[j] - pb[j]);
            sum += d;
        }
    }
    if (sum == 0.0f)
        return false;
    const float mean = sum / static_cast<float>(a.rows * a.cols);
    return static_cast<double>(mean) <= kEquivalenceThreshold;
}

void toolkit::color::performLocalCAMCA(cv::Mat& image, const cv::Mat& reference, float blend)
{
    requireType(image, CV_32FC3, "performLocalCAMCA", "image");
    requireType(reference, CV_32FC3, "performLocalCAMCA", "reference");
    const float quietNaN = std::numeric_limits<float>::quiet_NaN();

    cv::Mat xyz(image.size(), CV_32FC3);
    convertBGRToXYZDirect(image, xyz);

    // Every pixel is adapted. iCAMCATLocal reads the mask at the image's
    // pixels, so it takes the image's size.
    const cv::Mat mask(image.size(), CV_8UC1, cv::Scalar(1));
    cv::Mat previousWhite(image.size(), CV_32FC3, cv::Scalar::all(static_cast<double>(quietNaN)));

    cv::Mat referenceWhite(1, 1, CV_32FC3), imageWhite(1, 1, CV_32FC3);
    cv::Mat referenceState(1, 1, CV_32FC3, cv::Scalar::all(static_cast<double>(quietNaN)));
    cv::Mat imageState(1, 1, CV_32FC3, cv::Scalar::all(static_cast<double>(quietNaN)));
    computeWhitePointFromGrayWorld(reference, referenceWhite, referenceState, mask);
    computeWhitePointFromGrayWorld(image, imageWhite, imageState, mask);
    for (cv::Mat* w : { &referenceWhite, &imageWhite }) {
        convertBGRToXYZDirect(*w, *w);
        convertXYZtoSharpenedBGR(*w, *w);
    }

    cv::Mat sharpened(image.size(), CV_32FC3), sharpenedWhite(image.size(), CV_32FC3), white;
    for (int pass = 0; pass < kLocalPasses; ++pass) {
        convertXYZtoSharpenedBGR(xyz, sharpened);
        computeWhiteImg(xyz, white, kWhiteImgArgument);
        const bool settled = areImgsEqualivalent(white, previousWhite);
        convertXYZtoSharpenedBGR(white, sharpenedWhite);
        // The image's own white only fills iCAMCATLocal's unread places.
        iCAMCATLocal(
            sharpened, sharpenedWhite, referenceWhite, imageWhite, imageWhite, mask, blend, false);
        convertSharpenedBGRtoXYZ(sharpened, xyz);
        white.copyTo(previousWhite);
        if (settled)
            break;
    }

    convertXYZToBGRDirect(xyz, image);
}

namespace {

// biCAT's adaptation; its two files only with writeFiles.
void adaptTowardsTarget(
    cv::Mat& image, const cv::Mat& white, const cv::Mat& target, bool writeFiles)
{
    if (image.type() != CV_32FC3)
        CV_Error(cv::Error::StsBadArg, "biCAT adapts CV_32FC3 images");
    requireSameSizeAndType(white, image, CV_32FC3, "biCAT's white");
    requireSameSizeAndType(target, image, CV_32FC3, "biCAT's target");

    // Everything below is local to the call: several threads may run it at
    // once on their own images.
    const int rows = image.rows;
    const int cols = image.cols;
    // The same D at every pixel: the adapting luminance is fixed.
    const float D = toolkit::color::computeAdapFactD(kBilateralAdaptingLuminance);

    // Each channel's gain depends on that channel of the white and the target
    // alone, which the adaptation of the other channels does not touch: all
    // three are found in one pass, then printed, then applied.
    cv::Mat gains(rows, cols, CV_32FC3), lastRatios;
    if (writeFiles)
        lastRatios.create(rows, cols, CV_32FC1);
    std::array<float, 3> maxRatio {};
    std::array<cv::Point, 3> maxAt {};
    std::array<bool, 3> found {};
    for (int i = 0; i < rows; ++i) {
        const float* w = white.ptr<float>(i);
        const float* t = target.ptr<float>(i);
        float* g = gains.ptr<float>(i);
        float* r = writeFiles ? lastRatios.ptr<float>(i) : nullptr;
        for (int j = 0; j < cols; ++j) {
            for (int k = 0; k < 3; ++k) {
                const float wk = w[3 * j + k];
                const float tk = t[3 * j + k];
                float ratio = tk / wk;
                if (static_cast<double>(wk) < kBlackWhiteLimit)
                    ratio = static_cast<float>(
                        static_cast<double>(tk) / (static_cast<double>(wk) + kBlackWhiteLift));
                g[3 * j + k] = 1.0f - D + ratio * D;
                if (ratio > maxRatio[k]) {
                    maxRatio[k] = ratio;
                    maxAt[k] = cv::Point(j, i);
                    found[k] = true;
                }
                if (r && k == kLastChannel)
                    r[j] = ratio;
            }
        }
    }
    // A channel without a ratio above 0 reports the previous channel's pixel.
    for (int k = 1; k < 3; ++k) {
        if (!found[k])
            maxAt[k] = maxAt[k - 1];
    }

    // Each channel's files would replace the previous channel's: only the
    // last channel's are written.
    if (writeFiles) {
        toolkit::color::writeIntoFile(lastRatios, "catRatio.txt", rows, cols);
        cv::Mat increaseMap(rows, cols, CV_32FC1);
        for (int i = 0; i < rows; ++i) {
            const float* g = gains.ptr<float>(i);
            float* m = increaseMap.ptr<float>(i);
            for (int j = 0; j < cols; ++j)
                m[j] = (g[3 * j + kLastChannel] / maxRatio[kLastChannel]) * kByteScale;
        }
        toolkit::common::writeDebugImage("increaseMap.jpg", increaseMap);
    }

    for (int k = 0; k < 3; ++k) {
        // One write per line, so that lines of concurrent calls do not mix.
        std::ostringstream line;
        line << maxRatio[k] << ' ' << white.ptr<float>(maxAt[k].y)[3 * maxAt[k].x + k] << ' '
             << target.ptr<float>(maxAt[k].y)[3 * maxAt[k].x + k] << '\n';
        toolkit::common::progress() << line.str() << std::flush;
    }

    for (int i = 0; i < rows; ++i) {
        float* p = image.ptr<float>(i);
        const float* g = gains.ptr<float>(i);
        for (int j = 0; j < cols * 3; ++j)
            p[j] *= g[j] * D + 1.0f - D;
    }
}

} // namespace

void toolkit::color::biCAT(cv::Mat& image, const cv::Mat& white, const cv::Mat& /*xyzWhite*/,
    const cv::Mat& target, const cv::Mat& /*mask*/)
{
    adaptTowardsTarget(image, white, target, true);
}

void toolkit::color::biCATWithoutFiles(cv::Mat& image, const cv::Mat& white, const cv::Mat& target)
{
    adaptTowardsTarget(image, white, target, false);
}

void toolkit::color::biCATRegression(cv::Mat& guidance, cv::Mat& guidanceWhite, cv::Mat& input,
    cv::Mat& fourth, cv::Mat& inputWhite, const cv::Mat& weight, float sigma)
{
    if (guidance.type() != CV_32FC3)
        CV_Error(cv::Error::StsBadArg, "biCATRegression re-lights CV_32FC3 images");
    requireSameSizeAndType(guidanceWhite, guidance, CV_32FC3, "biCATRegression's guidance white");
    requireSameSizeAndType(input, guidance, CV_32FC3, "biCATRegression's input");
    requireSameSizeAndType(inputWhite, guidance, CV_32FC3, "biCATRegression's input white");
    requireSameSizeAndType(weight, guidance, CV_32FC1, "biCATRegression's weight");
    if (!fourth.empty() && fourth.depth() != CV_32F)
        CV_Error(cv::Error::StsBadArg, "biCATRegression's fourth image must be of float depth");

    const int rows = guidance.rows;
    const int cols = guidance.cols;
    const int diagonal = static_cast<int>(
        std::sqrt(static_cast<double>(rows) * rows + static_cast<double>(cols) * cols));

    cv::Mat* const scaled[] = { &guidance, &guidanceWhite, &inputWhite, &fourth, &input };
    for (cv::Mat* m : scaled)
        scaleElements(*m, kByteScale, false);

    // Only the tensors' debug output is kept; the second call's replaces the
    // first's.
    cv::Mat tensorInput(rows, cols, CV_32FC1), tensorGuidance(rows, cols, CV_32FC1);
    toolkit::color::computeStructuralTensor(input, tensorInput, kTensorKernel);
    toolkit::color::computeStructuralTensor(guidance, tensorGuidance, kTensorKernel);

    const cv::Mat savedGuidance = guidance.clone();

    cv::Mat squared(rows, cols, CV_32FC3), product(rows, cols, CV_32FC3);
    for (int i = 0; i < rows; ++i) {
        const float* g = guidance.ptr<float>(i);
        const float* in = input.ptr<float>(i);
        float* sq = squared.ptr<float>(i);
        float* pr = product.ptr<float>(i);
        for (int j = 0; j < cols * 3; ++j) {
            sq[j] = g[j] * g[j];
            pr[j] = in[j] * g[j];
        }
    }
    toolkit::common::writeDebugImage("covariance1.jpg", product);

    const int diameter = static_cast<int>(diagonal / kDiagonalDivisor);
    cv::Mat squaredSmooth(rows, cols, CV_32FC3), productSmooth(rows, cols, CV_32FC3);
    computeWhiteImgVs2(squared, squaredSmooth, sigma, diameter);
    computeWhiteImgVs2(product, productSmooth, sigma, diameter);
    toolkit::common::writeDebugImage("covariance2.jpg", productSmooth);

    for (int i = 0; i < rows; ++i) {
        const float* gw = guidanceWhite.ptr<float>(i);
        float* v = squaredSmooth.ptr<float>(i);
        for (int j = 0; j < cols * 3; ++j)
            v[j] -= gw[j] * gw[j];
    }
    toolkit::common::writeDebugImage("variance.jpg", squaredSmooth);

    cv::Mat flags(rows, cols, CV_32FC3, cv::Scalar::all(static_cast<double>(kUsable)));
    cv::Mat ratioImage(rows, cols, CV_32FC3);
    const float D = computeAdapFactD(kBilateralAdaptingLuminance);

    for (int k = 0; k < 3; ++k) {
        // Re-created for each channel and left empty.
        std::ofstream(
            toolkit::common::debugFilePath("catRatio.txt"), std::ios::out | std::ios::trunc);

        for (int i = 0; i < rows; ++i) {
            const float* gw = guidanceWhite.ptr<float>(i);
            const float* iw = inputWhite.ptr<float>(i);
            const float* saved = savedGuidance.ptr<float>(i);
            const float* w = weight.ptr<float>(i);
            float* g = guidance.ptr<float>(i);
            float* flag = flags.ptr<float>(i);
            float* ratioOut = ratioImage.ptr<float>(i);
            for (int j = 0; j < cols; ++j) {
                const int e = 3 * j + k;
                float ratio;
                if (kDarkGuidanceWhite > gw[e]) {
                    // Dividing by a white this dark would amplify noise
                    // without bound; the divisor is taken as 1.
                    ratio = iw[e];
                    flag[e] = kFlagged;
                } else {
                    ratio = iw[e] / gw[e];
                }
                if (kRatioDrawScale * ratio > kRatioDrawLimit)
                    flag[e] = kFlagged;
                ratioOut[e] = ratio;

                const float a = 1.0f - D + ratio * D;
                const float b = iw[e] - gw[e] * a;
                g[e] = saved[e] * a * w[j] + b * w[j];
            }
        }
    }

    for (int i = 0; i < rows; ++i) {
        float* flag = flags.ptr<float>(i);
        for (int j = 0; j < cols; ++j) {
            float* f = flag + 3 * j;
            const bool allFlagged = f[0] == kFlagged && f[1] == kFlagged && f[2] == kFlagged;
            const float value = allFlagged ? kFlagged : kUsable;
            f[0] = f[1] = f[2] = value;
        }
    }

    toolkit::common::writeDebugImage(
        "ratio_bowls.jpg", cv::Mat(ratioImage * static_cast<double>(kRatioDrawScale)));
    toolkit::common::writeDebugImage("diff1.jpg", flags);
    toolkit::common::writeDebugImage("whiteGuidance.jpg", guidanceWhite);
    toolkit::common::writeDebugImage("whiteInput.jpg", inputWhite);

    for (cv::Mat* m : scaled)
        scaleElements(*m, kByteScale, true);
}
