// The image reader: the format is taken from the content, whatever the name;
// each format goes to its decoder, and what a decoder found ends in the facts.
#include "toolkit/common/ImageReader.hpp"

#include "toolkit/common/Codecs.hpp"
#include "toolkit/common/Decoders.hpp"

#include <opencv2/imgcodecs.hpp> // flags only

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

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

// Reads `size` bytes at `offset`; false when the file holds fewer.
bool readAt(int fd, std::uint64_t offset, unsigned char* out, std::size_t size)
{
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
bool headerSize(int fd, std::uint64_t& width, std::uint64_t& height)
{
    unsigned char head[26];
    if (!readAt(fd, 0, head, 2))
        return false;
    if (readAt(fd, 0, head, 24) && std::memcmp(head, "\x89PNG\r\n\x1a\n", 8) == 0
        && std::memcmp(head + 12, "IHDR", 4) == 0) {
        width = bigEndian32(head + 16);
        height = bigEndian32(head + 20);
        return true;
    }
    if (readAt(fd, 0, head, 26) && head[0] == 'B' && head[1] == 'M') {
        width = littleEndian32(head + 18);
        const std::int32_t rows = static_cast<std::int32_t>(littleEndian32(head + 22));
        height = rows < 0 ? std::uint64_t(-static_cast<std::int64_t>(rows)) : std::uint64_t(rows);
        return true;
    }
    if (head[0] == 0xff && head[1] == 0xd8) {
        // Walk the segments to the frame header (SOF0..SOF15 but DHT, JPG, DAC).
        std::uint64_t offset = 2;
        unsigned char marker[9];
        for (int segments = 0; segments < 4096 && readAt(fd, offset, marker, 4); ++segments) {
            if (marker[0] != 0xff)
                return false;
            const unsigned code = marker[1];
            if (code == 0xff) { // fill byte
                ++offset;
                continue;
            }
            const std::uint64_t length = (std::uint64_t(marker[2]) << 8) | marker[3];
            if (code >= 0xc0 && code <= 0xcf && code != 0xc4 && code != 0xc8 && code != 0xcc) {
                if (!readAt(fd, offset, marker, 9))
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

bool withinLimit(int fd, std::string& error)
{
    std::uint64_t width = 0, height = 0;
    if (!headerSize(fd, width, height))
        return true;
    const std::uint64_t limit = common::maxImagePixels();
    if (width * height <= limit)
        return true;
    error = "the image is " + std::to_string(width) + " x " + std::to_string(height) + " pixels ("
        + std::to_string((width * height + kPixelsPerMegapixel / 2) / kPixelsPerMegapixel)
        + " megapixels), above the limit of " + std::to_string(limit / kPixelsPerMegapixel)
        + " megapixels (set TOOLKIT_MAX_MEGAPIXELS, or --max-megapixels of compare-pairs, to raise "
          "it)";
    return false;
}

// What a TIFF file's first directory says of its samples and colours.
struct TiffLayout {
    int bitsPerSample = 8;
    int samplesPerPixel = 1;
    int sampleFormat = 1; // 1 unsigned, 2 signed, 3 floating point
    int photometric = -1;
    bool extraSamples = false;
    std::vector<uchar> icc;
};

// Reads the first image directory of a classic TIFF file; the defaults stay
// for anything it cannot read (OpenCV judges the file then).
TiffLayout readTiffLayout(int fd)
{
    TiffLayout layout;
    unsigned char header[8];
    if (!readAt(fd, 0, header, 8) || header[0] != header[1] || (header[2] | header[3]) != 42)
        return layout; // a BigTIFF file or no TIFF at all
    const bool little = header[0] == 'I';
    auto u16 = [little](const unsigned char* p) {
        return little ? std::uint32_t(p[0] | (p[1] << 8)) : std::uint32_t((p[0] << 8) | p[1]);
    };
    auto u32
        = [little](const unsigned char* p) { return little ? littleEndian32(p) : bigEndian32(p); };
    const std::uint32_t directory = u32(header + 4);
    unsigned char countBytes[2];
    if (!readAt(fd, directory, countBytes, 2))
        return layout;
    const std::uint32_t count = u16(countBytes);
    std::vector<unsigned char> entries(std::size_t(count) * 12);
    if (!readAt(fd, std::uint64_t(directory) + 2, entries.data(), entries.size()))
        return layout;
    for (std::uint32_t k = 0; k < count; ++k) {
        const unsigned char* e = entries.data() + 12 * k;
        const std::uint32_t tag = u16(e);
        const std::uint32_t type = u16(e + 2);
        const std::uint32_t n = u32(e + 4);
        // The first value of a SHORT field, held in the entry or at its offset.
        auto firstShort = [&]() -> int {
            if (type != 3)
                return type == 4 ? int(u32(e + 8)) : -1;
            if (n <= 2)
                return int(u16(e + 8));
            unsigned char value[2];
            return readAt(fd, u32(e + 8), value, 2) ? int(u16(value)) : -1;
        };
        int* field = tag == 258 ? &layout.bitsPerSample
            : tag == 262        ? &layout.photometric
            : tag == 277        ? &layout.samplesPerPixel
            : tag == 339        ? &layout.sampleFormat
                                : nullptr;
        if (field != nullptr) {
            if (const int value = firstShort(); value >= 0)
                *field = value;
            continue;
        }
        switch (tag) {
        case 338:
            layout.extraSamples = n > 0;
            break;
        case 34675:
            if (n > 4 && n <= kMaxProfileBytes) {
                layout.icc.resize(n);
                if (!readAt(fd, u32(e + 8), layout.icc.data(), n))
                    layout.icc.clear();
            }
            break;
        default:
            break;
        }
    }
    return layout;
}

// What a WebP file's extended header says: its profile and alpha.
struct WebpLayout {
    bool alpha = false;
    std::vector<uchar> icc;
};

WebpLayout readWebpLayout(int fd)
{
    WebpLayout layout;
    std::uint64_t offset = 12;
    unsigned char chunk[8];
    for (int chunks = 0; chunks < 64 && readAt(fd, offset, chunk, 8); ++chunks) {
        const std::uint32_t size = littleEndian32(chunk + 4);
        if (std::memcmp(chunk, "VP8X", 4) == 0) {
            unsigned char flags = 0;
            if (readAt(fd, offset + 8, &flags, 1))
                layout.alpha = (flags & 0x10) != 0;
        } else if (std::memcmp(chunk, "ICCP", 4) == 0) {
            if (size > 0 && size <= kMaxProfileBytes) {
                layout.icc.resize(size);
                if (!readAt(fd, offset + 8, layout.icc.data(), size))
                    layout.icc.clear();
            }
        } else if (std::memcmp(chunk, "VP8 ", 4) == 0 || std::memcmp(chunk, "VP8L", 4) == 0) {
            break; // the profile comes before the image data
        }
        offset += 8 + std::uint64_t(size) + (size & 1);
    }
    return layout;
}

// What is wrong with a file whose OpenCV decoder would report it on standard
// error: uncompressed BMP and binary PNM shorter than their headers say, a
// BMP of an unknown compression. "" when nothing is found.
std::string damageBeforeDecoding(int fd, const Format& format)
{
    struct stat info { };
    if (::fstat(fd, &info) != 0)
        return "";
    const std::uint64_t size = std::uint64_t(info.st_size);
    const std::string cut = "the file is cut short";
    unsigned char head[kSignatureBytes] = {};
    const ssize_t got = ::pread(fd, head, sizeof head, 0);
    if (std::strcmp(format.name, "BMP") == 0) {
        if (got < 34)
            return cut;
        const std::uint64_t offset = littleEndian32(head + 10);
        const std::uint64_t width = littleEndian32(head + 18);
        const std::int32_t rows = static_cast<std::int32_t>(littleEndian32(head + 22));
        const std::uint64_t height = std::uint64_t(rows < 0 ? -std::int64_t(rows) : rows);
        const std::uint64_t bits = std::uint64_t(head[28]) | (std::uint64_t(head[29]) << 8);
        const std::uint32_t compression = littleEndian32(head + 30);
        if (littleEndian32(head + 14) >= 40
            && (static_cast<std::int32_t>(littleEndian32(head + 18)) <= 0 || rows == 0))
            return "its header gives no pixels";
        if (littleEndian32(head + 14) >= 40 && compression > 3)
            return "compression " + std::to_string(compression) + " is not one OpenCV reads";
        if (littleEndian32(head + 14) < 40 || (compression != 0 && compression != 3))
            return ""; // an old header or run-length data: OpenCV judges
        const std::uint64_t rowBytes = (width * bits + 31) / 32 * 4;
        return size < offset + rowBytes * height ? cut : "";
    }
    if (std::strcmp(format.name, "PNM") == 0 && got > 2 && head[1] >= '4' && head[1] <= '6') {
        // The header: magic, width, height and (but for P4) the largest value,
        // separated by white space, comments running to the line end.
        std::uint64_t values[3] = { 0, 0, 0 };
        const int wanted = head[1] == '4' ? 2 : 3;
        std::size_t at = 2;
        for (int v = 0; v < wanted; ++v) {
            while (at < std::size_t(got) && (std::isspace(head[at]) || head[at] == '#')) {
                if (head[at] == '#')
                    while (at < std::size_t(got) && head[at] != '\n')
                        ++at;
                else
                    ++at;
            }
            if (at >= std::size_t(got) || !std::isdigit(head[at]))
                return ""; // a header longer than the signature: OpenCV judges
            while (at < std::size_t(got) && std::isdigit(head[at]) && values[v] < (1u << 30))
                values[v] = values[v] * 10 + std::uint64_t(head[at++] - '0');
        }
        if (at >= std::size_t(got))
            return "";
        ++at; // the single white space before the pixels
        const std::uint64_t channels = head[1] == '6' ? 3 : 1;
        const std::uint64_t rowBytes = head[1] == '4'
            ? (values[0] + 7) / 8
            : values[0] * channels * (values[2] > 255 ? 2 : 1);
        return size < at + rowBytes * values[1] ? cut : "";
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
cv::Mat readThroughOpenCv(const std::string& path, int fd, const Format& format, std::string& error,
    ImageFacts& facts, const ReadOptions& options)
{
    std::vector<uchar> icc;
    bool wide = false;
    if (std::strcmp(format.name, "TIFF") == 0) {
        TiffLayout tiff = readTiffLayout(fd);
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
        facts.alpha = tiff.extraSamples;
        wide = tiff.bitsPerSample == 16;
        icc = std::move(tiff.icc);
    } else if (std::strcmp(format.name, "WebP") == 0) {
        WebpLayout webp = readWebpLayout(fd);
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

    if (const std::string damage = damageBeforeDecoding(fd, format); !damage.empty()) {
        error = std::string("damaged ") + format.name + " data (" + damage + ")";
        return cv::Mat();
    }
    const int flags = transform && wide ? cv::IMREAD_COLOR | cv::IMREAD_ANYDEPTH : cv::IMREAD_COLOR;
    cv::Mat img = common::codecs::imread(path, flags);
    if (img.empty()) {
        error = std::string("cannot decode ") + format.name
            + " data (damaged, or a kind of the format OpenCV does not read)";
        return cv::Mat();
    }
    if (facts.alpha)
        facts.nonOpaqueShare = nonOpaqueShare(common::codecs::imread(path, cv::IMREAD_UNCHANGED));
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

cv::Mat readOpenFile(const std::string& path, int fd, std::string& error, ImageFacts& facts,
    const ReadOptions& options)
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
    if (!withinLimit(fd, error))
        return cv::Mat();
    if (format.route == Route::Heif)
        return decoders::decodeHeif(path, error, facts, options);
    if (format.route == Route::OpenCv)
        return readThroughOpenCv(path, fd, format, error, facts, options);

    const int own = ::dup(fd);
    std::FILE* file = own >= 0 ? ::fdopen(own, "rb") : nullptr;
    if (file == nullptr) {
        error = std::strerror(errno);
        if (own >= 0)
            ::close(own);
        return cv::Mat();
    }
    cv::Mat img = format.route == Route::Jpeg ? decoders::decodeJpeg(file, error, facts, options)
                                              : decoders::decodePng(file, error, facts, options);
    std::fclose(file);
    return img;
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
            img = readOpenFile(path, fd, error, found, options);
        } catch (const cv::Exception& e) {
            img.release();
            error = std::string("cannot decode: ") + e.err;
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
