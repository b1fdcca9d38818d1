// The list of pairs a batch run compares: one pair a line, two image paths
// separated by a tab, or by white space where the line has no tab. Blank lines
// and lines starting with '#' are skipped. A line longer than kMaxLineBytes or
// holding a NUL byte names no pair: it is malformed, and the list goes on.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace comparepairs {

// The longest line of a list, without its line end.
constexpr std::size_t kMaxLineBytes = 64 * 1024;
// How much of a line too long to be a pair its row keeps.
constexpr std::size_t kLongLineKept = 256;

// One line of the list that names a pair, or fails to.
struct PairLine {
    std::size_t number = 0; // 1-based line number in the list
    std::string first;
    std::string second;
    // Why the line is not a pair ("expected two paths ..."); empty when it is one.
    std::string error;
};

// Which lines a run takes: those whose 0-based line index modulo `count` is `index`.
struct Shard {
    std::size_t index = 0;
    std::size_t count = 1;

    bool takes(std::size_t lineNumber) const { return (lineNumber - 1) % count == index; }
};

// Parses "K/N" (0 <= K < N); false when the text is not of that form.
bool parseShard(const std::string& text, Shard& shard);

// Reads one line of the list (without its line end; a trailing "\r" is
// dropped). Returns false for a line that names no pair (blank or a comment);
// otherwise fills `pair`, with `pair.error` set when the line is malformed.
bool parsePairLine(const std::string& line, std::size_t number, PairLine& pair);

// Reads the pairs of a list file, or of standard input for "-", one at a time,
// with reads of its own (not through stdio), so that a run interrupted while
// waiting on the list is never held up by it.
class PairReader {
public:
    PairReader() = default;
    ~PairReader();
    PairReader(const PairReader&) = delete;
    PairReader& operator=(const PairReader&) = delete;

    // Opens the list; false, with the reason in `error`, when it cannot be read.
    bool open(const std::string& path, std::string& error);

    // The next line of the shard that names a pair (or is malformed); false at
    // the end of the list or on a read error (see error()). A line too long
    // or holding a NUL byte is a malformed one, whose text is its start.
    bool next(const Shard& shard, PairLine& pair);

    // Non-empty after a read error.
    const std::string& error() const { return error_; }

private:
    // Reads the next line into `line`, at most kMaxLineBytes of it (`whole`
    // false when there was more); false at the end of the list or on an error.
    bool readLine(std::string& line, bool& whole);
    // Refills the buffer; false at the end or on an error.
    bool fill();

    int fd_ = -1;
    bool ownsFd_ = false;
    std::string path_;
    std::size_t lineNumber_ = 0;
    std::vector<char> buffer_;
    std::size_t begin_ = 0, end_ = 0;
    bool atEnd_ = false;
    std::string error_;
};

// The number of pairs (malformed lines included) the shard takes from a list
// file, read ahead to show the time left; -1 for standard input or anything
// that is not a regular file.
long long countPairs(const std::string& path, const Shard& shard);

} // namespace comparepairs
