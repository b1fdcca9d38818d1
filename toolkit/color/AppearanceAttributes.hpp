// The per-element arithmetic of the forward appearance model's attribute
// steps, one small function per attribute, shared by computeAppearance's
// plane loops (toolkit/color/AppearanceModel.hpp) and by callers that take
// colours through the model one at a time: both give the same bits.
//
// Every attribute but the achromatic response A and the chroma step's t
// depends on the image through its white alone (Aw, the largest A of the
// image); A and t depend on the colour alone. Scales are those of
// computeAppearance: A and Aw in the model's units, J 0..100, Q, C and M
// without unit, s 0..100; float arithmetic except where a cast shows double.
#pragma once

#include "toolkit/color/AppearanceModel.hpp"

#include <cmath>

namespace toolkit {
namespace color {

// CIE CAM02 chroma: the exponent of t.
constexpr double kChromaTExponent = 0.9;

// What the attribute steps take from the viewing conditions, as
// computeAppearance computes it: the float product z c, FL^0.25 and the
// chroma's background term (1.64 - 0.29^n)^0.73 in double, and c.
struct AttributeConditions {
    float zc;
    double flRoot;
    double background;
    float c;
};
AttributeConditions attributeConditions(const ViewingConditions& viewing);

// Lightness J = 100 (A / Aw)^(z c), in float; zc is the float product z * c.
inline float lightnessOf(float A, float Aw, float zc)
{
    return 100.0f * std::pow(A / Aw, zc);
}

// Brightness Q = (4 / c) sqrt(J / 100) (Aw + 4) FL^0.25, the square root in
// float and the product in double; awPlusFour is the float Aw + 4, flRoot
// FL^0.25 in double.
inline float brightnessOf(float J, float awPlusFour, double flRoot, float c)
{
    const float rootJ = std::sqrt(J / 100.0f);
    return static_cast<float>(4.0 * static_cast<double>(rootJ) * static_cast<double>(awPlusFour)
        * flRoot / static_cast<double>(c));
}

// t^0.9 in double, the part of the chroma that depends on the colour alone.
inline double chromaPowerOf(float t)
{
    return std::pow(static_cast<double>(t), kChromaTExponent);
}

// Chroma C = t^0.9 sqrt(J / 100) (1.64 - 0.29^n)^0.73 in double, given
// tPower = chromaPowerOf(t) and the background term in double.
inline float chromaOf(double tPower, float J, double background)
{
    return static_cast<float>(tPower * std::sqrt(static_cast<double>(J) / 100.0) * background);
}

// Colourfulness M = FL^0.25 C in double.
inline float colourfulnessOf(float C, double flRoot)
{
    return static_cast<float>(flRoot * static_cast<double>(C));
}

// Saturation s = 100 sqrt(M / Q) in float.
inline float saturationOf(float M, float Q)
{
    return 100.0f * std::sqrt(M / Q);
}

} // namespace color
} // namespace toolkit
