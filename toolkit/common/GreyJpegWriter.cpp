#include "toolkit/common/GreyJpegWriter.hpp"

#include "toolkit/common/FileReplacement.hpp"

#include <csetjmp>
#include <cstdio>

#include <jpeglib.h>

namespace {

struct JpegErrors {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
};

[[noreturn]] void jpegFatal(j_common_ptr cinfo)
{
    std::longjmp(reinterpret_cast<JpegErrors*>(cinfo->err)->jump, 1);
}

// Runs libjpeg calls that may end in jpegFatal; false when they did.
// Nothing with a destructor may live in `calls` across a libjpeg call.
template <typename Calls> bool underJpegErrors(JpegErrors& errors, Calls calls)
{
    if (setjmp(errors.jump) != 0)
        return false;
    calls();
    return true;
}

} // namespace

// cv::imwrite's JPEG settings: libjpeg's defaults at quality 95, limited to
// baseline tables, no restart interval (see docs/opencv-internals.md).
constexpr int kJpegWriteQuality = 95;

struct toolkit::common::GreyJpegWriter::State {
    FileReplacement file;
    jpeg_compress_struct cinfo {};
    JpegErrors errors {};
    int height = 0;
    int rows = 0;
    bool created = false;
    bool failed = false;
    std::string error;

    explicit State(const std::string& path)
        : file(path)
    {
    }

    void fail()
    {
        char text[JMSG_LENGTH_MAX];
        (*cinfo.err->format_message)(reinterpret_cast<j_common_ptr>(&cinfo), text);
        failed = true;
        error = text;
    }
};

toolkit::common::GreyJpegWriter::GreyJpegWriter(const std::string& path, int width, int height)
    : state_(std::make_unique<State>(path))
{
    State& s = *state_;
    s.height = height;
    if (width <= 0 || height <= 0) {
        s.failed = true;
        s.error = "the image is empty";
        return;
    }
    if (s.file.file() == nullptr) {
        s.failed = true; // finish() reports why the file could not be made
        return;
    }
    s.cinfo.err = jpeg_std_error(&s.errors.pub);
    s.errors.pub.error_exit = jpegFatal;
    jpeg_create_compress(&s.cinfo);
    s.created = true;
    std::FILE* out = s.file.file();
    if (!underJpegErrors(s.errors, [&] {
            jpeg_stdio_dest(&s.cinfo, out);
            s.cinfo.image_width = JDIMENSION(width);
            s.cinfo.image_height = JDIMENSION(height);
            s.cinfo.input_components = 1;
            s.cinfo.in_color_space = JCS_GRAYSCALE;
            jpeg_set_defaults(&s.cinfo);
            s.cinfo.restart_interval = 0;
            jpeg_set_quality(&s.cinfo, kJpegWriteQuality, TRUE);
            jpeg_start_compress(&s.cinfo, TRUE);
        }))
        s.fail();
}

toolkit::common::GreyJpegWriter::~GreyJpegWriter()
{
    if (state_->created)
        jpeg_destroy_compress(&state_->cinfo);
}

void toolkit::common::GreyJpegWriter::writeRow(const uchar* row)
{
    State& s = *state_;
    if (s.failed || s.rows >= s.height)
        return;
    JSAMPROW rows[1] = { const_cast<JSAMPROW>(row) };
    if (underJpegErrors(s.errors, [&] { jpeg_write_scanlines(&s.cinfo, rows, 1); }))
        ++s.rows;
    else
        s.fail();
}

bool toolkit::common::GreyJpegWriter::finish(std::string& error)
{
    State& s = *state_;
    if (!s.failed && s.rows < s.height) {
        s.failed = true;
        s.error = "only " + std::to_string(s.rows) + " of " + std::to_string(s.height)
            + " rows were given";
    }
    if (!s.failed && !underJpegErrors(s.errors, [&] { jpeg_finish_compress(&s.cinfo); }))
        s.fail();
    if (s.failed && s.file.file() != nullptr) {
        s.file.discard();
        error = "cannot write \"" + s.file.path() + "\": " + s.error;
        return false;
    }
    return s.file.commit(error);
}
