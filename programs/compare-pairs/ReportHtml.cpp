#include "programs/compare-pairs/ReportHtml.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <sstream>

namespace common = toolkit::common;

namespace {

// A chart's size in SVG user units (the page's script draws the plot in it);
// the charts scale with the page.
constexpr double kChartWidth = 320, kChartHeight = 160;
// U+2026, the ellipsis of a shortened path.
const char* const kEllipsis = "\xE2\x80\xA6";

std::string number(double value, const char* format = "%g")
{
    char text[32];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

bool continuationByte(char c)
{
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

std::size_t characterCount(const std::string& text)
{
    return static_cast<std::size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return !continuationByte(c); }));
}

// The first and the last `count` characters of a text.
std::string headCharacters(const std::string& text, std::size_t count)
{
    std::size_t end = 0;
    for (std::size_t seen = 0; end < text.size(); ++end) {
        if (!continuationByte(text[end]) && seen++ == count)
            break;
    }
    return text.substr(0, end);
}

std::string tailCharacters(const std::string& text, std::size_t count)
{
    std::size_t start = text.size();
    for (std::size_t seen = 0; start > 0 && seen < count;) {
        --start;
        if (!continuationByte(text[start]))
            ++seen;
    }
    return text.substr(start);
}

std::uint64_t countInRange(const common::BinCounts& counts, int first, int last)
{
    std::uint64_t sum = 0;
    for (int bin = std::max(first, counts.range().first);
         bin <= std::min(last, counts.range().last); ++bin)
        sum += counts.count(bin);
    return sum;
}

// The occupied bins' counts, "bin:count" for a bin that does not follow the
// one before, "count" for one that does: "12:5 17 30 40:2".
std::string countsData(const common::BinCounts& counts)
{
    std::string out;
    long long previous = static_cast<long long>(counts.range().first) - 2;
    for (int bin = counts.range().first; bin <= counts.range().last; ++bin) {
        if (counts.count(bin) == 0)
            continue;
        out += (out.empty() ? "" : " ") + (bin == previous + 1 ? "" : std::to_string(bin) + ":")
            + std::to_string(counts.count(bin));
        previous = bin;
    }
    return out;
}

} // namespace

std::string comparepairs::escapeHtml(const std::string& text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string comparepairs::percentHtml(double share)
{
    if (share <= 0.0)
        return "0%";
    if (share < 1e-4)
        return "&lt; 0.01%";
    return number(share * 100.0, "%.3g") + "%";
}

std::string comparepairs::shortPath(const std::string& path, std::size_t characters)
{
    if (characterCount(path) <= characters)
        return path;
    // The longest tail of whole components that fits after ".../".
    std::string tail;
    for (std::size_t slash = path.rfind('/'); slash != std::string::npos && slash > 0;
         slash = path.rfind('/', slash - 1)) {
        const std::string candidate = path.substr(slash + 1);
        if (characterCount(candidate) + 2 > characters)
            break;
        tail = candidate;
    }
    if (!tail.empty())
        return kEllipsis + ("/" + tail);
    const std::size_t slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::size_t kept = characters > 1 ? characters - 1 : 0;
    return headCharacters(name, kept - kept / 2) + kEllipsis + tailCharacters(name, kept / 2);
}

std::string comparepairs::factsHtml(const common::ImageFacts& facts, double white)
{
    std::string file = escapeHtml(facts.format) + ", " + std::to_string(facts.width) + "&times;"
        + std::to_string(facts.height) + ", " + std::to_string(facts.bitDepth)
        + (facts.bitDepth == 1 ? " bit" : " bits");
    if (facts.grey)
        file += ", grey";
    if (facts.cmyk)
        file += ", CMYK";
    std::string alpha = "none";
    if (facts.alpha)
        alpha = facts.nonOpaqueShare < 0.0
            ? "dropped"
            : "dropped, " + percentHtml(facts.nonOpaqueShare) + " not opaque";
    const bool unusable = facts.profileAction == common::ProfileAction::Unusable;
    std::string html = "<dl class=\"facts\"><dt>file</dt><dd>" + file + "</dd><dt>profile</dt><dd>"
        + (facts.hasProfile ? escapeHtml(facts.profile) : std::string("none"))
        + "</dd><dt>read</dt><dd" + (unusable ? " class=\"error\"" : "") + ">"
        + escapeHtml(facts.reading()) + "</dd>" + "<dt>alpha</dt><dd>" + alpha + "</dd>";
    if (white >= 0.0) {
        const long long pixels = std::llround(white * double(facts.width) * double(facts.height));
        html += "<dt>white</dt><dd>" + percentHtml(white) + " of the pixels ("
            + std::to_string(pixels) + ") in the top lightness bin, J &ge; 99.5</dd>";
    }
    return html + "</dl>";
}

comparepairs::ChartAxis comparepairs::chartAxis(
    const common::BinCounts& first, const common::BinCounts& second, int minBins)
{
    const common::BinRange range = first.range();
    const common::BinCounts* sides[2] = { &first, &second };
    int lo = INT_MAX, hi = INT_MIN;
    for (const common::BinCounts* counts : sides) {
        const std::uint64_t inRange = countInRange(*counts, range.first, range.last);
        if (inRange == 0)
            continue;
        const double tail = kAxisTail * double(inRange);
        std::uint64_t below = 0, above = 0;
        int low = range.first, high = range.last;
        for (; double(below += counts->count(low)) <= tail; ++low) { }
        for (; double(above += counts->count(high)) <= tail; --high) { }
        lo = std::min(lo, low);
        hi = std::max(hi, high);
    }
    ChartAxis axis;
    if (lo > hi) {
        for (int k = 0; k < 2; ++k)
            axis.outside[k] = sides[k]->total() > 0 ? 1.0 : 0.0;
        return axis;
    }
    const int missing = minBins - (hi - lo + 1);
    if (missing > 0) {
        lo -= missing / 2;
        hi += missing - missing / 2;
        if (lo < range.first) {
            hi += range.first - lo;
            lo = range.first;
        }
        if (hi > range.last) {
            lo = std::max(range.first, lo - (hi - range.last));
            hi = range.last;
        }
    }
    axis.first = lo;
    axis.last = hi;
    for (int k = 0; k < 2; ++k) {
        const std::uint64_t total = sides[k]->total();
        if (total > 0)
            axis.outside[k] = double(total - countInRange(*sides[k], lo, hi)) / double(total);
    }
    return axis;
}

std::string comparepairs::chartSvg(const std::string& key, const std::string& title,
    const std::string& figures, const common::BinCounts& first, const common::BinCounts& second)
{
    const ChartAxis axis = chartAxis(first, second);
    std::ostringstream svg;
    svg << "<svg class=\"chart\" viewBox=\"0 0 " << kChartWidth << " " << kChartHeight
        << "\" data-key=\"" << key << "\" data-total=\"" << first.total() << " " << second.total()
        << "\" data-first=\"" << countsData(first) << "\" data-second=\"" << countsData(second)
        << "\" data-axis=\"" << axis.first << " " << axis.last << "\" data-outside=\""
        << number(axis.outside[0]) << " " << number(axis.outside[1])
        << "\"><text x=\"4\" y=\"15\" class=\"t\">" << escapeHtml(title) << ": <tspan class=\"f\">"
        << escapeHtml(figures) << "</tspan></text>";
    if (axis.last < axis.first)
        svg << "<text x=\"56\" y=\"64\" class=\"l\">no values in the bins</text>";
    else if (axis.outside[0] > 0.0 || axis.outside[1] > 0.0)
        svg << "<text x=\"36\" y=\"" << (kChartHeight - 6)
            << "\" class=\"l o\">outside the axis: first " << percentHtml(axis.outside[0])
            << ", second " << percentHtml(axis.outside[1]) << "</text>";
    return svg.str() + "</svg>";
}
