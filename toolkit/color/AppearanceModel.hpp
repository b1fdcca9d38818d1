// Forward colour appearance model after CIE CAM02: viewing-condition factors
// and the chain of per-pixel appearance attributes (achromatic response A,
// lightness J, brightness Q, hue angle h, chroma C, colourfulness M and
// saturation s) computed from chromatically adapted sharpened cone responses.
//
// Differences from the published model:
// - the factors FL, n, Ncb (Nbb) and z are planes with one value per pixel;
// - the achromatic response of white, Aw, is the largest A of the image;
// - the hue angle is the signed atan2(b, a) in degrees, (-180, 180]; no hue
//   quadrature;
// - the compression has no sign handling: a negative cone response gives NaN,
//   which propagates to every attribute of that pixel.
//
// The per-step functions take planes CV_32FC1 and images CV_32FC3. The caller
// allocates every output with the input's size and type; they write element
// by element and never reallocate. An empty input, another type or channel count, or a plane
// or output of another size raises cv::Exception before any pixel is touched.
// Arithmetic is float except where a step is stated to be in double. The
// per-step functions take the surround exponent c of the dark surround, 0.525.
//
// The model does no chromatic adaptation of its own: its input is adapted
// already. perceptual-metrics adapts to D65 with each pixel as its own white
// (metrics::compute_cat), which leaves a neutral pixel with D65's own
// responses, and runs the chain under the default ViewingConditions (LA = 20
// cd/m^2, Yw = 100, Yb = 20, dark surround). Values quoted below "under
// perceptual-metrics' conditions" are for 8-bit images taken that way
// (README, "Reading the figures").
//
// computeAppearance runs the whole chain; the per-step functions below it
// are the steps it takes, for callers that need one step alone.
#pragma once

#include <opencv2/core.hpp>

namespace toolkit {
namespace color {

// The factors of a surround: degree of adaptation F, exponential
// non-linearity c and chromatic induction Nc.
struct Surround {
    float F;
    float c;
    float Nc;
};

// The dark surround of CIE CAM02: F = 0.8, c = 0.525, Nc = 0.8.
constexpr Surround kDarkSurround { 0.8f, 0.525f, 0.8f };

// The viewing conditions of the forward model: adapting luminance LA in
// cd/m^2, the luminance Yw of the adopted white and Yb of the background (on
// the scale of the input, white = Yw), and the surround. The defaults are
// those of every caller in this toolkit: LA = 20, Yw = 100, Yb = 20 (a fifth
// of a uniform white, computeYback's value for it), dark surround. The forward
// chain reads c and Nc of the surround; F serves the chromatic adaptation.
struct ViewingConditions {
    float La = 20.0f;
    float Yw = 100.0f;
    float Yb = 20.0f;
    Surround surround = kDarkSurround;
};

// The debug files of the forward model, as the steps that write them name
// them: the achromatic response A (computeLightness), the brightness dump and
// its mask (computeBrightness), and the chroma step's t (computeChroma).
constexpr const char* kLightnessDebugFile = "A_before.jpg";
constexpr const char* kBrightnessDumpFile = "10_in.txt";
constexpr const char* kBrightnessMaskFile = "mask.jpg";
constexpr const char* kChromaDebugFile = "t_before.jpg";

// The brightness mask: black (0) below a brightness of 20, white (255)
// elsewhere, NaN included.
constexpr float kBrightnessMaskThreshold = 20.0f;
inline unsigned char brightnessMaskValue(float Q)
{
    return kBrightnessMaskThreshold > Q ? 0 : 255;
}

// The pixels of the debug images, the one definition both the model and the
// programs' per-colour route write them by (each plane CV_32FC1, the pixels
// CV_8UC1 of its size): the lightness and chroma images hold A and t rounded
// to the nearest integer and saturated to 0..255 (OpenCV's conversion to 8
// bits); the mask holds brightnessMaskValue of each Q.
void debugImagePixels(const cv::Mat& values, cv::Mat& pixels);
void brightnessMaskPixels(const cv::Mat& Q, cv::Mat& mask);

// One line of the brightness dump: the value's text (as writeIntoFile writes
// it) and a newline, written at out, which has room for
// toolkit::common::kFloatTextMax bytes. Returns the end of the line.
char* dumpLine(char* out, float value);

// How far computeAppearance goes, and whether its steps write their debug
// files.
enum class AppearanceStage {
    Brightness, // A, J and Q (and the planes before them)
    Chroma, // also t and C
    Saturation // also M and s: every attribute
};
struct AppearanceOptions {
    AppearanceStage through = AppearanceStage::Saturation;
    // The files computeLightness, computeBrightness and computeChroma write
    // (A_before.jpg, 10_in.txt, mask.jpg, t_before.jpg), with their bytes,
    // for the steps taken; none when false.
    bool debugFiles = false;
};

// What computeAppearance computes: the viewing-condition planes (uniform, of
// the input's size), every intermediate plane of the chain and the attribute
// planes, each CV_32FC1 (hpe and compressed CV_32FC3) of the input's size.
// Planes of steps not taken are empty.
struct AppearancePlanes {
    cv::Mat FL, n, Ncb, z;
    cv::Mat hpe, compressed; // rho, gamma, beta; Ra', Ga', Ba'
    cv::Mat a, b, h, et;
    cv::Mat A, J, Q;
    cv::Mat t, C;
    cv::Mat M, s;
    float Aw = 0.0f; // largest achromatic response (computeLightness)
    float Qmax = 0.0f; // largest brightness (computeBrightness)
};

// The forward model on an adapted image: CAT02 sharpened cone responses,
// CV_32FC3 with channel 0 = B, 1 = G, 2 = R, on the white's scale (white =
// Yw, so 0..100 under the defaults), under the given viewing conditions:
// convertSharpenedBGRtoHPE, computeNonLinearities, computeAB, computeHue,
// the lightness, brightness, chroma, colourfulness and saturation steps, in
// that order, with the arithmetic of those functions (under the default
// conditions its planes are theirs bit for bit). The input is not modified.
// An empty input or one of another type raises cv::Exception.
AppearancePlanes computeAppearance(const cv::Mat& adapted,
    const ViewingConditions& viewing = ViewingConditions(),
    const AppearanceOptions& options = AppearanceOptions());

// Background luminance Yb from a CV_32FC1 plane of luminance Y (0..100 scale):
// one fifth of the plane's mean (the sum is accumulated in double, so a plane
// of constant 100 gives exactly 20 at any size). An empty plane gives NaN;
// another type raises cv::Exception.
float computeYback(cv::Mat& Y);

// Background ratio n = Yb / Yw, in float.
float computeN(float Yb, float Yw);

// Luminance-level adaptation factor FL for the adapting luminance LA in cd/m^2:
// k = 1 / (5 LA + 1), FL = k^4 LA + 0.1 (1 - k^4)^2 (5 LA)^(1/3).
// FL(20) = 0.464159.
float computeFl(float LA);

// Background induction factor Nbb (here Ncb) = 0.725 (Yw / Yb)^0.2.
// Yb = 20, Yw = 100 gives 1.000304.
float computeNcb(float Yb, float Yw);

// Base exponential non-linearity z = 1.48 + sqrt(Yb / Yw).
// Yb = 20, Yw = 100 gives 1.927214.
float computeZ(float Yb, float Yw);

// Adapted sharpened (CAT02) cone responses, CV_32FC3 with channel 0 = B,
// 1 = G, 2 = R (white = 100), to Hunt-Pointer-Estevez responses, CV_32FC3 in
// natural order: channel 0 = rho, 1 = gamma, 2 = beta. dst may be src.
void convertSharpenedBGRtoHPE(const cv::Mat& src, cv::Mat& dst);

// Post-adaptation compression of each HPE channel (CV_32FC3, rho, gamma, beta)
// with the per-pixel FL plane: p = (x FL / 100)^0.42,
// out = 400 p / (p + 27.13) + 0.1. out is CV_32FC3 (Ra', Ga', Ba' in channels
// 0, 1, 2), 0.1 .. 400.1 for non-negative inputs; a negative response gives NaN.
void computeNonLinearities(const cv::Mat& hpe, cv::Mat& out, cv::Mat& FL);

// Opponent coordinates from the compressed image (Ra', Ga', Ba'):
// a = Ra' - 12 Ga' / 11 + Ba' / 11, b = (Ra' + Ga' - 2 Ba') / 9. CV_32FC1 outputs.
void computeAB(cv::Mat& nonlin, cv::Mat& a, cv::Mat& b);

// Hue angle h = atan2(b, a) in degrees, signed, (-180, 180] (no wrapping into
// [0, 360)), and eccentricity et = (cos(h pi / 180 + 2) + 3.8) / 4, 0.7 .. 1.2.
// Under perceptual-metrics' conditions neutral greys have h = -150.0, pure
// blue -121.2, pure red -134.9 and pure green 179.9.
void computeHue(cv::Mat& a, cv::Mat& b, cv::Mat& h, cv::Mat& et);

// Achromatic response A = (2 Ra' + Ga' + Ba' / 20 - 0.305) Ncb and lightness
// J = 100 (A / Aw)^(z c), 0 .. 100, where Aw is the largest A of the image
// (NaN values are skipped); the pixel with the largest A gets J = 100 exactly.
// J is thus relative to the image's own brightest pixel: a uniform image has
// J = 100 throughout whatever its colour, so an all-black and an all-white
// image have the same J (a J coefficient of 1 in perceptual-metrics).
// Returns Aw (0 when no A is positive; J is then not finite).
// Writes the A plane to "A_before.jpg" (8 bits, rounded and saturated).
// Ncb, z, J and A are planes of nonlin's size.
float computeLightness(cv::Mat& nonlin, cv::Mat& Ncb, cv::Mat& z, cv::Mat& J, cv::Mat& A);

// computeLightness without its debug file, for callers that run the model on
// something other than a whole image (a table of distinct colours).
float computeLightnessValues(cv::Mat& nonlin, cv::Mat& Ncb, cv::Mat& z, cv::Mat& J, cv::Mat& A);

// Brightness Q = 4 sqrt(J / 100) (Aw + 4) FL^0.25 / c, no unit; FL and Q are
// planes of J's size. The z plane is not read (any matrix). Under
// perceptual-metrics' conditions Q lies in 0 .. 223.9 (white); a uniform black
// image has 25.2 and a uniform grey of 1 / 255 already 211.6, the adaptation
// having pulled it most of the way to white.
// Returns the largest Q (0 when none is positive).
// Writes Q to "10_in.txt" (writeIntoFile) and "mask.jpg", an 8-bit mask that
// is 0 where Q < 20 and 255 elsewhere (NaN included).
float computeBrightness(cv::Mat& J, cv::Mat& FL, cv::Mat& z, cv::Mat& Q, float Aw);

// computeBrightness without its debug files (no dump, no mask).
float computeBrightnessValues(cv::Mat& J, cv::Mat& FL, cv::Mat& Q, float Aw);

// Chroma C = t^0.9 sqrt(J / 100) (1.64 - 0.29^n)^0.73 with
// t = (50000 / 13) Nc Ncb et sqrt(a^2 + b^2) / (Ra' + Ga' + 1.05 Ba').
// Loops over the a plane; nonlin and the other planes have its size. Writes
// the t plane to "t_before.jpg" (8 bits, rounded and saturated). The metrics
// program passes Nc = 0.8.
// No unit. Under perceptual-metrics' conditions C lies in 0 .. about 18.6, and
// neutral greys have C of about 12.7 (12.73 to 12.78 for uniform greys 1 to
// 255), not 0: their adapted responses are D65's, which the model, not
// adapted to that white, sees as a colour, as CAM02 does without adaptation.
void computeChroma(cv::Mat& nonlin, cv::Mat& a, cv::Mat& b, cv::Mat& J, cv::Mat& et, cv::Mat& Ncb,
    cv::Mat& n, cv::Mat& C, float Nc);

// computeChroma without its debug file; the t plane (CV_32FC1, the compressed
// image's size, allocated by the caller) is returned in t.
void computeChromaValues(cv::Mat& nonlin, cv::Mat& a, cv::Mat& b, cv::Mat& J, cv::Mat& et,
    cv::Mat& Ncb, cv::Mat& n, cv::Mat& C, float Nc, cv::Mat& t);

// Colourfulness M = FL^0.25 C, no unit; FL = 0.464159 (LA = 20) gives
// M = 0.825 C: 0 .. about 15.3, neutral greys about 10.5.
void computeColorfulness(cv::Mat& C, cv::Mat& FL, cv::Mat& M);

// Saturation s = 100 sqrt(M / Q), in float; Q = 0 gives NaN or infinity.
// Under perceptual-metrics' conditions 0 .. about 26.3, neutral greys about 22.
void computeSaturation(cv::Mat& M, cv::Mat& Q, cv::Mat& s);

// Writes rows x cols values of a CV_32FC1 plane to the file `name`, one value
// per line, row by row, replacing any earlier file whole (written under a
// temporary name in the same folder, then renamed). Each value has the
// text the standard stream prints for a float by default (%g, six significant
// digits: "0.464159", "1e-05", "nan", "-inf"). Counts beyond the plane's size
// are limited to it; a plane that is not CV_32FC1 gives an empty file. Never
// throws: a file that cannot be written is left as it was, with a warning
// naming it on standard error.
void writeIntoFile(cv::Mat& plane, const char* name, int rows, int cols);

} // namespace color
} // namespace toolkit
