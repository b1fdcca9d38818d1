#include "programs/compare-pairs/PairList.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

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
    if (file_ != nullptr && ownsFile_)
        std::fclose(file_);
    std::free(buffer_);
}

bool comparepairs::PairReader::open(const std::string& path, std::string& error)
{
    path_ = path;
    if (path == "-") {
        file_ = stdin;
        ownsFile_ = false;
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
    file_ = ::fdopen(fd, "r");
    if (file_ == nullptr) {
        error = "cannot read the list \"" + path + "\": " + std::strerror(errno);
        ::close(fd);
        return false;
    }
    ownsFile_ = true;
    return true;
}

bool comparepairs::PairReader::next(const Shard& shard, PairLine& pair)
{
    if (file_ == nullptr)
        return false;
    while (true) {
        errno = 0;
        const ssize_t length = ::getline(&buffer_, &capacity_, file_);
        if (length < 0) {
            if (std::ferror(file_))
                error_ = "cannot read the list \"" + path_
                    + "\": " + std::strerror(errno ? errno : EIO);
            return false;
        }
        ++lineNumber_;
        std::string line(buffer_, static_cast<std::size_t>(length));
        if (!line.empty() && line.back() == '\n')
            line.pop_back();
        if (!shard.takes(lineNumber_))
            continue;
        if (parsePairLine(line, lineNumber_, pair))
            return true;
    }
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
