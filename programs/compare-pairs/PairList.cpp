#include "programs/compare-pairs/PairList.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The list is read in blocks of this size.
constexpr std::size_t kReadBytes = 64 * 1024;

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r';
}

std::vector<std::string> splitOn(const std::string& line, char separator)
{
    std::vector<std::string> fields;
    std::size_t start = 0;
    while (true) {
        const std::size_t end = line.find(separator, start);
        fields.push_back(
            line.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos)
            return fields;
        start = end + 1;
    }
}

std::vector<std::string> splitOnBlanks(const std::string& line)
{
    std::vector<std::string> fields;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && isBlank(line[i]))
            ++i;
        const std::size_t start = i;
        while (i < line.size() && !isBlank(line[i]))
            ++i;
        if (i > start)
            fields.push_back(line.substr(start, i - start));
    }
    return fields;
}

bool parseCount(const std::string& text, std::size_t& value)
{
    if (text.empty() || text.size() > 9)
        return false;
    for (char c : text)
        if (c < '0' || c > '9')
            return false;
    value = static_cast<std::size_t>(std::strtoul(text.c_str(), nullptr, 10));
    return true;
}

} // namespace

bool comparepairs::parseShard(const std::string& text, Shard& shard)
{
    const std::size_t slash = text.find('/');
    if (slash == std::string::npos)
        return false;
    Shard parsed;
    if (!parseCount(text.substr(0, slash), parsed.index)
        || !parseCount(text.substr(slash + 1), parsed.count))
        return false;
    if (parsed.count == 0 || parsed.index >= parsed.count)
        return false;
    shard = parsed;
    return true;
}

bool comparepairs::parsePairLine(const std::string& rawLine, std::size_t number, PairLine& pair)
{
    std::string line = rawLine;
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    std::size_t start = 0;
    while (start < line.size() && isBlank(line[start]))
        ++start;
    if (start == line.size() || line[start] == '#')
        return false;

    pair = PairLine {};
    pair.number = number;
    // With a tab, the fields are taken exactly as they stand, so paths may
    // hold spaces; without one, any run of white space separates.
    const std::vector<std::string> fields
        = line.find('\t') != std::string::npos ? splitOn(line, '\t') : splitOnBlanks(line);
    if (fields.size() == 2 && !fields[0].empty() && !fields[1].empty()) {
        pair.first = fields[0];
        pair.second = fields[1];
    } else {
        pair.first = line;
        pair.error = "line " + std::to_string(number)
            + ": expected two image paths separated by a tab or by white space";
    }
    return true;
}

comparepairs::PairReader::~PairReader()
{
    if (fd_ >= 0 && ownsFd_)
        ::close(fd_);
}

bool comparepairs::PairReader::open(const std::string& path, std::string& error)
{
    path_ = path;
    buffer_.resize(kReadBytes);
    if (path == "-") {
        fd_ = 0;
        ownsFd_ = false;
        return true;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = "cannot read the list \"" + path + "\": " + std::strerror(errno);
        return false;
    }
    struct stat info { };
    if (::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
        ::close(fd);
        error = "cannot read the list \"" + path + "\": it is a directory";
        return false;
    }
    fd_ = fd;
    ownsFd_ = true;
    return true;
}

bool comparepairs::PairReader::fill()
{
    if (atEnd_)
        return false;
    if (begin_ == end_)
        begin_ = end_ = 0;
    while (true) {
        const ssize_t n = ::read(fd_, buffer_.data() + end_, buffer_.size() - end_);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            error_ = "cannot read the list "
                + (path_ == "-" ? std::string("from standard input") : "\"" + path_ + "\"") + ": "
                + std::strerror(errno);
            atEnd_ = true;
            return false;
        }
        if (n == 0) {
            atEnd_ = true;
            return false;
        }
        end_ += static_cast<std::size_t>(n);
        return true;
    }
}

bool comparepairs::PairReader::readLine(std::string& line, bool& whole)
{
    line.clear();
    whole = true;
    bool any = false, dropped = false;
    while (true) {
        if (begin_ == end_ && !fill()) {
            whole = !dropped && line.size() <= kMaxLineBytes;
            return any && error_.empty();
        }
        any = true;
        const char* start = buffer_.data() + begin_;
        const std::size_t available = end_ - begin_;
        const char* newline = static_cast<const char*>(std::memchr(start, '\n', available));
        const std::size_t length
            = newline != nullptr ? static_cast<std::size_t>(newline - start) : available;
        // Past the limit the rest of the line is read and dropped, so memory
        // stays bounded whatever the list holds.
        const std::size_t room = kMaxLineBytes + 1 - std::min(line.size(), kMaxLineBytes + 1);
        line.append(start, std::min(length, room));
        dropped = dropped || length > room;
        begin_ += length;
        if (newline != nullptr) {
            ++begin_;
            break;
        }
    }
    // A line end of "\r\n" counts as one.
    whole = !dropped
        && (line.size() <= kMaxLineBytes
            || (line.size() == kMaxLineBytes + 1 && line.back() == '\r'));
    return true;
}

bool comparepairs::PairReader::next(const Shard& shard, PairLine& pair)
{
    if (fd_ < 0)
        return false;
    std::string line;
    bool whole = true;
    while (readLine(line, whole)) {
        ++lineNumber_;
        if (!shard.takes(lineNumber_))
            continue;
        const bool hasNul = line.find('\0') != std::string::npos;
        if (whole && !hasNul) {
            if (parsePairLine(line, lineNumber_, pair))
                return true;
            continue;
        }
        pair = PairLine {};
        pair.number = lineNumber_;
        if (!whole) {
            pair.first = line.substr(0, kLongLineKept);
            pair.error = "line " + std::to_string(lineNumber_) + ": longer than "
                + std::to_string(kMaxLineBytes) + " bytes";
        } else {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            pair.first = line;
            pair.error = "line " + std::to_string(lineNumber_) + ": holds a NUL byte";
        }
        return true;
    }
    return false;
}

long long comparepairs::countPairs(const std::string& path, const Shard& shard)
{
    if (path == "-")
        return -1;
    struct stat info { };
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return -1;
    PairReader reader;
    std::string error;
    if (!reader.open(path, error))
        return -1;
    long long count = 0;
    PairLine pair;
    while (reader.next(shard, pair))
        ++count;
    return reader.error().empty() ? count : -1;
}
