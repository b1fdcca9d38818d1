// The rows of a batch run's table (see Table.hpp for its columns): the text
// of each pair's CSV row, from the pair's line, what was measured of its
// images and their comparison. Pure functions: nothing is read, written or
// printed.
#pragma once

#include "programs/compare-pairs/PairList.hpp"
#include "programs/compare-pairs/Table.hpp"
#include "programs/comparison/Comparison.hpp"

#include <sstream>
#include <string>
#include <vector>

namespace comparepairs {

// A figure as the programs print it (an output stream's default format).
template <typename T> std::string figureText(T value)
{
    std::ostringstream text;
    text << value;
    return text.str();
}

// The text with each line break ('\n', '\r') turned into a space.
std::string oneLine(std::string text);

// An image's error in a row: the reader's message for a file that cannot be
// read, and what went wrong while measuring one that was ("out of memory"
// for an allocation that failed).
std::string unreadableImage(const std::string& path, const std::string& error);
std::string incomparableImage(const std::string& path, const std::string& what);

// Why a pair failed; empty when it did not. A line that names no pair fails
// with `lineError`; otherwise the pair fails with its images' errors (the
// second's after "; ", unless it is the first's). Give empty image errors for
// a line that names no pair.
std::string pairError(
    const std::string& lineError, const std::string& firstError, const std::string& secondError);

// The status cell's text, before quoting: kStatusOk when `error` is empty,
// "error: " and the error on one line otherwise.
std::string statusText(const std::string& error);

// The figure cells of a pair that succeeded: `fields`, each cell after a
// comma, as the row holds them (Q, J, C, M, s with the perceptual comparison,
// then L, ab, a, b with the L*a*b* one, then their distances when asked
// for); `columns`, each figure as printed.
struct FigureCells {
    std::string fields;
    std::vector<std::string> columns;
};
FigureCells figureCells(const comparison::Figures& figures, const Comparisons& comparisons);

// The figure cells of a pair that failed: as many empty cells, each after a
// comma, as figureCells gives.
std::string emptyFigureCells(const Comparisons& comparisons);

// The facts cells of one image, each after a comma: its size ("WxH"), bit
// depth, profile and reading on one line, and its white share with the
// perceptual comparison (empty when negative); all empty for a null `image`
// (one that could not be read, or a line that names no pair).
std::string factFields(
    const comparison::Measurement* image, const Comparisons& comparisons, bool safeCells);

// The row of a pair, with its "\n": the two paths of its line, its status
// (statusText), its figure cells and the facts cells of each image.
std::string pairRow(const PairLine& line, const std::string& status,
    const std::string& figureFields, const comparison::Measurement* first,
    const comparison::Measurement* second, const Comparisons& comparisons, bool safeCells);

} // namespace comparepairs
