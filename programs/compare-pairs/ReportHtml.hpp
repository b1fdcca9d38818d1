// The HTML pieces of the visual report that depend on nothing but their
// arguments: escaping, shortened paths, percentages, each image's facts and
// the histogram charts. Pure functions: nothing is read, written or printed.
#pragma once

#include "toolkit/common/Histogram.hpp"
#include "toolkit/common/ImageReader.hpp"

#include <cstddef>
#include <string>

namespace comparepairs {

// The text with &, <, > and " written as HTML entities.
std::string escapeHtml(const std::string& text);

// A share of 0 to 1 as a percentage of three significant digits, HTML:
// "0%" for none, "&lt; 0.01%" rather than a figure in exponent notation for
// a handful of pixels among millions.
std::string percentHtml(double share);

// A path of at most `characters` UTF-8 characters for a narrow column: the
// path itself when it fits; else its last components after ".../" (as many as
// fit, the file name always); else the file name cut in the middle with "...",
// its start and its end kept. Characters are never split.
std::string shortPath(const std::string& path, std::size_t characters);

// What the reader found in an image file and did with it, and, when `white`
// is not negative, how many of its pixels are at the white its brightness and
// lightness are relative to: a <dl class="facts">.
std::string factsHtml(const toolkit::common::ImageFacts& facts, double white);

// The bins a chart's axis covers, both included, and the share (0 to 1) of
// each image's values that lie outside them (values outside the histograms'
// range among them).
struct ChartAxis {
    int first = 0, last = -1;
    double outside[2] = { 0.0, 0.0 };
};

// The axis of two histograms of one range: the bins that hold all but
// kAxisTail of each image's values in its range at either end (99.9 % in
// all), both images' together, widened about their middle to `minBins`
// bins within the range. Empty (last < first) when neither image has a value
// in the range.
constexpr double kAxisTail = 0.0005;
constexpr int kMinAxisBins = 10;
ChartAxis chartAxis(const toolkit::common::BinCounts& first,
    const toolkit::common::BinCounts& second, int minBins = kMinAxisBins);

// The frame of a chart of two images' histograms of one quantity, as inline
// SVG titled with `title` and its figures (`figures`), with the share of each
// image's values outside the axis written under it when any; the page's
// script draws the two histograms in it, overlaid on the axis chartAxis gives.
// The counts of every occupied bin ride along as data, those outside the axis
// too: data-first and data-second list them, "bin:count" for a bin that does
// not follow the one before and "count" for one that does ("12:5 17 30 40:2"
// is 5 in bin 12, 17 in 13, 30 in 14 and 2 in 40), data-total holds each
// image's number of values, data-axis the axis ("first last") and
// data-outside the shares outside it.
std::string chartSvg(const std::string& key, const std::string& title, const std::string& figures,
    const toolkit::common::BinCounts& first, const toolkit::common::BinCounts& second);

} // namespace comparepairs
