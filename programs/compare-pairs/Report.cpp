#include "programs/compare-pairs/Report.hpp"

#include "programs/compare-pairs/ReportAssets.hpp"
#include "programs/compare-pairs/ReportHtml.hpp"

#include "toolkit/common/FileReplacement.hpp"
#include "toolkit/common/ImageFiles.hpp"

#include <opencv2/imgcodecs.hpp>
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

} // namespace

comparepairs::ReportImage comparepairs::reportImage(const cv::Mat& img,
    const toolkit::common::DistinctColours* colours, const metrics::ColourAttributes* attributes)
{
    ReportImage out;
    out.thumbnail = shrink(img);
    if (colours != nullptr && attributes != nullptr) {
        const metrics::DebugPlanes planes = metrics::debugPlanes(img, *colours, *attributes);
        // A photograph's A fills a small part of 0..255: shown stretched
        // over the levels of all but a tenth of a percent of its pixels, as a
        // chart's axis is chosen, so that one black pixel does not decide.
        std::uint64_t counts[256] = {};
        for (int i = 0; i < planes.lightness.rows; ++i) {
            const std::uint8_t* row = planes.lightness.ptr<std::uint8_t>(i);
            for (int j = 0; j < planes.lightness.cols; ++j)
                ++counts[row[j]];
        }
        toolkit::common::BinCounts levels({ 0, 255 });
        for (int level = 0; level < 256; ++level)
            levels.add(static_cast<float>(level), counts[level]);
        const ChartAxis shown = chartAxis(levels, levels, 1);
        int low = shown.first, high = shown.last;
        // Nearly all pixels on one level: down to the next level below that
        // holds any, else up to the next above.
        for (int level = low - 1; low == high && level >= 0; --level)
            if (counts[level] > 0)
                low = level;
        for (int level = high + 1; low == high && level < 256; ++level)
            if (counts[level] > 0)
                high = level;
        std::uint64_t beyond = 0;
        for (int level = 0; level < 256; ++level)
            if (level < low || level > high)
                beyond += counts[level];
        out.lightnessRange[0] = low;
        out.lightnessRange[1] = high;
        out.lightnessOutside
            = double(beyond) / double(std::max<std::size_t>(1, planes.lightness.total()));
        cv::Mat stretched;
        if (high > low)
            planes.lightness.convertTo(
                stretched, CV_8U, 255.0 / (high - low), -low * 255.0 / double(high - low));
        else
            stretched = planes.lightness;
        out.lightness = shrink(stretched);
        out.mask = shrink(planes.mask);
        if (!planes.mask.empty())
            out.maskShare
                = 1.0 - double(cv::countNonZero(planes.mask)) / double(planes.mask.total());
    }
    return out;
}

comparepairs::Report::Report(std::string directory, const Comparisons& comparisons)
    : directory_(std::move(directory))
    , comparisons_(comparisons)
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

void comparepairs::Report::claim(
    std::size_t line, const std::string& first, const std::string& second)
{
    std::lock_guard<std::mutex> lock(thumbnailsMutex_);
    claims_.try_emplace(std::string("first") + '\0' + first, line);
    claims_.try_emplace(std::string("second") + '\0' + second, line);
}

std::string comparepairs::Report::section(const ReportPair& pair) const
{
    const std::string line = std::to_string(pair.line);
    std::ostringstream html;
    html << "<section id=\"pair-" << line << "\"><h2>Line " << line << ": "
         << escapeHtml(pair.first) << " &middot; " << escapeHtml(pair.second) << "</h2>";
    if (!pair.ok) {
        html << "<p class=\"error\">" << escapeHtml(pair.status) << "</p></section>\n";
        return html.str();
    }
    html << "<div class=\"photos\">";
    std::shared_lock<std::shared_mutex> writing(writing_);
    // Each thumbnail is written once for each role its image has in the run
    // (a photograph compared with nine edits of itself is shown nine times),
    // named after the first line that shows it there, by the first section
    // made that shows it.
    auto figure = [&](const cv::Mat& img, const std::string& role, const std::string& claimed,
                      const std::string& path, const std::string& caption, const std::string& more,
                      int quality) {
        if (img.empty() || closed_)
            return;
        std::string name;
        {
            std::lock_guard<std::mutex> lock(thumbnailsMutex_);
            const auto claim = claims_.find(claimed + '\0' + path);
            const std::string file = (claim == claims_.end() ? line : std::to_string(claim->second))
                + "-" + role + ".jpg";
            const auto [at, added] = thumbnails_.try_emplace(file, false);
            if (added) {
                std::string error;
                at->second = toolkit::common::writeImage(
                    building_ + "/img/" + file, img, error, { cv::IMWRITE_JPEG_QUALITY, quality });
                if (!at->second)
                    noteFailure("img/" + file, error);
            }
            if (at->second)
                name = file;
        }
        if (name.empty())
            return;
        html << "<figure><img src=\"img/" << name << "\" width=\"" << img.cols << "\" height=\""
             << img.rows << "\" loading=\"lazy\" alt=\"" << caption << "\"><figcaption>" << caption
             << "</figcaption>" << more << "</figure>";
    };
    auto facts = [&](int k) { return factsHtml(pair.measured[k]->facts, pair.measured[k]->white); };
    const ReportImage& shown = *pair.images[1];
    figure(pair.images[0]->thumbnail, "first", "first", pair.first, "first", facts(0),
        kThumbnailQuality);
    figure(shown.thumbnail, "second", "second", pair.second, "second", facts(1), kThumbnailQuality);
    const std::string low = std::to_string(shown.lightnessRange[0]);
    const std::string high = std::to_string(shown.lightnessRange[1]);
    figure(shown.lightness, "lightness", "second", pair.second, "second: lightness (A)",
        "<p class=\"note\" data-range=\"" + low + " " + high + "\">values " + low + " to " + high
            + " of 255 shown black to white"
            + (shown.lightnessOutside > 0.0
                    ? " (" + percentHtml(shown.lightnessOutside) + " of the pixels beyond)"
                    : std::string())
            + "</p>",
        kDebugThumbnailQuality);
    figure(shown.mask, "mask", "second", pair.second, "second: brightness mask (Q &lt; 20 black)",
        "<p class=\"note\">" + percentHtml(shown.maskShare) + " of the pixels black</p>",
        kDebugThumbnailQuality);
    writing.unlock();
    html << "</div><p class=\"key\"><span class=\"k0\"></span>first<span "
            "class=\"k1\"></span>second"
         << (comparisons_.distance ? "; d: the earth mover's distance, in the attribute's units"
                                   : "")
         << "</p><div class=\"charts\">";
    // Each chart titled with its coefficient and, when asked for, its distance.
    const comparison::Plan plan { comparisons_.perceptual, comparisons_.lab, false,
        comparisons_.distance };
    const comparison::Measurement& first = *pair.measured[0];
    const comparison::Measurement& second = *pair.measured[1];
    const comparison::Figures f = comparison::compare(first, second, plan);
    auto figures = [&](float coefficient, double distance) {
        std::ostringstream text;
        text << static_cast<double>(coefficient);
        if (comparisons_.distance)
            text << ", d " << distance;
        return text.str();
    };
    const comparison::Distances& d = f.distances;
    if (plan.perceptual) {
        const metrics::AttributeCounts& a = first.perceptual;
        const metrics::AttributeCounts& b = second.perceptual;
        const metrics::Figures& p = f.perceptual;
        html << chartSvg("Q", "Brightness Q", figures(p.Q, d.Q), a.Q, b.Q)
             << chartSvg("J", "Lightness J", figures(p.J, d.J), a.J, b.J)
             << chartSvg("C", "Chroma C", figures(p.C, d.C), a.C, b.C)
             << chartSvg("M", "Colourfulness M", figures(p.M, d.M), a.M, b.M)
             << chartSvg("s", "Saturation s", figures(p.s, d.s), a.s, b.s);
    }
    if (plan.lab) {
        const labcompare::LabCounts& a = first.lab;
        const labcompare::LabCounts& b = second.lab;
        html << chartSvg("L", "L*", figures(f.lab.L, d.L), a.L, b.L)
             << chartSvg("a", "a*", figures(f.lab.a, d.a), a.a, b.a)
             << chartSvg("b", "b*", figures(f.lab.b, d.b), a.b, b.b);
    }
    html << "</div></section>\n";
    return html.str();
}

std::string comparepairs::Report::pagesNav(std::size_t pages) const
{
    std::string nav = "<nav>";
    for (std::size_t page = 0; page < pages; ++page)
        nav += "<a href=\"" + pageName(page) + (page == 0 ? "#pairs" : "") + "\">pairs "
            + std::to_string(page * kPairsPerPage + 1) + "&ndash;"
            + std::to_string(std::min(pairs_, (page + 1) * kPairsPerPage)) + "</a>";
    return nav + "</nav>";
}

std::string comparepairs::Report::tableHead() const
{
    // Each figure column says what it holds, for the page's script: a
    // coefficient of the study, one of the two ab is the mean of, or a distance.
    struct Column {
        const char* key;
        const char* name;
    };
    static const Column kNames[] = { { "Q", "Q, brightness" }, { "J", "J, lightness" },
        { "C", "C, chroma" }, { "M", "M, colourfulness" }, { "s", "s, saturation" },
        { "L", "L*, lightness" }, { "ab", "ab, mean of a* and b*" }, { "a", "a*" }, { "b", "b*" } };
    std::string head = "<tr><th data-key=\"line\">line</th><th data-key=\"first\">first</th>"
                       "<th data-key=\"second\">second</th><th data-key=\"status\">status</th>";
    for (const std::string& key : figureColumns(comparisons_)) {
        const std::size_t cut = key.find("_distance");
        const std::string attribute = key.substr(0, cut);
        std::string name = attribute, kind = "coefficient";
        for (const Column& column : kNames)
            if (attribute == column.key)
                name = column.name;
        if (cut != std::string::npos)
            kind = "distance";
        else if (key == "a" || key == "b")
            kind = "part";
        const std::string shown = kind == "distance" ? "d" + attribute : attribute;
        const std::string title = kind == "distance"
            ? "earth mover's distance of " + name.substr(0, name.find(','))
            : "coefficient of " + name;
        head += "<th class=\"n\" data-key=\"" + key + "\" data-figure=\"" + kind + "\" data-name=\""
            + escapeHtml(kind == "distance" ? attribute + " distance" : name) + "\" title=\""
            + escapeHtml(title) + "\">" + shown + "</th>";
    }
    return head + "</tr>";
}

std::string comparepairs::Report::pageHtml(const std::string& title, const std::string& body) const
{
    return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
           "<meta name=\"viewport\" content=\"width=device-width,initial-scale=1\"><title>"
        + escapeHtml(title) + "</title><style>" + kReportStyle + "</style><script>" + kReportScript
        + "</script></head><body>\n" + body + "</body></html>\n";
}

bool comparepairs::Report::add(
    const ReportPair& pair, const std::string& section, std::string& error)
{
    const std::size_t page = pairs_ / kPairsPerPage;
    const std::string link
        = (page == 0 ? "" : pageName(page)) + "#pair-" + std::to_string(pair.line);
    // Paths shortened for the column, whole on hover; the status in a word,
    // whole on hover and in the pair's section.
    auto pathCell = [](const std::string& path) {
        return "<td class=\"p\" title=\"" + escapeHtml(path) + "\">"
            + escapeHtml(shortPath(path, kTablePathCharacters)) + "</td>";
    };
    tableRows_ += "<tr><td class=\"n\"><a href=\"" + link + "\">" + std::to_string(pair.line)
        + "</a></td>" + pathCell(pair.first) + pathCell(pair.second) + "<td class=\"st"
        + (pair.ok ? "" : " error") + "\" title=\"" + escapeHtml(pair.ok ? "ok" : pair.status)
        + "\">" + (pair.ok ? "ok" : "failed") + "</td>";
    // Distances shown to three digits, whole on hover, so that every column
    // fits a window 1280 pixels wide.
    const std::vector<std::string> keys = figureColumns(comparisons_);
    for (std::size_t k = 0; k < keys.size(); ++k) {
        const std::string figure
            = k < pair.figureColumns.size() ? escapeHtml(pair.figureColumns[k]) : std::string();
        if (figure.empty() || keys[k].find("_distance") == std::string::npos) {
            tableRows_ += "<td class=\"n\">" + figure + "</td>";
            continue;
        }
        char shown[32];
        std::snprintf(shown, sizeof shown, "%.3g", std::strtod(figure.c_str(), nullptr));
        tableRows_ += "<td class=\"n\" title=\"" + figure + "\">" + shown + "</td>";
    }
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
    const std::string nav = pagesNav(pages);
    const std::string distanceNote = comparisons_.distance
        ? "; distances (d): earth mover's distances between the histograms, in each "
          "attribute's own units, 0 for identical ones"
        : "";
    const std::string body = "<h1>compare-pairs: " + std::to_string(pairs_)
        + " pairs</h1><p class=\"note\">Coefficients: Bhattacharyya coefficients of the two "
          "images' histograms, 1 for identical histograms, 0 for disjoint ones"
        + distanceNote
        + ". Click a column to sort; a point of the study or a line number leads to its "
          "pair.</p>"
        + nav
        + "<div id=\"study\"><h2>The study: each figure over all pairs, and how the "
          "coefficients go together</h2><div class=\"dists\"></div><p class=\"note\">Each "
          "coefficient against each other, one point per pair:</p><div class=\"matrix\"></div>"
          "<noscript>The study is drawn by the page's script.</noscript></div>"
          "<h2>All pairs</h2><div class=\"filters\"><input id=\"filter-path\" type=\"search\" "
          "placeholder=\"paths containing&hellip;\" aria-label=\"Show the pairs whose paths "
          "contain\"><select id=\"filter-status\" aria-label=\"Status\"><option value=\"\">any "
          "status</option><option value=\"ok\">ok</option><option "
          "value=\"failed\">failed</option></select><span id=\"filter-count\" "
          "class=\"note\"></span></div><div class=\"wrap\"><table id=\"all-pairs\"><thead>"
        + tableHead() + "</thead><tbody>\n" + tableRows_
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
