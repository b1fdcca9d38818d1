// The perceptual-metrics program: compares two photographs by five appearance
// attributes (brightness Q, lightness J, chroma C, colourfulness M and
// saturation s) after adapting both to D65.
//
// The pieces of its route (programs/comparison puts them together): an
// image's distinct colours, laid out as a small image, are taken once each
// through normalisation, compute_cat and toolkit::color::computeAppearance
// (attributesOfColours); each colour's attributes are counted with its pixels
// into the histograms (countAttributes) and two images' histograms compared
// by their Bhattacharyya coefficients (compareAttributes). The debug files
// are written from the colours' values, pixel row by pixel row
// (writeDebugFiles). perceptualMetrics is the route over every pixel, which
// gives the same figures and files. The program itself is
// programs/metrics/Program.hpp.
#pragma once

#include "toolkit/color/AppearanceModel.hpp"
#include "toolkit/common/DistinctColours.hpp"
#include "toolkit/common/Histogram.hpp"

#include <opencv2/core.hpp>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace metrics {

// Bins summed by this program.
constexpr toolkit::common::BinRange kMetricsBins { 0, 999 };

// The fixed viewing conditions: the model's defaults (adapting luminance
// 20 cd/m^2, white 100, background 20, dark surround).
constexpr toolkit::color::ViewingConditions kViewing {};

// The Bhattacharyya coefficient of two CV_32FC1 planes over the bins 0..999.
float getBhattacharyaCoeff(const cv::Mat& inpChannel, const cv::Mat& tarChannel);

// A CV_32FC3 BGR image in [0, 1] to D65-adapted CAT02 sharpened cone
// responses (CV_32FC3, channel 0 = S, 1 = M, 2 = L; white near 1), the image
// serving as its own white. destination is allocated by the caller with the
// source's size; the source is not modified.
void compute_cat(cv::Mat& source, cv::Mat& destination);

// Runs the appearance model on an adapted image from compute_cat under the
// fixed viewing conditions and fills the Q, J, C, M and s planes (CV_32FC1,
// the image's size, allocated by the caller). Multiplies img by 100 in place.
// Takes every pixel through toolkit::color::computeAppearance, with its debug
// files: writes "A_before.jpg", "10_in.txt", "mask.jpg" and "t_before.jpg" for
// this image. The program itself takes the other route, attributesOfColours
// and writeDebugFiles, which give the same figures and files.
void perceptualMetrics(cv::Mat& img, cv::Mat& Q, cv::Mat& J, cv::Mat& C, cv::Mat& M, cv::Mat& s);

// The five attributes of every distinct colour of an image, its hue angle h
// (degrees, signed), and the planes behind its debug files (the lightness
// step's A, the chroma step's t), each a CV_32FC1 laid out as
// DistinctColours::asImage lays out the colours. They depend on the image
// alone: the largest achromatic response is the image's.
struct ColourAttributes {
    cv::Mat Q, J, C, M, s, A, t, h;
};

// Takes every distinct colour of an image, laid out as an image, through
// normalisation, compute_cat and toolkit::color::computeAppearance under the
// fixed viewing conditions. Writes nothing.
ColourAttributes attributesOfColours(const toolkit::common::DistinctColours& colours);

// The attributes of every pixel of an image, each a CV_32FC1 plane of its
// size: brightness Q, lightness J (0..100, relative to the image's brightest
// pixel), chroma C, colourfulness M, saturation s and the hue angle h in
// degrees, in (-180, 180]. NaN marks a value the model leaves undefined.
struct PixelAttributes {
    cv::Mat Q, J, C, M, s, h;
};

// Every pixel of a CV_32FC3 BGR image in [0, 1] through compute_cat and
// toolkit::color::computeAppearance under the fixed viewing conditions,
// writing the model's debug files through the debug output in force when
// `debugFiles` is set. The image is not modified.
PixelAttributes attributesOfPixels(const cv::Mat& normalised, bool debugFiles);

// The attributes of every pixel of an 8-bit BGR image (CV_8UC3), each pixel
// given its colour's value from attributesOfColours of the image's colours:
// bit for bit attributesOfPixels of the image normalised, at the cost of one
// model evaluation per distinct colour. The planes of `out` that hold a
// CV_32FC1 matrix of the image's size are filled where they are (so they may
// wrap the caller's memory); the others are allocated.
void spreadAttributes(const cv::Mat& img, const toolkit::common::DistinctColours& colours,
    const ColourAttributes& attributes, PixelAttributes& out);

// What the model gives a colour whatever the image it is in: its achromatic
// response A and the chroma step's t, the values attributesOfColours finds
// for it. The other attributes follow from these and the image's white (the
// largest A of its colours).
struct ColourResponse {
    float A;
    float t;
};

// The responses of `count` colours given by key (B | G << 8 | R << 16, any
// order), into `responses`: the colours laid out as an image and taken
// through attributesOfColours' chain as far as the chroma step.
void responsesOfColours(const std::uint32_t* keys, std::size_t count, ColourResponse* responses);

// What finding a colour's bins quickly takes of its responses: A^(z c / 2)
// (NaN where A is not positive), which divided by the white's gives
// sqrt(J / 100), and sqrt(t^0.9) (NaN where t is not positive), as floats.
struct QuickResponse {
    float powerA;
    float rootTPower;
};

// The quick responses of `count` colours given by key, into `quick`.
void quickResponsesOfColours(const std::uint32_t* keys, std::size_t count, QuickResponse* quick);

// The share of an image's pixels in the top lightness bin (J of 99.5 or
// more), 0 to 1: the pixels whose achromatic response is, or nearly is, the
// image's largest, the white that Q and J are relative to. A small share
// says that a handful of pixels decide the image's Q and J. The colours'
// counts must be filled.
double topLightnessShare(
    const toolkit::common::DistinctColours& colours, const ColourAttributes& attributes);

// Histograms (bins 0..999) of the five attributes of an image, each colour
// counted with its pixels: the counts of running the model on every pixel.
struct AttributeCounts {
    toolkit::common::BinCounts Q { kMetricsBins }, J { kMetricsBins }, C { kMetricsBins },
        M { kMetricsBins }, s { kMetricsBins };
};
AttributeCounts countAttributes(
    const toolkit::common::DistinctColours& colours, const ColourAttributes& attributes);

// countAttributes and topLightnessShare of an image from its colours' quick
// responses (one per colour, in the colours' order), without planes: the
// same counts and share. The image's white is the A of the colours of the
// largest A^(z c / 2). Each colour's bins are read from approximations of its
// attributes (A^(z c / 2) and sqrt(t^0.9) scaled by the image's white) where these
// lie farther than their error from a bin's half; the others, and colours
// of no positive A or t, are taken through responsesOfColours and the
// model's own steps. The colours' counts must be filled.
AttributeCounts countAttributesOfQuickResponses(const toolkit::common::DistinctColours& colours,
    const QuickResponse* quick, double& topLightnessShare);

// The five coefficients of a comparison, in the program's order.
struct Figures {
    float Q, J, C, M, s;
};
Figures compareAttributes(const AttributeCounts& first, const AttributeCounts& second);

// The figures as the program prints them: "Q,J,C,M,s" (no newline), and as it
// appends them to "For_fit.txt": one per line, each line ended by "\n".
std::string figuresLine(const Figures& figures);
std::string figuresBlock(const Figures& figures);

// The 8-bit images behind the debug files, of the image's size: the lightness
// step's A ("A_before.jpg"), the brightness mask, black below Q = 20
// ("mask.jpg"), and the chroma step's t ("t_before.jpg").
struct DebugPlanes {
    cv::Mat lightness, mask, chroma;
};
DebugPlanes debugPlanes(const cv::Mat& img, const toolkit::common::DistinctColours& colours,
    const ColourAttributes& attributes);

// Writes the debug files perceptualMetrics leaves for an image ("A_before.jpg",
// "10_in.txt", "mask.jpg", "t_before.jpg") into `directory` ("" for the
// working directory), with the bytes perceptualMetrics gives them, each
// replaced whole. img is the 8-bit BGR image whose colours and attributes are
// passed. Returns a message for each file that could not be written.
std::vector<std::string> writeDebugFiles(const std::string& directory, const cv::Mat& img,
    const toolkit::common::DistinctColours& colours, const ColourAttributes& attributes);

} // namespace metrics
