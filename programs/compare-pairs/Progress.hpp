// What a batch run shows of its progress on standard error: the progress line,
// redrawn in place, and the summary line at the end.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

namespace comparepairs {

// The progress line is redrawn at most this often.
constexpr std::chrono::milliseconds kProgressInterval(250);

// The counts of a run so far.
struct RunCounts {
    std::size_t succeeded = 0, failed = 0; // pairs of this run, their rows written
    std::size_t skipped = 0; // rows a resumed table held already
    std::size_t skippedFailed = 0; // those of them of a pair that failed
    std::size_t tableRows = 0; // rows the table holds
};

// A duration of whole seconds, rounded: "M:SS", or "H:MM:SS" from an hour on.
std::string formatDuration(double seconds);

// The progress line and the summary of one run; its clock starts at start().
class Progress {
public:
    // `shown`: whether the progress line is drawn at all.
    explicit Progress(bool shown)
        : shown_(shown)
    {
    }

    // Starts the clock; `total` is the number of pairs of the run (-1:
    // unknown), so that the line shows how many are left and for how long.
    void start(long long total);

    // Redraws the progress line, at most every kProgressInterval unless
    // `force`: the pairs finished out of the total (with those a resumed table
    // held), pairs per second and the time left.
    void show(const RunCounts& counts, bool force);

    // Clears the progress line, if drawn, before other text on standard error.
    void clear();

    // The summary line: the pairs done (ok and failed), those a resumed table
    // held, the table's rows, the time and rate; after an interruption, the
    // advice to resume.
    void printSummary(const RunCounts& counts, bool interrupted);

private:
    const bool shown_;
    long long total_ = -1;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point start_, last_;
};

} // namespace comparepairs
