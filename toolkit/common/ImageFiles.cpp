#include "toolkit/common/ImageFiles.hpp"

#include <opencv2/imgcodecs.hpp>

#include <atomic>
#include <cerrno>
#include <csetjmp>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

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

bool toolkit::common::writeImage(const std::string& name, const cv::Mat& img)
{
    std::string error;
    return writeImage(name, img, error);
}

bool toolkit::common::writeImage(const std::string& name, const cv::Mat& img, std::string& error)
{
    error.clear();
    if (img.empty()) {
        error = "cannot write \"" + name + "\": the image is empty";
        return false;
    }
    const std::size_t dot = name.rfind('.');
    const std::size_t slash = name.rfind('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
        error = "cannot write \"" + name + "\": no file extension to choose a format";
        return false;
    }
    // Encoded as cv::imwrite encodes it, then written whole under another name.
    std::vector<uchar> encoded;
    try {
        if (!cv::imencode(name.substr(dot), img, encoded)) {
            error = "cannot write \"" + name + "\": the encoder failed";
            return false;
        }
    } catch (const cv::Exception& e) {
        error = "cannot write \"" + name + "\": " + e.what();
        return false;
    } catch (const std::bad_alloc&) {
        error = "cannot write \"" + name + "\": out of memory";
        return false;
    }
    FileReplacement file(name);
    if (file.file() != nullptr)
        std::fwrite(encoded.data(), 1, encoded.size(), file.file());
    return file.commit(error);
}

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

// cv::imwrite's JPEG settings: libjpeg's defaults at quality 95, limited to
// baseline tables, no restart interval.
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
