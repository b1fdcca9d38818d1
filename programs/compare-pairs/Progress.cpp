#include "programs/compare-pairs/Progress.hpp"

#include <algorithm>
#include <cstdio>
#include <iostream>

std::string comparepairs::formatDuration(double seconds)
{
    const long long total = static_cast<long long>(seconds + 0.5);
    char text[32];
    if (total >= 3600)
        std::snprintf(
            text, sizeof text, "%lld:%02lld:%02lld", total / 3600, total / 60 % 60, total % 60);
    else
        std::snprintf(text, sizeof text, "%lld:%02lld", total / 60, total % 60);
    return text;
}

void comparepairs::Progress::start(long long total)
{
    total_ = total;
    start_ = last_ = std::chrono::steady_clock::now();
}

void comparepairs::Progress::show(const RunCounts& counts, bool force)
{
    if (!shown_)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (!force && now - last_ < kProgressInterval)
        return;
    last_ = now;
    const double seconds = std::chrono::duration<double>(now - start_).count();
    const std::size_t done = counts.succeeded + counts.failed;
    const double rate = seconds > 0 ? done / seconds : 0.0;
    char line[160];
    if (total_ >= 0) {
        const long long finished = static_cast<long long>(done + counts.skipped);
        const long long left = std::max(0LL, total_ - finished);
        const std::string eta
            = rate > 0 ? formatDuration(left / rate) + " left" : "time left unknown";
        std::snprintf(line, sizeof line, "\r%lld/%lld pairs, %.1f pairs/s, %s\033[K", finished,
            total_, rate, eta.c_str());
    } else {
        std::snprintf(
            line, sizeof line, "\r%zu pairs, %.1f pairs/s\033[K", done + counts.skipped, rate);
    }
    std::cerr << line << std::flush;
    drawn_ = true;
}

void comparepairs::Progress::clear()
{
    if (drawn_) {
        std::cerr << "\r\033[K";
        drawn_ = false;
    }
}

void comparepairs::Progress::printSummary(const RunCounts& counts, bool interrupted)
{
    clear();
    const double seconds
        = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    const std::size_t done = counts.succeeded + counts.failed;
    std::cerr << "compare-pairs: " << (interrupted ? "interrupted after " : "") << done
              << (done == 1 ? " pair" : " pairs") << ": " << counts.succeeded << " ok, "
              << counts.failed << " failed";
    if (counts.skipped > 0)
        std::cerr << "; " << counts.skipped << " already in the table (" << counts.skippedFailed
                  << " failed)";
    const std::size_t rows = counts.tableRows;
    std::cerr << "; the table holds " << rows << (rows == 1 ? " row" : " rows");
    char timing[64];
    std::snprintf(timing, sizeof timing, "; %.1f s, %.1f pairs/s", seconds,
        seconds > 0 ? done / seconds : 0.0);
    std::cerr << timing;
    if (interrupted)
        std::cerr << "; run again with --resume to complete the table";
    std::cerr << std::endl;
}
