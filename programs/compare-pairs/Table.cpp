#include "programs/compare-pairs/Table.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <iostream>
#include <sstream>
#include <unordered_map>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string describe(const std::string& what, const std::string& path)
{
    return what + " \"" + path + "\": " + std::strerror(errno);
}

// The length of the valid UTF-8 character at `text[i]`, or 0 when the byte
// there starts none (overlong forms, surrogates and code points past
// U+10FFFF are not valid).
std::size_t utf8Length(const std::string& text, std::size_t i)
{
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    if (lead < 0x80)
        return 1;
    std::size_t length = 0;
    unsigned low = 0x80, high = 0xbf; // the range of the second byte
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        low = lead == 0xe0 ? 0xa0 : 0x80;
        high = lead == 0xed ? 0x9f : 0xbf;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        low = lead == 0xf0 ? 0x90 : 0x80;
        high = lead == 0xf4 ? 0x8f : 0xbf;
    } else {
        return 0;
    }
    if (i + length > text.size() || byte(i + 1) < low || byte(i + 1) > high)
        return 0;
    for (std::size_t k = 2; k < length; ++k)
        if (byte(i + k) < 0x80 || byte(i + k) > 0xbf)
            return 0;
    return length;
}

bool isPlainText(const std::string& text)
{
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = text[i] == '\0' ? 0 : utf8Length(text, i);
        if (length == 0)
            return false;
        i += length;
    }
    return true;
}

bool startsLikeFormula(const std::string& text)
{
    return !text.empty() && (text[0] == '=' || text[0] == '+' || text[0] == '-' || text[0] == '@');
}

// A field without the "'" that safe cells put before a formula's start.
std::string withoutSafeQuote(const std::string& field)
{
    if (field.size() > 1 && field[0] == '\'' && startsLikeFormula(field.substr(1)))
        return field.substr(1);
    return field;
}

// A key for a row's first two fields, as a list line or a table gives them;
// tableText leaves no NUL, so a NUL separates the two.
std::string rowKey(const std::string& first, const std::string& second)
{
    return withoutSafeQuote(first) + '\0' + withoutSafeQuote(second);
}

// The whole content of a file; false, with the reason, when it cannot be read.
bool readWhole(int fd, std::string& content)
{
    content.clear();
    char buffer[1 << 16];
    while (true) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        content.append(buffer, static_cast<std::size_t>(n));
    }
}

} // namespace

bool comparepairs::parseComparisons(const std::string& text, Comparisons& comparisons)
{
    Comparisons parsed { false, false, false };
    std::stringstream names(text);
    std::string name;
    bool any = false;
    while (std::getline(names, name, ',')) {
        if (name == "perceptual")
            parsed.perceptual = true;
        else if (name == "lab")
            parsed.lab = true;
        else if (name == "distance")
            parsed.distance = true;
        else
            return false;
        any = true;
    }
    if (!any || !(parsed.perceptual || parsed.lab))
        return false;
    comparisons = parsed;
    return true;
}

std::string comparepairs::tableHeader(const Comparisons& comparisons)
{
    std::string header = "first,second,status";
    for (const std::string& column : figureColumns(comparisons))
        header += "," + column;
    for (const char* image : { "first_", "second_" })
        for (const std::string& column : factColumns(comparisons))
            header += "," + (image + column);
    return header + "\n";
}

std::vector<std::string> comparepairs::figureColumns(const Comparisons& comparisons)
{
    std::vector<std::string> columns;
    if (comparisons.perceptual)
        columns.insert(columns.end(), { "Q", "J", "C", "M", "s" });
    if (comparisons.lab)
        columns.insert(columns.end(), { "L", "ab", "a", "b" });
    if (comparisons.distance) {
        if (comparisons.perceptual)
            for (const char* name : { "Q", "J", "C", "M", "s" })
                columns.push_back(std::string(name) + "_distance");
        if (comparisons.lab)
            for (const char* name : { "L", "a", "b" })
                columns.push_back(std::string(name) + "_distance");
    }
    return columns;
}

std::vector<std::string> comparepairs::factColumns(const Comparisons& comparisons)
{
    std::vector<std::string> columns { "size", "bits", "profile", "reading" };
    if (comparisons.perceptual)
        columns.push_back("white");
    return columns;
}

bool comparepairs::isEarlierTableHeader(const std::string& line)
{
    for (const char* header : { "first,second,status,Q,J,C,M,s,L,ab",
             "first,second,status,Q,J,C,M,s", "first,second,status,L,ab" })
        if (line == header)
            return true;
    return false;
}

std::string comparepairs::csvField(const std::string& text)
{
    if (text.find_first_of(",\"\r\n") == std::string::npos)
        return text;
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"')
            quoted += '"';
        quoted += c;
    }
    return quoted + "\"";
}

bool comparepairs::parseCsvLine(const std::string& line, std::vector<std::string>& fields)
{
    fields.assign(1, std::string());
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted) {
            if (c != '"')
                fields.back() += c;
            else if (i + 1 < line.size() && line[i + 1] == '"')
                fields.back() += line[++i];
            else
                quoted = false;
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            fields.emplace_back();
        } else {
            fields.back() += c;
        }
    }
    return !quoted;
}

std::string comparepairs::tableText(const std::string& text)
{
    if (isPlainText(text))
        return text;
    static const char* const kDigits = "0123456789ABCDEF";
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = text[i] == '\0' ? 0 : utf8Length(text, i);
        if (length == 0) {
            const auto byte = static_cast<unsigned char>(text[i]);
            out += "\\x";
            out += kDigits[byte >> 4];
            out += kDigits[byte & 15];
            ++i;
        } else {
            if (text[i] == '\\')
                out += '\\';
            out.append(text, i, length);
            i += length;
        }
    }
    return out;
}

std::string comparepairs::textCell(const std::string& text, bool safe)
{
    std::string cell = tableText(text);
    if (safe && startsLikeFormula(cell))
        cell.insert(0, 1, '\'');
    return csvField(cell);
}

bool comparepairs::isCellOf(const std::string& field, const std::string& text)
{
    return withoutSafeQuote(field) == withoutSafeQuote(tableText(text));
}

bool comparepairs::isRowOf(const TableContents::Row& row, const PairLine& line)
{
    return isCellOf(row.first, line.first) && isCellOf(row.second, line.second);
}

int comparepairs::openTable(const std::string& path, const std::string& header, bool resume,
    TableContents& contents, bool& needsHeader, std::string& notice, std::string& error)
{
    // Without waiting: a FIFO is refused below, not waited on for a reader.
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
    if (fd < 0) {
        error = describe("cannot open the table", path);
        return -1;
    }
    auto fail = [&](const std::string& message) {
        error = message;
        ::close(fd);
        return -1;
    };

    // Only a regular file can be read back, completed and cut back to its
    // last whole row after a failed write.
    struct stat info { };
    if (::fstat(fd, &info) != 0)
        return fail(describe("cannot open the table", path));
    if (!S_ISREG(info.st_mode))
        return fail("the table \"" + path
            + "\" is not a regular file: --out takes a file; without --out the table goes to "
              "standard output");
    if (::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0)
        return fail(describe("cannot open the table", path));

    std::string content;
    if (!readWhole(fd, content))
        return fail(describe("cannot read the table", path));
    if (!content.empty() && !resume)
        return fail("the table \"" + path
            + "\" already holds rows: add --resume to complete it, or remove it first");

    // The header is checked before anything is cut, so that a table this run
    // cannot complete is left exactly as it was. A first line cut short is
    // taken as this run's header when it is the start of it.
    if (!content.empty()) {
        const std::size_t end = content.find('\n');
        const std::string found = content.substr(0, end);
        const bool matches = end == std::string::npos ? header.compare(0, found.size(), found) == 0
                                                      : found + "\n" == header;
        if (!matches && isEarlierTableHeader(found))
            return fail("the table \"" + path
                + "\" was written by an earlier compare-pairs, without the columns a, b and the "
                  "images' facts, and cannot be completed with rows that have them: start a new "
                  "table with --out, or finish this one with the earlier compare-pairs");
        if (!matches)
            return fail("the table \"" + path + "\" has the columns \"" + found
                + "\", not the columns of this run \"" + header.substr(0, header.size() - 1)
                + "\"");
    }

    // Only whole lines count: a row cut short by an interrupted write is
    // dropped and done again.
    const std::size_t whole
        = content.rfind('\n') == std::string::npos ? 0 : content.rfind('\n') + 1;
    if (whole < content.size()) {
        if (::ftruncate(fd, static_cast<off_t>(whole)) != 0)
            return fail(describe("cannot truncate the table", path));
        notice = "removed a last row cut short from \"" + path + "\"";
        content.resize(whole);
    }

    needsHeader = content.empty();
    if (!content.empty()) {
        std::size_t start = header.size();
        std::size_t lineNumber = 1;
        std::vector<std::string> fields;
        while (start < content.size()) {
            const std::size_t end = content.find('\n', start);
            ++lineNumber;
            if (!parseCsvLine(content.substr(start, end - start), fields) || fields.size() < 3)
                return fail("the table \"" + path + "\" line " + std::to_string(lineNumber)
                    + " is not a row of a table");
            contents.add(TableContents::Row { fields[0], fields[1], fields[2] == kStatusOk });
            start = end + 1;
        }
    }
    if (::lseek(fd, 0, SEEK_END) < 0)
        return fail(describe("cannot seek in the table", path));
    return fd;
}

bool comparepairs::writeAll(int fd, const std::string& text, const std::atomic<int>* stop)
{
    const char* data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, data, left);
        if (n < 0 && errno == EINTR && (stop == nullptr || stop->load() == 0))
            continue;
        if (n < 0 && errno == EINTR)
            return false;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        data += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

namespace {

// One table given to --merge, read whole.
struct MergeInput {
    std::string name;
    std::string header; // with its "\n"
    std::vector<std::string> rows; // each with its "\n"
    std::vector<std::string> keys; // rowKey of each row
};

// Reads and checks one table; false, with a message on standard error, when
// it cannot be read or is not whole.
bool readMergeInput(const std::string& name, MergeInput& input)
{
    input.name = name;
    const int fd = name == "-" ? 0 : ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    std::string content;
    struct stat info { };
    const bool owns = name != "-";
    bool ok = fd >= 0;
    if (ok && name != "-" && ::fstat(fd, &info) == 0 && !S_ISREG(info.st_mode)) {
        ok = false;
        errno = EINVAL;
    }
    ok = ok && readWhole(fd, content);
    const std::string shown = name == "-" ? "standard input" : "\"" + name + "\"";
    if (!ok) {
        std::cerr << "compare-pairs: cannot read the table " << shown << ": "
                  << (errno == EINVAL ? "not a regular file" : std::strerror(errno)) << std::endl;
        if (owns && fd >= 0)
            ::close(fd);
        return false;
    }
    if (owns)
        ::close(fd);
    auto refuse = [&](const std::string& problem) {
        std::cerr << "compare-pairs: the table " << shown << " " << problem << std::endl;
        return false;
    };
    if (content.empty())
        return refuse("is empty");
    if (content.back() != '\n')
        return refuse("ends with a row cut short");
    const std::size_t headerEnd = content.find('\n') + 1;
    input.header = content.substr(0, headerEnd);
    if (input.header.compare(0, 13, "first,second,") != 0)
        return refuse("is not a table of compare-pairs");
    std::vector<std::string> fields;
    comparepairs::parseCsvLine(input.header.substr(0, headerEnd - 1), fields);
    const std::size_t columns = fields.size();
    std::size_t lineNumber = 1;
    for (std::size_t start = headerEnd; start < content.size();) {
        const std::size_t end = content.find('\n', start);
        ++lineNumber;
        const std::string line = content.substr(start, end - start);
        if (!comparepairs::parseCsvLine(line, fields))
            return refuse("line " + std::to_string(lineNumber) + " has a quote not closed");
        if (fields.size() != columns)
            return refuse("line " + std::to_string(lineNumber) + " has "
                + std::to_string(fields.size()) + " fields, not the header's "
                + std::to_string(columns));
        input.rows.push_back(line + "\n");
        input.keys.push_back(rowKey(fields[0], fields[1]));
        start = end + 1;
    }
    return true;
}

// Whether two headers may merge; false, with a message, when not.
bool sameColumns(const MergeInput& first, const MergeInput& other)
{
    if (other.header == first.header)
        return true;
    const std::string firstName = "\"" + first.name + "\"";
    const bool earlier
        = comparepairs::isEarlierTableHeader(other.header.substr(0, other.header.size() - 1));
    const bool firstEarlier
        = comparepairs::isEarlierTableHeader(first.header.substr(0, first.header.size() - 1));
    std::string problem = "has other columns than " + firstName;
    if (earlier && !firstEarlier)
        problem = "was written by an earlier compare-pairs, without the columns a, b and the "
                  "images' facts that "
            + firstName + " has: merge tables of one kind only";
    else if (!earlier && firstEarlier)
        problem = "has the columns a, b and the images' facts, which " + firstName
            + ", written by an earlier compare-pairs, lacks: merge tables of one kind only";
    std::cerr << "compare-pairs: the table \"" << other.name << "\" " << problem << std::endl;
    return false;
}

std::string describeKey(const std::string& key)
{
    const std::size_t separator = key.find('\0');
    const std::string second = key.substr(separator + 1);
    return "\"" + key.substr(0, separator) + (second.empty() ? "" : "\", \"" + second) + "\"";
}

// The rows of the inputs in the order of the list's lines: false, with the
// first problems on standard error, unless each line has exactly one row.
bool orderByList(const std::vector<MergeInput>& inputs, const std::string& list, std::string& rows)
{
    comparepairs::PairReader reader;
    std::string error;
    if (!reader.open(list, error)) {
        std::cerr << "compare-pairs: " << error << std::endl;
        return false;
    }
    // Each line's key, and for each key the lines that have it, in order.
    std::vector<std::size_t> numbers;
    std::unordered_map<std::string, std::deque<std::size_t>> linesByKey;
    comparepairs::PairLine line;
    while (reader.next(comparepairs::Shard {}, line)) {
        linesByKey[rowKey(
                       comparepairs::tableText(line.first), comparepairs::tableText(line.second))]
            .push_back(numbers.size());
        numbers.push_back(line.number);
    }
    if (!reader.error().empty()) {
        std::cerr << "compare-pairs: " << reader.error() << std::endl;
        return false;
    }
    constexpr int kProblemsShown = 5;
    int problems = 0;
    auto problem = [&](const std::string& text) {
        if (problems++ < kProblemsShown)
            std::cerr << "compare-pairs: " << text << std::endl;
    };
    std::vector<const std::string*> ordered(numbers.size(), nullptr);
    for (const MergeInput& input : inputs) {
        for (std::size_t r = 0; r < input.rows.size(); ++r) {
            auto found = linesByKey.find(input.keys[r]);
            if (found == linesByKey.end()) {
                problem("the table \"" + input.name + "\" line " + std::to_string(r + 2)
                    + " is the row of " + describeKey(input.keys[r])
                    + ", which is no line of the list \"" + list + "\"");
            } else if (found->second.empty()) {
                problem("the table \"" + input.name + "\" line " + std::to_string(r + 2)
                    + " repeats the row of " + describeKey(input.keys[r]) + ", which has "
                    + "fewer lines in the list \"" + list + "\"");
            } else {
                ordered[found->second.front()] = &input.rows[r];
                found->second.pop_front();
            }
        }
    }
    std::size_t missing = 0;
    for (std::size_t k = 0; k < ordered.size(); ++k) {
        if (ordered[k] != nullptr)
            continue;
        if (missing++ < kProblemsShown)
            problem("line " + std::to_string(numbers[k]) + " of the list \"" + list
                + "\" has no row in the tables");
    }
    if (missing > 0)
        std::cerr << "compare-pairs: " << missing << " of the list's " << ordered.size()
                  << " lines have no row (are shard tables missing or unfinished?)" << std::endl;
    if (problems > kProblemsShown)
        std::cerr << "compare-pairs: and " << problems - kProblemsShown << " more problems"
                  << std::endl;
    if (problems > 0)
        return false;
    for (const std::string* row : ordered)
        rows += *row;
    return true;
}

} // namespace

int comparepairs::mergeTables(
    const std::vector<std::string>& names, const std::string& list, int fd)
{
    std::vector<MergeInput> inputs(names.size());
    std::vector<std::pair<dev_t, ino_t>> seen;
    bool standardInput = false;
    for (std::size_t k = 0; k < names.size(); ++k) {
        // The same table twice would give its rows twice.
        struct stat info { };
        const bool isStdin = names[k] == "-";
        if (isStdin ? standardInput
                    : ::stat(names[k].c_str(), &info) == 0
                    && std::find(seen.begin(), seen.end(), std::make_pair(info.st_dev, info.st_ino))
                        != seen.end()) {
            std::cerr << "compare-pairs: the table \"" << names[k] << "\" is given twice"
                      << std::endl;
            return 2;
        }
        standardInput = standardInput || isStdin;
        if (!isStdin)
            seen.emplace_back(info.st_dev, info.st_ino);
        if (!readMergeInput(names[k], inputs[k]) || !sameColumns(inputs.front(), inputs[k]))
            return 2;
        // A copy of a table given with it would give its rows twice too.
        for (std::size_t j = 0; j < k; ++j) {
            if (!inputs[k].rows.empty() && inputs[j].rows == inputs[k].rows) {
                std::cerr << "compare-pairs: the tables \"" << names[j] << "\" and \"" << names[k]
                          << "\" hold the same rows: is one a copy of the other?" << std::endl;
                return 2;
            }
        }
    }

    std::string merged = inputs.front().header;
    if (!list.empty()) {
        if (!orderByList(inputs, list, merged))
            return 2;
    } else {
        for (const MergeInput& input : inputs)
            for (const std::string& row : input.rows)
                merged += row;
    }
    if (!writeAll(fd, merged)) {
        std::cerr << "compare-pairs: cannot write the merged table: " << std::strerror(errno)
                  << std::endl;
        return 1;
    }
    return 0;
}
