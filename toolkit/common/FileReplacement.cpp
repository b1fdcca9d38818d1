#include "toolkit/common/FileReplacement.hpp"

#include <atomic>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace {

std::atomic<unsigned> gTemporaryCounter { 0 };

std::string temporaryNameFor(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    return folder + "." + base + ".tmp-" + std::to_string(::getpid()) + "-"
        + std::to_string(gTemporaryCounter.fetch_add(1));
}

} // namespace

bool toolkit::common::writeTextFile(
    const std::string& path, const std::string& text, std::string& error)
{
    FileReplacement file(path);
    if (file.file() != nullptr)
        std::fwrite(text.data(), 1, text.size(), file.file());
    return file.commit(error);
}

toolkit::common::FileReplacement::FileReplacement(std::string path)
    : path_(std::move(path))
    , temporary_(temporaryNameFor(path_))
{
    const int fd = ::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        openErrno_ = errno;
        return;
    }
    file_ = ::fdopen(fd, "wb");
    if (file_ == nullptr) {
        openErrno_ = errno;
        ::close(fd);
        ::unlink(temporary_.c_str());
    }
}

toolkit::common::FileReplacement::~FileReplacement()
{
    discard();
}

void toolkit::common::FileReplacement::discard()
{
    if (file_ != nullptr) {
        std::fclose(file_);
        file_ = nullptr;
        ::unlink(temporary_.c_str());
    }
}

bool toolkit::common::FileReplacement::commit(std::string& error)
{
    if (file_ == nullptr) {
        error = "cannot create \"" + temporary_
            + "\": " + std::strerror(openErrno_ ? openErrno_ : EIO);
        return false;
    }
    const bool written = !std::ferror(file_);
    const int writeErrno = errno;
    const bool closed = std::fclose(file_) == 0;
    const int closeErrno = errno;
    file_ = nullptr;
    if (!written || !closed) {
        ::unlink(temporary_.c_str());
        error = "cannot write \"" + path_
            + "\": " + std::strerror(!written ? writeErrno : closeErrno);
        return false;
    }
    if (::rename(temporary_.c_str(), path_.c_str()) != 0) {
        error = "cannot write \"" + path_ + "\": " + std::strerror(errno);
        ::unlink(temporary_.c_str());
        return false;
    }
    return true;
}
