// JPEG files decoded with libjpeg through an error manager of the reader's
// own: a fatal error ends decoding, and a warning (corrupt or missing data,
// which libjpeg otherwise fills with a guess) refuses the file. The settings
// are those cv::imread decodes with (libjpeg's defaults, whole scale), which
// gives its pixels (see docs/opencv-internals.md). The size is judged from
// the frame header libjpeg read, whatever came before it, and a progress
// monitor stops a file of more scans than any encoder writes before libjpeg
// has gone through them all.
#include "toolkit/common/Decoders.hpp"

#include <csetjmp>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <jpeglib.h>
// After jpeglib.h, which it needs.
#include <jerror.h>

namespace decoders = toolkit::common::decoders;
namespace profiles = toolkit::common::profiles;
using toolkit::common::ImageFacts;
using toolkit::common::ProfileAction;
using toolkit::common::ReadOptions;

namespace {

constexpr int kExifMarker = JPEG_APP0 + 1;
constexpr int kIccMarker = JPEG_APP0 + 2;
constexpr unsigned kMarkerLimit = 0xffff;
// OpenCV's own limits on a decoded image, which cv::imread refuses beyond.
constexpr std::uint64_t kOpenCvPixelLimit = std::uint64_t(1) << 30;
constexpr std::uint64_t kOpenCvSideLimit = std::uint64_t(1) << 20;
// The most scans a JPEG file may have. Cameras write one (sequential) or
// about ten (progressive), jpegtran's progressive script ten, the most
// finely divided progressive scripts a few dozen; libjpeg goes through every
// scan of a progressive file again for its whole image, so that a file of a
// few hundred kilobytes holding fifty thousand empty scans takes seconds.
constexpr int kMaxScans = 500;

struct JpegErrors {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
    char damage[JMSG_LENGTH_MAX];
    bool tooManyScans;
};

[[noreturn]] void onFatal(j_common_ptr cinfo)
{
    JpegErrors* errors = reinterpret_cast<JpegErrors*>(cinfo->err);
    if (!errors->tooManyScans)
        (*cinfo->err->format_message)(cinfo, errors->damage);
    std::longjmp(errors->jump, 1);
}

// Called by libjpeg as it reads the data: before each scan, and between row
// groups within one. A scan beyond the last one allowed ends decoding
// through the error manager.
void onProgress(j_common_ptr cinfo)
{
    if (!cinfo->is_decompressor
        || reinterpret_cast<j_decompress_ptr>(cinfo)->input_scan_number <= kMaxScans)
        return;
    JpegErrors* errors = reinterpret_cast<JpegErrors*>(cinfo->err);
    errors->tooManyScans = true;
    (*cinfo->err->error_exit)(cinfo);
}

// Level -1 is a warning about the data; levels 0 and up are traces.
void onMessage(j_common_ptr cinfo, int level)
{
    if (level >= 0)
        return;
    JpegErrors* errors = reinterpret_cast<JpegErrors*>(cinfo->err);
    if (cinfo->err->num_warnings++ == 0)
        (*cinfo->err->format_message)(cinfo, errors->damage);
}

void noOutput(j_common_ptr) { }

// cv::imread's CMYK to B, G, R: each ink times the black, no profile.
void cmykToBgr(const uchar* cmyk, uchar* bgr, std::size_t pixels)
{
    for (std::size_t j = 0; j < pixels; ++j, cmyk += 4, bgr += 3) {
        const int c = cmyk[0], m = cmyk[1], y = cmyk[2], k = cmyk[3];
        bgr[2] = uchar(k - ((255 - c) * k >> 8));
        bgr[1] = uchar(k - ((255 - m) * k >> 8));
        bgr[0] = uchar(k - ((255 - y) * k >> 8));
    }
}

// The decoder's state, made before the first libjpeg call so that nothing
// with a destructor lives across the long jumps. It releases libjpeg's
// memory however decoding ends, an exception of the image's allocation
// included.
struct Decoding {
    Decoding() = default;
    Decoding(const Decoding&) = delete;
    Decoding& operator=(const Decoding&) = delete;
    ~Decoding() { jpeg_destroy_decompress(&cinfo); }

    jpeg_decompress_struct cinfo {};
    JpegErrors errors {};
    jpeg_progress_mgr progress {};
    std::vector<uchar> icc;
    std::vector<uchar> exif;
    std::vector<uchar> row;
    std::shared_ptr<const profiles::Transform> transform;
    cv::Mat img;
};

// Reads the header and the markers the reader needs.
void readHeader(Decoding& d, std::FILE* file)
{
    jpeg_stdio_src(&d.cinfo, file);
    jpeg_save_markers(&d.cinfo, kExifMarker, kMarkerLimit);
    jpeg_save_markers(&d.cinfo, kIccMarker, kMarkerLimit);
    jpeg_read_header(&d.cinfo, TRUE);
}

// Reads the image whose header has been read and judged: its profile and
// Exif block, then its rows, each shown to the observer as it is decoded.
void decodeImage(Decoding& d, ImageFacts& facts, const ReadOptions& options)
{
    jpeg_decompress_struct& cinfo = d.cinfo;
    facts.format = "JPEG";
    facts.bitDepth = cinfo.data_precision;
    facts.grey = cinfo.num_components == 1;
    facts.cmyk = cinfo.num_components == 4;
    JOCTET* icc = nullptr;
    unsigned int iccLength = 0;
    const long warningsBefore = cinfo.err->num_warnings;
    if (jpeg_read_icc_profile(&cinfo, &icc, &iccLength)) {
        d.icc.assign(icc, icc + iccLength);
        std::free(icc);
    }
    if (warningsBefore == 0 && cinfo.err->num_warnings != 0) {
        // Profile segments out of order or missing say nothing of the
        // image data: the profile is unusable, the image is not damaged.
        facts.hasProfile = true;
        facts.profile = "unnamed profile";
        facts.profileAction = ProfileAction::Unusable;
        facts.warning = d.errors.damage;
        cinfo.err->num_warnings = warningsBefore;
        d.errors.damage[0] = '\0';
    }
    // cv::imread parses the first APP1 segment as Exif, whatever it holds.
    for (jpeg_saved_marker_ptr m = cinfo.marker_list; m != nullptr; m = m->next) {
        if (m->marker == kExifMarker) {
            d.exif.assign(m->data, m->data + m->data_length);
            break;
        }
    }
    profiles::PixelLayout layout = profiles::PixelLayout::Bgr8;
    if (facts.cmyk) {
        cinfo.out_color_space = JCS_CMYK;
        layout = cinfo.saw_Adobe_marker ? profiles::PixelLayout::InvertedCmyk8
                                        : profiles::PixelLayout::Cmyk8;
    } else {
        cinfo.out_color_space = JCS_EXT_BGR;
        if (facts.grey)
            layout = profiles::PixelLayout::Grey8;
    }
    if (!d.icc.empty())
        d.transform = decoders::chooseTransform(d.icc, layout, options, facts);
    if (facts.grey && d.transform)
        cinfo.out_color_space = JCS_GRAYSCALE;
    jpeg_calc_output_dimensions(&cinfo);
    d.img.create(int(cinfo.output_height), int(cinfo.output_width), CV_8UC3);
    const bool direct = !d.transform && !facts.cmyk;
    d.row.resize(std::size_t(cinfo.output_width) * std::size_t(cinfo.output_components));
    jpeg_start_decompress(&cinfo);
    while (cinfo.output_scanline < cinfo.output_height) {
        uchar* out = d.img.ptr<uchar>(int(cinfo.output_scanline));
        JSAMPROW row = direct ? out : d.row.data();
        jpeg_read_scanlines(&cinfo, &row, 1);
        if (d.transform)
            d.transform->apply(row, out, std::size_t(d.img.cols));
        else if (facts.cmyk)
            cmykToBgr(row, out, std::size_t(d.img.cols));
        if (options.onRows)
            options.onRows(out, std::size_t(d.img.cols));
    }
    jpeg_finish_decompress(&cinfo);
}

} // namespace

cv::Mat decoders::decodeJpeg(
    std::FILE* file, std::string& error, ImageFacts& facts, const ReadOptions& options)
{
    Decoding d;
    jpeg_decompress_struct& cinfo = d.cinfo;
    cinfo.err = jpeg_std_error(&d.errors.pub);
    d.errors.pub.error_exit = onFatal;
    d.errors.pub.emit_message = onMessage;
    d.errors.pub.output_message = noOutput;
    jpeg_create_decompress(&cinfo);
    d.progress.progress_monitor = onProgress;
    cinfo.progress = &d.progress;

    volatile bool refused = false;
    if (setjmp(d.errors.jump) == 0) {
        readHeader(d, file);
        if (!withinPixelLimit(cinfo.image_width, cinfo.image_height, error)) {
            refused = true;
        } else if (std::uint64_t(cinfo.image_width) * cinfo.image_height > kOpenCvPixelLimit
            || cinfo.image_width > kOpenCvSideLimit || cinfo.image_height > kOpenCvSideLimit) {
            error = "the image is " + std::to_string(cinfo.image_width) + " x "
                + std::to_string(cinfo.image_height) + " pixels, more than the image reader takes";
            refused = true;
        } else {
            decodeImage(d, facts, options);
        }
    } else {
        d.img.release();
        // An error once the frame header was read (libjpeg's own limit on a
        // side among them): an image above the limit is refused as one.
        if (!withinPixelLimit(cinfo.image_width, cinfo.image_height, error))
            refused = true;
        else if (d.errors.tooManyScans)
            error = "the JPEG data has more than " + std::to_string(kMaxScans)
                + " scans, more than the image reader takes (photographs have up to a few dozen)";
        else if (d.errors.pub.msg_code == JERR_OUT_OF_MEMORY)
            error = "out of memory";
        else
            error = std::string("damaged JPEG data (") + d.errors.damage + ")";
    }
    if (refused || d.img.empty())
        return cv::Mat();
    if (d.errors.pub.num_warnings > 0) {
        error = std::string("damaged JPEG data (") + d.errors.damage + ")";
        return cv::Mat();
    }
    // cv::imread skips the six bytes of "Exif\0\0", whatever they hold.
    constexpr std::size_t kExifPrefix = 6;
    if (d.exif.size() > kExifPrefix)
        applyOrientation(d.img, exifOrientation(d.exif.data(), d.exif.size(), kExifPrefix));
    return d.img;
}
