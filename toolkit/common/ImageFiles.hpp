// Writing image and text files whole (and, through ImageReader.hpp, reading
// photographs).
#pragma once

#include "toolkit/common/ImageReader.hpp"

#include <opencv2/core.hpp>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace toolkit {
namespace common {

// Writes an image with cv::imwrite's encoding without ever throwing: an
// empty image, an unknown extension or an encoder failure give false. The
// file is written under a temporary name in its folder and renamed over
// `name` when complete, so the old file is replaced whole and concurrent
// writers leave one writer's whole file; nothing is left behind on failure.
bool writeImage(const std::string& name, const cv::Mat& img);
// The same, with the reason for a failure in `error`.
bool writeImage(const std::string& name, const cv::Mat& img, std::string& error);

// Writes an 8-bit grey JPEG file row by row, so that the whole image need not
// exist at once: the bytes are those writeImage (cv::imwrite's encoding, at
// its default quality of 95) gives the same rows, and the file is replaced
// whole by finish(), as writeImage does. Not copyable; one thread at a time.
class GreyJpegWriter {
public:
    GreyJpegWriter(const std::string& path, int width, int height);
    ~GreyJpegWriter();
    GreyJpegWriter(const GreyJpegWriter&) = delete;
    GreyJpegWriter& operator=(const GreyJpegWriter&) = delete;

    // The next of the `height` rows, `width` bytes; ignored after a failure.
    void writeRow(const uchar* row);

    // Completes the file after the last row and renames it into place; false,
    // with the reason in `error` (the old file is then kept), when anything
    // failed or fewer than `height` rows were written.
    bool finish(std::string& error);

private:
    struct State;
    std::unique_ptr<State> state_;
};

// Writes `text` to `path`, replacing any old file whole; false, with the
// reason in `error`, when it cannot.
bool writeTextFile(const std::string& path, const std::string& text, std::string& error);

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

} // namespace common
} // namespace toolkit
