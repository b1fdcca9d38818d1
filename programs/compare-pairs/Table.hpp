// The CSV table of a batch run: a header
//     first,second,status,Q,J,C,M,s,L,ab,a,b,
//     first_size,first_bits,first_profile,first_reading,first_white,
//     second_size,second_bits,second_profile,second_reading,second_white
// (on one line; the figures of the comparisons asked for, and `_white` only
// with the perceptual one) and one row per pair, each row one line ended by
// "\n", fields quoted as RFC 4180 says.
//
// Tables written before the a and b columns and the images' facts end their
// header at `ab`; they are recognised, so that they are never completed with
// rows of the other kind.
#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <unordered_map>
#include <vector>

namespace comparepairs {

// The comparisons a run makes.
struct Comparisons {
    bool perceptual = true;
    bool lab = true;
};

// Parses "perceptual,lab", "lab", ...; false for an unknown or empty name.
bool parseComparisons(const std::string& text, Comparisons& comparisons);

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

// The pairs a table already holds, for resuming: for each (first, second), in
// the order of its rows, whether each row's status is "ok".
class TableContents {
public:
    void add(const std::string& first, const std::string& second, bool ok);

    // Takes one row of the pair if the table holds one left: true, with its
    // status in `ok`.
    bool take(const std::string& first, const std::string& second, bool& ok);

    std::size_t rows() const { return rows_; }

private:
    std::unordered_map<std::string, std::deque<bool>> rowsByPair_;
    std::size_t rows_ = 0;
};

// Prepares `path` to receive the rows of a run and opens it for appending.
// Without `resume` the file must not exist or be empty. `needsHeader` says
// whether the caller must write the header first.
// With `resume`, an existing table must have this run's header (the file is
// left as it is otherwise); its rows are read into `contents`, and a last
// line cut short by an interrupted write is removed (`notice` then says so).
// Returns the descriptor, or -1 with the reason in `error`.
int openTable(const std::string& path, const std::string& header, bool resume,
    TableContents& contents, bool& needsHeader, std::string& notice, std::string& error);

// Writes the whole text to a descriptor, retrying short writes; false, with
// errno set, when it cannot.
bool writeAll(int fd, const std::string& text);

// `compare-pairs --merge`: the tables `inputs`, each with the same header, as
// one table on `fd`: the header once, then every input's rows in the order
// given. Tables of the earlier columns merge among themselves. Returns 0, 1
// when the output cannot be written, 2 when an input cannot be read, has
// another header (a mix of earlier and current tables is named as such) or
// ends with a row cut short; a message on standard error for each failure.
int mergeTables(const std::vector<std::string>& inputs, int fd);

} // namespace comparepairs
