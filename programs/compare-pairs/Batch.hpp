// A batch run of compare-pairs: every pair of a list compared in one process,
// the pairs spread over worker threads, one row per pair written in the
// order of the list.
//
// Its route is the single-pair programs' own (programs/comparison), so each
// row holds the figures the two programs print for that pair.
#pragma once

#include "programs/compare-pairs/PairList.hpp"
#include "programs/compare-pairs/Table.hpp"

#include "toolkit/common/ImageReader.hpp"

#include <string>

namespace comparepairs {

struct Options {
    std::string pairs; // the list's path, or "-" for standard input
    Comparisons comparisons; // which columns of figures
    // What the reader does with an image's embedded colour profile.
    toolkit::common::ProfileHandling profiles = toolkit::common::ProfileHandling::Convert;
    unsigned jobs = 1; // worker threads
    std::string out; // the table's path; empty for standard output
    bool resume = false; // skip the pairs `out` already holds, append the rest
    bool forFit = false; // append each pair's blocks to "For_fit.txt"
    Shard shard; // the share of the list this run takes
    std::string debugDir; // where each pair's debug files go; empty for none
    std::string reportDir; // where the visual report goes; empty for none
    bool progress = false; // show a progress line on standard error
    // Put "'" before text cells that start as a spreadsheet formula would.
    bool safeCells = false;
};

// Runs the batch. Returns 0 when every pair of the table succeeded, 1 when a
// pair failed or the table or "For_fit.txt" could not be written (a table
// file is cut back to its last whole row), 2 when the list or the table
// cannot be opened or read, or a resumed table does not follow the list, and
// 128 + the signal's number after SIGINT or SIGTERM (the rows finished by
// then are written). Prints each
// failure, one warning for each image whose colour profile could not be used
// (readingNotice's line, once however many pairs use the image) and a summary
// line on standard error.
int runBatch(const Options& options);

} // namespace comparepairs
