// The CSV table of a batch run: a header
//     first,second,status,Q,J,C,M,s,L,ab,a,b,
//     first_size,first_bits,first_profile,first_reading,first_white,
//     second_size,second_bits,second_profile,second_reading,second_white
// (on one line; the figures of the comparisons asked for, and `_white` only
// with the perceptual one; with distances asked for, Q_distance ...
// s_distance and L_distance, a_distance, b_distance of those comparisons
// follow `b`) and one row per pair, each row one line ended by
// "\n", fields quoted as RFC 4180 says.
//
// Tables written before the a and b columns and the images' facts end their
// header at `ab`; they are recognised, so that they are never completed with
// rows of the other kind.
//
// The table is UTF-8: a text that is not (a path in another encoding, a NUL
// byte) is written by tableText's rule. With safe cells, a text cell that a
// spreadsheet would take for a formula gets a leading "'".
#pragma once

#include "programs/compare-pairs/PairList.hpp"

#include <atomic>
#include <cstddef>
#include <string>
#include <vector>

namespace comparepairs {

// The status cell of a pair that succeeded.
constexpr const char* kStatusOk = "ok";

// The comparisons a run makes, and whether their earth mover's distances
// are added.
struct Comparisons {
    bool perceptual = true;
    bool lab = true;
    bool distance = false;
};

// Parses "perceptual,lab", "lab", "perceptual,lab,distance", ...; false for
// an unknown or empty name, or "distance" without a comparison.
bool parseComparisons(const std::string& text, Comparisons& comparisons);

// The figure columns of a run, in the table's order: Q, J, C, M, s, then L,
// ab, a, b, then the distances' columns (Q_distance, ..., b_distance) of
// those comparisons.
std::vector<std::string> figureColumns(const Comparisons& comparisons);

// The header line, with its "\n".
std::string tableHeader(const Comparisons& comparisons);

// The columns of each image's facts: "size", "bits", "profile", "reading"
// and, with the perceptual comparison, "white"; in the header after
// "first_" and "second_".
std::vector<std::string> factColumns(const Comparisons& comparisons);

// Whether a header line (without its "\n") is one that compare-pairs wrote
// before the a and b columns and the images' facts: `first,second,status`,
// then `Q,J,C,M,s` and/or `L,ab`, and nothing else.
bool isEarlierTableHeader(const std::string& line);

// A field as RFC 4180 writes it: quoted, with quotes doubled, when it holds a
// comma, a quote or a line break; as it is otherwise.
std::string csvField(const std::string& text);

// The fields of one line of CSV (without its line end); false when a quoted
// field is not closed.
bool parseCsvLine(const std::string& line, std::vector<std::string>& fields);

// A text as the table holds it: as it is when it is valid UTF-8 without a NUL
// byte; otherwise with each backslash doubled and each byte that is not part
// of a valid UTF-8 character, and each NUL, written as \xHH (two upper-case
// hexadecimal digits).
std::string tableText(const std::string& text);

// A text cell of a row: tableText, with a leading "'" when `safe` and the text
// starts with '=', '+', '-' or '@', as a CSV field.
std::string textCell(const std::string& text, bool safe);

// Whether a field read from a table is the cell of `text`, written with or
// without safe cells.
bool isCellOf(const std::string& field, const std::string& text);

// The rows a table already holds, in order, for resuming: their first two
// fields as written and whether their status is "ok".
class TableContents {
public:
    struct Row {
        std::string first, second;
        bool ok = false;
    };

    void add(Row row) { rows_.push_back(std::move(row)); }
    std::size_t rows() const { return rows_.size(); }
    const Row& row(std::size_t index) const { return rows_[index]; }

private:
    std::vector<Row> rows_;
};

// Whether a row of a table is the row of a list line: its first two fields
// are the line's two paths, or the text of a malformed line and nothing.
bool isRowOf(const TableContents::Row& row, const PairLine& line);

// Prepares `path` to receive the rows of a run and opens it for appending.
// The file must be a regular one (it is opened without waiting on a FIFO).
// Without `resume` the file must not exist or be empty. `needsHeader` says
// whether the caller must write the header first.
// With `resume`, an existing table must have this run's header (the file is
// left as it is otherwise); its rows are read into `contents`, and a last
// line cut short by an interrupted write is removed (`notice` then says so).
// Returns the descriptor, or -1 with the reason in `error`.
int openTable(const std::string& path, const std::string& header, bool resume,
    TableContents& contents, bool& needsHeader, std::string& notice, std::string& error);

// Writes the whole text to a descriptor, retrying short writes; false, with
// errno set, when it cannot. A write interrupted by a signal is retried
// unless `stop` is given and set (errno is then EINTR).
bool writeAll(int fd, const std::string& text, const std::atomic<int>* stop = nullptr);

// `compare-pairs --merge`: the tables `inputs` ("-" for standard input), each
// with the same header, as one table on `fd`: the header once, then the rows.
// Every row must be whole and well quoted, with the header's number of
// fields, and no input may be given twice (by its name or as a copy: two
// tables of the same rows). With a `list` (the list the tables were made
// from, whole), each line of it that names a pair or is malformed must have
// exactly one row, and the rows are written in the order of the list;
// without one, the rows follow the order of the inputs. Tables of the earlier columns merge among
// themselves. Returns 0, 1 when the output cannot be written, 2 when an input
// or the list cannot be read or the tables fail a check; a message on
// standard error for each failure.
int mergeTables(const std::vector<std::string>& inputs, const std::string& list, int fd);

} // namespace comparepairs
