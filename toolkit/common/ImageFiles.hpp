// Reading photographs safely and writing image and text files whole.
#pragma once

#include <opencv2/core.hpp>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace toolkit {
namespace common {

// The largest image, in pixels, that readColourImage accepts: 250
// megapixels, or the number of megapixels in the environment variable
// TOOLKIT_MAX_MEGAPIXELS (read once). Larger images are refused from their
// header, before anything is allocated for them.
std::uint64_t maxImagePixels();

// Sets the limit of maxImagePixels() for the rest of the process (0 keeps it).
void setMaxImagePixels(std::uint64_t pixels);

// Reads an image file as 8-bit three-channel BGR, as cv::imread with the
// colour flag decodes it (grey, 16-bit, alpha and palette images included),
// without ever throwing. Gives an empty matrix, with the reason in `error`,
// when the path is not a regular file, the file cannot be opened or decoded,
// its header gives more pixels than maxImagePixels(), or the decoder reported
// damage (a JPEG cut short or with corrupt data, a PNG failing its checks):
// such a file is refused, never read as the decoder's best guess. The
// decoder's messages are not printed. Intact files give cv::imread's pixels.
cv::Mat readColourImage(const std::string& path, std::string& error);
cv::Mat readColourImage(const std::string& path);

// Called with the decoded rows, top to bottom, while readColourImage reads:
// `count` BGR pixels from `pixels`. Rows of an image that is then refused
// may have been seen.
using RowObserver = std::function<void(const uchar* pixels, std::size_t count)>;

// The same, showing each row to `onRows` as soon as it is decoded, while it
// is still in the processor's cache.
cv::Mat readColourImage(const std::string& path, std::string& error, const RowObserver& onRows);

// The same for an encoded image in memory (cv::imdecode).
cv::Mat decodeColourImage(const std::vector<uchar>& bytes, std::string& error);

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
