#include "programs/metrics/Metrics.hpp"

#include "toolkit/color/AppearanceAttributes.hpp"
#include "toolkit/color/AppearanceModel.hpp"
#include "toolkit/color/ChromaticAdaptation.hpp"
#include "toolkit/color/RgbXyz.hpp"
#include "toolkit/common/ColourIndex.hpp"
#include "toolkit/common/CommonFunctions.hpp"
#include "toolkit/common/DistinctColours.hpp"
#include "toolkit/common/FileReplacement.hpp"
#include "toolkit/common/FloatText.hpp"
#include "toolkit/common/GreyJpegWriter.hpp"
#include "toolkit/common/ResultFile.hpp"

#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <future>
#include <iostream>
#include <limits>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace color = toolkit::color;
namespace common = toolkit::common;

using metrics::AttributeCounts;
using metrics::ColourAttributes;
using metrics::ColourResponse;
using metrics::Figures;

namespace {

// Distinct colours are laid out in rows of this width.
constexpr int kColourRowWidth = 1024;
// J rounds into the top bin, 100, from 99.5 on.
constexpr float kTopBinStart = 99.5f;
constexpr int kQuickTopBin = 100;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
// The planes spreadAttributes fills: Q, J, C, M, s and h.
constexpr std::size_t kSpreadPlanes = 6;
// Size of the chunks in which the brightness dump is written.
constexpr std::size_t kDumpChunk = std::size_t(4) << 20;
// Bytes the dump copies per pixel: a float's text, a newline and its length.
constexpr std::size_t kDumpSlot = 16;

void scaleBy100(cv::Mat& img)
{
    for (int i = 0; i < img.rows; ++i) {
        float* row = img.ptr<float>(i);
        for (int k = 0; k < img.cols * 3; ++k)
            row[k] = row[k] * 100.0f;
    }
}

// Three 8-bit planes of the image's size holding, per pixel, the value its
// colour has in each of the per-colour tables (CV_8UC1, in the colour layout).
struct PixelPlanes {
    cv::Mat first, second, third;
};

// One row of pixels spread over three rows by their colours' values in the
// tables v1, v2, v3. `indices` has room for the row's colour indices.
void spreadRow(const uchar* px, int cols, const common::DistinctColours& colours, const uchar* v1,
    const uchar* v2, const uchar* v3, uchar* o1, uchar* o2, uchar* o3, std::uint32_t* indices)
{
    common::colourIndices(colours, px, std::size_t(cols), indices);
    for (int j = 0; j < cols; ++j) {
        const std::uint32_t k = indices[j];
        o1[j] = v1[k];
        o2[j] = v2[k];
        o3[j] = v3[k];
    }
}

PixelPlanes spreadOverPixels(const cv::Mat& img, const common::DistinctColours& colours,
    const cv::Mat& first, const cv::Mat& second, const cv::Mat& third)
{
    PixelPlanes out { cv::Mat(img.size(), CV_8UC1), cv::Mat(img.size(), CV_8UC1),
        cv::Mat(img.size(), CV_8UC1) };
    std::vector<std::uint32_t> indices(std::size_t(img.cols));
    for (int i = 0; i < img.rows; ++i)
        spreadRow(img.ptr<uchar>(i), img.cols, colours, first.ptr<uchar>(0), second.ptr<uchar>(0),
            third.ptr<uchar>(0), out.first.ptr<uchar>(i), out.second.ptr<uchar>(i),
            out.third.ptr<uchar>(i), indices.data());
    return out;
}

// The text and its newline, and in the last byte their length.
struct DumpSlot {
    char bytes[kDumpSlot];
};

// One row of the brightness dump, written at `out`; returns its end.
// `indices` has room for the row's colour indices.
char* dumpRow(const uchar* px, int cols, const common::DistinctColours& colours,
    const DumpSlot* slots, char* out, std::uint32_t* indices)
{
    common::colourIndices(colours, px, std::size_t(cols), indices);
    for (int j = 0; j < cols; ++j) {
        const DumpSlot& slot = slots[indices[j]];
        std::memcpy(out, slot.bytes, kDumpSlot);
        out += static_cast<unsigned char>(slot.bytes[kDumpSlot - 1]);
    }
    return out;
}

// "10_in.txt": the brightness of every pixel, one per line, row by row, in
// the model's dump lines. Each colour's text is formatted once, into
// a slot of fixed size that the pixel loop copies whole.
// Returns why the file could not be written, or nothing.
std::string writeBrightnessDump(const std::string& path, const cv::Mat& img,
    const common::DistinctColours& colours, const cv::Mat& Q)
{
    std::vector<DumpSlot> slots(colours.keys.size());
    const float* q = Q.ptr<float>(0);
    for (std::size_t k = 0; k < colours.keys.size(); ++k) {
        char number[common::kFloatTextMax];
        const std::size_t length = std::size_t(color::dumpLine(number, q[k]) - number);
        CV_Assert(length < kDumpSlot);
        std::memcpy(slots[k].bytes, number, length);
        slots[k].bytes[kDumpSlot - 1] = char(length);
    }

    common::FileReplacement replacement(path);
    std::FILE* file = replacement.file();
    if (file != nullptr) {
        std::setvbuf(file, nullptr, _IONBF, 0);
        // Room for a whole row past the flushing point.
        const std::size_t rowBytes = std::size_t(img.cols) * kDumpSlot;
        std::vector<char> buffer(kDumpChunk + rowBytes);
        std::vector<std::uint32_t> indices(std::size_t(img.cols));
        std::size_t used = 0;
        bool ok = true;
        for (int i = 0; i < img.rows && ok; ++i) {
            const char* end = dumpRow(img.ptr<uchar>(i), img.cols, colours, slots.data(),
                buffer.data() + used, indices.data());
            used = std::size_t(end - buffer.data());
            if (used >= kDumpChunk || i + 1 == img.rows) {
                ok = std::fwrite(buffer.data(), 1, used, file) == used;
                used = 0;
            }
        }
    }
    std::string error;
    return replacement.commit(error) ? std::string() : error;
}

// The name of a debug file in a directory ("" for the working directory).
std::string inDirectory(const std::string& directory, const char* name)
{
    if (directory.empty())
        return name;
    return directory.back() == '/' ? directory + name : directory + "/" + name;
}

} // namespace

float metrics::getBhattacharyaCoeff(const cv::Mat& inpChannel, const cv::Mat& tarChannel)
{
    return common::getBhattacharyaCoeff(inpChannel, tarChannel, kMetricsBins);
}

void metrics::compute_cat(cv::Mat& source, cv::Mat& destination)
{
    cv::Mat xyz(source.size(), CV_32FC3);
    color::convertBGRToXYZDirect(source, xyz);
    cv::Mat xyzCopy = xyz.clone();
    color::convertXYZtoSharpenedBGR(xyz, destination);
    color::iCAMCATByD65(destination, destination, xyzCopy);
}

void metrics::perceptualMetrics(
    cv::Mat& img, cv::Mat& Q, cv::Mat& J, cv::Mat& C, cv::Mat& M, cv::Mat& s)
{
    scaleBy100(img);
    color::AppearanceOptions options;
    options.debugFiles = true;
    const color::AppearancePlanes planes = color::computeAppearance(img, kViewing, options);
    planes.Q.copyTo(Q);
    planes.J.copyTo(J);
    planes.C.copyTo(C);
    planes.M.copyTo(M);
    planes.s.copyTo(s);
}

namespace {

// The colours laid out as an image (DistinctColours::asImage), taken through
// normalisation, compute_cat and the model as far as `stage`.
color::AppearancePlanes appearanceOfColours(
    const common::DistinctColours& colours, color::AppearanceStage stage)
{
    cv::Mat bgr = colours.asImage(kColourRowWidth);
    const cv::Size size = bgr.size();
    cv::Mat norm(size, CV_32FC3);
    cv::Mat adapted(size, CV_32FC3);
    common::normImg(bgr, norm);
    metrics::compute_cat(norm, adapted);
    scaleBy100(adapted);
    color::AppearanceOptions options;
    options.through = stage;
    return color::computeAppearance(adapted, metrics::kViewing, options);
}

// The largest achromatic response of the colours: the image's white, found
// as the model finds it (a NaN never becomes the white).
float whiteOf(const ColourResponse* responses, std::size_t count)
{
    float Aw = 0.0f;
    for (std::size_t k = 0; k < count; ++k)
        if (responses[k].A > Aw)
            Aw = responses[k].A;
    return Aw;
}

// The five attributes of one colour in an image of white Aw, by the model's
// own per-element steps.
struct Attributes {
    float Q, J, C, M, s;
};
Attributes attributesOf(
    const ColourResponse& response, float Aw, const color::AttributeConditions& conditions)
{
    Attributes a;
    a.J = color::lightnessOf(response.A, Aw, conditions.zc);
    a.Q = color::brightnessOf(a.J, Aw + 4.0f, conditions.flRoot, conditions.c);
    a.C = color::chromaOf(color::chromaPowerOf(response.t), a.J, conditions.background);
    a.M = color::colourfulnessOf(a.C, conditions.flRoot);
    a.s = color::saturationOf(a.M, a.Q);
    return a;
}

} // namespace

ColourAttributes metrics::attributesOfColours(const common::DistinctColours& colours)
{
    // The padding repeats a colour of the image, so the largest A over the
    // laid-out colours is the largest A of the image.
    const color::AppearancePlanes planes
        = appearanceOfColours(colours, color::AppearanceStage::Saturation);
    return { planes.Q, planes.J, planes.C, planes.M, planes.s, planes.A, planes.t, planes.h };
}

metrics::PixelAttributes metrics::attributesOfPixels(const cv::Mat& normalised, bool debugFiles)
{
    cv::Mat source = normalised.clone();
    cv::Mat adapted(source.size(), CV_32FC3);
    compute_cat(source, adapted);
    adapted *= 100.0;
    color::AppearanceOptions options;
    options.debugFiles = debugFiles;
    const color::AppearancePlanes planes = color::computeAppearance(adapted, kViewing, options);
    return { planes.Q, planes.J, planes.C, planes.M, planes.s, planes.h };
}

void metrics::spreadAttributes(const cv::Mat& img, const common::DistinctColours& colours,
    const ColourAttributes& attributes, PixelAttributes& out)
{
    CV_Assert(img.type() == CV_8UC3);
    const cv::Mat* tables[kSpreadPlanes] = { &attributes.Q, &attributes.J, &attributes.C,
        &attributes.M, &attributes.s, &attributes.h };
    cv::Mat* planes[kSpreadPlanes] = { &out.Q, &out.J, &out.C, &out.M, &out.s, &out.h };
    const float* values[kSpreadPlanes];
    for (std::size_t p = 0; p < kSpreadPlanes; ++p) {
        values[p] = tables[p]->ptr<float>(0);
        if (planes[p]->size() != img.size() || planes[p]->type() != CV_32FC1)
            planes[p]->create(img.size(), CV_32FC1);
    }
    // Rows are spread in bands, each with its own room for the row's indices.
    cv::parallel_for_(cv::Range(0, img.rows), [&](const cv::Range& band) {
        std::vector<std::uint32_t> indices(std::size_t(img.cols));
        for (int i = band.start; i < band.end; ++i) {
            common::colourIndices(
                colours, img.ptr<uchar>(i), std::size_t(img.cols), indices.data());
            for (std::size_t p = 0; p < kSpreadPlanes; ++p) {
                float* row = planes[p]->ptr<float>(i);
                const float* table = values[p];
                for (int j = 0; j < img.cols; ++j)
                    row[j] = table[indices[std::size_t(j)]];
            }
        }
    });
}

void metrics::responsesOfColours(
    const std::uint32_t* keys, std::size_t count, ColourResponse* responses)
{
    if (count == 0)
        return;
    common::DistinctColours colours;
    colours.keys.assign(keys, keys + count);
    const color::AppearancePlanes planes
        = appearanceOfColours(colours, color::AppearanceStage::Chroma);
    const float* A = planes.A.ptr<float>(0);
    const float* t = planes.t.ptr<float>(0);
    for (std::size_t k = 0; k < count; ++k)
        responses[k] = { A[k], t[k] };
}

void metrics::quickResponsesOfColours(
    const std::uint32_t* keys, std::size_t count, QuickResponse* quick)
{
    std::vector<ColourResponse> responses(count);
    responsesOfColours(keys, count, responses.data());
    const double halfZc = static_cast<double>(color::attributeConditions(kViewing).zc / 2.0f);
    for (std::size_t k = 0; k < count; ++k) {
        const float A = responses[k].A, t = responses[k].t;
        // The power in double, then rounded: it orders the colours as their
        // A does, equal A or not.
        quick[k] = { A > 0.0f ? static_cast<float>(std::pow(static_cast<double>(A), halfZc)) : kNaN,
            t > 0.0f ? static_cast<float>(std::sqrt(color::chromaPowerOf(t))) : kNaN };
    }
}

namespace {

// The largest difference between an approximation and the model's own
// float steps, relative to the value, with room to spare: ten times what
// their roundings can add up to (the stored power and root within half a
// float step, 6e-8, of their exact values; each attribute's float steps
// within five of exact arithmetic: together about 6e-7), twenty times the
// largest difference over all 2^24 colours under two whites (2.7e-7).
constexpr double kApproximationError = 6e-6;
// And an absolute error, for values near zero.
constexpr double kApproximationFloor = 1e-6;

// Bins of the quick route: those the program sums, 0 to 999; values beyond
// take the model's steps.
constexpr int kQuickBins = metrics::kMetricsBins.last + 1;

// The bin of an approximate value when its error cannot reach a bin's half
// and the bin is one of the quick route's; -1 otherwise. Any rounding to the
// nearest integer gives the bin there: the value is not at a half.
// Without branches, so that the compiler finds bins several at a time.
inline int sureBin(double value)
{
    const bool within = (value >= 0.0) & (value < kQuickBins - 0.5); // false for NaN
    const double v = within ? value : 0.0;
    const int bin = static_cast<int>(v + 0.5);
    const double margin = kApproximationError * v + kApproximationFloor;
    return (within & (0.5 - std::fabs(v - bin) > margin)) ? bin : -1;
}

// Colours whose bins are found together.
constexpr std::size_t kQuickBlock = 256;

// The attributes of a colour, mathematically, as products of per-image
// factors and the colour's stored A^(z c / 2) and sqrt(t^0.9): with
// e = (A / Aw)^(z c / 2), J = 100 e^2, Q = (4 / c) (Aw + 4) FL^0.25 e,
// C = t^0.9 e bg, M = FL^0.25 C and s = 100 sqrt(M / Q)
// = 100 sqrt(t^0.9 bg c / (4 (Aw + 4))), e cancelling.
struct ImageFactors {
    double e; // per A^(z c / 2): 1 / Aw^(z c / 2)
    double Q; // per e
    double C; // per e t^0.9
    double M; // per e t^0.9
    double s; // per sqrt(t^0.9)
};

ImageFactors imageFactors(float Aw, const color::AttributeConditions& conditions)
{
    const double awPlusFour = static_cast<double>(Aw + 4.0f);
    const double c = static_cast<double>(conditions.c);
    const double halfZc = static_cast<double>(conditions.zc / 2.0f);
    return { 1.0 / std::pow(static_cast<double>(Aw), halfZc),
        4.0 * awPlusFour * conditions.flRoot / c, conditions.background,
        conditions.background * conditions.flRoot,
        100.0 * std::sqrt(conditions.background * c / (4.0 * awPlusFour)) };
}

} // namespace

namespace {

// The responses of some of an image's colours, given by their positions.
std::vector<ColourResponse> responsesAt(
    const common::DistinctColours& colours, const std::vector<std::size_t>& positions)
{
    std::vector<std::uint32_t> keys;
    keys.reserve(positions.size());
    for (const std::size_t k : positions)
        keys.push_back(colours.keys[k]);
    std::vector<ColourResponse> responses(keys.size());
    metrics::responsesOfColours(keys.data(), keys.size(), responses.data());
    return responses;
}

// The image's white, the largest A of its colours (0 when none is
// positive): that of the colours of the largest A^(z c / 2), which is the
// largest A's (a NaN never becomes the white).
float quickWhite(const common::DistinctColours& colours, const metrics::QuickResponse* quick)
{
    const std::size_t count = colours.keys.size();
    float largest = -std::numeric_limits<float>::infinity();
    for (std::size_t k = 0; k < count; ++k)
        if (quick[k].powerA > largest)
            largest = quick[k].powerA;
    std::vector<std::size_t> whites;
    for (std::size_t k = 0; k < count; ++k)
        if (quick[k].powerA == largest)
            whites.push_back(k);
    const std::vector<ColourResponse> responses = responsesAt(colours, whites);
    return whiteOf(responses.data(), responses.size());
}

} // namespace

AttributeCounts metrics::countAttributesOfQuickResponses(
    const common::DistinctColours& colours, const QuickResponse* quick, double& topLightnessShare)
{
    const std::size_t count = colours.keys.size();
    const color::AttributeConditions conditions = color::attributeConditions(kViewing);
    const float Aw = quickWhite(colours, quick);
    const bool quickImage = Aw > 0.0f && std::isfinite(Aw);
    const ImageFactors factors = imageFactors(quickImage ? Aw : 1.0f, conditions);
    AttributeCounts counts;
    // The quick route's counts, bin by bin, per attribute: J, Q, C, M, s.
    std::vector<std::uint64_t> quickCounts(5 * std::size_t(kQuickBins), 0);
    std::uint64_t* const quickJ = quickCounts.data();
    std::uint64_t* const quickQ = quickJ + kQuickBins;
    std::uint64_t* const quickC = quickQ + kQuickBins;
    std::uint64_t* const quickM = quickC + kQuickBins;
    std::uint64_t* const quickS = quickM + kQuickBins;
    std::uint64_t top = 0, all = 0;
    // The colours the model's own steps take.
    std::vector<std::size_t> exact;
    // A block of colours at a time: their five bins in a loop the compiler
    // runs on several colours at once, then their counts.
    int bins[5][kQuickBlock];
    for (std::size_t first = 0; first < count; first += kQuickBlock) {
        const std::size_t n = std::min(kQuickBlock, count - first);
        const QuickResponse* response = quick + first;
        for (std::size_t k = 0; k < n; ++k) {
            const double e = static_cast<double>(response[k].powerA) * factors.e;
            const double root = static_cast<double>(response[k].rootTPower);
            const double power = root * root;
            bins[0][k] = sureBin(100.0 * e * e);
            bins[1][k] = sureBin(factors.Q * e);
            bins[2][k] = sureBin(factors.C * e * power);
            bins[3][k] = sureBin(factors.M * e * power);
            bins[4][k] = sureBin(factors.s * root);
        }
        for (std::size_t k = 0; k < n; ++k) {
            const std::uint32_t pixels = colours.counts[first + k];
            all += pixels;
            const int J = bins[0][k], Q = bins[1][k], C = bins[2][k], M = bins[3][k],
                      s = bins[4][k];
            // A NaN power or root gives no sure bin.
            if (quickImage && (J | Q | C | M | s) >= 0) {
                quickJ[J] += pixels;
                quickQ[Q] += pixels;
                quickC[C] += pixels;
                quickM[M] += pixels;
                quickS[s] += pixels;
                top += J == kQuickTopBin ? pixels : 0;
            } else {
                exact.push_back(first + k);
            }
        }
    }
    const std::vector<ColourResponse> responses = responsesAt(colours, exact);
    for (std::size_t e = 0; e < exact.size(); ++e) {
        const std::uint32_t n = colours.counts[exact[e]];
        const Attributes a = attributesOf(responses[e], Aw, conditions);
        counts.Q.add(a.Q, n);
        counts.J.add(a.J, n);
        counts.C.add(a.C, n);
        counts.M.add(a.M, n);
        counts.s.add(a.s, n);
        if (a.J >= kTopBinStart)
            top += n;
    }
    for (int bin = 0; bin < kQuickBins; ++bin) {
        const std::pair<common::BinCounts*, std::uint64_t*> attributes[]
            = { { &counts.J, quickJ }, { &counts.Q, quickQ }, { &counts.C, quickC },
                  { &counts.M, quickM }, { &counts.s, quickS } };
        for (const auto& [histogram, binCounts] : attributes)
            if (binCounts[bin] != 0)
                histogram->addToBin(bin, binCounts[bin]);
    }
    topLightnessShare = all == 0 ? 0.0 : double(top) / double(all);
    return counts;
}

double metrics::topLightnessShare(
    const common::DistinctColours& colours, const ColourAttributes& attributes)
{
    const float* j = attributes.J.ptr<float>(0);
    std::uint64_t top = 0, all = 0;
    for (std::size_t k = 0; k < colours.keys.size(); ++k) {
        all += colours.counts[k];
        if (j[k] >= kTopBinStart)
            top += colours.counts[k];
    }
    return all == 0 ? 0.0 : double(top) / double(all);
}

AttributeCounts metrics::countAttributes(
    const common::DistinctColours& colours, const ColourAttributes& attributes)
{
    AttributeCounts counts;
    const float* q = attributes.Q.ptr<float>(0);
    const float* j = attributes.J.ptr<float>(0);
    const float* c = attributes.C.ptr<float>(0);
    const float* m = attributes.M.ptr<float>(0);
    const float* s = attributes.s.ptr<float>(0);
    for (std::size_t k = 0; k < colours.keys.size(); ++k) {
        const std::uint32_t n = colours.counts[k];
        counts.Q.add(q[k], n);
        counts.J.add(j[k], n);
        counts.C.add(c[k], n);
        counts.M.add(m[k], n);
        counts.s.add(s[k], n);
    }
    return counts;
}

Figures metrics::compareAttributes(const AttributeCounts& first, const AttributeCounts& second)
{
    Figures figures;
    figures.Q = common::bhattacharyyaCoeff(first.Q, second.Q);
    figures.J = common::bhattacharyyaCoeff(first.J, second.J);
    figures.C = common::bhattacharyyaCoeff(first.C, second.C);
    figures.M = common::bhattacharyyaCoeff(first.M, second.M);
    figures.s = common::bhattacharyyaCoeff(first.s, second.s);
    return figures;
}

std::string metrics::figuresLine(const Figures& f)
{
    std::ostringstream line;
    line << f.Q << "," << f.J << "," << f.C << "," << f.M << "," << f.s;
    return line.str();
}

std::string metrics::figuresBlock(const Figures& f)
{
    std::ostringstream block;
    block << f.Q << "\n" << f.J << "\n" << f.C << "\n" << f.M << "\n" << f.s << "\n";
    return block.str();
}

namespace {

// Each colour's value in the three debug images: the lightness step's A, the
// brightness mask and the chroma step's t (CV_8UC1, in the colour layout),
// by the model's own definition of those pixels, so that spreading them over
// the image's pixels gives the files the model writes.
PixelPlanes colourDebugValues(const ColourAttributes& attributes)
{
    PixelPlanes values;
    color::debugImagePixels(attributes.A, values.first);
    color::brightnessMaskPixels(attributes.Q, values.second);
    color::debugImagePixels(attributes.t, values.third);
    return values;
}

// Writes the three debug images row by row, so that they never exist whole.
std::vector<std::string> writeDebugImages(const std::string& directory, const cv::Mat& img,
    const common::DistinctColours& colours, const ColourAttributes& attributes)
{
    const PixelPlanes values = colourDebugValues(attributes);
    const uchar* v1 = values.first.ptr<uchar>(0);
    const uchar* v2 = values.second.ptr<uchar>(0);
    const uchar* v3 = values.third.ptr<uchar>(0);
    common::GreyJpegWriter lightness(
        inDirectory(directory, color::kLightnessDebugFile), img.cols, img.rows);
    common::GreyJpegWriter mask(
        inDirectory(directory, color::kBrightnessMaskFile), img.cols, img.rows);
    common::GreyJpegWriter chroma(
        inDirectory(directory, color::kChromaDebugFile), img.cols, img.rows);
    std::vector<uchar> rows(3 * std::size_t(img.cols));
    std::vector<std::uint32_t> indices(std::size_t(img.cols));
    uchar* o1 = rows.data();
    uchar* o2 = o1 + img.cols;
    uchar* o3 = o2 + img.cols;
    for (int i = 0; i < img.rows; ++i) {
        spreadRow(img.ptr<uchar>(i), img.cols, colours, v1, v2, v3, o1, o2, o3, indices.data());
        lightness.writeRow(o1);
        mask.writeRow(o2);
        chroma.writeRow(o3);
    }
    std::vector<std::string> failures;
    for (common::GreyJpegWriter* writer : { &lightness, &chroma, &mask }) {
        std::string error;
        if (!writer->finish(error))
            failures.push_back(std::move(error));
    }
    return failures;
}

} // namespace

metrics::DebugPlanes metrics::debugPlanes(
    const cv::Mat& img, const common::DistinctColours& colours, const ColourAttributes& attributes)
{
    const PixelPlanes values = colourDebugValues(attributes);
    const PixelPlanes planes
        = spreadOverPixels(img, colours, values.first, values.second, values.third);
    return { planes.first, planes.second, planes.third };
}

std::vector<std::string> metrics::writeDebugFiles(const std::string& directory, const cv::Mat& img,
    const common::DistinctColours& colours, const ColourAttributes& attributes)
{
    auto dump = std::async(std::launch::async, [&] {
        return writeBrightnessDump(
            inDirectory(directory, color::kBrightnessDumpFile), img, colours, attributes.Q);
    });
    std::vector<std::string> failures = writeDebugImages(directory, img, colours, attributes);
    std::string dumpError = dump.get();
    if (!dumpError.empty())
        failures.push_back(std::move(dumpError));
    return failures;
}
