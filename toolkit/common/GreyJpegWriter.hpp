// Writing an 8-bit grey JPEG file row by row, with cv::imwrite's bytes.
#pragma once

#include <opencv2/core.hpp>

#include <memory>
#include <string>

namespace toolkit {
namespace common {

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

} // namespace common
} // namespace toolkit
