// Constants and matrices of the appearance model, shared by its forward and
// inverse halves so that the inverse undoes exactly what the forward did.
// Internal to toolkit/color.
#pragma once

#include <opencv2/core.hpp>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <utility>

namespace toolkit {
namespace color {
namespace cam {

// CIE CAM02, dark surround: exponential non-linearity c.
constexpr float kSurroundC = 0.525f;

// CIE CAM02 post-adaptation compression: 400 p / (p + 27.13) + 0.1 with
// p = (FL x / 100)^0.42.
constexpr double kCompressionExponent = 0.42;
constexpr float kCompressionScale = 400.0f;
constexpr double kCompressionHalf = 27.13;
constexpr double kCompressionOffset = 0.1;

// CIE CAM02 achromatic response offset.
constexpr double kAchromaticOffset = 0.305;

// CIE CAM02 chroma: 50000 / 13, the 21 / 20 weight of Ba' in the denominator,
// and the exponent of the background term (1.64 - 0.29^n)^0.73 (that of t
// is in AppearanceAttributes.hpp).
constexpr double kChromaConstant = 3846.153846153846;
constexpr double kChromaBlueWeight = 1.05;
constexpr double kChromaBackgroundBase = 0.29;
constexpr double kChromaBackgroundOffset = 1.64;
constexpr double kChromaBackgroundExponent = 0.73;

constexpr double kPi = 3.141592653589793;

// The background term (1.64 - 0.29^n)^exponent of the chroma, in double; the
// forward model takes it to 0.73, the inverse to 0.73 / 0.9.
inline double chromaBackground(float n, double exponent)
{
    return std::pow(
        kChromaBackgroundOffset - std::pow(kChromaBackgroundBase, static_cast<double>(n)),
        exponent);
}

// f(v) in double for a float v that mostly repeats from one pixel to the
// next, as the values of a viewing-condition plane do: the last result is
// reused while v's bits stay the same, which gives the bits a new call would
// give.
template <class F> class Repeated {
public:
    explicit Repeated(F f)
        : f_(std::move(f))
    {
    }

    double operator()(float v)
    {
        std::uint32_t bits;
        std::memcpy(&bits, &v, sizeof bits);
        if (!known_ || bits != bits_) {
            bits_ = bits;
            result_ = f_(v);
            known_ = true;
        }
        return result_;
    }

private:
    F f_;
    std::uint32_t bits_ = 0;
    double result_ = 0.0;
    bool known_ = false;
};

// pow(base, exponent) in double for a repeating base.
inline auto repeatedPow(double exponent)
{
    return Repeated(
        [exponent](float base) { return std::pow(static_cast<double>(base), exponent); });
}

// Hunt-Pointer-Estevez: XYZ to rho, gamma, beta.
inline cv::Mat huntPointerEstevezMatrix()
{
    // clang-format off
    return (cv::Mat_<float>(3, 3) << 0.38971f, 0.68898f, -0.07868f,
                                     -0.22981f, 1.18340f, 0.04641f,
                                     0.0f, 0.0f, 1.0f);
    // clang-format on
}

// Inverse of CAT02, as published: sharpened R, G, B to XYZ.
inline cv::Mat inverseCat02Matrix()
{
    // clang-format off
    return (cv::Mat_<float>(3, 3) << 1.096124f, -0.278869f, 0.182745f,
                                     0.454369f, 0.473533f, 0.072098f,
                                     -0.009628f, -0.005698f, 1.015326f);
    // clang-format on
}

} // namespace cam
} // namespace color
} // namespace toolkit
