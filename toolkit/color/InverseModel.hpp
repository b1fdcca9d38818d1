// Inverse of the forward appearance chain (AppearanceModel.hpp): from
// appearance attributes (brightness Q, chroma C, hue angle h with its
// eccentricity et) back to adapted sharpened (CAT02) cone responses.
//
// Each step undoes one forward step under the same viewing factors: the
// per-pixel FL, n, Ncb and z planes, Nc, the surround exponent c = 0.525 and
// the image's own achromatic white Aw (the value computeLightness returned).
// Run the steps in the order they are declared here.
//
// Planes are CV_32FC1 and images CV_32FC3. The caller allocates every output
// with the input's size and type; the functions write element by element and
// never reallocate. An empty input, another type or channel count, or a plane
// or output of another size than the plane a step loops over raises
// cv::Exception before any pixel is touched. Arithmetic is float except where a
// step is stated to be in double. Two steps change one of their inputs in
// place (brightness2Lightness, inverseNonLinearities).
#pragma once

#include "toolkit/common/DebugOutput.hpp"

#include <opencv2/core.hpp>

#include <ostream>

namespace toolkit {
namespace color {

// Lightness J (0 .. 100) from brightness Q:
// J = 6.25 (c Q / ((Aw + 4) FL^0.25))^2, the inverse of computeBrightness.
// In place: every Q below 1e-6 (negative values included) is raised by 1e-6.
// Loops over J.
void brightness2Lightness(cv::Mat& Q, cv::Mat& FL, cv::Mat& J, float Aw);

// The chroma temporary t from chroma C and lightness J (0 .. 100):
// t = (C / (sqrt(J / 100) (1.64 - 0.29^n)^0.73))^(1 / 0.9), in double.
// Loops over C. Writes the t plane to "t_after.jpg" (8 bits, rounded and
// saturated; an empty plane writes nothing).
void chromaAndLightness2t(cv::Mat& C, cv::Mat& J, cv::Mat& n, cv::Mat& t);

// chromaAndLightness2t without the file.
void chromaAndLightness2tValues(cv::Mat& C, cv::Mat& J, cv::Mat& n, cv::Mat& t);

// chromaAndLightness2tValues in two parts, for passes over one C with
// different J: chromaPower gives the part that depends on C alone,
// C^(1 / 0.9) in double (power: CV_64FC1, allocated here), and
// chromaPowerAndLightness2t the t plane from it; loops over power.
void chromaPower(const cv::Mat& C, cv::Mat& power);
void chromaPowerAndLightness2t(const cv::Mat& power, cv::Mat& J, cv::Mat& n, cv::Mat& t);

// Achromatic response A = (J / 100)^(1 / (z c)) Aw from lightness J (0 .. 100),
// the inverse of computeLightness. Loops over J. Prints to `printed` (the
// progress stream unless given) "mean A " followed by the mean of the A plane
// (NaN when any A is NaN) and a newline.
void lightness2A(cv::Mat& J, cv::Mat& z, cv::Mat& A, float Aw,
    std::ostream& printed = toolkit::common::progress());

// Opponent coordinates a, b from the achromatic response A, the hue angle h in
// degrees (signed, as computeHue gives it), t, et and the Ncb plane, for the
// chromatic induction Nc that computeChroma was given. Solves
// t = (50000 / 13) Nc Ncb et sqrt(a^2 + b^2) / (Ra' + Ga' + 1.05 Ba') with
// b = a tan h; the sign of a follows the quadrant of h. t = 0 gives
// a = b = 0. Loops over A.
void hue2AB(cv::Mat& A, cv::Mat& h, cv::Mat& t, cv::Mat& et, cv::Mat& Ncb, cv::Mat& a, cv::Mat& b,
    float Nc);

// hue2AB in two parts, for passes over one hue plane: hueTerms gives what
// depends on h alone (terms: CV_32FC3, allocated here, holding tan h in float,
// sqrt(tan^2 h + 1) in float, and 1 where a is negative, 0 elsewhere), and
// hueTerms2AB the a and b planes from it; loops over A.
void hueTerms(const cv::Mat& h, cv::Mat& terms);
void hueTerms2AB(cv::Mat& A, const cv::Mat& terms, cv::Mat& t, cv::Mat& et, cv::Mat& Ncb,
    cv::Mat& a, cv::Mat& b, float Nc);

// Compressed responses from a, b and A: out (CV_32FC3) receives Ra', Ga', Ba'
// in channels 0, 1, 2, the inverse of computeAB and of the achromatic sum of
// computeLightness. Loops over a.
void AB2NonLinearities(cv::Mat& a, cv::Mat& b, cv::Mat& A, cv::Mat& out, cv::Mat& Ncb);

// Undoes the post-adaptation compression of each channel of `in` (CV_32FC3,
// Ra', Ga', Ba') with the per-pixel FL plane:
// out = (27.13 (x - 0.1) / (400.1 - x))^(1 / 0.42) 100 / FL, written to out
// (CV_32FC3, rho, gamma, beta in channels 0, 1, 2). Loops over out.
// In place: responses at or below 0.1 become 0.1 and responses above 400.1
// become 400; a response in (400, 400.1] is kept and gives a very large value.
// Prints to `printed` (the progress stream unless given) "Error in the inverse
// non-linearities! Some of the obtained values are nan." and a newline once
// for every NaN value written to out (the NaN is kept).
void inverseNonLinearities(
    cv::Mat& in, cv::Mat& out, cv::Mat& FL, std::ostream& printed = toolkit::common::progress());

// Hunt-Pointer-Estevez responses (CV_32FC3, rho, gamma, beta in channels
// 0, 1, 2) to adapted sharpened cone responses in B, G, R order (channel
// 0 = B, 1 = G, 2 = R), the inverse of convertSharpenedBGRtoHPE. Loops over
// hpe; out may be hpe itself.
void convertHPEtoSharpenedRGB(cv::Mat& hpe, cv::Mat& out);

} // namespace color
} // namespace toolkit
