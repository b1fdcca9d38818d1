// The lab-compare program: compares two photographs by the Bhattacharyya
// coefficients of their CIE L*a*b* channel histograms.
//
// The pieces of its route (programs/comparison puts them together): each of
// an image's distinct colours is converted once, by labOfColour (OpenCV's own
// interpolation of its float conversion, without its start-up), and counted
// with its pixels into the histograms (labCounts); two images' histograms are
// compared by compareLab. labHistogramsPerPixel is the route over every pixel
// through cv::cvtColor, which gives the same counts. The program itself is
// programs/lab-compare/Program.hpp.
#pragma once

#include "toolkit/common/DistinctColours.hpp"
#include "toolkit/common/Histogram.hpp"

#include <opencv2/core.hpp>

#include <cstddef>
#include <cstdint>
#include <string>

namespace labcompare {

// Bins summed by this program: a* and b* are signed, L* (0..100) lies inside.
constexpr toolkit::common::BinRange kLabBins { -128, 127 };

// The Bhattacharyya coefficient of two CV_32FC1 planes over the bins -128..127.
float getBhattacharyaCoeff(const cv::Mat& inpChannel, const cv::Mat& tarChannel);

// Histograms of the L*, a* and b* values of an 8-bit BGR image, as the
// program computes them: normImg, then OpenCV's float BGR to Lab conversion
// (through labOfColour, which gives its values without its start-up cost).
// Each distinct colour is converted once and counted with its pixel count,
// which gives exactly the counts of converting every pixel.
void labHistograms(const cv::Mat& img, toolkit::common::BinCounts& L, toolkit::common::BinCounts& a,
    toolkit::common::BinCounts& b);
void labHistograms(const toolkit::common::DistinctColours& colours, toolkit::common::BinCounts& L,
    toolkit::common::BinCounts& a, toolkit::common::BinCounts& b);

// The histograms of the L*, a* and b* planes of one image.
struct LabCounts {
    toolkit::common::BinCounts L { kLabBins }, a { kLabBins }, b { kLabBins };
};
LabCounts labCounts(const toolkit::common::DistinctColours& colours);

// The bins (toolkit::common::BinCounts::binOf) of a colour's L*, a* and b*
// as labOfColour gives them: L* lies in 0..100, a* and b* of 8-bit colours in
// -108..99, so each bin fits a byte.
struct LabBins {
    std::int8_t L, a, b;
};

// The bins of `count` colours given by key (B | G << 8 | R << 16), into `bins`.
void labBinsOfColours(const std::uint32_t* keys, std::size_t count, LabBins* bins);

// labCounts from the colours' bins (one per colour, in the colours' order):
// the same counts.
LabCounts countLabBins(const toolkit::common::DistinctColours& colours, const LabBins* bins);

// The program's two figures: the L* coefficient, and the mean of the a* and
// b* coefficients (their float sum halved in double); and the a* and b*
// coefficients that mean is made of, which the program does not print.
struct LabFigures {
    float L;
    double ab;
    float a, b;
};
LabFigures compareLab(const LabCounts& input, const LabCounts& target);

// The figures as the program prints them, "L,ab" (no newline), and as it
// appends them to "For_fit.txt": one per line, each line ended by "\n".
std::string figuresLine(const LabFigures& figures);
std::string figuresBlock(const LabFigures& figures);

// The same histograms by converting every pixel; the reference for labHistograms.
void labHistogramsPerPixel(const cv::Mat& img, toolkit::common::BinCounts& L,
    toolkit::common::BinCounts& a, toolkit::common::BinCounts& b);

} // namespace labcompare
