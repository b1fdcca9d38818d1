// HEIC and AVIF files decoded with libheif (its decoders for HEVC and AV1),
// strictly, so that damage is an error rather than a best guess. libheif
// turns the image as its rotation and mirroring boxes say and converts
// Y'CbCr to R, G, B by the file's matrix; the colour information (an ICC
// profile, or primaries and a transfer curve) is honoured as elsewhere.
#include "toolkit/common/Decoders.hpp"

#include <libheif/heif.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>

namespace decoders = toolkit::common::decoders;
namespace profiles = toolkit::common::profiles;

namespace {

// libheif counts its users; the reader is one from its first HEIF file to the
// end of the process.
class HeifUse {
public:
    HeifUse() { heif_init(nullptr); }
    ~HeifUse() { heif_deinit(); }
    HeifUse(const HeifUse&) = delete;
    HeifUse& operator=(const HeifUse&) = delete;
};

struct ContextFree {
    void operator()(heif_context* c) const { heif_context_free(c); }
};
struct HandleRelease {
    void operator()(heif_image_handle* h) const { heif_image_handle_release(h); }
};
struct ImageRelease {
    void operator()(heif_image* i) const { heif_image_release(i); }
};
struct OptionsFree {
    void operator()(heif_decoding_options* o) const { heif_decoding_options_free(o); }
};
struct NclxFree {
    void operator()(heif_color_profile_nclx* n) const { heif_nclx_color_profile_free(n); }
};

// Primaries that are sRGB's (BT.709) or unspecified, with sRGB's curve or an
// unspecified one: nothing to convert.
bool isSrgbCodePoints(const heif_color_profile_nclx& nclx)
{
    const bool primaries = nclx.color_primaries == heif_color_primaries_ITU_R_BT_709_5
        || nclx.color_primaries == heif_color_primaries_unspecified;
    const bool transfer
        = nclx.transfer_characteristics == heif_transfer_characteristic_IEC_61966_2_1
        || nclx.transfer_characteristics == heif_transfer_characteristic_unspecified;
    return primaries && transfer;
}

std::string codePointsName(const heif_color_profile_nclx& nclx)
{
    std::string primaries;
    switch (nclx.color_primaries) {
    case heif_color_primaries_SMPTE_EG_432_1:
        primaries = "Display P3";
        break;
    case heif_color_primaries_SMPTE_RP_431_2:
        primaries = "DCI-P3";
        break;
    case heif_color_primaries_ITU_R_BT_2020_2_and_2100_0:
        primaries = "BT.2020";
        break;
    case heif_color_primaries_ITU_R_BT_709_5:
        primaries = "BT.709";
        break;
    default:
        primaries = "primaries " + std::to_string(int(nclx.color_primaries));
        break;
    }
    return primaries + ", transfer " + std::to_string(int(nclx.transfer_characteristics));
}

// Reads HEVC's bit fields: fixed-width and Exp-Golomb numbers, past the end
// as zeros (the caller checks `overrun`).
class BitReader {
public:
    explicit BitReader(std::vector<uchar> bytes)
        : bytes_(std::move(bytes))
    {
    }
    std::uint64_t bits(int n)
    {
        std::uint64_t v = 0;
        for (int k = 0; k < n; ++k) {
            const std::size_t byte = position_ >> 3;
            if (byte >= bytes_.size()) {
                overrun = true;
                return v;
            }
            v = (v << 1) | ((bytes_[byte] >> (7 - (position_ & 7))) & 1u);
            ++position_;
        }
        return v;
    }
    std::uint64_t exponentialGolomb()
    {
        int zeros = 0;
        while (!overrun && bits(1) == 0)
            if (++zeros > 32) {
                overrun = true;
                return 0;
            }
        return (std::uint64_t(1) << zeros) - 1 + bits(zeros);
    }
    bool overrun = false;

private:
    std::vector<uchar> bytes_;
    std::size_t position_ = 0;
};

// The picture size an HEVC sequence parameter set (a NAL unit, with its
// two-byte header) announces; false when it cannot be read.
bool sequencePictureSize(
    const uchar* nal, std::size_t size, std::uint64_t& width, std::uint64_t& height)
{
    std::vector<uchar> payload; // without the emulation-prevention bytes 00 00 03
    for (std::size_t k = 2; k < size; ++k) {
        if (k >= 4 && nal[k] == 3 && nal[k - 1] == 0 && nal[k - 2] == 0)
            continue;
        payload.push_back(nal[k]);
    }
    BitReader r(std::move(payload));
    r.bits(4); // video parameter set
    const int subLayers = int(r.bits(3));
    r.bits(1);
    r.bits(96); // the general profile, tier and level
    bool profilePresent[8] = {}, levelPresent[8] = {};
    for (int i = 0; i < subLayers; ++i) {
        profilePresent[i] = r.bits(1) != 0;
        levelPresent[i] = r.bits(1) != 0;
    }
    if (subLayers > 0)
        for (int i = subLayers; i < 8; ++i)
            r.bits(2);
    for (int i = 0; i < subLayers; ++i) {
        if (profilePresent[i])
            r.bits(88);
        if (levelPresent[i])
            r.bits(8);
    }
    r.exponentialGolomb(); // its own id
    if (r.exponentialGolomb() == 3) // 4:4:4 chroma
        r.bits(1);
    width = r.exponentialGolomb();
    height = r.exponentialGolomb();
    return !r.overrun;
}

// The largest picture the HEVC sequence parameter sets of a HEIC file
// announce: those of its hvcC boxes and those sent within the coded data,
// each a NAL unit after its four-byte length. The decoder allocates for them
// before anything compares them with the image's header, so a file of a few
// hundred bytes can ask for gigabytes. 0 when there is none to read.
std::uint64_t largestHevcPicture(
    const std::vector<uchar>& file, std::uint64_t& width, std::uint64_t& height)
{
    constexpr std::size_t kRecordHeader = 22; // of an HEVC decoder configuration
    constexpr int kSequenceParameterSet = 33;
    // Sequence parameter sets are a few dozen bytes; a length beyond this
    // is not one.
    constexpr std::size_t kLongestParameterSet = 512;
    std::uint64_t largest = 0;
    auto consider = [&](const uchar* nal, std::size_t length) {
        std::uint64_t w = 0, h = 0;
        if (length >= 4 && ((nal[0] >> 1) & 0x3f) == kSequenceParameterSet
            && sequencePictureSize(nal, length, w, h) && w * h > largest) {
            largest = w * h;
            width = w;
            height = h;
        }
    };
    const uchar* begin = file.data();
    const uchar* end = begin + file.size();
    for (const uchar* at = begin + 4; at + 8 <= end; ++at) {
        // A length-prefixed parameter set in the coded data: 00 00 LL LL 42 01.
        if (at[0] == 0x42 && at[1] == 0x01 && at[-4] == 0 && at[-3] == 0) {
            const std::size_t length = (std::size_t(at[-2]) << 8) | at[-1];
            if (length >= 4 && length < kLongestParameterSet && at + length <= end)
                consider(at, length);
        }
        if (std::memcmp(at, "hvcC", 4) != 0)
            continue;
        const std::size_t boxSize = (std::size_t(at[-4]) << 24) | (std::size_t(at[-3]) << 16)
            | (std::size_t(at[-2]) << 8) | at[-1];
        const uchar* box = at + 4;
        const uchar* boxEnd
            = boxSize >= 8 && boxSize - 4 <= std::size_t(end - at) ? at - 4 + boxSize : end;
        if (box + kRecordHeader + 1 > boxEnd)
            continue;
        const uchar* p = box + kRecordHeader;
        const int arrays = *p++;
        for (int a = 0; a < arrays && p + 3 <= boxEnd; ++a) {
            const int units = (p[1] << 8) | p[2];
            p += 3;
            for (int u = 0; u < units && p + 2 <= boxEnd; ++u) {
                const std::size_t length = (std::size_t(p[0]) << 8) | p[1];
                p += 2;
                if (length > std::size_t(boxEnd - p))
                    break;
                consider(p, length);
                p += length;
            }
        }
    }
    return largest;
}

// libheif's words for an error, without the line end some of them carry;
// an allocation that failed is "out of memory" (but not one that libheif
// refused for the image's size, which it reports in the same class).
std::string damaged(const heif_error& result)
{
    if (result.code == heif_error_Memory_allocation_error
        && result.subcode != heif_suberror_Security_limit_exceeded)
        return "out of memory";
    std::string text = result.message != nullptr ? result.message : "error";
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.pop_back();
    return "damaged HEIF data (" + text + ")";
}

} // namespace

cv::Mat decoders::decodeHeif(const std::vector<uchar>& file, std::string& error, ImageFacts& facts,
    const ReadOptions& options)
{
    static HeifUse use;
    std::unique_ptr<heif_context, ContextFree> context(heif_context_alloc());
    if (!context) {
        error = "out of memory";
        return cv::Mat();
    }
    heif_error result = heif_context_read_from_memory_without_copy(
        context.get(), file.data(), file.size(), nullptr);
    if (result.code != heif_error_Ok) {
        error = damaged(result);
        return cv::Mat();
    }
    heif_image_handle* rawHandle = nullptr;
    result = heif_context_get_primary_image_handle(context.get(), &rawHandle);
    if (result.code != heif_error_Ok) {
        error = damaged(result);
        return cv::Mat();
    }
    std::unique_ptr<heif_image_handle, HandleRelease> handle(rawHandle);
    const std::uint64_t width = std::uint64_t(heif_image_handle_get_width(handle.get()));
    const std::uint64_t height = std::uint64_t(heif_image_handle_get_height(handle.get()));
    if (!withinPixelLimit(width, height, error))
        return cv::Mat();
    // Pictures coded larger than the image they make (beyond the padding to
    // whole coding blocks, and turned either way) are refused undecoded.
    constexpr std::uint64_t kCodingPadding = 64;
    std::uint64_t codedWidth = 0, codedHeight = 0;
    if (largestHevcPicture(file, codedWidth, codedHeight) > 0
        && (std::max(codedWidth, codedHeight) > std::max(width, height) + kCodingPadding
            || codedWidth * codedHeight > maxImagePixels())) {
        error = "damaged HEIF data (its coded picture is " + std::to_string(codedWidth) + " x "
            + std::to_string(codedHeight) + " pixels, its image " + std::to_string(width) + " x "
            + std::to_string(height) + ")";
        return cv::Mat();
    }
    // A grid image's canvas, which libheif allocates before decoding its
    // tiles, may be no larger than the image's header says.
    heif_context_set_maximum_image_size_limit(context.get(),
        int(std::min<std::uint64_t>(std::max(width, height) + kCodingPadding, INT32_MAX)));
    const int bits = heif_image_handle_get_luma_bits_per_pixel(handle.get());
    facts.bitDepth = bits;
    facts.alpha = heif_image_handle_has_alpha_channel(handle.get()) != 0;
    const bool wide = bits > 8;

    // The colour information: an ICC profile, or code points that become one.
    std::vector<uchar> icc;
    const heif_color_profile_type type = heif_image_handle_get_color_profile_type(handle.get());
    if (type == heif_color_profile_type_prof || type == heif_color_profile_type_rICC) {
        icc.resize(heif_image_handle_get_raw_color_profile_size(handle.get()));
        if (!icc.empty()
            && heif_image_handle_get_raw_color_profile(handle.get(), icc.data()).code
                != heif_error_Ok)
            icc.clear();
    } else if (type == heif_color_profile_type_nclx) {
        heif_color_profile_nclx* rawNclx = nullptr;
        const heif_error read = heif_image_handle_get_nclx_color_profile(handle.get(), &rawNclx);
        // libheif may hand out the code points it could read with an error.
        std::unique_ptr<heif_color_profile_nclx, NclxFree> nclx(rawNclx);
        if (read.code != heif_error_Ok) {
            facts.hasProfile = true;
            facts.profile = "colour information";
            facts.profileAction = options.profiles == ProfileHandling::Ignore
                ? ProfileAction::Ignored
                : ProfileAction::Unusable;
            facts.warning = read.message != nullptr ? read.message : "unreadable";
        } else if (nclx) {
            if (!isSrgbCodePoints(*nclx)) {
                const float found[8] = { nclx->color_primary_red_x, nclx->color_primary_red_y,
                    nclx->color_primary_green_x, nclx->color_primary_green_y,
                    nclx->color_primary_blue_x, nclx->color_primary_blue_y,
                    nclx->color_primary_white_x, nclx->color_primary_white_y };
                double chromaticities[8];
                for (int k = 0; k < 8; ++k)
                    chromaticities[k] = static_cast<double>(found[k]);
                std::string why;
                icc = profiles::profileFromCodePoints(chromaticities,
                    int(nclx->transfer_characteristics), codePointsName(*nclx), why);
                if (icc.empty()) {
                    facts.hasProfile = true;
                    facts.profile = codePointsName(*nclx);
                    if (options.profiles == ProfileHandling::Ignore) {
                        facts.profileAction = ProfileAction::Ignored;
                    } else {
                        facts.profileAction = ProfileAction::Unusable;
                        facts.warning = why;
                    }
                }
            }
        }
    }
    const profiles::PixelLayout layout
        = wide ? profiles::PixelLayout::Rgb16 : profiles::PixelLayout::Rgb8;
    std::shared_ptr<const profiles::Transform> transform;
    if (!icc.empty())
        transform = chooseTransform(icc, layout, options, facts);

    std::unique_ptr<heif_decoding_options, OptionsFree> decoding(heif_decoding_options_alloc());
    if (decoding && decoding->version >= 3)
        decoding->strict_decoding = 1;
    const heif_chroma chroma = wide
        ? (facts.alpha ? heif_chroma_interleaved_RRGGBBAA_LE : heif_chroma_interleaved_RRGGBB_LE)
        : (facts.alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB);
    heif_image* rawImage = nullptr;
    result
        = heif_decode_image(handle.get(), &rawImage, heif_colorspace_RGB, chroma, decoding.get());
    std::unique_ptr<heif_image, ImageRelease> image(rawImage);
    if (result.code != heif_error_Ok || !image) {
        error = damaged(result);
        return cv::Mat();
    }
    int stride = 0;
    const uint8_t* plane
        = heif_image_get_plane_readonly(image.get(), heif_channel_interleaved, &stride);
    const int w = heif_image_get_width(image.get(), heif_channel_interleaved);
    const int h = heif_image_get_height(image.get(), heif_channel_interleaved);
    if (plane == nullptr || w <= 0 || h <= 0) {
        error = "damaged HEIF data (no image plane)";
        return cv::Mat();
    }
    if (std::uint64_t(w) != width || std::uint64_t(h) != height) {
        error = "damaged HEIF data (it decodes to " + std::to_string(w) + " x " + std::to_string(h)
            + " pixels, its header says " + std::to_string(width) + " x " + std::to_string(height)
            + ")";
        return cv::Mat();
    }
    const int channels = facts.alpha ? 4 : 3;
    const int maxValue = (1 << bits) - 1;
    cv::Mat img(h, w, CV_8UC3);
    std::vector<std::uint16_t> row(std::size_t(w) * 3);
    std::vector<uchar> row8(std::size_t(w) * 3);
    std::size_t transparent = 0;
    for (int i = 0; i < h; ++i) {
        const uint8_t* in = plane + std::size_t(i) * std::size_t(stride);
        uchar* out = img.ptr<uchar>(i);
        if (wide) {
            const std::uint16_t* p = reinterpret_cast<const std::uint16_t*>(in);
            for (int j = 0; j < w; ++j, p += channels) {
                for (int c = 0; c < 3; ++c) {
                    const int v = std::min<int>(p[c], maxValue);
                    // The samples to 16 bits for the profile, or rounded to 8.
                    if (transform)
                        row[std::size_t(3 * j + c)]
                            = std::uint16_t((v * 65535 + maxValue / 2) / maxValue);
                    else
                        out[3 * j + 2 - c] = uchar((v * 255 + maxValue / 2) / maxValue);
                }
                if (facts.alpha)
                    transparent += p[3] < maxValue;
            }
            if (transform)
                transform->apply(row.data(), out, std::size_t(w));
        } else {
            const uint8_t* p = in;
            for (int j = 0; j < w; ++j, p += channels) {
                row8[std::size_t(3 * j)] = p[0];
                row8[std::size_t(3 * j + 1)] = p[1];
                row8[std::size_t(3 * j + 2)] = p[2];
                if (facts.alpha)
                    transparent += p[3] != 255;
            }
            if (transform) {
                transform->apply(row8.data(), out, std::size_t(w));
            } else {
                for (int j = 0; j < w; ++j) {
                    out[3 * j] = row8[std::size_t(3 * j + 2)];
                    out[3 * j + 1] = row8[std::size_t(3 * j + 1)];
                    out[3 * j + 2] = row8[std::size_t(3 * j)];
                }
            }
        }
        if (options.onRows)
            options.onRows(out, std::size_t(w));
    }
    if (facts.alpha)
        facts.nonOpaqueShare = double(transparent) / double(img.total());
    return img;
}
