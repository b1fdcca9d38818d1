#include "toolkit/common/ColourProfiles.hpp"

#include <lcms2.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <list>
#include <mutex>
#include <utility>

namespace profiles = toolkit::common::profiles;
using profiles::PixelLayout;

namespace {

// Profiles whose transforms are kept; a run over one camera's photographs
// meets one or two.
constexpr std::size_t kKeptProfiles = 16;
// A profile that moves no 8-bit value by more than this is sRGB.
constexpr int kSrgbTolerance = 1;
// Steps per channel of the grid of colours the sRGB test converts.
constexpr int kSrgbGridSteps = 18;

// What Little CMS said last on this thread.
thread_local std::string tLastMessage;

void onLittleCmsMessage(cmsContext, cmsUInt32Number, const char* text)
{
    tLastMessage = text != nullptr ? text : "";
}

cmsUInt32Number formatOf(PixelLayout layout)
{
    switch (layout) {
    case PixelLayout::Rgb8:
        return TYPE_RGB_8;
    case PixelLayout::Bgr8:
        return TYPE_BGR_8;
    case PixelLayout::Rgb16:
        return TYPE_RGB_16;
    case PixelLayout::Bgr16:
        return TYPE_BGR_16;
    case PixelLayout::Bgra8:
        return TYPE_BGRA_8;
    case PixelLayout::Bgra16:
        return TYPE_BGRA_16;
    case PixelLayout::Grey8:
        return TYPE_GRAY_8;
    case PixelLayout::Grey16:
        return TYPE_GRAY_16;
    case PixelLayout::GreyAlpha8:
        return TYPE_GRAYA_8;
    case PixelLayout::GreyAlpha16:
        return TYPE_GRAYA_16;
    case PixelLayout::Cmyk8:
        return TYPE_CMYK_8;
    case PixelLayout::InvertedCmyk8:
        return TYPE_CMYK_8_REV;
    }
    return TYPE_BGR_8;
}

cmsColorSpaceSignature spaceOf(profiles::ColourModel model)
{
    switch (model) {
    case profiles::ColourModel::Grey:
        return cmsSigGrayData;
    case profiles::ColourModel::Cmyk:
        return cmsSigCmykData;
    case profiles::ColourModel::Rgb:
        break;
    }
    return cmsSigRgbData;
}

const char* nameOf(cmsColorSpaceSignature space)
{
    switch (space) {
    case cmsSigRgbData:
        return "RGB";
    case cmsSigGrayData:
        return "grey";
    case cmsSigCmykData:
        return "CMYK";
    case cmsSigLabData:
        return "L*a*b*";
    case cmsSigXYZData:
        return "XYZ";
    default:
        return "another colour space";
    }
}

class LittleCmsTransform final : public profiles::Transform {
public:
    explicit LittleCmsTransform(cmsHTRANSFORM transform)
        : transform_(transform)
    {
    }
    ~LittleCmsTransform() override { cmsDeleteTransform(transform_); }
    LittleCmsTransform(const LittleCmsTransform&) = delete;
    LittleCmsTransform& operator=(const LittleCmsTransform&) = delete;

    void apply(const void* in, uchar* out, std::size_t pixels) const override
    {
        // Transforms made without Little CMS's one-pixel cache may be used
        // by several threads at once.
        cmsDoTransform(transform_, in, out, static_cast<cmsUInt32Number>(pixels));
    }

private:
    cmsHTRANSFORM transform_;
};

// sRGB's curve from linear light, in 2^16 steps of [0, 1]: fine enough that
// the steepest part, near black, still resolves every 8-bit code value.
constexpr int kEncodingSteps = 1 << 16;
// The largest contribution of one channel to a linear result the tables take.
constexpr float kLargestContribution = 8.0f;

std::vector<uchar> srgbEncoding()
{
    std::vector<uchar> table(kEncodingSteps + 1);
    for (int k = 0; k <= kEncodingSteps; ++k) {
        const double v = double(k) / kEncodingSteps;
        const double e = v <= 0.0031308 ? 12.92 * v : 1.055 * std::pow(v, 1.0 / 2.4) - 0.055;
        table[std::size_t(k)] = uchar(std::lround(std::clamp(e, 0.0, 1.0) * 255.0));
    }
    return table;
}

// A transform of R, G, B samples (8 or 16 bits) whose linear sRGB result is
// the sum of each channel's own contribution (see Profiles::separableTables),
// held in fixed point, in steps of the encoding table.
template <typename Sample> class SeparableTables final : public profiles::Transform {
public:
    static constexpr std::size_t kLevels = std::size_t(1) << (8 * sizeof(Sample));

    SeparableTables(int channels, bool reversed)
        : contribution_(9 * kLevels)
        , channels_(channels)
        , reversed_(reversed)
    {
        static const std::vector<uchar> table = srgbEncoding();
        encoding_ = table.data();
    }

    // What input channel k (R, G, B) at `value` adds to output channel c, in
    // linear light (1 = white).
    void set(int c, int k, std::size_t value, float linear)
    {
        contribution_[(std::size_t(3 * c + k)) * kLevels + value]
            = std::int32_t(std::lround(double(linear) * kEncodingSteps));
    }

    void apply(const void* in, uchar* out, std::size_t pixels) const override
    {
        const Sample* p = static_cast<const Sample*>(in);
        const int r = reversed_ ? 2 : 0, b = reversed_ ? 0 : 2;
        const std::int32_t* t = contribution_.data();
        for (std::size_t j = 0; j < pixels; ++j, p += channels_, out += 3) {
            const std::size_t R = p[r], G = p[1] + kLevels, B = p[b] + 2 * kLevels;
            for (int c = 0; c < 3; ++c) {
                const std::int32_t* row = t + std::size_t(3 * c) * kLevels;
                const std::int32_t sum = row[R] + row[G] + row[B];
                out[2 - c] = encoding_[std::min(std::max(sum, 0), kEncodingSteps)];
            }
        }
    }

private:
    std::vector<std::int32_t> contribution_; // [output c][input k][value]
    int channels_;
    bool reversed_;
    const uchar* encoding_;
};

struct ProfileCloser {
    void operator()(void* profile) const
    {
        if (profile != nullptr)
            cmsCloseProfile(profile);
    }
};
using Profile = std::unique_ptr<void, ProfileCloser>;

// The toolkit's own Little CMS context and the transforms of the profiles
// met last.
class Profiles {
public:
    Profiles()
        : context_(cmsCreateContext(nullptr, nullptr))
    {
        if (context_ != nullptr)
            cmsSetLogErrorHandlerTHR(context_, onLittleCmsMessage);
    }
    ~Profiles()
    {
        kept_.clear();
        if (context_ != nullptr)
            cmsDeleteContext(context_);
    }
    Profiles(const Profiles&) = delete;
    Profiles& operator=(const Profiles&) = delete;

    profiles::Decision decide(const std::vector<uchar>& icc, PixelLayout layout)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = kept_.begin(); it != kept_.end(); ++it) {
            if (it->layout == layout && it->icc == icc) {
                kept_.splice(kept_.begin(), kept_, it);
                return kept_.front().decision;
            }
        }
        kept_.push_front({ icc, layout, examine(icc, layout) });
        if (kept_.size() > kKeptProfiles)
            kept_.pop_back();
        return kept_.front().decision;
    }

    cmsContext context() const { return context_; }

private:
    struct Kept {
        std::vector<uchar> icc;
        PixelLayout layout;
        profiles::Decision decision;
    };

    profiles::Decision examine(const std::vector<uchar>& icc, PixelLayout layout)
    {
        profiles::Decision decision;
        if (context_ == nullptr) {
            decision.unusable = "Little CMS could not start";
            return decision;
        }
        tLastMessage.clear();
        Profile source(cmsOpenProfileFromMemTHR(
            context_, icc.data(), static_cast<cmsUInt32Number>(icc.size())));
        if (!source) {
            decision.unusable = "not a valid ICC profile"
                + (tLastMessage.empty() ? std::string() : " (" + tLastMessage + ")");
            return decision;
        }
        char text[256] = "";
        if (cmsGetProfileInfoASCII(source.get(), cmsInfoDescription, "en", "US", text, sizeof text)
            > 0)
            decision.description = text;
        const profiles::ColourModel model = profiles::modelOf(layout);
        const cmsColorSpaceSignature space = cmsGetColorSpace(source.get());
        if (space != spaceOf(model)) {
            decision.unusable = std::string("a profile for ") + nameOf(space) + " data on "
                + nameOf(spaceOf(model)) + " pixels";
            return decision;
        }
        Profile srgb(cmsCreate_sRGBProfileTHR(context_));
        cmsHTRANSFORM transform = cmsCreateTransformTHR(context_, source.get(), formatOf(layout),
            srgb.get(), TYPE_BGR_8, INTENT_RELATIVE_COLORIMETRIC, cmsFLAGS_NOCACHE);
        if (transform == nullptr) {
            decision.unusable = "Little CMS cannot convert from it"
                + (tLastMessage.empty() ? std::string() : " (" + tLastMessage + ")");
            return decision;
        }
        auto made = std::make_shared<LittleCmsTransform>(transform);
        if (model != profiles::ColourModel::Cmyk && movesNoValue(source.get(), srgb.get(), model))
            decision.isSrgb = true;
        else if (auto tables = separableTables(source.get(), layout, *made))
            decision.transform = std::move(tables);
        else
            decision.transform = std::move(made);
        return decision;
    }

    // For an RGB profile of three curves and a matrix (what cameras, phones
    // and editors embed), the linear sRGB value of a colour is the sum of
    // what each channel contributes alone: tabulated from Little CMS's own
    // conversion, 256 values a channel, it costs three look-ups and two
    // additions a channel, a third of Little CMS's time on a 12-megapixel
    // photograph (bench_image_reader); 16-bit samples take tables of 65536
    // values a channel (2.4 MB a profile). Kept only where it gives Little
    // CMS's 8-bit result within one code value on every colour of a test
    // grid; null otherwise.
    std::shared_ptr<const profiles::Transform> separableTables(
        void* source, PixelLayout layout, const profiles::Transform& reference)
    {
        switch (layout) {
        case PixelLayout::Rgb8:
        case PixelLayout::Bgr8:
        case PixelLayout::Bgra8:
            return tabulate<std::uint8_t>(source, layout, reference);
        case PixelLayout::Rgb16:
        case PixelLayout::Bgr16:
        case PixelLayout::Bgra16: {
            // Little CMS takes 16-bit samples through a precalculated table
            // whose interpolation leaves the exact result by a few code
            // values at the edge of sRGB's gamut; the sums are checked
            // against its exact arithmetic instead.
            Profile srgb(cmsCreate_sRGBProfileTHR(context_));
            cmsHTRANSFORM exact
                = cmsCreateTransformTHR(context_, source, formatOf(layout), srgb.get(), TYPE_BGR_8,
                    INTENT_RELATIVE_COLORIMETRIC, cmsFLAGS_NOCACHE | cmsFLAGS_NOOPTIMIZE);
            if (exact == nullptr)
                return nullptr;
            const LittleCmsTransform exactReference(exact);
            return tabulate<std::uint16_t>(source, layout, exactReference);
        }
        default:
            return nullptr;
        }
    }

    template <typename Sample>
    std::shared_ptr<const profiles::Transform> tabulate(
        void* source, PixelLayout layout, const profiles::Transform& reference)
    {
        constexpr std::size_t kLevels = SeparableTables<Sample>::kLevels;
        constexpr bool kWide = sizeof(Sample) == 2;
        const cmsCIExyY d65 { 0.3127, 0.3290, 1.0 };
        const cmsCIExyYTRIPLE srgbPrimaries { { 0.64, 0.33, 1.0 }, { 0.30, 0.60, 1.0 },
            { 0.15, 0.06, 1.0 } };
        cmsToneCurve* linear = cmsBuildGamma(context_, 1.0);
        cmsToneCurve* curves[3] = { linear, linear, linear };
        Profile linearSrgb(cmsCreateRGBProfileTHR(context_, &d65, &srgbPrimaries, curves));
        cmsFreeToneCurve(linear);
        if (!linearSrgb)
            return nullptr;
        cmsHTRANSFORM probe
            = cmsCreateTransformTHR(context_, source, kWide ? TYPE_RGB_16 : TYPE_RGB_8,
                linearSrgb.get(), TYPE_RGB_FLT, INTENT_RELATIVE_COLORIMETRIC, cmsFLAGS_NOCACHE);
        if (probe == nullptr)
            return nullptr;
        // Each channel alone, the others 0: R ramp, G ramp, B ramp.
        std::vector<Sample> in(3 * 3 * kLevels, 0);
        for (std::size_t k = 0; k < 3; ++k)
            for (std::size_t v = 0; v < kLevels; ++v)
                in[3 * (kLevels * k + v) + k] = Sample(v);
        std::vector<float> out(in.size());
        cmsDoTransform(probe, in.data(), out.data(), cmsUInt32Number(3 * kLevels));
        cmsDeleteTransform(probe);
        const int channels = layout == PixelLayout::Bgra8 || layout == PixelLayout::Bgra16 ? 4 : 3;
        const bool reversed = layout != PixelLayout::Rgb8 && layout != PixelLayout::Rgb16;
        // A contribution beyond a few times white comes from no camera's
        // profile; such a profile keeps Little CMS's transform, and the sums
        // stay far from overflowing.
        for (const float value : out)
            if (!std::isfinite(value) || std::abs(value) > kLargestContribution)
                return nullptr;
        auto tables = std::make_shared<SeparableTables<Sample>>(channels, reversed);
        for (int k = 0; k < 3; ++k)
            for (std::size_t v = 0; v < kLevels; ++v)
                for (int c = 0; c < 3; ++c)
                    tables->set(c, k, v, out[3 * (kLevels * std::size_t(k) + v) + std::size_t(c)]);

        // The grid, as R, G, B in the layout's order, through both.
        std::vector<Sample> grid;
        const double top = double(kLevels - 1);
        for (int r = 0; r < kSrgbGridSteps; ++r)
            for (int g = 0; g < kSrgbGridSteps; ++g)
                for (int b = 0; b < kSrgbGridSteps; ++b) {
                    const int steps[3] = { r, g, b };
                    Sample rgb[3];
                    for (int c = 0; c < 3; ++c)
                        rgb[c] = Sample(std::lround(steps[c] * top / (kSrgbGridSteps - 1)));
                    for (int c = 0; c < 3; ++c)
                        grid.push_back(rgb[reversed ? 2 - c : c]);
                    if (channels == 4)
                        grid.push_back(Sample(top));
                }
        const std::size_t pixels = grid.size() / std::size_t(channels);
        std::vector<uchar> ours(3 * pixels), theirs(3 * pixels);
        tables->apply(grid.data(), ours.data(), pixels);
        reference.apply(grid.data(), theirs.data(), pixels);
        for (std::size_t k = 0; k < ours.size(); ++k)
            if (std::abs(int(ours[k]) - int(theirs[k])) > kSrgbTolerance)
                return nullptr;
        return tables;
    }

    // Whether the profile takes 8-bit values to sRGB within the tolerance, on
    // a grid of colours and every grey: sRGB in all but its name.
    bool movesNoValue(void* source, void* srgb, profiles::ColourModel model)
    {
        const bool grey = model == profiles::ColourModel::Grey;
        cmsHTRANSFORM check
            = cmsCreateTransformTHR(context_, source, grey ? TYPE_GRAY_8 : TYPE_RGB_8, srgb,
                TYPE_RGB_8, INTENT_RELATIVE_COLORIMETRIC, cmsFLAGS_NOCACHE);
        if (check == nullptr)
            return false;
        std::vector<uchar> in;
        for (int v = 0; v < 256; ++v)
            in.insert(in.end(), grey ? 1 : 3, uchar(v));
        if (!grey) {
            for (int r = 0; r < kSrgbGridSteps; ++r)
                for (int g = 0; g < kSrgbGridSteps; ++g)
                    for (int b = 0; b < kSrgbGridSteps; ++b)
                        for (int c : { r, g, b })
                            in.push_back(uchar(c * 255 / (kSrgbGridSteps - 1)));
        }
        const std::size_t pixels = in.size() / (grey ? 1 : 3);
        std::vector<uchar> out(3 * pixels);
        cmsDoTransform(check, in.data(), out.data(), static_cast<cmsUInt32Number>(pixels));
        cmsDeleteTransform(check);
        for (std::size_t k = 0; k < out.size(); ++k) {
            const int expected = grey ? in[k / 3] : in[k];
            if (std::abs(int(out[k]) - expected) > kSrgbTolerance)
                return false;
        }
        return true;
    }

    cmsContext context_;
    std::mutex mutex_;
    std::list<Kept> kept_;
};

Profiles& theProfiles()
{
    static Profiles profiles;
    return profiles;
}

} // namespace

profiles::ColourModel profiles::modelOf(PixelLayout layout)
{
    switch (layout) {
    case PixelLayout::Grey8:
    case PixelLayout::Grey16:
    case PixelLayout::GreyAlpha8:
    case PixelLayout::GreyAlpha16:
        return ColourModel::Grey;
    case PixelLayout::Cmyk8:
    case PixelLayout::InvertedCmyk8:
        return ColourModel::Cmyk;
    default:
        return ColourModel::Rgb;
    }
}

profiles::Decision profiles::decide(const std::vector<uchar>& icc, PixelLayout layout)
{
    return theProfiles().decide(icc, layout);
}

std::vector<uchar> profiles::profileFromCodePoints(const double chromaticities[8], int transfer,
    const std::string& description, std::string& error)
{
    // Transfer functions as Little CMS's parametric curves: type 1 is
    // Y = X^g, type 4 is Y = (aX + b)^g above d and cX below.
    int type = 4;
    std::vector<double> params;
    switch (transfer) {
    case 1: // ITU-R BT.709, BT.601 and BT.2020: the camera curve, inverted
    case 6:
    case 14:
    case 15:
        params = { 1.0 / 0.45, 1.0 / 1.099, 0.099 / 1.099, 1.0 / 4.5, 0.081 };
        break;
    case 4: // gamma 2.2
        type = 1;
        params = { 2.2 };
        break;
    case 5: // gamma 2.8
        type = 1;
        params = { 2.8 };
        break;
    case 8: // linear
        type = 1;
        params = { 1.0 };
        break;
    case 2: // unspecified: taken as sRGB's
    case 13: // IEC 61966-2-1, sRGB's
        params = { 2.4, 1.0 / 1.055, 0.055 / 1.055, 1.0 / 12.92, 0.04045 };
        break;
    default:
        error = "transfer characteristics " + std::to_string(transfer)
            + " (a high-dynamic-range or logarithmic curve) have no colour profile";
        return {};
    }
    Profiles& all = theProfiles();
    cmsContext context = all.context();
    const cmsCIExyY white { chromaticities[6], chromaticities[7], 1.0 };
    const cmsCIExyYTRIPLE primaries { { chromaticities[0], chromaticities[1], 1.0 },
        { chromaticities[2], chromaticities[3], 1.0 },
        { chromaticities[4], chromaticities[5], 1.0 } };
    cmsToneCurve* curve = cmsBuildParametricToneCurve(context, type, params.data());
    if (curve == nullptr) {
        error = "Little CMS cannot make the transfer curve";
        return {};
    }
    cmsToneCurve* curves[3] = { curve, curve, curve };
    Profile profile(cmsCreateRGBProfileTHR(context, &white, &primaries, curves));
    cmsFreeToneCurve(curve);
    if (!profile) {
        error = "Little CMS cannot make a profile of these primaries";
        return {};
    }
    if (cmsMLU* text = cmsMLUalloc(context, 1)) {
        cmsMLUsetASCII(text, "en", "US", description.c_str());
        cmsWriteTag(profile.get(), cmsSigProfileDescriptionTag, text);
        cmsMLUfree(text);
    }
    cmsUInt32Number size = 0;
    if (!cmsSaveProfileToMem(profile.get(), nullptr, &size) || size == 0) {
        error = "Little CMS cannot write the profile";
        return {};
    }
    std::vector<uchar> bytes(size);
    if (!cmsSaveProfileToMem(profile.get(), bytes.data(), &size)) {
        error = "Little CMS cannot write the profile";
        return {};
    }
    return bytes;
}
