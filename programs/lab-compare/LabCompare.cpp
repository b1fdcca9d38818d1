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

const char* const kResultFile = "For_fit.txt";

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

struct CountedImage {
    toolkit::common::DistinctColours colours;
    std::string notice; // how it was read, for standard error
};

// Reads an image as 8-bit BGR and counts its colours; reports an unreadable
// image on standard error.
std::optional<CountedImage> readAndCount(
    const char* path, toolkit::common::ProfileHandling profiles)
{
    std::string error;
    CountedImage counted;
    toolkit::common::ImageFacts facts;
    if (toolkit::common::readCountingColours(path, error, counted.colours, true, profiles, &facts)
            .empty()) {
        std::cerr << "lab-compare: cannot read image \"" << path << "\": " << error << "\n";
        return std::nullopt;
    }
    counted.notice = toolkit::common::readingNotice(path, facts);
    return counted;
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

int labcompare::mainBhattacharya(int argc, char** argv)
{
    if (argc != 3)
        return -1;

    std::string profileError;
    const toolkit::common::ProfileHandling profiles
        = toolkit::common::profileHandlingFromEnvironment(profileError);
    if (!profileError.empty()) {
        std::cerr << "lab-compare: " << profileError << "\n";
        return 1;
    }
    // The two images are decoded and their colours counted on two threads.
    auto target = std::async(std::launch::async, readAndCount, argv[2], profiles);
    const auto input = readAndCount(argv[1], profiles);
    const auto targetImage = target.get();
    if (!input || !targetImage)
        return 1;
    for (const CountedImage* image : { &*input, &*targetImage })
        if (!image->notice.empty())
            std::cerr << "lab-compare: " << image->notice << "\n";

    const LabFigures figures
        = compareLab(labCounts(input->colours), labCounts(targetImage->colours));
    std::cout << figuresLine(figures) << std::endl;
    const bool printed = static_cast<bool>(std::cout);
    const int printErrno = errno;

    std::string error;
    int status = 0;
    if (!toolkit::common::appendLocked(kResultFile, figuresBlock(figures), error)) {
        std::cerr << "lab-compare: " << error << std::endl;
        status = 1;
    }
    // Checked after the append, so that the figures reach "For_fit.txt" even
    // when the line is lost.
    if (!printed) {
        std::cerr << "lab-compare: cannot write the figures to standard output: "
                  << std::strerror(printErrno) << std::endl;
        status = 1;
    }
    return status;
}
