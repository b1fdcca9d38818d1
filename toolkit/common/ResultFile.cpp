#include "toolkit/common/ResultFile.hpp"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string describe(const std::string& what, const std::string& path)
{
    return what + " \"" + path + "\": " + std::strerror(errno);
}

} // namespace

bool toolkit::common::appendLocked(
    const std::string& path, const std::string& text, std::string& error)
{
    // Without waiting: a FIFO is refused below, not waited on for a reader.
    const int fd
        = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
    if (fd < 0) {
        error = errno == ENXIO ? "cannot open \"" + path + "\": not a regular file"
                               : describe("cannot open", path);
        return false;
    }
    struct stat info { };
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)
        || ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        error = S_ISREG(info.st_mode) ? describe("cannot open", path)
                                      : "cannot open \"" + path + "\": not a regular file";
        ::close(fd);
        return false;
    }
    int rc;
    do {
        rc = ::flock(fd, LOCK_EX);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        error = describe("cannot lock", path);
        ::close(fd);
        return false;
    }

    // The size before the block, to cut a partly written block off again: the
    // file must only ever hold whole blocks.
    struct stat before { };
    const bool sized = ::fstat(fd, &before) == 0;

    // One write normally takes the whole block; the loop only covers a short
    // write, which the lock keeps from interleaving with other writers.
    const char* data = text.data();
    size_t left = text.size();
    bool ok = true;
    while (left > 0) {
        const ssize_t n = ::write(fd, data, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = describe("cannot write", path);
            ok = false;
            break;
        }
        data += n;
        left -= static_cast<size_t>(n);
    }
    if (!ok && sized && left < text.size()) {
        const int writeErrno = errno;
        if (::ftruncate(fd, before.st_size) != 0)
            error += " (and the partial block could not be removed)";
        errno = writeErrno;
    }
    if (::close(fd) != 0 && ok) {
        error = describe("cannot close", path);
        ok = false;
    }
    return ok;
}
