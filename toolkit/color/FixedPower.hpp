// pow(x, p) for a fixed exponent p at a fraction of std::pow's cost, for
// results that are rounded on (to float, or through further arithmetic)
// without losing a bit of what std::pow would have given.
// Internal to toolkit/color.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace toolkit {
namespace color {
namespace power {

// x^p for one fixed exponent p, 0 < p < 3, close enough to std::pow(x, p) to
// tell which float a monotone rounding of std::pow's result gives. With
// x = 2^e m, m in [1, 2), and c the nearest of 256 centres of [1, 2):
// x^p = (2^e)^p c^p (m / c)^p, the first two factors from tables filled by
// std::pow and the last a Taylor polynomial of degree 4 in t = m / c - 1,
// |t| <= 2^-9. The truncation (|binomial(p, 5)| t^5 < 0.04 x 2^-45, below
// 1.2e-15), a dozen roundings and the tables' own half ulps keep the result
// within 4e-15 of x^p, relative; std::pow itself is within 0.52 ulp.
class FixedPower {
public:
    explicit FixedPower(double p)
        : p_(p)
    {
        for (int k = 0; k < kExponentCount; ++k)
            scale_[k] = std::pow(std::ldexp(1.0, kLowestExponent + k), p);
        for (int j = 0; j < kCentres; ++j) {
            const double centre = 1.0 + (j + 0.5) / kCentres;
            centrePower_[j] = std::pow(centre, p);
            centreInverse_[j] = 1.0 / centre;
        }
        a1_ = p;
        a2_ = a1_ * (p - 1.0) / 2.0;
        a3_ = a2_ * (p - 2.0) / 3.0;
        a4_ = a3_ * (p - 3.0) / 4.0;
    }

    // Whether the error bound holds for exponent p.
    static bool suits(double p) { return p > 0.0 && p < 3.0; }

    double exponent() const { return p_; }

    // x^p for x in [2^-64, 2^128), which holds the bases the colour chain
    // takes; false for every other x (zero, negative, NaN, infinite).
    bool approximate(double x, double& y) const
    {
        std::uint64_t bits;
        std::memcpy(&bits, &x, sizeof bits);
        // The sign bit makes a negative x's exponent out of range.
        const int e = static_cast<int>(bits >> 52) - 1023;
        if (e < kLowestExponent || e >= kLowestExponent + kExponentCount)
            return false;
        const int j = static_cast<int>((bits >> 44) & (kCentres - 1));
        const std::uint64_t mantissaBits = (bits & 0x000fffffffffffffULL) | 0x3ff0000000000000ULL;
        double m;
        std::memcpy(&m, &mantissaBits, sizeof m);
        const double t = m * centreInverse_[j] - 1.0;
        const double series = 1.0 + t * (a1_ + t * (a2_ + t * (a3_ + t * a4_)));
        y = scale_[e - kLowestExponent] * (centrePower_[j] * series);
        return true;
    }

private:
    static constexpr int kLowestExponent = -64;
    static constexpr int kExponentCount = 192;
    static constexpr int kCentres = 256;
    double p_;
    std::array<double, kExponentCount> scale_ {};
    std::array<double, kCentres> centrePower_ {}, centreInverse_ {};
    double a1_ = 0.0, a2_ = 0.0, a3_ = 0.0, a4_ = 0.0;
};

// 25 times the approximation's error bound.
constexpr double kPowerTolerance = 1e-13;

// finish(std::pow(x, p)), for a monotone finish from double to float (a cast,
// or float arithmetic on the power followed by one): when finish gives one
// float at both ends of the interval around the approximation in which
// std::pow's result lies, it gives that float for std::pow's result too;
// otherwise (a result within 1e-13 of a rounding boundary, a few bases in a
// million, or a base out of the tables' range) std::pow decides.
template <class Finish> inline float finishedPower(const FixedPower& power, double x, Finish finish)
{
    double y = 0.0;
    if (power.approximate(x, y)) {
        const float low = finish(y * (1.0 - kPowerTolerance));
        const float high = finish(y * (1.0 + kPowerTolerance));
        if (low == high)
            return low;
    }
    return finish(std::pow(x, power.exponent()));
}

} // namespace power
} // namespace color
} // namespace toolkit
