#include "toolkit/color/InverseModel.hpp"
#include "toolkit/common/DebugOutput.hpp"

#include "toolkit/color/AppearanceConstants.hpp"
#include "toolkit/color/Checks.hpp"
#include "toolkit/color/FixedPower.hpp"
#include "toolkit/color/RgbXyz.hpp"
#include "toolkit/common/CommonFunctions.hpp"
#include "toolkit/common/InputChecks.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <optional>

using toolkit::color::checks::requirePlanesOfSize;
using toolkit::color::checks::requireTypeAndSize;
using toolkit::common::requireType;
using toolkit::common::requireTypeOrEmpty;

namespace {

using namespace toolkit::color::cam;

// Brightness below which Q is raised by the same amount before it is squared.
constexpr double kBrightnessGuard = 1e-6;

// CIE CAM02 inverse chroma: 1 / 0.9 and 0.73 / 0.9 undo the exponents of t
// and of the background term (1.64 - 0.29^n)^0.73.
constexpr double kChromaInverseExponent = 1.1111111111111112;
constexpr double kBackgroundInverseExponent = 0.8111111111111111;

// CIE CAM02 post-adaptation compression, 400 p / (p + 27.13) + 0.1, spans
// (0.1, 400.1); responses outside are brought back before it is inverted.
constexpr double kCompressionFloor = 0.1;
constexpr float kCompressionFloorValue = 0.1f;
constexpr double kCompressionCeiling = 400.1;
constexpr float kCompressionCeilingValue = 400.0f;
// 27.13 x 0.1: the offset of the compression carried into the numerator.
constexpr double kCompressionHalfOffset = 2.713;
// 1 / 0.42, the inverse of the compression exponent.
constexpr double kInverseCompressionExponent = 2.380952380952381;

const char* const kNaNMessage
    = "Error in the inverse non-linearities! Some of the obtained values are nan.";

using toolkit::color::power::finishedPower;
using toolkit::color::power::FixedPower;

// The tabulated power of the exponent 1 / (z c) when every z holds the same
// bits (one background for the whole image, as in practice), else nothing.
std::optional<FixedPower> uniformLightnessPower(const cv::Mat& z)
{
    if (z.empty())
        return std::nullopt;
    const float first = z.ptr<float>(0)[0];
    for (int i = 0; i < z.rows; ++i) {
        const float* zRow = z.ptr<float>(i);
        for (int j = 0; j < z.cols; ++j) {
            if (std::memcmp(&zRow[j], &first, sizeof first) != 0)
                return std::nullopt;
        }
    }
    const double exponent = 1.0 / static_cast<double>(first * kSurroundC);
    if (!FixedPower::suits(exponent))
        return std::nullopt;
    return FixedPower(exponent);
}

const FixedPower& chromaLightnessPower()
{
    static const FixedPower power(kChromaInverseExponent);
    return power;
}

const FixedPower& inverseCompressionPower()
{
    static const FixedPower power(kInverseCompressionExponent);
    return power;
}

} // namespace

void toolkit::color::brightness2Lightness(cv::Mat& Q, cv::Mat& FL, cv::Mat& J, float Aw)
{
    requireType(J, CV_32FC1, "brightness2Lightness", "J");
    requireTypeAndSize(Q, CV_32FC1, J, "brightness2Lightness", "Q", "J");
    requireTypeAndSize(FL, CV_32FC1, J, "brightness2Lightness", "FL", "J");
    const float awPlusFour = Aw + 4.0f;
    const double c = static_cast<double>(kSurroundC);
    auto flRoot = repeatedPow(0.5);
    for (int i = 0; i < J.rows; ++i) {
        float* qRow = Q.ptr<float>(i);
        const float* fl = FL.ptr<float>(i);
        float* jRow = J.ptr<float>(i);
        for (int j = 0; j < J.cols; ++j) {
            if (kBrightnessGuard > static_cast<double>(qRow[j]))
                qRow[j] = static_cast<float>(static_cast<double>(qRow[j]) + kBrightnessGuard);
            const float qSquared = qRow[j] * qRow[j];
            jRow[j] = static_cast<float>((25.0 * static_cast<double>(qSquared) * c * c)
                / (static_cast<double>(awPlusFour)
                    * (4.0 * flRoot(fl[j]) * static_cast<double>(awPlusFour))));
        }
    }
}

void toolkit::color::chromaAndLightness2t(cv::Mat& C, cv::Mat& J, cv::Mat& n, cv::Mat& t)
{
    chromaAndLightness2tValues(C, J, n, t);
    toolkit::common::writeDebugImage("t_after.jpg", t);
}

void toolkit::color::chromaAndLightness2tValues(cv::Mat& C, cv::Mat& J, cv::Mat& n, cv::Mat& t)
{
    cv::Mat power;
    chromaPower(C, power);
    chromaPowerAndLightness2t(power, J, n, t);
}

void toolkit::color::chromaPower(const cv::Mat& C, cv::Mat& power)
{
    requireTypeOrEmpty(C, CV_32FC1, "chromaPower", "C");
    power.create(C.size(), CV_64FC1);
    for (int i = 0; i < C.rows; ++i) {
        const float* cRow = C.ptr<float>(i);
        double* pRow = power.ptr<double>(i);
        for (int j = 0; j < C.cols; ++j)
            pRow[j] = std::pow(static_cast<double>(cRow[j]), kChromaInverseExponent);
    }
}

void toolkit::color::chromaPowerAndLightness2t(
    const cv::Mat& power, cv::Mat& J, cv::Mat& n, cv::Mat& t)
{
    // An empty chroma plane gives an empty t, as the forward step allows.
    if (!power.empty()) {
        requireType(power, CV_64FC1, "chromaPowerAndLightness2t", "power");
        requirePlanesOfSize(
            { { J, "J" }, { n, "n" }, { t, "t" } }, power, "chromaPowerAndLightness2t", "power");
    }
    // The background term depends on n alone.
    auto background = Repeated(
        [](float nValue) { return chromaBackground(nValue, kBackgroundInverseExponent); });
    for (int i = 0; i < power.rows; ++i) {
        const double* pRow = power.ptr<double>(i);
        const float* jRow = J.ptr<float>(i);
        const float* nRow = n.ptr<float>(i);
        float* tRow = t.ptr<float>(i);
        for (int j = 0; j < power.cols; ++j) {
            const double cPower = pRow[j];
            const double backgroundValue = background(nRow[j]);
            tRow[j] = finishedPower(chromaLightnessPower(),
                std::sqrt(static_cast<double>(jRow[j]) / 100.0), [=](double lightness) {
                    return static_cast<float>(cPower / (backgroundValue * lightness));
                });
        }
    }
}

void toolkit::color::lightness2A(
    cv::Mat& J, cv::Mat& z, cv::Mat& A, float Aw, std::ostream& printed)
{
    requireType(J, CV_32FC1, "lightness2A", "J");
    requireTypeAndSize(z, CV_32FC1, J, "lightness2A", "z", "J");
    requireTypeAndSize(A, CV_32FC1, J, "lightness2A", "A", "J");
    // A float running sum stops taking in values of a few tens once it passes
    // about 10^7 (a megapixel image): the printed mean would be off by percents.
    double sum = 0.0;
    const std::optional<FixedPower> uniformPower = uniformLightnessPower(z);
    const double aw = static_cast<double>(Aw);
    const auto times = [aw](double p) { return static_cast<float>(p * aw); };
    for (int i = 0; i < J.rows; ++i) {
        const float* jRow = J.ptr<float>(i);
        const float* zRow = z.ptr<float>(i);
        float* aRow = A.ptr<float>(i);
        for (int j = 0; j < J.cols; ++j) {
            const double base = static_cast<double>(jRow[j]) / 100.0;
            const float zc = zRow[j] * kSurroundC;
            const float value = uniformPower ? finishedPower(*uniformPower, base, times)
                                             : times(std::pow(base, 1.0 / static_cast<double>(zc)));
            aRow[j] = value;
            sum += static_cast<double>(value);
        }
    }
    const double count = static_cast<double>(J.rows) * static_cast<double>(J.cols);
    const float mean = static_cast<float>(sum / count);
    printed << "mean A " << mean << std::endl;
}

void toolkit::color::hue2AB(
    cv::Mat& A, cv::Mat& h, cv::Mat& t, cv::Mat& et, cv::Mat& Ncb, cv::Mat& a, cv::Mat& b, float Nc)
{
    cv::Mat terms;
    hueTerms(h, terms);
    hueTerms2AB(A, terms, t, et, Ncb, a, b, Nc);
}

void toolkit::color::hueTerms(const cv::Mat& h, cv::Mat& terms)
{
    requireType(h, CV_32FC1, "hueTerms", "h");
    terms.create(h.size(), CV_32FC3);
    for (int i = 0; i < h.rows; ++i) {
        const float* hRow = h.ptr<float>(i);
        float* out = terms.ptr<float>(i);
        for (int j = 0; j < h.cols; ++j) {
            const double angle = static_cast<double>(hRow[j]) * kPi / 180.0;
            const float T = static_cast<float>(std::tan(angle));
            // sqrt(a^2 + b^2) = |a| s: the denominator depends on the sign of
            // a, which is negative in the second and third quadrants.
            const double sine = std::sin(angle);
            const double cosine = std::cos(angle);
            const bool aNegative = (sine > 0.0 && cosine < 0.0) || (sine < 0.0 && cosine < 0.0);
            out[3 * j] = T;
            out[3 * j + 1] = std::sqrt(T * T + 1.0f);
            out[3 * j + 2] = aNegative ? 1.0f : 0.0f;
        }
    }
}

void toolkit::color::hueTerms2AB(cv::Mat& A, const cv::Mat& terms, cv::Mat& t, cv::Mat& et,
    cv::Mat& Ncb, cv::Mat& a, cv::Mat& b, float Nc)
{
    requireType(A, CV_32FC1, "hueTerms2AB", "A");
    requireTypeAndSize(terms, CV_32FC3, A, "hueTerms2AB", "terms", "A");
    requirePlanesOfSize({ { t, "t" }, { et, "et" }, { Ncb, "Ncb" }, { a, "a" }, { b, "b" } }, A,
        "hueTerms2AB", "A");
    const double e0 = static_cast<double>(Nc) * kChromaConstant;
    for (int i = 0; i < A.rows; ++i) {
        const float* aResponse = A.ptr<float>(i);
        const float* hueRow = terms.ptr<float>(i);
        const float* tRow = t.ptr<float>(i);
        const float* etRow = et.ptr<float>(i);
        const float* ncb = Ncb.ptr<float>(i);
        float* aRow = a.ptr<float>(i);
        float* bRow = b.ptr<float>(i);
        for (int j = 0; j < A.cols; ++j) {
            const float T = hueRow[3 * j];
            const float s = hueRow[3 * j + 1];
            const bool aNegative = hueRow[3 * j + 2] != 0.0f;
            const float K = 108.0f * T + 11.0f;
            const double E = static_cast<double>(s)
                * (static_cast<double>(etRow[j]) * (static_cast<double>(ncb[j]) * e0));
            const float tK = tRow[j] * K;
            const double u = static_cast<double>(tK) / 23.0;
            const float dMinus = static_cast<float>(u - E);
            const float dPlus = static_cast<float>(E + u);
            const float D = aNegative ? dMinus : dPlus;

            const float At = aResponse[j] * tRow[j];
            const float AtOverNcb = At / ncb[j];
            const float aValue = static_cast<float>(
                (static_cast<double>(tRow[j]) * kAchromaticOffset + static_cast<double>(AtOverNcb))
                / static_cast<double>(D));
            aRow[j] = aValue;
            bRow[j] = aValue * T;
        }
    }
}

void toolkit::color::AB2NonLinearities(
    cv::Mat& a, cv::Mat& b, cv::Mat& A, cv::Mat& out, cv::Mat& Ncb)
{
    requireType(a, CV_32FC1, "AB2NonLinearities", "a");
    requireTypeAndSize(b, CV_32FC1, a, "AB2NonLinearities", "b", "a");
    requireTypeAndSize(A, CV_32FC1, a, "AB2NonLinearities", "A", "a");
    requireTypeAndSize(Ncb, CV_32FC1, a, "AB2NonLinearities", "Ncb", "a");
    requireTypeAndSize(out, CV_32FC3, a, "AB2NonLinearities", "out", "a");
    for (int i = 0; i < a.rows; ++i) {
        const float* aRow = a.ptr<float>(i);
        const float* bRow = b.ptr<float>(i);
        const float* aResponse = A.ptr<float>(i);
        const float* ncb = Ncb.ptr<float>(i);
        float* dst = out.ptr<float>(i);
        for (int j = 0; j < a.cols; ++j) {
            const float av = aRow[j];
            const float bv = bRow[j];
            const float redTerm = 451.0f * av + 288.0f * bv;
            const float ra = static_cast<float>(
                ((static_cast<double>(redTerm) / 23.0)
                    + (static_cast<double>(aResponse[j]) * 20.0 / static_cast<double>(ncb[j]))
                    + 6.1)
                / 61.0);
            const float greenTerm = 22.0f * av + 9.0f * bv;
            const float ga = static_cast<float>(
                static_cast<double>(ra) - static_cast<double>(greenTerm) / 23.0);
            const float blueTerm = 11.0f * av + 108.0f * bv;
            const float ba = static_cast<float>(
                static_cast<double>(ra) - static_cast<double>(blueTerm) / 23.0);
            dst[3 * j] = ra;
            dst[3 * j + 1] = ga;
            dst[3 * j + 2] = ba;
        }
    }
}

void toolkit::color::inverseNonLinearities(
    cv::Mat& in, cv::Mat& out, cv::Mat& FL, std::ostream& printed)
{
    requireType(out, CV_32FC3, "inverseNonLinearities", "out");
    requireTypeAndSize(in, CV_32FC3, out, "inverseNonLinearities", "in", "out");
    requireTypeAndSize(FL, CV_32FC1, out, "inverseNonLinearities", "FL", "out");
    for (int i = 0; i < out.rows; ++i) {
        float* src = in.ptr<float>(i);
        const float* fl = FL.ptr<float>(i);
        float* dst = out.ptr<float>(i);
        for (int j = 0; j < out.cols; ++j) {
            for (int k = 0; k < 3; ++k) {
                float& x = src[3 * j + k];
                // Below 0.1 the inverse would raise a negative number to a
                // fractional power; above 400.1 its denominator turns negative.
                if (kCompressionFloor >= static_cast<double>(x))
                    x = kCompressionFloorValue;
                if (static_cast<double>(x) > kCompressionCeiling)
                    x = kCompressionCeilingValue;
                const float headroom = kCompressionScale - x;
                const float v = static_cast<float>(
                    (static_cast<double>(x) * kCompressionHalf - kCompressionHalfOffset)
                    / (static_cast<double>(headroom) + kCompressionOffset));
                const double flValue = static_cast<double>(fl[j]);
                const float value = finishedPower(inverseCompressionPower(), static_cast<double>(v),
                    [flValue](double p) { return static_cast<float>(p * 100.0 / flValue); });
                dst[3 * j + k] = value;
                if (std::isnan(value))
                    printed << kNaNMessage << std::endl;
            }
        }
    }
}

void toolkit::color::convertHPEtoSharpenedRGB(cv::Mat& hpe, cv::Mat& out)
{
    requireType(hpe, CV_32FC3, "convertHPEtoSharpenedRGB", "hpe");
    requireTypeAndSize(out, CV_32FC3, hpe, "convertHPEtoSharpenedRGB", "out", "hpe");
    cv::Mat sharpenedToHpe(3, 3, CV_32FC1);
    toolkit::common::dotProduct(huntPointerEstevezMatrix(), inverseCat02Matrix(), sharpenedToHpe);
    const cv::Mat hpeToSharpened = sharpenedToHpe.inv(cv::DECOMP_LU);
    // Reads rho, gamma, beta from channels 0, 1, 2 and stores row k of the
    // product in channel 2 - k: B, G, R order, as the forward chain reads it.
    multiplyImageByMatrixBackward(hpe, out, hpeToSharpened);
}
