#include "programs/lab-compare/LabCompare.hpp"

#include "programs/lab-compare/LabTable.hpp"

#include "toolkit/common/CommonFunctions.hpp"
#include "toolkit/common/ResultFile.hpp"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <future>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>

namespace {

void addLabPlanes(const cv::Mat& lab, toolkit::common::BinCounts& L, toolkit::common::BinCounts& a,
    toolkit::common::BinCounts& b)
{
    for (int i = 0; i < lab.rows; ++i) {
        const auto* row = lab.ptr<cv::Vec3f>(i);
        for (int j = 0; j < lab.cols; ++j) {
            L.add(row[j][0]);
            a.add(row[j][1]);
            b.add(row[j][2]);
        }
    }
}

} // namespace

float labcompare::getBhattacharyaCoeff(const cv::Mat& inpChannel, const cv::Mat& tarChannel)
{
    return toolkit::common::getBhattacharyaCoeff(inpChannel, tarChannel, kLabBins);
}

void labcompare::labHistogramsPerPixel(const cv::Mat& img, toolkit::common::BinCounts& L,
    toolkit::common::BinCounts& a, toolkit::common::BinCounts& b)
{
    cv::Mat src = img;
    cv::Mat norm(img.rows, img.cols, CV_32FC3);
    cv::Mat lab(img.rows, img.cols, CV_32FC3);
    toolkit::common::normImg(src, norm);
    cv::cvtColor(norm, lab, cv::COLOR_BGR2Lab);
    addLabPlanes(lab, L, a, b);
}

void labcompare::labHistograms(const cv::Mat& img, toolkit::common::BinCounts& L,
    toolkit::common::BinCounts& a, toolkit::common::BinCounts& b)
{
    labHistograms(toolkit::common::countDistinctColours(img), L, a, b);
}

void labcompare::labHistograms(const toolkit::common::DistinctColours& colours,
    toolkit::common::BinCounts& L, toolkit::common::BinCounts& a, toolkit::common::BinCounts& b)
{
    // The float Lab conversion is per pixel and position-independent, so one
    // conversion per distinct colour, counted with its pixels, gives the
    // per-pixel histograms exactly.
    for (std::size_t k = 0; k < colours.keys.size(); ++k) {
        const cv::Vec3f lab = labOfColour(colours.keys[k]);
        const std::uint32_t count = colours.counts[k];
        L.add(lab[0], count);
        a.add(lab[1], count);
        b.add(lab[2], count);
    }
}

labcompare::LabCounts labcompare::labCounts(const toolkit::common::DistinctColours& colours)
{
    LabCounts counts;
    labHistograms(colours, counts.L, counts.a, counts.b);
    return counts;
}

void labcompare::labBinsOfColours(const std::uint32_t* keys, std::size_t count, LabBins* bins)
{
    using toolkit::common::BinCounts;
    const auto bin = [](float value) {
        const double b = BinCounts::binOf(value);
        CV_Assert(b >= -128.0 && b <= 127.0);
        return static_cast<std::int8_t>(b);
    };
    for (std::size_t k = 0; k < count; ++k) {
        const cv::Vec3f lab = labOfColour(keys[k]);
        bins[k] = { bin(lab[0]), bin(lab[1]), bin(lab[2]) };
    }
}

labcompare::LabCounts labcompare::countLabBins(
    const toolkit::common::DistinctColours& colours, const LabBins* bins)
{
    LabCounts counts;
    for (std::size_t k = 0; k < colours.keys.size(); ++k) {
        const std::uint32_t count = colours.counts[k];
        counts.L.addToBin(bins[k].L, count);
        counts.a.addToBin(bins[k].a, count);
        counts.b.addToBin(bins[k].b, count);
    }
    return counts;
}

labcompare::LabFigures labcompare::compareLab(const LabCounts& input, const LabCounts& target)
{
    const float coeffL = toolkit::common::bhattacharyyaCoeff(input.L, target.L);
    const float coeffA = toolkit::common::bhattacharyyaCoeff(input.a, target.a);
    const float coeffB = toolkit::common::bhattacharyyaCoeff(input.b, target.b);
    // The sum is a float, the halving is done in double.
    return { coeffL, static_cast<double>(coeffA + coeffB) / 2.0, coeffA, coeffB };
}

std::string labcompare::figuresLine(const LabFigures& figures)
{
    std::ostringstream line;
    line << figures.L << "," << figures.ab;
    return line.str();
}

std::string labcompare::figuresBlock(const LabFigures& figures)
{
    std::ostringstream block;
    block << figures.L << "\n" << figures.ab << "\n";
    return block.str();
}
