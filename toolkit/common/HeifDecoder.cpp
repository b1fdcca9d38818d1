// HEIC and AVIF files decoded with libheif (its decoders for HEVC and AV1),
// strictly, so that damage is an error rather than a best guess. libheif
// turns the image as its rotation and mirroring boxes say and converts
// Y'CbCr to R, G, B by the file's matrix; the colour information (an ICC
// profile, or primaries and a transfer curve) is honoured as elsewhere.
#include "toolkit/common/Decoders.hpp"

#include <libheif/heif.h>

#include <algorithm>
#include <cstdint>
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

} // namespace

cv::Mat decoders::decodeHeif(
    const std::string& path, std::string& error, ImageFacts& facts, const ReadOptions& options)
{
    static HeifUse use;
    std::unique_ptr<heif_context, ContextFree> context(heif_context_alloc());
    if (!context) {
        error = "out of memory";
        return cv::Mat();
    }
    heif_error result = heif_context_read_from_file(context.get(), path.c_str(), nullptr);
    if (result.code != heif_error_Ok) {
        error = std::string("damaged HEIF data (") + result.message + ")";
        return cv::Mat();
    }
    heif_image_handle* rawHandle = nullptr;
    result = heif_context_get_primary_image_handle(context.get(), &rawHandle);
    if (result.code != heif_error_Ok) {
        error = std::string("damaged HEIF data (") + result.message + ")";
        return cv::Mat();
    }
    std::unique_ptr<heif_image_handle, HandleRelease> handle(rawHandle);
    const std::uint64_t width = std::uint64_t(heif_image_handle_get_width(handle.get()));
    const std::uint64_t height = std::uint64_t(heif_image_handle_get_height(handle.get()));
    if (width * height > maxImagePixels()) {
        error = "the image is " + std::to_string(width) + " x " + std::to_string(height)
            + " pixels, above the limit of " + std::to_string(maxImagePixels() / 1000000)
            + " megapixels (set TOOLKIT_MAX_MEGAPIXELS, or --max-megapixels of compare-pairs, "
              "to raise it)";
        return cv::Mat();
    }
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
        if (heif_image_handle_get_nclx_color_profile(handle.get(), &rawNclx).code
            == heif_error_Ok) {
            std::unique_ptr<heif_color_profile_nclx, NclxFree> nclx(rawNclx);
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
        error = std::string("damaged HEIF data (") + result.message + ")";
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
