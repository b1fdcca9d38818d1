#include "programs/lab-compare/LabCompare.hpp"

#include "toolkit/common/CommonFunctions.hpp"
#include "toolkit/common/ResultFile.hpp"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

const char* const kResultFile = "For_fit.txt";

// Below this many pixels converting every pixel is as quick as tabulating
// the distinct colours.
constexpr std::size_t kDistinctColourMinPixels = std::size_t(1) << 20;
constexpr std::size_t kColourCount = std::size_t(1) << 24;
// Distinct colours are laid out in rows of this width so that the colour
// conversion can split the work over rows.
constexpr int kColourRowWidth = 1024;

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};

void addLabPlanes(const cv::Mat& lab, metrics::BinCounts& L, metrics::BinCounts& a,
                  metrics::BinCounts& b)
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

bool readImage(const char* path, cv::Mat& img)
{
    try {
        img = cv::imread(path, cv::IMREAD_COLOR);
    } catch (const cv::Exception&) {
        img.release();
    }
    if (img.empty()) {
        std::cerr << "lab-compare: cannot read image \"" << path << "\"" << std::endl;
        return false;
    }
    return true;
}

} // namespace

float labcompare::getBhattacharyaCoeff(const cv::Mat& inpChannel, const cv::Mat& tarChannel)
{
    return metrics::getBhattacharyaCoeff(inpChannel, tarChannel, kLabBins);
}

void labcompare::labHistogramsPerPixel(const cv::Mat& img, metrics::BinCounts& L,
                                       metrics::BinCounts& a, metrics::BinCounts& b)
{
    cv::Mat src = img;
    cv::Mat norm(img.rows, img.cols, CV_32FC3);
    cv::Mat lab(img.rows, img.cols, CV_32FC3);
    toolkit::common::normImg(src, norm);
    cv::cvtColor(norm, lab, cv::COLOR_BGR2Lab);
    addLabPlanes(lab, L, a, b);
}

void labcompare::labHistograms(const cv::Mat& img, metrics::BinCounts& L, metrics::BinCounts& a,
                               metrics::BinCounts& b)
{
    // The float Lab conversion is per pixel and position-independent, so one
    // conversion per distinct colour, counted with its pixels, gives the
    // per-pixel histograms exactly.
    const std::size_t pixels = img.total();
    if (pixels < kDistinctColourMinPixels || pixels > UINT32_MAX) {
        labHistogramsPerPixel(img, L, a, b);
        return;
    }

    // calloc leaves untouched pages unmapped, so the table costs only what the
    // image's colours touch.
    std::unique_ptr<std::uint32_t[], FreeDeleter> table(
        static_cast<std::uint32_t*>(std::calloc(kColourCount, sizeof(std::uint32_t))));
    if (!table) {
        labHistogramsPerPixel(img, L, a, b);
        return;
    }
    for (int i = 0; i < img.rows; ++i) {
        const uchar* p = img.ptr<uchar>(i);
        for (int j = 0; j < img.cols; ++j, p += 3)
            ++table[p[0] | (p[1] << 8) | (p[2] << 16)];
    }

    std::vector<std::uint32_t> colours;
    for (std::size_t key = 0; key < kColourCount; ++key) {
        if (table[key] != 0)
            colours.push_back(static_cast<std::uint32_t>(key));
    }

    const int rows = static_cast<int>((colours.size() + kColourRowWidth - 1) / kColourRowWidth);
    cv::Mat distinct(rows, kColourRowWidth, CV_8UC3, cv::Scalar::all(0));
    auto* px = distinct.ptr<cv::Vec3b>(0);
    for (std::size_t k = 0; k < colours.size(); ++k) {
        const std::uint32_t key = colours[k];
        px[k] = cv::Vec3b(uchar(key & 0xff), uchar((key >> 8) & 0xff), uchar(key >> 16));
    }
    cv::Mat norm(distinct.size(), CV_32FC3);
    cv::Mat lab;
    toolkit::common::normImg(distinct, norm);
    cv::cvtColor(norm, lab, cv::COLOR_BGR2Lab);

    const auto* labPx = lab.ptr<cv::Vec3f>(0);
    for (std::size_t k = 0; k < colours.size(); ++k) {
        const std::uint32_t count = table[colours[k]];
        L.add(labPx[k][0], count);
        a.add(labPx[k][1], count);
        b.add(labPx[k][2], count);
    }
}

int labcompare::mainBhattacharya(int argc, char** argv)
{
    if (argc != 3)
        return -1;

    cv::Mat inpImg;
    cv::Mat tarImg;
    if (!readImage(argv[1], inpImg) || !readImage(argv[2], tarImg))
        return 1;

    metrics::BinCounts inpL(kLabBins), inpA(kLabBins), inpB(kLabBins);
    metrics::BinCounts tarL(kLabBins), tarA(kLabBins), tarB(kLabBins);
    labHistograms(inpImg, inpL, inpA, inpB);
    labHistograms(tarImg, tarL, tarA, tarB);

    const float coeffL = metrics::bhattacharyyaCoeff(inpL, tarL);
    const float coeffA = metrics::bhattacharyyaCoeff(inpA, tarA);
    const float coeffB = metrics::bhattacharyyaCoeff(inpB, tarB);
    // The sum is a float, the halving is done in double.
    const double mean = (coeffA + coeffB) / 2.0;

    std::cout << coeffL << "," << mean << std::endl;

    std::ostringstream block;
    block << coeffL << "\n" << mean << "\n";
    std::string error;
    if (!toolkit::common::appendLocked(kResultFile, block.str(), error)) {
        std::cerr << "lab-compare: " << error << std::endl;
        return 1;
    }
    return 0;
}
