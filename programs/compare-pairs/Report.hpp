// The visual report of a batch run: DIR/index.html with a sortable table of
// all pairs and, for each pair, both photographs as thumbnails beside what
// the reader found in each file and did with it, the
// histograms behind each coefficient drawn as inline SVG, and the second
// image's lightness and brightness-mask debug images. Sections are split
// over pages (index.html, page-2.html, ...) of at most kPairsPerPage pairs.
// Thumbnails are small JPEG files in DIR/img/. Nothing is fetched when the
// page is opened.
#pragma once

#include "programs/lab-compare/LabCompare.hpp"
#include "programs/metrics/Metrics.hpp"
#include "toolkit/common/ImageReader.hpp"

#include <opencv2/core.hpp>

#include <cstddef>
#include <string>
#include <vector>

namespace comparepairs {

constexpr std::size_t kPairsPerPage = 200;
constexpr int kThumbnailSide = 240;

// What the report shows of one image, kept instead of its pixels.
struct ReportImage {
    cv::Mat thumbnail, lightness, mask; // 8-bit, longest side kThumbnailSide
};

// Thumbnails of an image and, when attributes are given, of its debug planes.
ReportImage reportImage(const cv::Mat& img, const toolkit::common::DistinctColours* colours,
    const metrics::ColourAttributes* attributes);

// One pair as the report shows it.
struct ReportPair {
    std::size_t line = 0;
    std::string first, second, status;
    bool ok = false;
    const metrics::AttributeCounts* perceptual[2] = { nullptr, nullptr };
    const labcompare::LabCounts* lab[2] = { nullptr, nullptr };
    const ReportImage* images[2] = { nullptr, nullptr };
    const toolkit::common::ImageFacts* facts[2] = { nullptr, nullptr };
    // The share of each image's pixels in the top lightness bin; negative
    // when not measured (no perceptual comparison).
    double white[2] = { -1.0, -1.0 };
    std::vector<std::string> figureColumns; // the table's figures as printed
};

class Report {
public:
    Report(std::string directory, bool perceptual, bool lab);

    // Makes the directory; false, with the reason, when it cannot.
    bool open(std::string& error);

    // The HTML section of a pair; writes its thumbnails. Safe to call from
    // several threads at once for different pairs.
    std::string section(const ReportPair& pair) const;

    // Adds a pair's section and table row, in list order; writes each page
    // once it is full. False, with the reason, when a page cannot be written.
    bool add(const ReportPair& pair, const std::string& section, std::string& error);

    // Writes the last page and index.html with the table of all pairs.
    bool finish(std::string& error);

private:
    std::string pageName(std::size_t page) const;
    std::string pageHtml(const std::string& title, const std::string& body) const;

    std::string directory_;
    bool perceptual_, lab_;
    std::size_t pairs_ = 0;
    std::string tableRows_;
    std::string firstPage_, currentPage_;
};

} // namespace comparepairs
