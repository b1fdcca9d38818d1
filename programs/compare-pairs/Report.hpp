// The visual report of a batch run: DIR/index.html with the study (the
// distribution of each figure over all pairs and the scatter matrix of the
// coefficients, drawn by the page's script from the table, each point a
// link to its pair), a table of all pairs that can be sorted and filtered
// and, for each pair, both photographs as thumbnails beside what the reader
// found in each file and did with it, the histograms behind each coefficient
// drawn as inline SVG (ReportHtml.hpp), and the second image's lightness,
// stretched to its own range, and brightness-mask debug images. Sections are
// split over pages (index.html, page-2.html, ...) of at most kPairsPerPage
// pairs. Thumbnails are small JPEG files in DIR/img/. Nothing is fetched when
// the page is opened.
//
// The report owns DIR: it is built in a hidden directory beside DIR and, once
// finished, put in DIR's place whole, so that nothing of an earlier report is
// left. DIR must be new, empty, or a report of this program, which holds the
// marker file kReportMarker; anything else is refused and left as it is.
#pragma once

#include "programs/compare-pairs/Table.hpp"
#include "programs/comparison/Comparison.hpp"

#include <opencv2/core.hpp>

#include <cstddef>
#include <map>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <string>
#include <vector>

namespace comparepairs {

constexpr std::size_t kPairsPerPage = 200;
constexpr int kThumbnailSide = 240;
// JPEG quality of the thumbnails: photographs, and the grey debug images.
constexpr int kThumbnailQuality = 60;
constexpr int kDebugThumbnailQuality = 50;
// The longest path shown whole in the table, in characters; longer ones are
// shortened (shortPath), the whole path on hover and in the pair's section.
constexpr std::size_t kTablePathCharacters = 36;
// The file that marks a directory as a report of compare-pairs.
constexpr const char* kReportMarker = ".compare-pairs-report";

// What the report shows of one image, kept instead of its pixels.
struct ReportImage {
    cv::Mat thumbnail, lightness, mask; // 8-bit, longest side kThumbnailSide
    // The levels (0 to 255) of the lightness debug image stretched to black
    // and white in its thumbnail: those of all but a tenth of a percent of
    // its pixels (chartAxis), two at least where the image has two; and the
    // share of pixels beyond.
    int lightnessRange[2] = { 0, 0 };
    double lightnessOutside = 0.0;
    // The share of the pixels black in the brightness mask (Q < 20).
    double maskShare = 0.0;
};

// Thumbnails of an image and, when attributes are given, of its debug planes,
// the lightness stretched from its own range (lightnessRange) to 0..255.
ReportImage reportImage(const cv::Mat& img, const toolkit::common::DistinctColours* colours,
    const metrics::ColourAttributes* attributes);

// One pair as the report shows it.
struct ReportPair {
    std::size_t line = 0;
    std::string first, second, status;
    bool ok = false;
    // Of a pair that succeeded: each image as measured (its facts, white
    // share and histograms) and its thumbnails.
    const comparison::Measurement* measured[2] = { nullptr, nullptr };
    const ReportImage* images[2] = { nullptr, nullptr };
    std::vector<std::string> figureColumns; // the table's figures as printed
};

class Report {
public:
    Report(std::string directory, const Comparisons& comparisons);
    // Removes the report being built unless it was put in place.
    ~Report();
    Report(const Report&) = delete;
    Report& operator=(const Report&) = delete;

    // Checks, making nothing, that the report may go to its directory: the
    // directory does not exist, is empty or holds a report of this program,
    // its parent is a directory that can be written, and none of the `kept`
    // files (those the run reads or writes; empty ones are skipped) lies
    // within it. False, with the reason, otherwise.
    bool check(const std::vector<std::string>& kept, std::string& error);

    // Makes the new report's directory beside the final one under a hidden
    // name, with its marker file; false, with the reason, when it cannot.
    // After check().
    bool open(std::string& error);

    // Notes a line that names a pair, in list order, before its section is
    // made: each thumbnail is named after the first line that shows the
    // image in its role (first, or second with its debug images), and
    // written once. The paths as ReportPair holds them.
    void claim(std::size_t line, const std::string& first, const std::string& second);

    // The HTML section of a pair; writes its thumbnails. Safe to call from
    // several threads at once for different pairs. A thumbnail that cannot
    // be written is left out of the section and noted (see newWarnings).
    std::string section(const ReportPair& pair) const;

    // Adds a pair's section and table row, in list order; writes each page
    // once it is full. False, with the reason, when a page cannot be written.
    bool add(const ReportPair& pair, const std::string& section, std::string& error);

    // The files that could not be written since the last call, one line for
    // the first file of each kind of failure, however many fail alike.
    std::vector<std::string> newWarnings();

    // Whether every file of the report was written so far.
    bool whole() const;

    // Writes the last page and index.html and puts the report in the
    // directory's place, an earlier report replaced whole. False, with the
    // reason, when it cannot: the directory is then left as it was. Sections
    // still being made are left out of the report. Does nothing after
    // discard().
    bool finish(std::string& error);

    // Gives up the report being built; the directory is left as it was.
    void discard();

private:
    std::string pageName(std::size_t page) const;
    std::string pageHtml(const std::string& title, const std::string& body) const;
    // The links to the pages of sections, and the head of the table of all pairs.
    std::string pagesNav(std::size_t pages) const;
    std::string tableHead() const;
    bool writePage(const std::string& name, const std::string& html, std::string& error) const;
    bool install(std::string& error);
    void noteFailure(const std::string& name, const std::string& error) const;

    std::string directory_; // as given, for messages
    std::string target_; // the directory replaced, symbolic links followed
    std::string parent_, name_; // target_'s parent and last component
    std::string building_; // the report being built; empty when there is none
    Comparisons comparisons_;
    std::size_t pairs_ = 0;
    std::string tableRows_;
    std::string firstPage_, currentPage_;

    // The first line of each image in each role ("first" or "second", a NUL,
    // its path), and whether each thumbnail file tried was written.
    mutable std::mutex thumbnailsMutex_;
    std::map<std::string, std::size_t> claims_;
    mutable std::map<std::string, bool> thumbnails_;
    // Held shared while a section writes its thumbnails, exclusively to stop
    // them before the report is put in place or given up.
    mutable std::shared_mutex writing_;
    bool closed_ = false;
    // The files that could not be written.
    mutable std::mutex failuresMutex_;
    mutable std::size_t failures_ = 0;
    mutable std::set<std::string> failureKinds_;
    mutable std::vector<std::string> warnings_;
};

} // namespace comparepairs
