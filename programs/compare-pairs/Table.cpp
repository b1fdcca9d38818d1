#include "programs/compare-pairs/Table.hpp"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* const kStatusOk = "ok";

std::string describe(const std::string& what, const std::string& path)
{
    return what + " \"" + path + "\": " + std::strerror(errno);
}

std::string pairKey(const std::string& first, const std::string& second)
{
    // No path read from a list holds a tab, so a tab separates the two
    // unambiguously.
    return first + '\t' + second;
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
    Comparisons parsed { false, false };
    std::stringstream names(text);
    std::string name;
    bool any = false;
    while (std::getline(names, name, ',')) {
        if (name == "perceptual")
            parsed.perceptual = true;
        else if (name == "lab")
            parsed.lab = true;
        else
            return false;
        any = true;
    }
    if (!any)
        return false;
    comparisons = parsed;
    return true;
}

std::string comparepairs::tableHeader(const Comparisons& comparisons)
{
    std::string header = "first,second,status";
    if (comparisons.perceptual)
        header += ",Q,J,C,M,s";
    if (comparisons.lab)
        header += ",L,ab,a,b";
    for (const char* image : { "first_", "second_" })
        for (const std::string& column : factColumns(comparisons))
            header += "," + (image + column);
    return header + "\n";
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

void comparepairs::TableContents::add(const std::string& first, const std::string& second, bool ok)
{
    rowsByPair_[pairKey(first, second)].push_back(ok);
    ++rows_;
}

bool comparepairs::TableContents::take(
    const std::string& first, const std::string& second, bool& ok)
{
    const auto found = rowsByPair_.find(pairKey(first, second));
    if (found == rowsByPair_.end() || found->second.empty())
        return false;
    ok = found->second.front();
    found->second.pop_front();
    return true;
}

int comparepairs::openTable(const std::string& path, const std::string& header, bool resume,
    TableContents& contents, bool& needsHeader, std::string& notice, std::string& error)
{
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = describe("cannot open the table", path);
        return -1;
    }
    auto fail = [&](const std::string& message) {
        error = message;
        ::close(fd);
        return -1;
    };

    // Only a regular file can be read back and completed; anything else (a
    // pipe, a device) just receives the table.
    struct stat info { };
    if (::fstat(fd, &info) != 0)
        return fail(describe("cannot open the table", path));
    if (!S_ISREG(info.st_mode)) {
        if (resume)
            return fail("cannot resume the table \"" + path + "\": it is not a regular file");
        needsHeader = true;
        return fd;
    }

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
            contents.add(fields[0], fields[1], fields[2] == kStatusOk);
            start = end + 1;
        }
    }
    if (::lseek(fd, 0, SEEK_END) < 0)
        return fail(describe("cannot seek in the table", path));
    return fd;
}

bool comparepairs::writeAll(int fd, const std::string& text)
{
    const char* data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, data, left);
        if (n < 0 && errno == EINTR)
            continue;
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

int comparepairs::mergeTables(const std::vector<std::string>& inputs, int fd)
{
    std::string header;
    std::string merged;
    for (const std::string& input : inputs) {
        const int in = ::open(input.c_str(), O_RDONLY | O_CLOEXEC);
        std::string content;
        if (in < 0 || !readWhole(in, content)) {
            std::cerr << "compare-pairs: " << describe("cannot read the table", input) << std::endl;
            if (in >= 0)
                ::close(in);
            return 2;
        }
        ::close(in);
        if (content.empty() || content.back() != '\n') {
            std::cerr << "compare-pairs: the table \"" << input
                      << (content.empty() ? "\" is empty" : "\" ends with a row cut short")
                      << std::endl;
            return 2;
        }
        const std::size_t headerEnd = content.find('\n') + 1;
        const std::string inputHeader = content.substr(0, headerEnd);
        if (inputHeader.compare(0, 13, "first,second,") != 0) {
            std::cerr << "compare-pairs: \"" << input << "\" is not a table of compare-pairs"
                      << std::endl;
            return 2;
        }
        if (header.empty()) {
            header = inputHeader;
            merged = header;
        } else if (inputHeader != header) {
            const std::string first = "\"" + inputs.front() + "\"";
            const bool earlier = isEarlierTableHeader(inputHeader.substr(0, headerEnd - 1));
            const bool firstEarlier = isEarlierTableHeader(header.substr(0, header.size() - 1));
            std::string problem = "has other columns than " + first;
            if (earlier && !firstEarlier)
                problem = "was written by an earlier compare-pairs, without the columns a, b and "
                          "the images' facts that "
                    + first + " has: merge tables of one kind only";
            else if (!earlier && firstEarlier)
                problem = "has the columns a, b and the images' facts, which " + first
                    + ", written by an earlier compare-pairs, lacks: merge tables of one kind only";
            std::cerr << "compare-pairs: the table \"" << input << "\" " << problem << std::endl;
            return 2;
        }
        merged.append(content, headerEnd, std::string::npos);
    }
    if (!writeAll(fd, merged)) {
        std::cerr << "compare-pairs: cannot write the merged table: " << std::strerror(errno)
                  << std::endl;
        return 1;
    }
    return 0;
}
