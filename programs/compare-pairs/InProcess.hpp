// compare-pairs' rows for pairs held in memory, computed in the calling
// process (the Python module's compare_pairs): each image measured once, on
// worker threads, by the batch's route, and each pair's row made by the
// batch's own functions (Rows.hpp), so that its cells are the table's. Nothing
// is printed or written, and no process-wide setting (signal handlers,
// OpenCV's threads or log level) is touched.
#pragma once

#include "programs/compare-pairs/Table.hpp"

#include "toolkit/common/ImageReader.hpp"

#include <string>
#include <vector>

namespace comparepairs {

// Two image paths, as the file system takes them.
struct PathPair {
    std::string first, second;
};

// The columns of the table of `comparisons`: tableHeader's fields.
std::vector<std::string> tableColumns(const Comparisons& comparisons);

// The row of each pair, in order: its fields as the table holds them (the
// text of each cell, unquoted), in the columns of tableColumns. A pair whose
// image cannot be read or compared has its error in the status cell and
// empty figure cells, as in the table. `jobs` worker threads (at least one
// is used) measure the images; an image of several pairs is measured once
// while those pairs are near each other in the list.
std::vector<std::vector<std::string>> pairRows(const std::vector<PathPair>& pairs,
    const Comparisons& comparisons, toolkit::common::ProfileHandling profiles, unsigned jobs);

} // namespace comparepairs
