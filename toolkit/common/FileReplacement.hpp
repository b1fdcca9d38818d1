// Replacing a file whole: written under a temporary name in its folder and
// renamed over the old one when complete, so that readers see the old file or
// the whole new one, never one cut short.
#pragma once

#include <cstdio>
#include <string>

namespace toolkit {
namespace common {

// A file written under a temporary name in the folder of `path` and renamed
// over `path` by commit(); removed, if not committed, on destruction.
class FileReplacement {
public:
    explicit FileReplacement(std::string path);
    ~FileReplacement();
    FileReplacement(const FileReplacement&) = delete;
    FileReplacement& operator=(const FileReplacement&) = delete;

    // The stream to write to; null when the temporary file could not be made.
    std::FILE* file() const { return file_; }

    // Closes and removes the temporary file; `path` is left as it was.
    void discard();

    // The name the file gets on commit().
    const std::string& path() const { return path_; }

    // Closes the stream and renames the file into place; false, with the
    // reason in `error`, when a write, the close or the rename failed (the
    // temporary file is then removed).
    bool commit(std::string& error);

private:
    std::string path_;
    std::string temporary_;
    std::FILE* file_ = nullptr;
    int openErrno_ = 0;
};

// Writes `text` to `path`, replacing any old file whole; false, with the
// reason in `error`, when it cannot.
bool writeTextFile(const std::string& path, const std::string& text, std::string& error);

} // namespace common
} // namespace toolkit
