// PNG files decoded with libpng through error and warning functions of the
// reader's own: an error ends decoding, and a warning about the image data
// refuses the file (warnings about ancillary chunks, such as a colour profile
// libpng dislikes, do not). The transformations are those cv::imread asks for
// (16 bits stripped to 8, palette and low-depth grey expanded, grey made
// B, G, R, alpha dropped, no gamma), which gives its pixels (see
// docs/opencv-internals.md); the alpha channel is read only to measure how
// much of the image is not opaque. The size is judged from the header libpng
// read, before anything is allocated for the image; libpng's own limits on a
// side are no looser.
#include "toolkit/common/Decoders.hpp"

#include <algorithm>
#include <cctype>
#include <csetjmp>
#include <cstring>

#include <png.h>

namespace decoders = toolkit::common::decoders;
namespace profiles = toolkit::common::profiles;

namespace {

struct PngReport {
    std::string damage; // the first message about the image data
    std::string refusal; // why an intact file is not read
};

// libpng's words for a failed allocation ("Out of memory", "out of memory").
bool aboutMemory(const std::string& message)
{
    std::string lower = message;
    std::transform(lower.begin(), lower.end(), lower.begin(),
        [](unsigned char c) { return char(std::tolower(c)); });
    return lower.find("out of memory") != std::string::npos;
}

// libpng's warnings about ancillary chunks begin with the chunk's name, whose
// first letter is lower case ("iCCP: known incorrect sRGB profile").
bool aboutAncillaryChunk(const char* message)
{
    return std::strlen(message) >= 5 && message[0] >= 'a' && message[0] <= 'z' && message[4] == ':';
}

void onError(png_structp png, png_const_charp message)
{
    PngReport* report = static_cast<PngReport*>(png_get_error_ptr(png));
    if (report->damage.empty())
        report->damage = message != nullptr ? message : "error";
    png_longjmp(png, 1);
}

void onWarning(png_structp png, png_const_charp message)
{
    PngReport* report = static_cast<PngReport*>(png_get_error_ptr(png));
    if (message != nullptr && !aboutAncillaryChunk(message) && report->damage.empty())
        report->damage = message;
}

// The decoder's state, made before the first libpng call so that nothing
// with a destructor lives across the long jumps. It releases libpng's
// structures however decoding ends, an exception of the image's allocation
// included.
struct Decoding {
    Decoding() = default;
    Decoding(const Decoding&) = delete;
    Decoding& operator=(const Decoding&) = delete;
    ~Decoding() { png_destroy_read_struct(&png, &info, &end); }

    PngReport report;
    png_structp png = nullptr;
    png_infop info = nullptr;
    png_infop end = nullptr;
    std::vector<uchar> icc;
    std::vector<uchar> exif;
    std::vector<uchar> rows; // the decoded rows, 4 samples a pixel
    std::vector<png_bytep> rowPointers;
    std::shared_ptr<const profiles::Transform> transform;
    cv::Mat img;
    std::size_t transparent = 0;
};

// Copies B, G, R of one decoded row and counts its pixels that are not fully
// opaque.
template <typename Sample>
std::size_t copyRow(const uchar* decoded, uchar* out, std::size_t pixels, bool grey)
{
    const Sample* in = reinterpret_cast<const Sample*>(decoded);
    const Sample opaque = Sample(~Sample(0));
    const std::size_t step = grey ? 2 : 4;
    std::size_t transparent = 0;
    for (std::size_t j = 0; j < pixels; ++j, in += step)
        transparent += in[step - 1] != opaque;
    if (out != nullptr) {
        const uchar* p = decoded;
        for (std::size_t j = 0; j < pixels; ++j, p += 4, out += 3) {
            out[0] = p[0];
            out[1] = p[1];
            out[2] = p[2];
        }
    }
    return transparent;
}

} // namespace

cv::Mat decoders::decodePng(
    std::FILE* file, std::string& error, ImageFacts& facts, const ReadOptions& options)
{
    Decoding d;
    d.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &d.report, onError, onWarning);
    if (d.png == nullptr) {
        error = "out of memory";
        return cv::Mat();
    }
    d.info = png_create_info_struct(d.png);
    d.end = png_create_info_struct(d.png);
    if (d.info == nullptr || d.end == nullptr) {
        error = "out of memory";
        return cv::Mat();
    }
    // libpng refuses a side longer than its user limit while it reads the
    // header; it takes none that the pixel limit would not.
    const png_uint_32 side = png_uint_32(std::min<std::uint64_t>(
        maxImagePixels(), std::min(PNG_USER_WIDTH_MAX, PNG_USER_HEIGHT_MAX)));
    png_set_user_limits(d.png, side, side);
    // The chunks before the image data are read even when their check value
    // is wrong (a warning, which is damage), so that the size is judged
    // before the damage is reported.
    png_set_crc_action(d.png, PNG_CRC_WARN_USE, PNG_CRC_DEFAULT);

    if (setjmp(png_jmpbuf(d.png)) == 0) {
        png_init_io(d.png, file);
        png_read_info(d.png, d.info);
        png_uint_32 width = 0, height = 0;
        int depth = 0, colourType = 0;
        png_get_IHDR(
            d.png, d.info, &width, &height, &depth, &colourType, nullptr, nullptr, nullptr);
        if (!withinPixelLimit(width, height, d.report.refusal) || !d.report.damage.empty())
            png_longjmp(d.png, 1);
        png_set_crc_action(d.png, PNG_CRC_DEFAULT, PNG_CRC_DEFAULT);
        facts.format = "PNG";
        facts.bitDepth = depth;
        facts.grey = (colourType & PNG_COLOR_MASK_COLOR) == 0;
        facts.alpha = (colourType & PNG_COLOR_MASK_ALPHA) != 0
            || png_get_valid(d.png, d.info, PNG_INFO_tRNS) != 0;
        png_charp name = nullptr;
        int compression = 0;
        png_bytep profile = nullptr;
        png_uint_32 profileLength = 0;
        if (png_get_iCCP(d.png, d.info, &name, &compression, &profile, &profileLength) != 0
            && profile != nullptr)
            d.icc.assign(profile, profile + profileLength);

        // Grey stays grey only to go through a grey profile.
        const bool wide = depth == 16;
        profiles::PixelLayout layout = facts.grey
            ? (wide ? profiles::PixelLayout::GreyAlpha16 : profiles::PixelLayout::GreyAlpha8)
            : (wide ? profiles::PixelLayout::Bgra16 : profiles::PixelLayout::Bgra8);
        if (!d.icc.empty())
            d.transform = chooseTransform(d.icc, layout, options, facts);
        const bool greyKept = facts.grey && d.transform;
        const bool wideKept = wide && d.transform;

        if (wideKept)
            png_set_swap(d.png);
        else if (wide)
            png_set_strip_16(d.png);
        if (colourType == PNG_COLOR_TYPE_PALETTE)
            png_set_palette_to_rgb(d.png);
        if (facts.grey && depth < 8)
            png_set_expand_gray_1_2_4_to_8(d.png);
        if (png_get_valid(d.png, d.info, PNG_INFO_tRNS) != 0)
            png_set_tRNS_to_alpha(d.png);
        if (!facts.grey)
            png_set_bgr(d.png);
        else if (!greyKept)
            png_set_gray_to_rgb(d.png);
        png_set_filler(d.png, 0xffff, PNG_FILLER_AFTER);
        const int passes = png_set_interlace_handling(d.png);
        png_read_update_info(d.png, d.info);

        const std::size_t channels = greyKept ? 2 : 4;
        const std::size_t sampleBytes = wideKept ? 2 : 1;
        const std::size_t rowBytes = std::size_t(width) * channels * sampleBytes;
        if (png_get_rowbytes(d.png, d.info) != rowBytes) {
            d.report.damage = "unexpected row layout";
            png_longjmp(d.png, 1);
        }
        d.img.create(int(height), int(width), CV_8UC3);
        // Interlaced images need all their rows at once; others one at a time.
        const std::size_t heldRows = passes > 1 ? std::size_t(height) : 1;
        d.rows.resize(heldRows * rowBytes);
        d.rowPointers.resize(heldRows);
        for (std::size_t i = 0; i < heldRows; ++i)
            d.rowPointers[i] = d.rows.data() + i * rowBytes;
        if (passes > 1)
            png_read_image(d.png, d.rowPointers.data());
        for (png_uint_32 i = 0; i < height; ++i) {
            const uchar* decoded = d.rowPointers[passes > 1 ? i : 0];
            if (passes == 1)
                png_read_row(d.png, d.rowPointers[0], nullptr);
            uchar* out = d.img.ptr<uchar>(int(i));
            const std::size_t pixels = width;
            if (wideKept)
                d.transparent += copyRow<std::uint16_t>(decoded, nullptr, pixels, greyKept);
            else
                d.transparent += copyRow<std::uint8_t>(
                    decoded, d.transform ? nullptr : out, pixels, greyKept);
            if (d.transform)
                d.transform->apply(decoded, out, pixels);
            if (options.onRows)
                options.onRows(out, pixels);
        }
        png_read_end(d.png, d.end);
        // An eXIf chunk before the image data or after it, as cv::imread reads it.
        png_uint_32 exifLength = 0;
        png_bytep exif = nullptr;
        if (png_get_valid(d.png, d.info, PNG_INFO_eXIf) != 0)
            png_get_eXIf_1(d.png, d.info, &exifLength, &exif);
        else if (png_get_valid(d.png, d.end, PNG_INFO_eXIf) != 0)
            png_get_eXIf_1(d.png, d.end, &exifLength, &exif);
        if (exif != nullptr && exifLength > 0)
            d.exif.assign(exif, exif + exifLength);
    } else {
        d.img.release();
        // A side above libpng's user limit: libpng keeps the header it
        // refused, and an image above the pixel limit is refused as one.
        if (d.report.refusal.empty()
            && d.report.damage.find("exceeds user limit") != std::string::npos)
            withinPixelLimit(png_get_image_width(d.png, d.info),
                png_get_image_height(d.png, d.info), d.report.refusal);
        if (d.report.damage.empty() && d.report.refusal.empty())
            d.report.damage = "error";
    }
    png_destroy_read_struct(&d.png, &d.info, &d.end);
    if (!d.report.refusal.empty()) {
        error = d.report.refusal;
        return cv::Mat();
    }
    if (aboutMemory(d.report.damage)) {
        error = "out of memory";
        return cv::Mat();
    }
    if (!d.report.damage.empty()) {
        error = "damaged PNG data (" + d.report.damage + ")";
        return cv::Mat();
    }
    if (!d.exif.empty())
        applyOrientation(d.img, exifOrientation(d.exif.data(), d.exif.size(), 0));
    if (facts.alpha && !d.img.empty())
        facts.nonOpaqueShare = double(d.transparent) / double(d.img.total());
    return d.img;
}
