#include "programs/compare-pairs/Report.hpp"

#include "toolkit/common/FileReplacement.hpp"
#include "toolkit/common/ImageFiles.hpp"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <sstream>
#include <system_error>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Chart geometry in SVG user units; the charts scale with the page.
constexpr double kChartWidth = 320, kChartHeight = 150;
constexpr double kPlotLeft = 34, kPlotRight = 312, kPlotTop = 26, kPlotBottom = 128;
const char* const kFirstColour = "#1f77b4";
const char* const kSecondColour = "#e8710a";

const char* const kMarkerText
    = "This directory is a report written by compare-pairs --report.\n"
      "compare-pairs replaces it whole when it is given as the report's directory again.\n";

// How an existing directory stands for a report to replace it.
enum class Occupant { Empty, Report, Other, Unreadable };

Occupant occupant(const std::string& directory)
{
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(directory.c_str()), ::closedir);
    if (!dir)
        return Occupant::Unreadable;
    bool empty = true;
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            empty = false;
    }
    if (empty)
        return Occupant::Empty;
    struct stat info { };
    const std::string marker = directory + "/" + comparepairs::kReportMarker;
    return ::lstat(marker.c_str(), &info) == 0 && S_ISREG(info.st_mode) ? Occupant::Report
                                                                        : Occupant::Other;
}

// Whether `path`, which need not exist yet, lies within the directory
// `directory` (symbolic links followed).
bool within(const std::string& path, const std::string& directory)
{
    std::string existing = path, rest;
    char* real = nullptr;
    while ((real = ::realpath(existing.empty() ? "." : existing.c_str(), nullptr)) == nullptr) {
        const std::size_t slash = existing.rfind('/');
        if (existing.empty() || slash == 0)
            return false;
        rest = (slash == std::string::npos ? existing : existing.substr(slash)) + rest;
        existing = slash == std::string::npos ? "" : existing.substr(0, slash);
    }
    std::string resolved = real;
    std::free(real);
    if (!rest.empty() && rest.front() != '/')
        rest = "/" + rest;
    resolved += rest;
    return resolved == directory || resolved.rfind(directory + "/", 0) == 0;
}

// The reason of a failed write's message, without the name it was written
// under.
std::string reasonOf(const std::string& error)
{
    const std::size_t cut = error.rfind("\": ");
    return cut == std::string::npos ? error : error.substr(cut + 3);
}

// A tree removed whole; false, with the reason, when some of it is left.
bool removeTree(const std::string& path, std::string& error)
{
    std::error_code failure;
    std::filesystem::remove_all(path, failure);
    if (failure)
        error = failure.message();
    return !failure;
}

std::string escape(const std::string& text)
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

std::string number(double value, const char* format = "%g")
{
    char text[32];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// A share of 0 to 1 as a percentage; "< 0.01%" rather than a figure in
// exponent notation for a handful of pixels among millions.
std::string percent(double share)
{
    if (share <= 0.0)
        return "0%";
    if (share < 1e-4)
        return "&lt; 0.01%";
    return number(share * 100.0, "%.3g") + "%";
}

// What the reader found in an image file and did with it, and how many of
// its pixels are at the white its brightness and lightness are relative to.
std::string factsHtml(const toolkit::common::ImageFacts& facts, double white)
{
    std::string file = escape(facts.format) + ", " + std::to_string(facts.width) + "&times;"
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
            : "dropped, " + percent(facts.nonOpaqueShare) + " not opaque";
    const bool unusable = facts.profileAction == toolkit::common::ProfileAction::Unusable;
    std::string html = "<dl class=\"facts\"><dt>file</dt><dd>" + file + "</dd><dt>profile</dt><dd>"
        + (facts.hasProfile ? escape(facts.profile) : std::string("none")) + "</dd><dt>read</dt><dd"
        + (unusable ? " class=\"error\"" : "") + ">" + escape(facts.reading()) + "</dd>"
        + "<dt>alpha</dt><dd>" + alpha + "</dd>";
    if (white >= 0.0) {
        const long long pixels = std::llround(white * double(facts.width) * double(facts.height));
        html += "<dt>white</dt><dd>" + percent(white) + " of the pixels (" + std::to_string(pixels)
            + ") in the top lightness bin, J &ge; 99.5</dd>";
    }
    return html + "</dl>";
}

cv::Mat shrink(const cv::Mat& img)
{
    if (img.empty())
        return img;
    const double scale = double(comparepairs::kThumbnailSide) / std::max(img.cols, img.rows);
    if (scale >= 1.0)
        return img.clone();
    cv::Mat out;
    cv::resize(img, out, cv::Size(), scale, scale, cv::INTER_AREA);
    return out;
}

// Sparse "bin:count" list of the occupied bins.
std::string countsData(const toolkit::common::BinCounts& counts)
{
    std::string out;
    for (int bin = counts.range().first; bin <= counts.range().last; ++bin)
        if (counts.count(bin) > 0)
            out += (out.empty() ? "" : " ") + std::to_string(bin) + ":"
                + std::to_string(counts.count(bin));
    return out;
}

// The two images' histograms of one quantity on shared axes, titled with its
// coefficient; the counts ride along as data for checking.
std::string chart(const std::string& key, const std::string& title, float coefficient,
    const toolkit::common::BinCounts& first, const toolkit::common::BinCounts& second)
{
    int lo = second.range().last, hi = first.range().first;
    double top = 0;
    for (const toolkit::common::BinCounts* counts : { &first, &second })
        for (int bin = counts->range().first; bin <= counts->range().last; ++bin)
            if (counts->count(bin) > 0) {
                lo = std::min(lo, bin);
                hi = std::max(hi, bin);
                top = std::max(top, double(counts->count(bin)) / double(counts->total()));
            }
    std::ostringstream svg;
    svg << "<svg class=\"chart\" viewBox=\"0 0 " << kChartWidth << " " << kChartHeight
        << "\" role=\"img\" data-key=\"" << key << "\" data-range=\"" << first.range().first << " "
        << first.range().last << "\" data-total=\"" << first.total() << " " << second.total()
        << "\" data-first=\"" << countsData(first) << "\" data-second=\"" << countsData(second)
        << "\">"
        << "<title>" << escape(title) << " " << number(static_cast<double>(coefficient))
        << "</title>"
        << "<text x=\"4\" y=\"15\" class=\"t\">" << escape(title) << ": <tspan class=\"f\">"
        << number(static_cast<double>(coefficient)) << "</tspan></text>"
        << "<line x1=\"" << kPlotLeft << "\" y1=\"" << kPlotBottom << "\" x2=\"" << kPlotRight
        << "\" y2=\"" << kPlotBottom << "\" class=\"axis\"/>"
        << "<line x1=\"" << kPlotLeft << "\" y1=\"" << kPlotTop << "\" x2=\"" << kPlotLeft
        << "\" y2=\"" << kPlotBottom << "\" class=\"axis\"/>";
    if (hi < lo) {
        svg << "<text x=\"" << (kPlotLeft + 20) << "\" y=\"" << (kPlotTop + 40)
            << "\" class=\"l\">no values in the bins</text></svg>";
        return svg.str();
    }
    const double span = std::max(1, hi - lo + 1);
    auto x = [&](double bin) { return kPlotLeft + (bin - lo) / span * (kPlotRight - kPlotLeft); };
    auto y = [&](double p) { return kPlotBottom - p / top * (kPlotBottom - kPlotTop); };
    const char* colours[2] = { kFirstColour, kSecondColour };
    const toolkit::common::BinCounts* series[2] = { &first, &second };
    for (int k = 0; k < 2; ++k) {
        std::ostringstream path;
        path << "M" << number(x(lo), "%.1f") << " " << kPlotBottom;
        for (int bin = lo; bin <= hi; ++bin) {
            const double p = series[k]->total()
                ? double(series[k]->count(bin)) / double(series[k]->total())
                : 0.0;
            path << " L" << number(x(bin), "%.1f") << " " << number(y(p), "%.1f") << " L"
                 << number(x(bin + 1), "%.1f") << " " << number(y(p), "%.1f");
        }
        path << " L" << number(x(hi + 1), "%.1f") << " " << kPlotBottom;
        svg << "<path d=\"" << path.str() << "\" class=\"s" << k << "\" stroke=\"" << colours[k]
            << "\" fill=\"" << colours[k] << "\"/>";
    }
    svg << "<text x=\"" << kPlotLeft << "\" y=\"" << (kPlotBottom + 14) << "\" class=\"l\">" << lo
        << "</text><text x=\"" << kPlotRight << "\" y=\"" << (kPlotBottom + 14)
        << "\" class=\"l\" text-anchor=\"end\">" << hi << "</text><text x=\"" << (kPlotLeft - 3)
        << "\" y=\"" << (kPlotTop + 4) << "\" class=\"l\" text-anchor=\"end\">"
        << number(top, "%.2g") << "</text></svg>";
    return svg.str();
}

const char* const kStyle
    = "body{font:14px/1.4 system-ui,sans-serif;margin:0 "
      "auto;max-width:1240px;padding:8px;color:#222}"
      "h1{font-size:20px}h2{font-size:16px;margin:24px 0 6px;word-break:break-all}"
      "table{border-collapse:collapse;width:100%;font-size:13px}th,td{border-bottom:1px solid #ddd;"
      "padding:3px 6px;text-align:left}th{cursor:pointer;background:#f3f3f3;position:sticky;top:0}"
      "td.n{text-align:right;font-variant-numeric:tabular-nums}.wrap{overflow-x:auto}"
      ".photos,.charts{display:flex;flex-wrap:wrap;gap:8px}figure{margin:0;max-width:240px}"
      "figure img{max-width:100%;height:auto;display:block;border:1px solid #ccc}"
      "figcaption{font-size:12px;color:#555;word-break:break-all}"
      ".facts{display:grid;grid-template-columns:auto 1fr;gap:0 6px;margin:4px 0 "
      "0;font-size:12px}"
      ".facts dt{color:#555}.facts dd{margin:0;word-break:break-word}"
      ".charts svg{width:100%;max-width:320px;height:auto;border:1px solid #eee}"
      ".axis{stroke:#888;stroke-width:1}.s0,.s1{fill-opacity:.25;stroke-width:1.2}"
      ".t{font-size:13px;font-weight:600}.f{font-weight:400}.l{font-size:10px;fill:#555}"
      ".key span{display:inline-block;width:12px;height:12px;margin:0 4px 0 "
      "12px;vertical-align:-2px}"
      ".error{color:#b00020}nav a{margin-right:10px}";

// Sorting the table by a column, and a check of the drawn charts when the
// page is opened with ?selfcheck (used by the browser test).
const char* const kScript
    = "var errs=[];window.addEventListener('error',function(e){errs.push(String(e.message))});"
      "document.addEventListener('DOMContentLoaded',function(){"
      "document.querySelectorAll('th').forEach(function(th,i){th.addEventListener('click',function("
      "){"
      "var tb=th.closest('table').tBodies[0],rows=Array.from(tb.rows),up=th.dataset.up!=='1';"
      "th.dataset.up=up?'1':'0';rows.sort(function(a,b){var x=a.cells[i].textContent,"
      "y=b.cells[i].textContent,p=parseFloat(x),q=parseFloat(y);if(isNaN(p)&&isNaN(q))"
      "return up?x.localeCompare(y):y.localeCompare(x);if(isNaN(p))return 1;if(isNaN(q))return -1;"
      "return up?p-q:q-p});rows.forEach(function(r){tb.appendChild(r)})})});"
      "});window.addEventListener('load',function(){"
      "if(location.search.indexOf('selfcheck')<0)return;var "
      "c=document.querySelectorAll('svg.chart'),"
      "empty=0,paths=0;c.forEach(function(s){var "
      "r=s.getBoundingClientRect();if(!(r.width>0&&r.height>0))"
      "empty++;s.querySelectorAll('path').forEach(function(p){var "
      "b=p.getBBox();if(b.width>0&&b.height>0)"
      "paths++})});var im=document.querySelectorAll('img'),broken=0;im.forEach(function(i){"
      "if(!i.complete||i.naturalWidth===0)broken++});var out=document.createElement('pre');"
      "out.id='selfcheck';out.textContent=JSON.stringify({charts:c.length,empty:empty,paths:paths,"
      "images:im.length,broken:broken,errors:errs});document.body.appendChild(out)});";

} // namespace

comparepairs::ReportImage comparepairs::reportImage(const cv::Mat& img,
    const toolkit::common::DistinctColours* colours, const metrics::ColourAttributes* attributes)
{
    ReportImage out;
    out.thumbnail = shrink(img);
    if (colours != nullptr && attributes != nullptr) {
        const metrics::DebugPlanes planes = metrics::debugPlanes(img, *colours, *attributes);
        out.lightness = shrink(planes.lightness);
        out.mask = shrink(planes.mask);
    }
    return out;
}

comparepairs::Report::Report(std::string directory, bool perceptual, bool lab)
    : directory_(std::move(directory))
    , perceptual_(perceptual)
    , lab_(lab)
{
    while (directory_.size() > 1 && directory_.back() == '/')
        directory_.pop_back();
}

comparepairs::Report::~Report()
{
    discard();
}

bool comparepairs::Report::check(const std::vector<std::string>& kept, std::string& error)
{
    const std::string quoted = "\"" + directory_ + "\"";
    std::string path = directory_;
    struct stat info { };
    if (::lstat(path.c_str(), &info) == 0) {
        // A symbolic link to a directory: the directory it names is replaced.
        if (char* real = ::realpath(path.c_str(), nullptr)) {
            path = real;
            std::free(real);
        }
        if (::stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
            error = "the report's directory " + quoted
                + " is not a directory; it is left as it is: give --report a new directory";
            return false;
        }
        switch (occupant(path)) {
        case Occupant::Empty:
        case Occupant::Report:
            break;
        case Occupant::Other:
            error = "the report's directory " + quoted
                + " is not empty and is not a report of compare-pairs (it has no file \""
                + kReportMarker
                + "\"); it is left as it is: give --report a new or empty directory, or an "
                  "earlier report to replace";
            return false;
        case Occupant::Unreadable:
            error = "cannot read the report's directory " + quoted + ": " + std::strerror(errno);
            return false;
        }
    } else if (errno != ENOENT) {
        error = "cannot use the report's directory " + quoted + ": " + std::strerror(errno);
        return false;
    }
    const std::size_t slash = path.rfind('/');
    parent_ = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    name_ = path.substr(slash == std::string::npos ? 0 : slash + 1);
    if (name_.empty() || name_ == "." || name_ == "..") {
        error = "the report's directory " + quoted + " cannot be replaced: give --report another";
        return false;
    }
    int failure = 0;
    if (::stat(parent_.c_str(), &info) != 0)
        failure = errno;
    else if (!S_ISDIR(info.st_mode))
        failure = ENOTDIR;
    else if (::access(parent_.c_str(), W_OK | X_OK) != 0)
        failure = errno;
    if (failure != 0) {
        error = "cannot make the report's directory " + quoted + " in \"" + parent_
            + "\": " + std::strerror(failure);
        return false;
    }
    // Absolute from here on, to compare the run's files with.
    if (char* real = ::realpath(parent_.c_str(), nullptr)) {
        parent_ = real;
        std::free(real);
    }
    path = (parent_ == "/" ? "" : parent_) + "/" + name_;
    for (const std::string& file : kept) {
        if (!file.empty() && within(file, path)) {
            error = "\"" + file + "\" is in the report's directory " + quoted
                + ", which compare-pairs replaces whole: keep it elsewhere";
            return false;
        }
    }
    target_ = path;
    return true;
}

bool comparepairs::Report::open(std::string& error)
{
    const std::string stem
        = parent_ + "/." + name_ + ".compare-pairs-" + std::to_string(::getpid());
    for (int attempt = 0; building_.empty(); ++attempt) {
        const std::string path = stem + (attempt == 0 ? "" : "-" + std::to_string(attempt));
        if (::mkdir(path.c_str(), 0755) == 0) {
            building_ = path;
        } else if (errno != EEXIST || attempt == 100) {
            error = "cannot make the report's directory \"" + path + "\": " + std::strerror(errno);
            return false;
        }
    }
    if (::mkdir((building_ + "/img").c_str(), 0755) != 0) {
        error = "cannot make the report's directory \"" + building_
            + "/img\": " + std::strerror(errno);
        discard();
        return false;
    }
    if (!toolkit::common::writeTextFile(building_ + "/" + kReportMarker, kMarkerText, error)) {
        discard();
        return false;
    }
    return true;
}

void comparepairs::Report::noteFailure(const std::string& name, const std::string& error) const
{
    const std::string reason = reasonOf(error);
    std::lock_guard<std::mutex> lock(failuresMutex_);
    ++failures_;
    if (failureKinds_.insert(reason).second)
        warnings_.push_back("cannot write \"" + directory_ + "/" + name + "\": " + reason
            + "; the report goes on without it (later files failing the same way are not named)");
}

std::vector<std::string> comparepairs::Report::newWarnings()
{
    std::lock_guard<std::mutex> lock(failuresMutex_);
    std::vector<std::string> out;
    out.swap(warnings_);
    return out;
}

bool comparepairs::Report::whole() const
{
    std::lock_guard<std::mutex> lock(failuresMutex_);
    return failures_ == 0;
}

std::string comparepairs::Report::pageName(std::size_t page) const
{
    return page == 0 ? "index.html" : "page-" + std::to_string(page + 1) + ".html";
}

std::string comparepairs::Report::section(const ReportPair& pair) const
{
    const std::string line = std::to_string(pair.line);
    std::ostringstream html;
    html << "<section id=\"pair-" << line << "\"><h2>Line " << line << ": " << escape(pair.first)
         << " &middot; " << escape(pair.second) << "</h2>";
    if (!pair.ok) {
        html << "<p class=\"error\">" << escape(pair.status) << "</p></section>\n";
        return html.str();
    }
    html << "<div class=\"photos\">";
    std::shared_lock<std::shared_mutex> writing(writing_);
    auto figure = [&](const cv::Mat& img, const std::string& name, const std::string& caption,
                      const std::string& facts = std::string()) {
        if (img.empty() || closed_)
            return;
        std::string error;
        if (!toolkit::common::writeImage(building_ + "/img/" + name, img, error)) {
            noteFailure("img/" + name, error);
            return;
        }
        html << "<figure><img src=\"img/" << name << "\" width=\"" << img.cols << "\" height=\""
             << img.rows << "\" alt=\"" << escape(caption) << "\"><figcaption>" << escape(caption)
             << "</figcaption>" << facts << "</figure>";
    };
    auto facts = [&](int k) {
        return pair.facts[k] == nullptr ? std::string() : factsHtml(*pair.facts[k], pair.white[k]);
    };
    figure(pair.images[0]->thumbnail, line + "-first.jpg", "first: " + pair.first, facts(0));
    figure(pair.images[1]->thumbnail, line + "-second.jpg", "second: " + pair.second, facts(1));
    figure(pair.images[1]->lightness, line + "-lightness.jpg", "second: lightness (A)");
    figure(pair.images[1]->mask, line + "-mask.jpg", "second: brightness mask (Q < 20 black)");
    writing.unlock();
    html << "</div><p class=\"key\"><span style=\"background:" << kFirstColour << "\"></span>first"
         << "<span style=\"background:" << kSecondColour
         << "\"></span>second</p><div class=\"charts\">";
    if (perceptual_) {
        const metrics::AttributeCounts& a = *pair.perceptual[0];
        const metrics::AttributeCounts& b = *pair.perceptual[1];
        const metrics::Figures f = metrics::compareAttributes(a, b);
        html << chart("Q", "Brightness Q", f.Q, a.Q, b.Q)
             << chart("J", "Lightness J", f.J, a.J, b.J) << chart("C", "Chroma C", f.C, a.C, b.C)
             << chart("M", "Colourfulness M", f.M, a.M, b.M)
             << chart("s", "Saturation s", f.s, a.s, b.s);
    }
    if (lab_) {
        const labcompare::LabCounts& a = *pair.lab[0];
        const labcompare::LabCounts& b = *pair.lab[1];
        html << chart("L", "L*", toolkit::common::bhattacharyyaCoeff(a.L, b.L), a.L, b.L)
             << chart("a", "a*", toolkit::common::bhattacharyyaCoeff(a.a, b.a), a.a, b.a)
             << chart("b", "b*", toolkit::common::bhattacharyyaCoeff(a.b, b.b), a.b, b.b);
    }
    html << "</div></section>\n";
    return html.str();
}

std::string comparepairs::Report::pageHtml(const std::string& title, const std::string& body) const
{
    return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
           "<meta name=\"viewport\" content=\"width=device-width,initial-scale=1\"><title>"
        + escape(title) + "</title><style>" + kStyle + "</style><script>" + kScript
        + "</script></head><body>\n" + body + "</body></html>\n";
}

bool comparepairs::Report::add(
    const ReportPair& pair, const std::string& section, std::string& error)
{
    const std::size_t page = pairs_ / kPairsPerPage;
    const std::string link
        = (page == 0 ? "" : pageName(page)) + "#pair-" + std::to_string(pair.line);
    tableRows_ += "<tr><td class=\"n\"><a href=\"" + link + "\">" + std::to_string(pair.line)
        + "</a></td><td>" + escape(pair.first) + "</td><td>" + escape(pair.second) + "</td><td>"
        + escape(pair.ok ? "ok" : pair.status) + "</td>";
    const std::size_t columns = (perceptual_ ? 5 : 0) + (lab_ ? 4 : 0);
    for (std::size_t k = 0; k < columns; ++k)
        tableRows_ += "<td class=\"n\">"
            + (k < pair.figureColumns.size() ? escape(pair.figureColumns[k]) : std::string())
            + "</td>";
    tableRows_ += "</tr>\n";
    currentPage_ += section;
    ++pairs_;
    if (pairs_ % kPairsPerPage != 0)
        return true;
    if (page == 0) {
        firstPage_ = std::move(currentPage_);
    } else {
        std::string body = "<nav><a href=\"index.html\">all pairs</a></nav><h1>Pairs "
            + std::to_string(page * kPairsPerPage + 1) + " to " + std::to_string(pairs_) + "</h1>\n"
            + currentPage_;
        if (!writePage(pageName(page), pageHtml("compare-pairs report", body), error))
            return false;
    }
    currentPage_.clear();
    return true;
}

bool comparepairs::Report::finish(std::string& error)
{
    if (building_.empty())
        return true;
    {
        std::unique_lock<std::shared_mutex> lock(writing_);
        closed_ = true;
    }
    const std::size_t pages = (pairs_ + kPairsPerPage - 1) / kPairsPerPage;
    if (pairs_ % kPairsPerPage != 0) {
        const std::size_t page = pairs_ / kPairsPerPage;
        if (page == 0) {
            firstPage_ = std::move(currentPage_);
        } else {
            std::string body = "<nav><a href=\"index.html\">all pairs</a></nav><h1>Pairs "
                + std::to_string(page * kPairsPerPage + 1) + " to " + std::to_string(pairs_)
                + "</h1>\n" + currentPage_;
            if (!writePage(pageName(page), pageHtml("compare-pairs report", body), error)) {
                discard();
                error += "; the report was not made and \"" + directory_ + "\" is left as it was";
                return false;
            }
        }
    }
    std::string head = "<tr><th>line</th><th>first</th><th>second</th><th>status</th>";
    if (perceptual_)
        head += "<th>Q</th><th>J</th><th>C</th><th>M</th><th>s</th>";
    if (lab_)
        head += "<th>L</th><th>ab</th><th>a</th><th>b</th>";
    head += "</tr>";
    std::string nav = "<nav>";
    for (std::size_t page = 0; page < pages; ++page)
        nav += "<a href=\"" + pageName(page) + (page == 0 ? "#pairs" : "") + "\">pairs "
            + std::to_string(page * kPairsPerPage + 1) + "&ndash;"
            + std::to_string(std::min(pairs_, (page + 1) * kPairsPerPage)) + "</a>";
    nav += "</nav>";
    const std::string body = "<h1>compare-pairs: " + std::to_string(pairs_)
        + " pairs</h1><p>Bhattacharyya coefficients, 1 for identical histograms. Click a column to "
          "sort.</p>"
        + nav + "<div class=\"wrap\"><table><thead>" + head + "</thead><tbody>\n" + tableRows_
        + "</tbody></table></div><div id=\"pairs\">\n" + firstPage_ + "</div>\n";
    if (!writePage("index.html", pageHtml("compare-pairs report", body), error)) {
        discard();
        error += "; the report was not made and \"" + directory_ + "\" is left as it was";
        return false;
    }
    return install(error);
}

bool comparepairs::Report::install(std::string& error)
{
    const std::string quoted = "\"" + directory_ + "\"";
    // The directory is checked again: it may have changed during the run.
    struct stat info { };
    const bool exists = ::lstat(target_.c_str(), &info) == 0;
    const Occupant now = exists && S_ISDIR(info.st_mode) ? occupant(target_) : Occupant::Other;
    if (exists && now != Occupant::Empty && now != Occupant::Report) {
        error = "the report's directory " + quoted
            + " is now neither empty nor a report; it is left as it is, and the new report is in \""
            + building_ + "\"";
        building_.clear();
        return false;
    }
    std::string earlier;
    if (!exists) {
        if (::rename(building_.c_str(), target_.c_str()) != 0) {
            error = "cannot put the report in " + quoted + ": " + std::strerror(errno);
            discard();
            return false;
        }
    } else if (::renameat2(AT_FDCWD, building_.c_str(), AT_FDCWD, target_.c_str(), RENAME_EXCHANGE)
        == 0) {
        earlier = building_;
    } else if (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP) {
        // No exchange on this file system: the earlier report is moved aside.
        earlier = building_ + "-earlier";
        if (::rename(target_.c_str(), earlier.c_str()) != 0) {
            error = "cannot move the earlier report " + quoted + " aside: " + std::strerror(errno);
            discard();
            return false;
        }
        if (::rename(building_.c_str(), target_.c_str()) != 0) {
            error = "cannot put the report in " + quoted + ": " + std::strerror(errno);
            ::rename(earlier.c_str(), target_.c_str());
            discard();
            return false;
        }
    } else {
        error = "cannot put the report in " + quoted + ": " + std::strerror(errno);
        discard();
        return false;
    }
    building_.clear();
    if (!earlier.empty() && !removeTree(earlier, error)) {
        error = "the report is in " + quoted + ", but the earlier one could not be removed from \""
            + earlier + "\": " + error;
        return false;
    }
    return true;
}

void comparepairs::Report::discard()
{
    {
        std::unique_lock<std::shared_mutex> lock(writing_);
        closed_ = true;
    }
    if (building_.empty())
        return;
    std::string error;
    removeTree(building_, error);
    building_.clear();
}

bool comparepairs::Report::writePage(
    const std::string& name, const std::string& html, std::string& error) const
{
    if (toolkit::common::writeTextFile(building_ + "/" + name, html, error))
        return true;
    error = "cannot write \"" + directory_ + "/" + name + "\": " + reasonOf(error);
    return false;
}
