#include "toolkit/common/ImageFiles.hpp"

#include "toolkit/common/Codecs.hpp"

#include <opencv2/imgcodecs.hpp> // flags only

#include <atomic>
#include <cerrno>
#include <csetjmp>
#include <cstdlib>
#include <cstring>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <jpeglib.h>
#include <png.h>

namespace codecs = toolkit::common::codecs;

namespace {

constexpr std::uint64_t kDefaultMaxMegapixels = 250;
constexpr std::uint64_t kPixelsPerMegapixel = 1000000;

// What the image decoders reported while this thread decodes through
// readColourImage; decoders run on the calling thread, so each thread keeps
// its own report.
struct DecoderReport {
    bool listening = false;
    std::string damage; // the first message that says the data is damaged
};
thread_local DecoderReport tReport;

class Listening {
public:
    Listening()
    {
        tReport.listening = true;
        tReport.damage.clear();
    }
    ~Listening() { tReport.listening = false; }
};

void noteDamage(const std::string& message)
{
    if (tReport.damage.empty())
        tReport.damage = message;
}

// libjpeg reports corrupt or missing data as warnings and goes on with a
// guess (grey for the missing part). Its default handler prints the first one.
using JpegEmit = void (*)(j_common_ptr, int);
std::atomic<JpegEmit> gJpegDefaultEmit { nullptr };

void emitJpegMessage(j_common_ptr cinfo, int level)
{
    if (level >= 0 || !tReport.listening) {
        if (const JpegEmit emit = gJpegDefaultEmit.load())
            emit(cinfo, level);
        return;
    }
    char text[JMSG_LENGTH_MAX];
    (*cinfo->err->format_message)(cinfo, text);
    ++cinfo->err->num_warnings;
    noteDamage(std::string("damaged JPEG data (") + text + ")");
}

// libpng stops at damage with an error; its warnings concern ancillary
// chunks, whose names begin with a lower-case letter ("iCCP: known incorrect
// sRGB profile"), or, without such a name, the image data itself.
bool aboutAncillaryChunk(const char* message)
{
    return std::strlen(message) >= 5 && message[0] >= 'a' && message[0] <= 'z' && message[4] == ':';
}

void pngError(png_structp png, png_const_charp message)
{
    if (tReport.listening)
        noteDamage(std::string("damaged PNG data (") + message + ")");
    else
        std::fprintf(stderr, "libpng error: %s\n", message);
    png_longjmp(png, 1);
}

void pngWarning(png_structp, png_const_charp message)
{
    if (!tReport.listening)
        std::fprintf(stderr, "libpng warning: %s\n", message);
    else if (!aboutAncillaryChunk(message))
        noteDamage(std::string("damaged PNG data (") + message + ")");
}

template <typename Function> Function nextDefinition(const char* name)
{
    return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}

std::uint32_t bigEndian32(const unsigned char* p)
{
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8)
        | p[3];
}

std::uint32_t littleEndian32(const unsigned char* p)
{
    return std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16)
        | (std::uint32_t(p[3]) << 24);
}

// Reads `size` bytes at `offset`; false when the source holds fewer.
using ByteSource
    = bool (*)(const void* source, std::uint64_t offset, unsigned char* out, std::size_t size);

bool readFromFd(const void* source, std::uint64_t offset, unsigned char* out, std::size_t size)
{
    const int fd = *static_cast<const int*>(source);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pread(fd, out + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// The width and height a PNG, JPEG or BMP header announces; false when the
// format is another or the header is not found (the decoder then judges).
bool headerSize(ByteSource read, const void* source, std::uint64_t& width, std::uint64_t& height)
{
    unsigned char head[26];
    if (!read(source, 0, head, 2))
        return false;
    if (read(source, 0, head, 24) && std::memcmp(head, "\x89PNG\r\n\x1a\n", 8) == 0
        && std::memcmp(head + 12, "IHDR", 4) == 0) {
        width = bigEndian32(head + 16);
        height = bigEndian32(head + 20);
        return true;
    }
    if (read(source, 0, head, 26) && head[0] == 'B' && head[1] == 'M') {
        width = littleEndian32(head + 18);
        const std::int32_t rows = static_cast<std::int32_t>(littleEndian32(head + 22));
        height = rows < 0 ? std::uint64_t(-static_cast<std::int64_t>(rows)) : std::uint64_t(rows);
        return true;
    }
    if (head[0] == 0xff && head[1] == 0xd8) {
        // Walk the segments to the frame header (SOF0..SOF15 but DHT, JPG, DAC).
        std::uint64_t offset = 2;
        unsigned char marker[9];
        for (int segments = 0; segments < 4096 && read(source, offset, marker, 4); ++segments) {
            if (marker[0] != 0xff)
                return false;
            const unsigned code = marker[1];
            if (code == 0xff) { // fill byte
                ++offset;
                continue;
            }
            const std::uint64_t length = (std::uint64_t(marker[2]) << 8) | marker[3];
            if (code >= 0xc0 && code <= 0xcf && code != 0xc4 && code != 0xc8 && code != 0xcc) {
                if (!read(source, offset, marker, 9))
                    return false;
                height = (std::uint64_t(marker[5]) << 8) | marker[6];
                width = (std::uint64_t(marker[7]) << 8) | marker[8];
                return true;
            }
            if (code == 0xda || code == 0xd9)
                return false;
            offset += 2 + length;
        }
    }
    return false;
}

bool withinLimit(ByteSource read, const void* source, std::string& error)
{
    std::uint64_t width = 0, height = 0;
    if (!headerSize(read, source, width, height))
        return true;
    const std::uint64_t limit = toolkit::common::maxImagePixels();
    if (width * height <= limit)
        return true;
    error = "the image is " + std::to_string(width) + " x " + std::to_string(height) + " pixels ("
        + std::to_string((width * height + kPixelsPerMegapixel / 2) / kPixelsPerMegapixel)
        + " megapixels), above the limit of " + std::to_string(limit / kPixelsPerMegapixel)
        + " megapixels (set TOOLKIT_MAX_MEGAPIXELS, or --max-megapixels of compare-pairs, to raise "
          "it)";
    return false;
}

// Runs a decoder call while listening to the decoders, and turns what they
// report into the result.
template <typename Decode> cv::Mat decodeListening(Decode decode, std::string& error)
{
    cv::Mat img;
    {
        Listening listening;
        try {
            img = decode();
        } catch (const cv::Exception& e) {
            error = std::string("cannot decode: ") + e.err;
            return cv::Mat();
        } catch (const std::bad_alloc&) {
            error = "out of memory";
            return cv::Mat();
        }
        if (!tReport.damage.empty()) {
            error = tReport.damage;
            return cv::Mat();
        }
    }
    if (img.empty())
        error = "not an image in a known format, or damaged";
    return img;
}

// JPEG photographs in the common layout are decoded here, with the settings
// cv::imread decodes them with (libjpeg's defaults, whole scale), which gives
// its pixels; but libjpeg writes them in BGR order straight into the image,
// where cv::imread has it write RGB rows and swaps them. Any other JPEG (grey,
// CMYK, with an Exif block whose orientation cv::imread would apply, or larger
// than OpenCV's own pixel limit) goes to cv::imread.
constexpr std::uint64_t kOpenCvPixelLimit = std::uint64_t(1) << 30;
constexpr int kExifMarker = JPEG_APP0 + 1;

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

bool commonJpegLayout(const jpeg_decompress_struct& cinfo)
{
    for (jpeg_saved_marker_ptr m = cinfo.marker_list; m != nullptr; m = m->next)
        if (m->marker == kExifMarker)
            return false;
    return cinfo.num_components == 3
        && (cinfo.jpeg_color_space == JCS_YCbCr || cinfo.jpeg_color_space == JCS_RGB)
        && std::uint64_t(cinfo.image_width) * cinfo.image_height <= kOpenCvPixelLimit;
}

// Decodes the JPEG file `file` into `img` when it has the common layout and
// returns true (`img` is empty if the data is unusable); false, with nothing
// decoded, for any other file. Each decoded row is shown to `onRows`.
bool decodeCommonJpeg(std::FILE* file, cv::Mat& img, const toolkit::common::RowObserver& onRows)
{
    jpeg_decompress_struct cinfo {};
    JpegErrors errors {};
    cinfo.err = jpeg_std_error(&errors.pub);
    errors.pub.error_exit = jpegFatal;
    volatile bool handled = true;
    // Nothing with a destructor is made between the jumps and their target.
    if (setjmp(errors.jump) == 0) {
        jpeg_create_decompress(&cinfo);
        jpeg_stdio_src(&cinfo, file);
        jpeg_save_markers(&cinfo, kExifMarker, 0xffff);
        jpeg_read_header(&cinfo, TRUE);
        if (!commonJpegLayout(cinfo)) {
            handled = false;
        } else {
            cinfo.out_color_space = JCS_EXT_BGR;
            cinfo.out_color_components = 3;
            jpeg_calc_output_dimensions(&cinfo);
            img.create(int(cinfo.output_height), int(cinfo.output_width), CV_8UC3);
            jpeg_start_decompress(&cinfo);
            while (cinfo.output_scanline < cinfo.output_height) {
                JSAMPROW row = img.ptr<uchar>(int(cinfo.output_scanline));
                jpeg_read_scanlines(&cinfo, &row, 1);
                if (onRows)
                    onRows(row, std::size_t(img.cols));
            }
            jpeg_finish_decompress(&cinfo);
        }
    } else {
        img.release();
    }
    jpeg_destroy_decompress(&cinfo);
    return handled;
}

// Reads an image file as cv::imread(path, IMREAD_COLOR) does.
cv::Mat readLikeImread(const std::string& path, const toolkit::common::RowObserver& onRows)
{
    if (std::FILE* file = std::fopen(path.c_str(), "rb")) {
        unsigned char signature[3] = { 0, 0, 0 };
        const bool jpeg = std::fread(signature, 1, 3, file) == 3 && signature[0] == 0xff
            && signature[1] == 0xd8 && signature[2] == 0xff;
        cv::Mat img;
        const bool decoded
            = jpeg && std::fseek(file, 0, SEEK_SET) == 0 && decodeCommonJpeg(file, img, onRows);
        std::fclose(file);
        if (decoded)
            return img;
    }
    cv::Mat img = codecs::imread(path, cv::IMREAD_COLOR);
    if (onRows)
        for (int i = 0; i < img.rows; ++i)
            onRows(img.ptr<uchar>(i), std::size_t(img.cols));
    return img;
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

// The image reader's decoders take their error handlers from these two
// libraries' set-up calls; defined here, they hand the decoders handlers
// that report damage to readColourImage instead of printing it.
extern "C" struct jpeg_error_mgr* jpeg_std_error(struct jpeg_error_mgr* err)
{
    using Function = struct jpeg_error_mgr* (*)(struct jpeg_error_mgr*);
    static const Function next = nextDefinition<Function>("jpeg_std_error");
    struct jpeg_error_mgr* result = next(err);
    if (result->emit_message != emitJpegMessage) {
        gJpegDefaultEmit.store(result->emit_message);
        result->emit_message = emitJpegMessage;
    }
    return result;
}

extern "C" png_structp png_create_read_struct(
    png_const_charp version, png_voidp errorData, png_error_ptr errorFn, png_error_ptr warningFn)
{
    using Function = png_structp (*)(png_const_charp, png_voidp, png_error_ptr, png_error_ptr);
    static const Function next = nextDefinition<Function>("png_create_read_struct");
    // A caller with handlers of its own keeps them.
    return next(version, errorData, errorFn != nullptr ? errorFn : pngError,
        warningFn != nullptr ? warningFn : pngWarning);
}

namespace {

std::uint64_t limitFromEnvironment()
{
    const char* text = std::getenv("TOOLKIT_MAX_MEGAPIXELS");
    if (text != nullptr && *text != '\0') {
        char* end = nullptr;
        const std::uint64_t megapixels = std::strtoull(text, &end, 10);
        if (end != nullptr && *end == '\0' && megapixels > 0
            && megapixels < (std::uint64_t(1) << 40))
            return megapixels * kPixelsPerMegapixel;
    }
    return kDefaultMaxMegapixels * kPixelsPerMegapixel;
}

std::atomic<std::uint64_t> gPixelLimit { 0 };

} // namespace

std::uint64_t toolkit::common::maxImagePixels()
{
    std::uint64_t limit = gPixelLimit.load();
    if (limit == 0) {
        limit = limitFromEnvironment();
        std::uint64_t unset = 0;
        gPixelLimit.compare_exchange_strong(unset, limit);
        limit = gPixelLimit.load();
    }
    return limit;
}

void toolkit::common::setMaxImagePixels(std::uint64_t pixels)
{
    if (pixels > 0)
        gPixelLimit.store(pixels);
}

cv::Mat toolkit::common::readColourImage(const std::string& path, std::string& error)
{
    return readColourImage(path, error, RowObserver());
}

cv::Mat toolkit::common::readColourImage(
    const std::string& path, std::string& error, const RowObserver& onRows)
{
    error.clear();
    // Non-blocking, so that a FIFO given as an image is refused, not waited on.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        error = std::strerror(errno);
        return cv::Mat();
    }
    struct stat info { };
    bool ok = ::fstat(fd, &info) == 0;
    if (!ok)
        error = std::strerror(errno);
    else if (!S_ISREG(info.st_mode)) {
        error = S_ISDIR(info.st_mode) ? "it is a directory" : "not a regular file";
        ok = false;
    }
    if (ok)
        ok = withinLimit(readFromFd, &fd, error);
    ::close(fd);
    if (!ok)
        return cv::Mat();
    return decodeListening([&] { return readLikeImread(path, onRows); }, error);
}

cv::Mat toolkit::common::readColourImage(const std::string& path)
{
    std::string error;
    return readColourImage(path, error);
}

cv::Mat toolkit::common::decodeColourImage(const std::vector<uchar>& bytes, std::string& error)
{
    error.clear();
    if (bytes.empty()) {
        error = "no data";
        return cv::Mat();
    }
    // OpenCV's decoders read memory with other input routines than files,
    // and a JPEG cut short in memory ends without a word. Decoding the bytes
    // as a file, one that lives in memory only, gives the checks of reading.
    const int fd = ::memfd_create("image", MFD_CLOEXEC);
    if (fd < 0) {
        error = std::strerror(errno);
        return cv::Mat();
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = std::strerror(errno);
            ::close(fd);
            return cv::Mat();
        }
        done += static_cast<std::size_t>(n);
    }
    cv::Mat img = readColourImage("/proc/self/fd/" + std::to_string(fd), error);
    ::close(fd);
    return img;
}

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
        if (!codecs::imencode(name.substr(dot), img, encoded)) {
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
