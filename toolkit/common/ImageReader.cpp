// The image reader: the format is taken from the content, whatever the name;
// each format goes to its decoder, and what a decoder found ends in the facts.
#include "toolkit/common/ImageReader.hpp"

#include "toolkit/common/Codecs.hpp"
#include "toolkit/common/Decoders.hpp"

#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace codecs = toolkit::common::codecs;
namespace common = toolkit::common;
namespace decoders = toolkit::common::decoders;
namespace profiles = toolkit::common::profiles;
using common::ImageFacts;
using common::ProfileAction;
using common::ReadOptions;

namespace {

constexpr std::uint64_t kDefaultMaxMegapixels = 250;
constexpr std::uint64_t kPixelsPerMegapixel = 1000000;
// Bytes of a file's start that identify its format.
constexpr std::size_t kSignatureBytes = 64;
// The largest colour profile read from a TIFF or WebP file.
constexpr std::uint32_t kMaxProfileBytes = 16u << 20;
const char* const kProfilesVariable = "TOOLKIT_PROFILES";
const char* const kSampleDepths = "the comparisons take photographs of 8 or 16 bits a sample";

// How a format is read.
enum class Route {
    Unknown,
    Jpeg, // the toolkit's JPEG decoder
    Png, // the toolkit's PNG decoder
    Heif, // libheif
    OpenCv, // cv::imread
    FloatingPoint, // refused: floating-point samples
    Unsupported, // refused: a format the toolkit does not read
};

struct Format {
    Route route = Route::Unknown;
    const char* name = "";
};

bool startsWith(const unsigned char* head, std::size_t size, const char* signature, std::size_t n)
{
    return size >= n && std::memcmp(head, signature, n) == 0;
}

// The brand of an ISO base media file (HEIF, AVIF) among its first bytes.
Format isoMediaFormat(const unsigned char* head, std::size_t size)
{
    if (size < 16 || std::memcmp(head + 4, "ftyp", 4) != 0)
        return {};
    const std::size_t boxSize = (std::size_t(head[0]) << 24) | (std::size_t(head[1]) << 16)
        | (std::size_t(head[2]) << 8) | head[3];
    const std::size_t end = std::min(size, boxSize);
    bool heif = false;
    for (std::size_t at = 8; at + 4 <= end; at += at == 8 ? 8 : 4) {
        const std::string brand(reinterpret_cast<const char*>(head + at), 4);
        if (brand == "avif" || brand == "avis")
            return { Route::Heif, "AVIF" };
        if (brand == "heic" || brand == "heix" || brand == "hevc" || brand == "hevx"
            || brand == "heim" || brand == "heis" || brand == "hevm" || brand == "hevs"
            || brand == "mif1" || brand == "msf1")
            heif = true;
        if (brand == "qt  " || brand == "isom" || brand == "mp41" || brand == "mp42")
            return { Route::Unsupported, "MP4 or QuickTime video" };
    }
    if (heif)
        return { Route::Heif, "HEIF" };
    return {};
}

Format sniff(const unsigned char* head, std::size_t size)
{
    if (size >= 3 && head[0] == 0xff && head[1] == 0xd8 && head[2] == 0xff)
        return { Route::Jpeg, "JPEG" };
    if (startsWith(head, size, "\x89PNG\r\n\x1a\n", 8))
        return { Route::Png, "PNG" };
    const Format iso = isoMediaFormat(head, size);
    if (iso.route != Route::Unknown)
        return iso;
    if (startsWith(head, size, "II*\0", 4) || startsWith(head, size, "MM\0*", 4)
        || startsWith(head, size, "II+\0", 4) || startsWith(head, size, "MM\0+", 4))
        return { Route::OpenCv, "TIFF" };
    if (size >= 12 && std::memcmp(head, "RIFF", 4) == 0 && std::memcmp(head + 8, "WEBP", 4) == 0)
        return { Route::OpenCv, "WebP" };
    if (startsWith(head, size, "BM", 2))
        return { Route::OpenCv, "BMP" };
    if (size >= 2 && head[0] == 'P' && head[1] >= '1' && head[1] <= '7')
        return { Route::OpenCv, "PNM" };
    if (startsWith(head, size, "\x59\xa6\x6a\x95", 4))
        return { Route::OpenCv, "Sun raster" };
    if (startsWith(head, size, "\0\0\0\x0cjP  \r\n\x87\n", 12)
        || startsWith(head, size, "\xff\x4f\xff\x51", 4))
        return { Route::OpenCv, "JPEG 2000" };
    if (startsWith(head, size, "\x76\x2f\x31\x01", 4))
        return { Route::FloatingPoint, "OpenEXR" };
    if (startsWith(head, size, "#?RADIANCE", 10) || startsWith(head, size, "#?RGBE", 6))
        return { Route::FloatingPoint, "Radiance HDR" };
    if (size >= 3 && head[0] == 'P' && (head[1] == 'F' || head[1] == 'f')
        && (head[2] == '\n' || head[2] == '\r' || head[2] == ' '))
        return { Route::FloatingPoint, "PFM" };
    if (startsWith(head, size, "GIF87a", 6) || startsWith(head, size, "GIF89a", 6))
        return { Route::Unsupported, "GIF" };
    if (startsWith(head, size, "8BPS", 4))
        return { Route::Unsupported, "Photoshop (PSD)" };
    if (startsWith(head, size, "\xff\x0a", 2)
        || startsWith(head, size, "\0\0\0\x0cJXL \r\n\x87\n", 12))
        return { Route::Unsupported, "JPEG XL" };
    if (startsWith(head, size, "qoif", 4))
        return { Route::Unsupported, "QOI" };
    if (startsWith(head, size, "%PDF", 4))
        return { Route::Unsupported, "PDF" };
    return {};
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

std::uint32_t littleEndian16(const unsigned char* p)
{
    return std::uint32_t(p[0] | (p[1] << 8));
}

std::uint32_t littleEndian24(const unsigned char* p)
{
    return std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16);
}

// Reads up to `size` bytes at `offset`; the number read, fewer at the end.
std::size_t readAt(int fd, std::uint64_t offset, unsigned char* out, std::size_t size)
{
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pread(fd, out + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    return done;
}

// An open file's bytes, read where they are asked for: from the file itself
// or from a copy of them in memory.
class Bytes {
public:
    explicit Bytes(int fd)
        : fd_(fd)
    {
    }
    explicit Bytes(const std::vector<uchar>& copy)
        : copy_(&copy)
    {
    }

    // Reads up to `size` bytes at `offset`; the number read.
    std::size_t some(std::uint64_t offset, unsigned char* out, std::size_t size) const
    {
        if (copy_ == nullptr)
            return readAt(fd_, offset, out, size);
        if (offset >= copy_->size())
            return 0;
        const std::size_t n = std::min<std::uint64_t>(size, copy_->size() - offset);
        std::memcpy(out, copy_->data() + offset, n);
        return n;
    }

    // Reads `size` bytes at `offset`; false when there are fewer.
    bool read(std::uint64_t offset, unsigned char* out, std::size_t size) const
    {
        return some(offset, out, size) == size;
    }

    std::uint64_t size() const
    {
        if (copy_ != nullptr)
            return copy_->size();
        struct stat info { };
        return ::fstat(fd_, &info) == 0 ? std::uint64_t(info.st_size) : 0;
    }

private:
    int fd_ = -1;
    const std::vector<uchar>* copy_ = nullptr;
};

// The file's bytes, as many as it held when it was opened (`size`, from
// fstat): a file that grows meanwhile is read no further.
bool readWhole(int fd, std::uint64_t size, std::vector<uchar>& data, std::string& error)
{
    data.resize(size);
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n
            = ::pread(fd, data.data() + done, data.size() - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            error = std::strerror(errno);
            return false;
        }
        if (n == 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    data.resize(done);
    return true;
}

// A width and height as a header announces them; `known` false when the
// header could not be read.
struct ImageSize {
    bool known = false;
    std::uint64_t width = 0;
    std::uint64_t height = 0;

    // Keeps the larger of two sizes a file announces (a WebP canvas and its
    // frame, a tag given twice).
    void take(std::uint64_t w, std::uint64_t h)
    {
        if (!known || w * h > width * height) {
            width = w;
            height = h;
        }
        known = true;
    }
};

// What a TIFF file's first directory says of its size, samples and colours.
struct TiffLayout {
    ImageSize size;
    int bitsPerSample = 8;
    int samplesPerPixel = 1;
    int sampleFormat = 1; // 1 unsigned, 2 signed, 3 floating point
    int photometric = -1;
    bool extraSamples = false;
    std::vector<uchar> icc;
};

// Reads the first image directory of a TIFF file, classic or BigTIFF; the
// defaults stay for anything it cannot read.
TiffLayout readTiffLayout(const Bytes& file)
{
    constexpr std::uint64_t kMostEntries = 0xffff;
    TiffLayout layout;
    unsigned char header[16];
    if (!file.read(0, header, 8) || header[0] != header[1])
        return layout;
    const bool little = header[0] == 'I';
    // An unsigned number of `n` bytes in the file's byte order.
    auto number = [little](const unsigned char* p, std::size_t n) {
        std::uint64_t v = 0;
        for (std::size_t k = 0; k < n; ++k)
            v |= std::uint64_t(p[little ? k : n - 1 - k]) << (8 * k);
        return v;
    };
    const std::uint64_t version = number(header + 2, 2);
    const bool big = version == 43;
    if (version != 42 && !(big && file.read(0, header, 16) && number(header + 4, 2) == 8))
        return layout;
    // Classic TIFF: a 2-byte entry count and 12-byte entries holding 4 bytes
    // of value; BigTIFF: 8-byte counts and 20-byte entries holding 8.
    const std::size_t countBytes = big ? 8 : 2;
    const std::size_t valueBytes = big ? 8 : 4;
    const std::size_t entryBytes = 4 + 2 * valueBytes;
    const std::uint64_t directory = big ? number(header + 8, 8) : number(header + 4, 4);
    unsigned char countField[8];
    if (!file.read(directory, countField, countBytes))
        return layout;
    const std::uint64_t count = number(countField, countBytes);
    if (count > kMostEntries)
        return layout;
    std::vector<unsigned char> entries(std::size_t(count) * entryBytes);
    if (!file.read(directory + countBytes, entries.data(), entries.size()))
        return layout;
    for (std::uint64_t k = 0; k < count; ++k) {
        const unsigned char* e = entries.data() + entryBytes * k;
        const std::uint64_t tag = number(e, 2);
        const std::uint64_t type = number(e + 2, 2);
        const std::uint64_t n = number(e + 4, valueBytes);
        const unsigned char* value = e + 4 + valueBytes;
        // The first value of an integer field, held in the entry or at its
        // offset; false for other types.
        auto first = [&](std::uint64_t& v) {
            const std::size_t width = type == 1 || type == 6 ? 1
                : type == 3 || type == 8                     ? 2
                : type == 4 || type == 9                     ? 4
                : type == 16 || type == 17                   ? 8
                                                             : 0;
            if (width == 0 || n == 0)
                return false;
            if (n <= valueBytes / width) {
                v = number(value, width);
                return true;
            }
            unsigned char at[8];
            if (!file.read(number(value, valueBytes), at, width))
                return false;
            v = number(at, width);
            return true;
        };
        std::uint64_t v = 0;
        switch (tag) {
        case 256: // ImageWidth
        case 257: // ImageLength
            if (first(v)) {
                const std::uint64_t width = tag == 256 ? v : layout.size.width;
                const std::uint64_t height = tag == 257 ? v : layout.size.height;
                layout.size.width = std::max(layout.size.width, width);
                layout.size.height = std::max(layout.size.height, height);
            }
            break;
        case 258:
        case 262:
        case 277:
        case 339: {
            int* field = tag == 258 ? &layout.bitsPerSample
                : tag == 262        ? &layout.photometric
                : tag == 277        ? &layout.samplesPerPixel
                                    : &layout.sampleFormat;
            if (first(v) && v <= 0xffff)
                *field = int(v);
            break;
        }
        case 338:
            layout.extraSamples = n > 0;
            break;
        case 34675:
            if (n > 4 && n <= kMaxProfileBytes) {
                layout.icc.resize(std::size_t(n));
                if (!file.read(number(value, valueBytes), layout.icc.data(), layout.icc.size()))
                    layout.icc.clear();
            }
            break;
        default:
            break;
        }
    }
    layout.size.known = layout.size.width > 0 && layout.size.height > 0;
    return layout;
}

// What a WebP file's headers say: its size (the canvas of an extended
// header, the frame of a lossy or lossless bitstream), profile and alpha.
struct WebpLayout {
    ImageSize size;
    bool alpha = false;
    std::vector<uchar> icc;
};

WebpLayout readWebpLayout(const Bytes& file)
{
    WebpLayout layout;
    std::uint64_t offset = 12;
    unsigned char chunk[8];
    for (int chunks = 0; chunks < 64 && file.read(offset, chunk, 8); ++chunks) {
        const std::uint32_t size = littleEndian32(chunk + 4);
        unsigned char head[10];
        if (std::memcmp(chunk, "VP8X", 4) == 0) {
            // Flags, three reserved bytes, then the canvas's width and
            // height less one, 24 bits each.
            if (file.read(offset + 8, head, 10)) {
                layout.alpha = (head[0] & 0x10) != 0;
                layout.size.take(littleEndian24(head + 4) + 1u, littleEndian24(head + 7) + 1u);
            }
        } else if (std::memcmp(chunk, "ICCP", 4) == 0) {
            if (size > 0 && size <= kMaxProfileBytes) {
                layout.icc.resize(size);
                if (!file.read(offset + 8, layout.icc.data(), size))
                    layout.icc.clear();
            }
        } else if (std::memcmp(chunk, "VP8 ", 4) == 0) {
            // A key frame: its tag, a start code, 14 bits of width and of
            // height (above them, a scale the decoder does not apply).
            if (file.read(offset + 8, head, 10) && std::memcmp(head + 3, "\x9d\x01\x2a", 3) == 0)
                layout.size.take(
                    littleEndian16(head + 6) & 0x3fff, littleEndian16(head + 8) & 0x3fff);
            break; // the profile comes before the image data
        } else if (std::memcmp(chunk, "VP8L", 4) == 0) {
            // A signature byte, then the width and height less one, 14 bits
            // each, and whether alpha is used.
            if (file.read(offset + 8, head, 5) && head[0] == 0x2f) {
                const std::uint32_t bits = littleEndian32(head + 1);
                layout.size.take((bits & 0x3fff) + 1u, ((bits >> 14) & 0x3fff) + 1u);
                layout.alpha = layout.alpha || (bits >> 28 & 1) != 0;
            }
            break;
        }
        offset += 8 + std::uint64_t(size) + (size & 1);
    }
    return layout;
}

// A BMP file's size: 16-bit sides in OS/2's 12-byte core header, 32-bit
// ones in the others (a negative height for rows stored top down; a negative
// width, which OpenCV refuses, is counted as the unsigned number it makes).
ImageSize bmpSize(const Bytes& file)
{
    ImageSize size;
    unsigned char head[26];
    if (!file.read(0, head, sizeof head))
        return size;
    if (littleEndian32(head + 14) == 12) {
        size.take(littleEndian16(head + 18), littleEndian16(head + 20));
    } else {
        const std::int64_t height = static_cast<std::int32_t>(littleEndian32(head + 22));
        size.take(littleEndian32(head + 18), std::uint64_t(height < 0 ? -height : height));
    }
    return size;
}

// The numbers of a portable pixmap's header, after its magic: width, height
// and (but for P1 and P4) the largest value, separated by white space,
// comments running to the line end; for PAM (P7), the values of its WIDTH,
// HEIGHT and MAXVAL lines, and its DEPTH. `end` is where the pixels start.
// Numbers stop growing at 2^31, beyond which OpenCV takes none.
struct PnmHeader {
    bool complete = false;
    std::uint64_t values[3] = { 0, 0, 0 };
    std::uint64_t depth = 1;
    std::size_t end = 0;
};

PnmHeader readPnmHeader(const unsigned char* head, std::size_t size)
{
    constexpr std::uint64_t kLargest = std::uint64_t(1) << 31;
    PnmHeader header;
    if (size < 3)
        return header;
    std::size_t at = 2;
    // The next word of the header, comments skipped; "" at its end.
    auto word = [&]() {
        while (at < size && (std::isspace(head[at]) || head[at] == '#')) {
            if (head[at] == '#')
                while (at < size && head[at] != '\n')
                    ++at;
            else
                ++at;
        }
        const std::size_t start = at;
        while (at < size && !std::isspace(head[at]) && head[at] != '#')
            ++at;
        return std::string(reinterpret_cast<const char*>(head + start), at - start);
    };
    auto parse = [&](const std::string& text, std::uint64_t& value) {
        if (text.empty() || !std::all_of(text.begin(), text.end(), [](char c) {
                return std::isdigit(static_cast<unsigned char>(c)) != 0;
            }))
            return false;
        value = 0;
        for (const char c : text)
            value = std::min(kLargest, value * 10 + std::uint64_t(c - '0'));
        return true;
    };
    if (head[1] == '7') {
        bool width = false, height = false;
        for (std::string key = word(); !key.empty(); key = word()) {
            if (key == "ENDHDR") {
                while (at < size && head[at] != '\n')
                    ++at;
                header.end = at + 1;
                header.complete = width && height && at < size;
                return header;
            }
            if (key == "WIDTH")
                width = parse(word(), header.values[0]);
            else if (key == "HEIGHT")
                height = parse(word(), header.values[1]);
            else if (key == "MAXVAL")
                parse(word(), header.values[2]);
            else if (key == "DEPTH")
                parse(word(), header.depth);
        }
        return header;
    }
    const int wanted = head[1] == '1' || head[1] == '4' ? 2 : 3;
    for (int v = 0; v < wanted; ++v)
        if (!parse(word(), header.values[v]))
            return header;
    if (at >= size)
        return header;
    header.end = at + 1; // the single white space before the pixels
    header.complete = true;
    return header;
}

// The bytes of a portable pixmap's header read at most.
constexpr std::size_t kPnmHeaderBytes = 4096;

ImageSize pnmSize(const Bytes& file)
{
    ImageSize size;
    unsigned char head[kPnmHeaderBytes];
    const PnmHeader header = readPnmHeader(head, file.some(0, head, sizeof head));
    if (header.complete)
        size.take(header.values[0], header.values[1]);
    return size;
}

// A Sun raster file's size: after its magic, width and height, 32 bits each.
ImageSize sunRasterSize(const Bytes& file)
{
    ImageSize size;
    unsigned char head[12];
    if (file.read(0, head, sizeof head))
        size.take(bigEndian32(head + 4), bigEndian32(head + 8));
    return size;
}

// The size a JPEG 2000 code stream's SIZ segment gives (the reference grid
// less its offset), from a bare code stream or from the code stream box of a
// JP2 file.
ImageSize jpeg2000Size(const Bytes& file)
{
    ImageSize size;
    std::uint64_t stream = 0;
    unsigned char box[16];
    if (file.read(0, box, 4) && std::memcmp(box, "\xff\x4f\xff\x51", 4) != 0) {
        // The boxes of a JP2 file, up to its code stream.
        std::uint64_t offset = 0;
        for (int boxes = 0;; ++boxes) {
            if (boxes == 64 || !file.read(offset, box, 8))
                return size;
            std::uint64_t length = bigEndian32(box);
            std::uint64_t header = 8;
            if (length == 1) {
                if (!file.read(offset + 8, box + 8, 8))
                    return size;
                length = (std::uint64_t(bigEndian32(box + 8)) << 32) | bigEndian32(box + 12);
                header = 16;
            }
            if (std::memcmp(box + 4, "jp2c", 4) == 0) {
                stream = offset + header;
                break;
            }
            if (length < header)
                return size; // the last box, or none
            offset += length;
        }
    }
    // SOC, SIZ marker, Lsiz, Rsiz, Xsiz, Ysiz, XOsiz, YOsiz.
    unsigned char siz[24];
    if (!file.read(stream, siz, sizeof siz) || std::memcmp(siz, "\xff\x4f\xff\x51", 4) != 0)
        return size;
    const std::uint64_t right = bigEndian32(siz + 8), bottom = bigEndian32(siz + 12);
    const std::uint64_t left = bigEndian32(siz + 16), top = bigEndian32(siz + 20);
    if (left < right && top < bottom)
        size.take(right - left, bottom - top);
    return size;
}

// The size the header of a file that OpenCV decodes announces.
ImageSize openCvImageSize(const Bytes& file, const Format& format)
{
    const std::string name = format.name;
    if (name == "TIFF")
        return readTiffLayout(file).size;
    if (name == "WebP")
        return readWebpLayout(file).size;
    if (name == "BMP")
        return bmpSize(file);
    if (name == "PNM")
        return pnmSize(file);
    if (name == "Sun raster")
        return sunRasterSize(file);
    if (name == "JPEG 2000")
        return jpeg2000Size(file);
    return {};
}

// Whether a file that OpenCV decodes is within the pixel limit by its
// header; a header without a readable size is damage, since OpenCV's
// decoders would allocate for whatever they make of it.
bool openCvWithinLimit(const Bytes& file, const Format& format, std::string& error)
{
    const ImageSize size = openCvImageSize(file, format);
    if (!size.known) {
        error = std::string("damaged ") + format.name + " data (its header gives no image size)";
        return false;
    }
    return decoders::withinPixelLimit(size.width, size.height, error);
}

// What is wrong with a file whose OpenCV decoder would report it on standard
// error: uncompressed BMP and binary PNM and PAM shorter than their headers say, a
// BMP of an unknown compression, a WebP file shorter than the 32 bytes
// OpenCV reads first. "" when nothing is found.
std::string damageBeforeDecoding(const Bytes& file, const Format& format)
{
    const std::uint64_t size = file.size();
    const std::string cut = "the file is cut short";
    unsigned char head[kPnmHeaderBytes] = {};
    const std::size_t got = file.some(0, head, sizeof head);
    if (std::strcmp(format.name, "BMP") == 0) {
        const std::uint32_t headerBytes = got >= 18 ? littleEndian32(head + 14) : 0;
        // OS/2's 12-byte core header: 16-bit sides and bits a pixel, no
        // compression.
        const bool core = headerBytes == 12;
        if (got < (core ? 26u : 34u))
            return cut;
        const std::uint64_t offset = littleEndian32(head + 10);
        const std::int64_t columns = core
            ? std::int64_t(littleEndian16(head + 18))
            : std::int64_t(static_cast<std::int32_t>(littleEndian32(head + 18)));
        const std::int64_t rows = core
            ? std::int64_t(littleEndian16(head + 20))
            : std::int64_t(static_cast<std::int32_t>(littleEndian32(head + 22)));
        const std::uint64_t width = std::uint64_t(std::max<std::int64_t>(columns, 0));
        const std::uint64_t height = std::uint64_t(rows < 0 ? -rows : rows);
        const std::uint64_t bits = littleEndian16(head + (core ? 24 : 28));
        const std::uint32_t compression = core ? 0 : littleEndian32(head + 30);
        if ((core || headerBytes >= 40) && (columns <= 0 || rows == 0))
            return "its header gives no pixels";
        if (headerBytes >= 40 && compression > 3)
            return "compression " + std::to_string(compression) + " is not one OpenCV reads";
        if (!core && (headerBytes < 40 || (compression != 0 && compression != 3)))
            return ""; // an old header or run-length data: OpenCV judges
        const std::uint64_t rowBytes = (width * bits + 31) / 32 * 4;
        return size < offset + rowBytes * height ? cut : "";
    }
    if (std::strcmp(format.name, "WebP") == 0)
        return size < 32 ? cut : "";
    if (std::strcmp(format.name, "PNM") == 0 && got > 2 && head[1] >= '4' && head[1] <= '7') {
        const PnmHeader header = readPnmHeader(head, got);
        if (!header.complete)
            return "";
        const std::uint64_t channels = head[1] == '6' ? 3 : head[1] == '7' ? header.depth : 1;
        const std::uint64_t rowBytes = head[1] == '4'
            ? (header.values[0] + 7) / 8
            : header.values[0] * channels * (header.values[2] > 255 ? 2 : 1);
        return size < header.end + rowBytes * header.values[1] ? cut : "";
    }
    return "";
}

// The share of pixels not fully opaque in an image with an alpha channel.
double nonOpaqueShare(const cv::Mat& img)
{
    if (img.empty() || (img.channels() != 2 && img.channels() != 4))
        return -1.0;
    std::vector<cv::Mat> planes;
    cv::split(img, planes);
    const double opaque = img.depth() == CV_16U ? 65535.0 : 255.0;
    const cv::Mat& alpha = planes.back();
    cv::Mat below;
    cv::compare(alpha, cv::Scalar(opaque), below, cv::CMP_LT);
    return double(cv::countNonZero(below)) / double(img.total());
}

// Formats OpenCV reads: its pixels, converted through the file's profile.
// OpenCV decodes the file's bytes as they were read into memory, which are
// the bytes its header was judged on. (Its Sun raster decoder reads files
// only: OpenCV gives it a temporary copy of the bytes.)
cv::Mat readThroughOpenCv(int fd, std::uint64_t fileSize, const Format& format, std::string& error,
    ImageFacts& facts, const ReadOptions& options)
{
    // The size is judged on the file, so that a large file above the limit is
    // not read in vain, then on the bytes read, which are what is decoded.
    if (!openCvWithinLimit(Bytes(fd), format, error))
        return cv::Mat();
    std::vector<uchar> data;
    if (!readWhole(fd, fileSize, data, error))
        return cv::Mat();
    const Bytes file(data);
    if (!openCvWithinLimit(file, format, error))
        return cv::Mat();

    std::vector<uchar> icc;
    bool wide = false;
    if (std::strcmp(format.name, "TIFF") == 0) {
        TiffLayout tiff = readTiffLayout(file);
        // Photographs store unsigned integers; signed and floating-point
        // samples are measurements, which OpenCV would squeeze into 8 bits.
        if (tiff.sampleFormat != 1 || tiff.bitsPerSample > 16) {
            const char* kind = tiff.sampleFormat == 3 ? "floating-point"
                : tiff.sampleFormat == 2              ? "signed integer"
                                                      : "integer";
            error = std::string("a TIFF image of ") + std::to_string(tiff.bitsPerSample) + "-bit "
                + kind + " samples: " + kSampleDepths;
            return cv::Mat();
        }
        facts.bitDepth = tiff.bitsPerSample;
        facts.grey = tiff.photometric == 0 || tiff.photometric == 1;
        facts.cmyk = tiff.photometric == 5;
        // Samples beyond the colour's are alpha, whether or not the file
        // says so (OpenCV writes B, G, R, A without ExtraSamples).
        const int colourSamples = tiff.photometric == 2 || tiff.photometric == 6
                || (tiff.photometric >= 8 && tiff.photometric <= 10)
            ? 3
            : facts.cmyk ? 4
                         : 1;
        facts.alpha
            = tiff.extraSamples || (tiff.photometric >= 0 && tiff.samplesPerPixel > colourSamples);
        wide = tiff.bitsPerSample == 16;
        icc = std::move(tiff.icc);
    } else if (std::strcmp(format.name, "WebP") == 0) {
        WebpLayout webp = readWebpLayout(file);
        facts.bitDepth = 8;
        facts.alpha = webp.alpha;
        icc = std::move(webp.icc);
    } else {
        facts.bitDepth = 8;
    }

    std::shared_ptr<const profiles::Transform> transform;
    profiles::PixelLayout layout
        = wide ? profiles::PixelLayout::Bgr16 : profiles::PixelLayout::Bgr8;
    if (facts.grey)
        layout = wide ? profiles::PixelLayout::Grey16 : profiles::PixelLayout::Grey8;
    if (!icc.empty() && facts.cmyk) {
        // OpenCV gives a CMYK TIFF's pixels already made B, G, R.
        facts.hasProfile = true;
        const profiles::Decision decision = profiles::decide(icc, profiles::PixelLayout::Cmyk8);
        facts.profile = decision.description;
        facts.profileAction = options.profiles == common::ProfileHandling::Ignore
            ? ProfileAction::Ignored
            : ProfileAction::Unusable;
        if (facts.profileAction == ProfileAction::Unusable)
            facts.warning = "the CMYK profile of a TIFF file is not applied";
    } else if (!icc.empty()) {
        transform = decoders::chooseTransform(icc, layout, options, facts);
    }

    if (const std::string damage = damageBeforeDecoding(file, format); !damage.empty()) {
        error = std::string("damaged ") + format.name + " data (" + damage + ")";
        return cv::Mat();
    }
    // OpenCV decodes a WebP image with alpha as B, G, R, A whatever it is
    // asked for, and drops the alpha for IMREAD_COLOR: one decoding gives
    // both. Other formats are decoded again for their alpha.
    const bool webpAlpha = facts.alpha && std::strcmp(format.name, "WebP") == 0;
    const int flags = webpAlpha ? cv::IMREAD_UNCHANGED
        : transform && wide     ? cv::IMREAD_COLOR | cv::IMREAD_ANYDEPTH
                                : cv::IMREAD_COLOR;
    cv::Mat img = codecs::imdecode(data, flags);
    if (webpAlpha && !img.empty()) {
        facts.nonOpaqueShare = nonOpaqueShare(img);
        if (img.channels() == 4) {
            cv::Mat bgr(img.size(), CV_8UC3);
            const int bgrOfBgra[] = { 0, 0, 1, 1, 2, 2 };
            cv::mixChannels(&img, 1, &bgr, 1, bgrOfBgra, 3);
            img = bgr;
        }
    } else if (facts.alpha && !img.empty()) {
        facts.nonOpaqueShare = nonOpaqueShare(codecs::imdecode(data, cv::IMREAD_UNCHANGED));
    }
    if (img.empty() || img.channels() != 3) {
        error = std::string("cannot decode ") + format.name
            + " data (damaged, or a kind of the format OpenCV does not read)";
        return cv::Mat();
    }
    if (transform) {
        cv::Mat converted(img.size(), CV_8UC3);
        const bool grey = profiles::modelOf(layout) == profiles::ColourModel::Grey;
        cv::Mat channel;
        for (int i = 0; i < img.rows; ++i) {
            const uchar* in = img.ptr<uchar>(i);
            if (grey) {
                cv::extractChannel(img.row(i), channel, 0);
                in = channel.ptr<uchar>(0);
            }
            transform->apply(in, converted.ptr<uchar>(i), std::size_t(img.cols));
        }
        img = converted;
    }
    if (img.depth() != CV_8U) // never: IMREAD_COLOR gives 8 bits
        img.convertTo(img, CV_8U);
    decoders::showRows(img, options);
    return img;
}

std::string percent(double share)
{
    std::ostringstream text;
    text.precision(3);
    text << share * 100.0 << "%";
    return text.str();
}

// Bytes the decoders' stream reads from the file at a time.
constexpr std::size_t kStreamBuffer = std::size_t(1) << 16;

// Reads the open file `fd` of `size` bytes (as fstat gave it): the format
// from its content, the image by the format's decoder, which judges its size
// from the header it reads. The file is never opened again.
cv::Mat readOpenFile(
    int fd, std::uint64_t size, std::string& error, ImageFacts& facts, const ReadOptions& options)
{
    unsigned char head[kSignatureBytes] = {};
    const ssize_t got = ::pread(fd, head, sizeof head, 0);
    const Format format = sniff(head, got > 0 ? std::size_t(got) : 0);
    facts.format = format.name;
    switch (format.route) {
    case Route::Unknown:
        error = got == 0 ? "the file is empty" : "not an image in a known format";
        return cv::Mat();
    case Route::Unsupported:
        error = std::string("a ") + format.name + " file: the format is not supported (convert it "
            + "to PNG, JPEG or TIFF)";
        return cv::Mat();
    case Route::FloatingPoint:
        error = std::string("a floating-point image (") + format.name + "): " + kSampleDepths;
        return cv::Mat();
    default:
        break;
    }
    if (format.route == Route::Heif) {
        std::vector<uchar> data;
        if (!readWhole(fd, size, data, error))
            return cv::Mat();
        return decoders::decodeHeif(data, error, facts, options);
    }
    if (format.route == Route::OpenCv)
        return readThroughOpenCv(fd, size, format, error, facts, options);

    // libjpeg and libpng read from a stream of their own on the same file;
    // they ask for 4 KiB at a time, the stream reads more at once.
    std::vector<char> buffer(kStreamBuffer);
    const int own = ::dup(fd);
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(
        own >= 0 ? ::fdopen(own, "rb") : nullptr, std::fclose);
    if (!file) {
        error = std::strerror(errno);
        if (own >= 0)
            ::close(own);
        return cv::Mat();
    }
    std::setvbuf(file.get(), buffer.data(), _IOFBF, buffer.size());
    return format.route == Route::Jpeg ? decoders::decodeJpeg(file.get(), error, facts, options)
                                       : decoders::decodePng(file.get(), error, facts, options);
}

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

std::shared_ptr<const profiles::Transform> decoders::chooseTransform(const std::vector<uchar>& icc,
    profiles::PixelLayout layout, const ReadOptions& options, ImageFacts& facts)
{
    if (icc.empty())
        return nullptr;
    facts.hasProfile = true;
    const profiles::Decision decision = profiles::decide(icc, layout);
    facts.profile = decision.description.empty() ? "unnamed profile" : decision.description;
    if (options.profiles == ProfileHandling::Ignore) {
        facts.profileAction = ProfileAction::Ignored;
        return nullptr;
    }
    if (!decision.unusable.empty()) {
        facts.profileAction = ProfileAction::Unusable;
        facts.warning = decision.unusable;
        return nullptr;
    }
    if (decision.isSrgb) {
        facts.profileAction = ProfileAction::Kept;
        return nullptr;
    }
    facts.profileAction = ProfileAction::Converted;
    return decision.transform;
}

bool decoders::withinPixelLimit(std::uint64_t width, std::uint64_t height, std::string& error)
{
    const std::uint64_t limit = common::maxImagePixels();
    if (height == 0 || width <= limit / height)
        return true;
    // Sides of 32 bits or less multiply without overflow; larger ones, which
    // only a damaged header gives, are counted roughly.
    const long double pixels = static_cast<long double>(width) * static_cast<long double>(height);
    const std::string megapixels = width <= UINT32_MAX && height <= UINT32_MAX
        ? std::to_string((width * height + kPixelsPerMegapixel / 2) / kPixelsPerMegapixel)
        : std::to_string(std::llround(pixels / kPixelsPerMegapixel));
    error = "the image is " + std::to_string(width) + " x " + std::to_string(height) + " pixels ("
        + megapixels + " megapixels), above the limit of "
        + std::to_string(limit / kPixelsPerMegapixel)
        + " megapixels (set TOOLKIT_MAX_MEGAPIXELS, or --max-megapixels of compare-pairs, to raise "
          "it)";
    return false;
}

void decoders::showRows(const cv::Mat& img, const ReadOptions& options)
{
    if (options.onRows)
        for (int i = 0; i < img.rows; ++i)
            options.onRows(img.ptr<uchar>(i), std::size_t(img.cols));
}

void decoders::applyOrientation(cv::Mat& img, int orientation)
{
    switch (orientation) {
    case 2:
        cv::flip(img, img, 1);
        break;
    case 3:
        cv::flip(img, img, -1);
        break;
    case 4:
        cv::flip(img, img, 0);
        break;
    case 5:
        cv::transpose(img, img);
        break;
    case 6:
        cv::transpose(img, img);
        cv::flip(img, img, 1);
        break;
    case 7:
        cv::transpose(img, img);
        cv::flip(img, img, -1);
        break;
    case 8:
        cv::transpose(img, img);
        cv::flip(img, img, 0);
        break;
    default:
        break;
    }
}

int decoders::exifOrientation(const uchar* data, std::size_t size, std::size_t skip)
{
    constexpr std::uint32_t kOrientationTag = 0x0112;
    if (size <= skip)
        return 0;
    const uchar* tiff = data + skip;
    const std::size_t n = size - skip;
    if (n < 2 || tiff[0] != tiff[1] || (tiff[0] != 'I' && tiff[0] != 'M'))
        return 0;
    const bool little = tiff[0] == 'I';
    // A value past the end stops the reading, keeping what came before.
    auto u16 = [&](std::size_t at, std::uint32_t& v) {
        if (at + 1 >= n)
            return false;
        v = little ? std::uint32_t(tiff[at] | (tiff[at + 1] << 8))
                   : std::uint32_t((tiff[at] << 8) | tiff[at + 1]);
        return true;
    };
    std::uint32_t mark = 0, count = 0;
    if (!u16(2, mark) || mark != 0x2a || n < 8)
        return 0;
    const std::uint32_t start = little ? littleEndian32(tiff + 4) : bigEndian32(tiff + 4);
    if (!u16(start, count))
        return 0;
    std::size_t at = std::size_t(start) + 2;
    for (std::uint32_t k = 0; k < count; ++k, at += 12) {
        std::uint32_t tag = 0, value = 0;
        if (!u16(at, tag))
            return 0;
        if (tag == kOrientationTag)
            return u16(at + 8, value) ? int(value) : 0;
    }
    return 0;
}

std::string common::ImageFacts::reading() const
{
    std::vector<std::string> parts;
    const std::string name = "\"" + profile + "\"";
    if (cmyk) {
        parts.push_back(profileAction == ProfileAction::Converted
                ? "CMYK converted through its profile " + name
                : "CMYK converted without a profile");
        if (profileAction == ProfileAction::Ignored)
            parts.push_back("profile " + name + " ignored");
        else if (profileAction == ProfileAction::Unusable)
            parts.push_back("profile " + name + " unusable");
    } else {
        switch (profileAction) {
        case ProfileAction::None:
            break;
        case ProfileAction::Kept:
            parts.push_back("sRGB profile " + name + " kept");
            break;
        case ProfileAction::Converted:
            parts.push_back("converted to sRGB from " + name);
            break;
        case ProfileAction::Ignored:
            parts.push_back("profile " + name + " ignored");
            break;
        case ProfileAction::Unusable:
            parts.push_back("profile " + name + " unusable, taken as sRGB");
            break;
        }
    }
    if (alpha)
        parts.push_back(nonOpaqueShare < 0.0
                ? std::string("alpha dropped")
                : "alpha dropped (" + percent(nonOpaqueShare) + " not opaque)");
    if (parts.empty())
        return "as stored";
    std::string text = parts[0];
    for (std::size_t k = 1; k < parts.size(); ++k)
        text += "; " + parts[k];
    return text;
}

std::string common::readingNotice(const std::string& path, const ImageFacts& facts)
{
    const std::string file = "\"" + path + "\": ";
    const std::string profile = "\"" + facts.profile + "\"";
    switch (facts.profileAction) {
    case ProfileAction::Converted:
        return file
            + (facts.cmyk ? "CMYK converted to sRGB through its colour profile "
                          : "converted to sRGB from its colour profile ")
            + profile;
    case ProfileAction::Unusable:
        return "warning: " + file + "its colour profile " + profile + " cannot be used ("
            + facts.warning + "); measured as sRGB";
    default:
        break;
    }
    if (facts.cmyk)
        return file + "CMYK converted to sRGB without a colour profile";
    return "";
}

bool common::parseProfileHandling(const std::string& text, ProfileHandling& handling)
{
    if (text == "convert")
        handling = ProfileHandling::Convert;
    else if (text == "ignore")
        handling = ProfileHandling::Ignore;
    else
        return false;
    return true;
}

common::ProfileHandling common::profileHandlingFromEnvironment(std::string& error)
{
    error.clear();
    ProfileHandling handling = ProfileHandling::Convert;
    const char* text = std::getenv(kProfilesVariable);
    if (text != nullptr && *text != '\0' && !parseProfileHandling(text, handling))
        error = std::string(kProfilesVariable) + " is \"" + text
            + "\": it takes \"convert\" or \"ignore\"";
    return handling;
}

std::uint64_t common::maxImagePixels()
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

void common::setMaxImagePixels(std::uint64_t pixels)
{
    if (pixels > 0)
        gPixelLimit.store(pixels);
}

cv::Mat common::readPhotograph(
    const std::string& path, std::string& error, ImageFacts* facts, const ReadOptions& options)
{
    error.clear();
    ImageFacts found;
    if (path.find('\0') != std::string::npos) {
        error = "the path holds a NUL byte";
        return cv::Mat();
    }
    // Non-blocking, so that a FIFO given as an image is refused, not waited on.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        error = std::strerror(errno);
        return cv::Mat();
    }
    struct stat info { };
    cv::Mat img;
    if (::fstat(fd, &info) != 0) {
        error = std::strerror(errno);
    } else if (!S_ISREG(info.st_mode)) {
        error = S_ISDIR(info.st_mode) ? "it is a directory" : "not a regular file";
    } else {
        try {
            img = readOpenFile(fd, std::uint64_t(info.st_size), error, found, options);
        } catch (const cv::Exception& e) {
            // OpenCV's allocator raises StsNoMem, its decoders other codes.
            img.release();
            error = e.code == cv::Error::StsNoMem ? std::string("out of memory")
                                                  : std::string("cannot decode: ") + e.err;
        } catch (const std::bad_alloc&) {
            img.release();
            error = "out of memory";
        }
    }
    ::close(fd);
    if (img.empty()) {
        if (error.empty())
            error = "not an image in a known format, or damaged";
        return cv::Mat();
    }
    found.width = img.cols;
    found.height = img.rows;
    if (facts != nullptr)
        *facts = std::move(found);
    return img;
}

cv::Mat common::readColourImage(const std::string& path, std::string& error)
{
    return readPhotograph(path, error);
}

cv::Mat common::readColourImage(const std::string& path)
{
    std::string error;
    return readPhotograph(path, error);
}

cv::Mat common::readColourImage(
    const std::string& path, std::string& error, const RowObserver& onRows)
{
    ReadOptions options;
    options.onRows = onRows;
    return readPhotograph(path, error, nullptr, options);
}

cv::Mat common::decodeColourImage(const std::vector<uchar>& bytes, std::string& error,
    ImageFacts* facts, const ReadOptions& options)
{
    error.clear();
    if (bytes.empty()) {
        error = "no data";
        return cv::Mat();
    }
    // The decoders read files; bytes in memory become a file that lives in
    // memory only, which gives them the checks of reading.
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
    cv::Mat img = readPhotograph("/proc/self/fd/" + std::to_string(fd), error, facts, options);
    ::close(fd);
    return img;
}
