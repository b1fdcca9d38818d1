#include "toolkit/color/AppearanceModel.hpp"
#include "toolkit/color/AppearanceAttributes.hpp"
#include "toolkit/common/DebugOutput.hpp"

#include "toolkit/color/AppearanceConstants.hpp"
#include "toolkit/color/Checks.hpp"
#include "toolkit/color/FixedPower.hpp"
#include "toolkit/color/RgbXyz.hpp"
#include "toolkit/common/CommonFunctions.hpp"
#include "toolkit/common/FileReplacement.hpp"
#include "toolkit/common/FloatText.hpp"
#include "toolkit/common/InputChecks.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <new>

using toolkit::color::checks::requirePlanesOfSize;
using toolkit::color::checks::requireTypeAndSize;
using toolkit::common::requireType;
using toolkit::common::requireTypeOrEmpty;

namespace {

using namespace toolkit::color::cam;

// CIE CAM02 background induction factor and base exponential non-linearity.
constexpr double kNbbScale = 0.725;
constexpr double kNbbExponent = 0.2;
constexpr double kZOffset = 1.48;
// Brightness and colourfulness scale with FL^0.25.
constexpr double kFlRootExponent = 0.25;

// Longest text of one value plus its newline.
constexpr std::size_t kMaxValueText = toolkit::common::kFloatTextMax;
// The dump buffer: large enough that a 12-megapixel plane goes out in about
// a hundred writes.
constexpr std::size_t kDumpBufferSize = std::size_t(1) << 20;
// Used only when the large buffer cannot be allocated.
constexpr std::size_t kFallbackBufferSize = 4096;

using toolkit::color::power::finishedPower;
using toolkit::color::power::FixedPower;

const FixedPower& compressionPower()
{
    static const FixedPower power(kCompressionExponent);
    return power;
}

// Writes all of [data, data + size) unless the stream failed before.
bool writeChunk(std::FILE* file, const char* data, std::size_t size)
{
    return size == 0 || std::fwrite(data, 1, size, file) == size;
}

// The lightness step with the surround exponent c; returns Aw.
float lightnessValues(cv::Mat& nonlin, cv::Mat& Ncb, cv::Mat& z, cv::Mat& J, cv::Mat& A, float c);

// The brightness step with the surround exponent c; returns the largest Q.
float brightnessValues(cv::Mat& J, cv::Mat& FL, cv::Mat& Q, float Aw, float c);

// The debug files of the lightness, brightness and chroma steps.
void writeLightnessFile(const cv::Mat& A)
{
    cv::Mat pixels;
    toolkit::color::debugImagePixels(A, pixels);
    toolkit::common::writeDebugImage(toolkit::color::kLightnessDebugFile, pixels);
}

void writeBrightnessFiles(cv::Mat& Q)
{
    cv::Mat mask;
    toolkit::color::brightnessMaskPixels(Q, mask);
    toolkit::color::writeIntoFile(Q, toolkit::color::kBrightnessDumpFile, Q.rows, Q.cols);
    toolkit::common::writeDebugImage(toolkit::color::kBrightnessMaskFile, mask);
}

void writeChromaFile(const cv::Mat& t)
{
    cv::Mat pixels;
    toolkit::color::debugImagePixels(t, pixels);
    toolkit::common::writeDebugImage(toolkit::color::kChromaDebugFile, pixels);
}

} // namespace

void toolkit::color::debugImagePixels(const cv::Mat& values, cv::Mat& pixels)
{
    values.convertTo(pixels, CV_8U);
}

void toolkit::color::brightnessMaskPixels(const cv::Mat& Q, cv::Mat& mask)
{
    mask.create(Q.size(), CV_8UC1);
    for (int i = 0; i < Q.rows; ++i) {
        const float* qRow = Q.ptr<float>(i);
        uchar* maskRow = mask.ptr<uchar>(i);
        for (int j = 0; j < Q.cols; ++j)
            maskRow[j] = brightnessMaskValue(qRow[j]);
    }
}

char* toolkit::color::dumpLine(char* out, float value)
{
    char* end = toolkit::common::formatFloat(out, out + toolkit::common::kFloatTextMax, value);
    *end++ = '\n';
    return end;
}

toolkit::color::AppearancePlanes toolkit::color::computeAppearance(
    const cv::Mat& adapted, const ViewingConditions& viewing, const AppearanceOptions& options)
{
    requireType(adapted, CV_32FC3, "computeAppearance", "adapted");
    const cv::Size size = adapted.size();
    const float c = viewing.surround.c;
    AppearancePlanes out;
    // The conditions are the same at every pixel.
    const auto uniform = [size](float value) {
        return cv::Mat(size, CV_32FC1, cv::Scalar(static_cast<double>(value)));
    };
    out.FL = uniform(computeFl(viewing.La));
    out.n = uniform(computeN(viewing.Yb, viewing.Yw));
    out.Ncb = uniform(computeNcb(viewing.Yb, viewing.Yw));
    out.z = uniform(computeZ(viewing.Yb, viewing.Yw));
    for (cv::Mat* image : { &out.hpe, &out.compressed })
        image->create(size, CV_32FC3);
    for (cv::Mat* plane : { &out.a, &out.b, &out.h, &out.et, &out.A, &out.J, &out.Q })
        plane->create(size, CV_32FC1);

    convertSharpenedBGRtoHPE(adapted, out.hpe);
    computeNonLinearities(out.hpe, out.compressed, out.FL);
    computeAB(out.compressed, out.a, out.b);
    computeHue(out.a, out.b, out.h, out.et);
    out.Aw = lightnessValues(out.compressed, out.Ncb, out.z, out.J, out.A, c);
    if (options.debugFiles)
        writeLightnessFile(out.A);
    out.Qmax = brightnessValues(out.J, out.FL, out.Q, out.Aw, c);
    if (options.debugFiles)
        writeBrightnessFiles(out.Q);
    if (options.through == AppearanceStage::Brightness)
        return out;

    out.t.create(size, CV_32FC1);
    out.C.create(size, CV_32FC1);
    computeChromaValues(out.compressed, out.a, out.b, out.J, out.et, out.Ncb, out.n, out.C,
        viewing.surround.Nc, out.t);
    if (options.debugFiles)
        writeChromaFile(out.t);
    if (options.through == AppearanceStage::Chroma)
        return out;

    out.M.create(size, CV_32FC1);
    out.s.create(size, CV_32FC1);
    computeColorfulness(out.C, out.FL, out.M);
    computeSaturation(out.M, out.Q, out.s);
    return out;
}

toolkit::color::AttributeConditions toolkit::color::attributeConditions(
    const ViewingConditions& viewing)
{
    const float c = viewing.surround.c;
    const float FL = computeFl(viewing.La);
    return { computeZ(viewing.Yb, viewing.Yw) * c,
        std::pow(static_cast<double>(FL), kFlRootExponent),
        chromaBackground(computeN(viewing.Yb, viewing.Yw), kChromaBackgroundExponent), c };
}

float toolkit::color::computeYback(cv::Mat& Y)
{
    requireTypeOrEmpty(Y, CV_32FC1, "computeYback", "Y");
    // A float running sum loses the small addends once it is large (a plane
    // of 100 drifts from 20 above 671,088 pixels); double keeps it exact for
    // any photograph.
    double sum = 0.0;
    for (int i = 0; i < Y.rows; ++i) {
        const float* row = Y.ptr<float>(i);
        for (int j = 0; j < Y.cols; ++j)
            sum += static_cast<double>(row[j]);
    }
    const double count = static_cast<double>(Y.rows) * static_cast<double>(Y.cols);
    return static_cast<float>(sum / (5.0 * count));
}

float toolkit::color::computeN(float Yb, float Yw)
{
    return Yb / Yw;
}

float toolkit::color::computeFl(float LA)
{
    const float fiveLA = 5.0f * LA;
    const float k = 1.0f / (fiveLA + 1.0f);
    const float k4 = k * k * k * k;
    // k^4 LA is the published 0.2 k^4 (5 LA).
    const float k4LA = k4 * LA;
    const float oneMinusK4 = 1.0f - k4;
    const float oneMinusK4Squared = oneMinusK4 * oneMinusK4;
    const double cubeRoot = std::pow(static_cast<double>(fiveLA), 1.0 / 3.0);
    return static_cast<float>(
        static_cast<double>(k4LA) + 0.1 * static_cast<double>(oneMinusK4Squared) * cubeRoot);
}

float toolkit::color::computeNcb(float Yb, float Yw)
{
    const float n = Yb / Yw;
    return static_cast<float>(kNbbScale * std::pow(1.0 / static_cast<double>(n), kNbbExponent));
}

float toolkit::color::computeZ(float Yb, float Yw)
{
    const float root = std::sqrt(Yb / Yw);
    return static_cast<float>(static_cast<double>(root) + kZOffset);
}

void toolkit::color::convertSharpenedBGRtoHPE(const cv::Mat& src, cv::Mat& dst)
{
    requireType(src, CV_32FC3, "convertSharpenedBGRtoHPE", "src");
    requireTypeAndSize(dst, CV_32FC3, src, "convertSharpenedBGRtoHPE", "dst", "src");
    const cv::Mat hpe = huntPointerEstevezMatrix();
    const cv::Mat cat02Inverse = inverseCat02Matrix();
    cv::Mat sharpenedToHpe(3, 3, CV_32FC1);
    toolkit::common::dotProduct(hpe, cat02Inverse, sharpenedToHpe);
    // Reads each pixel as (R, G, B) = (channel 2, 1, 0) and stores rho, gamma,
    // beta in channels 0, 1, 2.
    multiplyImageByMatrixForward(src, dst, sharpenedToHpe);
}

void toolkit::color::computeNonLinearities(const cv::Mat& hpe, cv::Mat& out, cv::Mat& FL)
{
    requireType(hpe, CV_32FC3, "computeNonLinearities", "hpe");
    requireTypeAndSize(out, CV_32FC3, hpe, "computeNonLinearities", "out", "hpe");
    requireTypeAndSize(FL, CV_32FC1, hpe, "computeNonLinearities", "FL", "hpe");
    for (int i = 0; i < hpe.rows; ++i) {
        const float* in = hpe.ptr<float>(i);
        float* dst = out.ptr<float>(i);
        const float* fl = FL.ptr<float>(i);
        for (int j = 0; j < hpe.cols; ++j) {
            for (int k = 0; k < 3; ++k) {
                const float x = in[3 * j + k] * fl[j];
                // No sign handling: a negative response is meant to give NaN.
                const float p = finishedPower(compressionPower(), static_cast<double>(x) / 100.0,
                    [](double v) { return static_cast<float>(v); });
                const float scaled = kCompressionScale * p;
                dst[3 * j + k] = static_cast<float>(
                    static_cast<double>(scaled) / (static_cast<double>(p) + kCompressionHalf)
                    + kCompressionOffset);
            }
        }
    }
}

void toolkit::color::computeAB(cv::Mat& nonlin, cv::Mat& a, cv::Mat& b)
{
    requireType(nonlin, CV_32FC3, "computeAB", "nonlin");
    requireTypeAndSize(a, CV_32FC1, nonlin, "computeAB", "a", "nonlin");
    requireTypeAndSize(b, CV_32FC1, nonlin, "computeAB", "b", "nonlin");
    for (int i = 0; i < nonlin.rows; ++i) {
        const float* in = nonlin.ptr<float>(i);
        float* aRow = a.ptr<float>(i);
        float* bRow = b.ptr<float>(i);
        for (int j = 0; j < nonlin.cols; ++j) {
            const float ra = in[3 * j];
            const float ga = in[3 * j + 1];
            const float ba = in[3 * j + 2];
            const float twelveGa = 12.0f * ga;
            aRow[j] = static_cast<float>(
                (static_cast<double>(ra) - static_cast<double>(twelveGa) / 11.0)
                + static_cast<double>(ba) / 11.0);
            bRow[j] = ((ra + ga) - (ba + ba)) / 9.0f;
        }
    }
}

void toolkit::color::computeHue(cv::Mat& a, cv::Mat& b, cv::Mat& h, cv::Mat& et)
{
    requireType(a, CV_32FC1, "computeHue", "a");
    requireTypeAndSize(b, CV_32FC1, a, "computeHue", "b", "a");
    requireTypeAndSize(h, CV_32FC1, a, "computeHue", "h", "a");
    requireTypeAndSize(et, CV_32FC1, a, "computeHue", "et", "a");
    for (int i = 0; i < a.rows; ++i) {
        const float* aRow = a.ptr<float>(i);
        const float* bRow = b.ptr<float>(i);
        float* hRow = h.ptr<float>(i);
        float* etRow = et.ptr<float>(i);
        for (int j = 0; j < a.cols; ++j) {
            const float hue = static_cast<float>(
                std::atan2(static_cast<double>(bRow[j]), static_cast<double>(aRow[j])) * 180.0
                / kPi);
            hRow[j] = hue;
            // From the stored float hue, as the inverse model will see it.
            etRow[j] = static_cast<float>(
                (std::cos(static_cast<double>(hue) * kPi / 180.0 + 2.0) + 3.8) / 4.0);
        }
    }
}

float toolkit::color::computeLightness(
    cv::Mat& nonlin, cv::Mat& Ncb, cv::Mat& z, cv::Mat& J, cv::Mat& A)
{
    const float Aw = computeLightnessValues(nonlin, Ncb, z, J, A);
    writeLightnessFile(A);
    return Aw;
}

float toolkit::color::computeLightnessValues(
    cv::Mat& nonlin, cv::Mat& Ncb, cv::Mat& z, cv::Mat& J, cv::Mat& A)
{
    return lightnessValues(nonlin, Ncb, z, J, A, kSurroundC);
}

namespace {

float lightnessValues(cv::Mat& nonlin, cv::Mat& Ncb, cv::Mat& z, cv::Mat& J, cv::Mat& A, float c)
{
    requireType(nonlin, CV_32FC3, "computeLightnessValues", "nonlin");
    requireTypeAndSize(Ncb, CV_32FC1, nonlin, "computeLightnessValues", "Ncb", "nonlin");
    requireTypeAndSize(z, CV_32FC1, nonlin, "computeLightnessValues", "z", "nonlin");
    requireTypeAndSize(J, CV_32FC1, nonlin, "computeLightnessValues", "J", "nonlin");
    requireTypeAndSize(A, CV_32FC1, nonlin, "computeLightnessValues", "A", "nonlin");
    float Aw = 0.0f;
    for (int i = 0; i < nonlin.rows; ++i) {
        const float* in = nonlin.ptr<float>(i);
        const float* ncb = Ncb.ptr<float>(i);
        float* aRow = A.ptr<float>(i);
        for (int j = 0; j < nonlin.cols; ++j) {
            const float ra = in[3 * j];
            const float ga = in[3 * j + 1];
            const float ba = in[3 * j + 2];
            const float twoRaGa = 2.0f * ra + ga;
            const float value = static_cast<float>(
                (static_cast<double>(twoRaGa) + static_cast<double>(ba) / 20.0 - kAchromaticOffset)
                * static_cast<double>(ncb[j]));
            aRow[j] = value;
            // A NaN compares false and never becomes the white.
            if (value > Aw)
                Aw = value;
        }
    }

    for (int i = 0; i < nonlin.rows; ++i) {
        const float* aRow = A.ptr<float>(i);
        const float* zRow = z.ptr<float>(i);
        float* jRow = J.ptr<float>(i);
        for (int j = 0; j < nonlin.cols; ++j)
            jRow[j] = toolkit::color::lightnessOf(aRow[j], Aw, zRow[j] * c);
    }
    return Aw;
}

} // namespace

float toolkit::color::computeBrightness(
    cv::Mat& J, cv::Mat& FL, cv::Mat& /*z*/, cv::Mat& Q, float Aw)
{
    const float largestQ = computeBrightnessValues(J, FL, Q, Aw);
    writeBrightnessFiles(Q);
    return largestQ;
}

float toolkit::color::computeBrightnessValues(cv::Mat& J, cv::Mat& FL, cv::Mat& Q, float Aw)
{
    return brightnessValues(J, FL, Q, Aw, kSurroundC);
}

namespace {

float brightnessValues(cv::Mat& J, cv::Mat& FL, cv::Mat& Q, float Aw, float c)
{
    requireType(J, CV_32FC1, "computeBrightnessValues", "J");
    requireTypeAndSize(FL, CV_32FC1, J, "computeBrightnessValues", "FL", "J");
    requireTypeAndSize(Q, CV_32FC1, J, "computeBrightnessValues", "Q", "J");
    const float awPlusFour = Aw + 4.0f;
    float largestQ = 0.0f;
    auto flRoot = repeatedPow(kFlRootExponent);
    for (int i = 0; i < J.rows; ++i) {
        const float* jRow = J.ptr<float>(i);
        const float* fl = FL.ptr<float>(i);
        float* qRow = Q.ptr<float>(i);
        for (int j = 0; j < J.cols; ++j) {
            const float q = toolkit::color::brightnessOf(jRow[j], awPlusFour, flRoot(fl[j]), c);
            qRow[j] = q;
            if (q > largestQ)
                largestQ = q;
        }
    }
    return largestQ;
}

} // namespace

void toolkit::color::computeChroma(cv::Mat& nonlin, cv::Mat& a, cv::Mat& b, cv::Mat& J, cv::Mat& et,
    cv::Mat& Ncb, cv::Mat& n, cv::Mat& C, float Nc)
{
    cv::Mat t(nonlin.size(), CV_32FC1);
    computeChromaValues(nonlin, a, b, J, et, Ncb, n, C, Nc, t);
    writeChromaFile(t);
}

void toolkit::color::computeChromaValues(cv::Mat& nonlin, cv::Mat& a, cv::Mat& b, cv::Mat& J,
    cv::Mat& et, cv::Mat& Ncb, cv::Mat& n, cv::Mat& C, float Nc, cv::Mat& t)
{
    requireType(a, CV_32FC1, "computeChromaValues", "a");
    requireTypeAndSize(nonlin, CV_32FC3, a, "computeChromaValues", "nonlin", "a");
    requirePlanesOfSize({ { b, "b" }, { J, "J" }, { et, "et" }, { Ncb, "Ncb" }, { n, "n" },
                            { C, "C" }, { t, "t" } },
        a, "computeChromaValues", "a");
    // The background term depends on n alone.
    auto background
        = Repeated([](float n) { return chromaBackground(n, kChromaBackgroundExponent); });
    for (int i = 0; i < a.rows; ++i) {
        const float* in = nonlin.ptr<float>(i);
        const float* aRow = a.ptr<float>(i);
        const float* bRow = b.ptr<float>(i);
        const float* jRow = J.ptr<float>(i);
        const float* etRow = et.ptr<float>(i);
        const float* ncb = Ncb.ptr<float>(i);
        const float* nRow = n.ptr<float>(i);
        float* tRow = t.ptr<float>(i);
        float* cRow = C.ptr<float>(i);
        for (int j = 0; j < a.cols; ++j) {
            const double f = static_cast<double>(Nc) * kChromaConstant * static_cast<double>(ncb[j])
                * static_cast<double>(etRow[j]);
            const float ra = in[3 * j];
            const float ga = in[3 * j + 1];
            const float ba = in[3 * j + 2];
            const float magnitude = std::sqrt(aRow[j] * aRow[j] + bRow[j] * bRow[j]);
            const float raGa = ra + ga;
            const float tValue = static_cast<float>(static_cast<double>(magnitude) * f
                / (kChromaBlueWeight * static_cast<double>(ba) + static_cast<double>(raGa)));
            tRow[j] = tValue;
            cRow[j] = toolkit::color::chromaOf(
                toolkit::color::chromaPowerOf(tValue), jRow[j], background(nRow[j]));
        }
    }
}

void toolkit::color::computeColorfulness(cv::Mat& C, cv::Mat& FL, cv::Mat& M)
{
    requireType(C, CV_32FC1, "computeColorfulness", "C");
    requireTypeAndSize(FL, CV_32FC1, C, "computeColorfulness", "FL", "C");
    requireTypeAndSize(M, CV_32FC1, C, "computeColorfulness", "M", "C");
    auto flRoot = repeatedPow(kFlRootExponent);
    for (int i = 0; i < C.rows; ++i) {
        const float* cRow = C.ptr<float>(i);
        const float* fl = FL.ptr<float>(i);
        float* mRow = M.ptr<float>(i);
        for (int j = 0; j < C.cols; ++j)
            mRow[j] = toolkit::color::colourfulnessOf(cRow[j], flRoot(fl[j]));
    }
}

void toolkit::color::computeSaturation(cv::Mat& M, cv::Mat& Q, cv::Mat& s)
{
    requireType(M, CV_32FC1, "computeSaturation", "M");
    requireTypeAndSize(Q, CV_32FC1, M, "computeSaturation", "Q", "M");
    requireTypeAndSize(s, CV_32FC1, M, "computeSaturation", "s", "M");
    for (int i = 0; i < M.rows; ++i) {
        const float* mRow = M.ptr<float>(i);
        const float* qRow = Q.ptr<float>(i);
        float* sRow = s.ptr<float>(i);
        for (int j = 0; j < M.cols; ++j)
            sRow[j] = toolkit::color::saturationOf(mRow[j], qRow[j]);
    }
}

void toolkit::color::writeIntoFile(cv::Mat& plane, const char* name, int rows, int cols)
{
    if (name == nullptr)
        return;
    // Written under another name and renamed into place, so the old dump is
    // replaced whole.
    const std::string path = toolkit::common::debugFilePath(name);
    if (path.empty())
        return;
    toolkit::common::FileReplacement replacement(path);
    std::FILE* file = replacement.file();
    if (file == nullptr)
        return;

    // Counts larger than the plane would read past its rows; only CV_32FC1
    // holds one float per element.
    const bool readable = plane.type() == CV_32FC1 && plane.data != nullptr;
    const int rowCount = readable ? std::clamp(rows, 0, plane.rows) : 0;
    const int colCount = readable ? std::clamp(cols, 0, plane.cols) : 0;

    std::unique_ptr<char[]> large(new (std::nothrow) char[kDumpBufferSize]);
    char fallback[kFallbackBufferSize];
    char* const buffer = large ? large.get() : fallback;
    const std::size_t capacity = large ? kDumpBufferSize : kFallbackBufferSize;
    char* const end = buffer + capacity;

    // The buffer is handed over in whole chunks, so the stream's own buffer
    // would only add a copy.
    std::setvbuf(file, nullptr, _IONBF, 0);

    bool ok = true;
    char* cursor = buffer;
    for (int i = 0; i < rowCount && ok; ++i) {
        const float* row = plane.ptr<float>(i);
        for (int j = 0; j < colCount; ++j) {
            if (static_cast<std::size_t>(end - cursor) < kMaxValueText) {
                ok = writeChunk(file, buffer, static_cast<std::size_t>(cursor - buffer));
                cursor = buffer;
                if (!ok)
                    break;
            }
            cursor = dumpLine(cursor, row[j]);
        }
    }
    if (ok)
        writeChunk(file, buffer, static_cast<std::size_t>(cursor - buffer));
    std::string error;
    if (!replacement.commit(error))
        std::cerr << "warning: " << error << std::endl;
}
