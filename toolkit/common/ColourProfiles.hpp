// Internal to toolkit/common: the image reader's conversion of pixels from an
// embedded colour profile to sRGB, with Little CMS 2 (relative colorimetric
// intent, no black point compensation). Transforms live in a context of the
// toolkit's own, so nothing of Little CMS's process-wide state is touched, and
// are kept for the profiles met last, so that a run over photographs of one
// camera builds each transform once.
#pragma once

#include <opencv2/core.hpp>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace toolkit {
namespace common {
namespace profiles {

// How the pixels handed to a transform are laid out, one row at a time.
enum class PixelLayout {
    Rgb8, // R, G, B bytes
    Bgr8, // B, G, R bytes
    Rgb16, // R, G, B, native-endian 16-bit
    Bgr16,
    Bgra8, // B, G, R, alpha bytes (alpha ignored)
    Bgra16,
    Grey8,
    Grey16,
    GreyAlpha8, // grey, alpha
    GreyAlpha16,
    Cmyk8, // C, M, Y, K, 255 = full ink
    InvertedCmyk8, // as Adobe's applications write CMYK JPEG: 0 = full ink
};

// The colour model of a layout's data, which the profile must describe.
enum class ColourModel { Rgb, Grey, Cmyk };
ColourModel modelOf(PixelLayout layout);

// A transform from a profile to 8-bit sRGB in B, G, R order; safe to use from
// several threads at once.
class Transform {
public:
    virtual ~Transform() = default;
    // Converts `pixels` pixels from `in` (in the layout it was made for) to
    // B, G, R bytes at `out`.
    virtual void apply(const void* in, uchar* out, std::size_t pixels) const = 0;
};

// What the reader is to do with a profile.
struct Decision {
    // The transform to apply; null when the pixels stay as they are.
    std::shared_ptr<const Transform> transform;
    // The profile's description (its 'desc' tag), or "" when it has none.
    std::string description;
    // The profile converts 8-bit values to sRGB within one code value: it is
    // sRGB in all but its name, and the pixels are left as they are.
    bool isSrgb = false;
    // Why the profile cannot be used ("" when it can).
    std::string unusable;
};

// Examines an embedded ICC profile for pixels in `layout`.
Decision decide(const std::vector<uchar>& icc, PixelLayout layout);

// An RGB profile made from chromaticities (x, y of red, green, blue and the
// white) and a transfer function as the ISO/ITU code points name them
// (ITU-T H.273): the colour information HEIF and AVIF files carry instead of
// an ICC profile. Empty, with the reason in `error`, for a transfer function
// that has no profile (PQ, HLG, logarithmic).
std::vector<uchar> profileFromCodePoints(const double chromaticities[8], int transfer,
    const std::string& description, std::string& error);

} // namespace profiles
} // namespace common
} // namespace toolkit
