// A libFuzzer target over what the programs do with an image file's bytes:
// the safe reader (header checks, the decoders' damage reports) and, for
// what it accepts, both comparisons against itself and a fixed photograph.
#include "programs/lab-compare/LabCompare.hpp"
#include "programs/metrics/Metrics.hpp"
#include "toolkit/common/DistinctColours.hpp"
#include "toolkit/common/ImageFiles.hpp"

#include <opencv2/core.hpp>
#include <opencv2/core/utils/logger.hpp>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

// Larger images only cost time: the comparisons work per distinct colour.
constexpr std::size_t kMaxComparedPixels = 1 << 16;

struct Reference {
    toolkit::common::DistinctColours colours;
    metrics::AttributeCounts perceptual;
    labcompare::LabCounts lab;
};

Reference makeReference()
{
    cv::Mat photo(24, 32, CV_8UC3);
    cv::RNG rng(5);
    rng.fill(photo, cv::RNG::UNIFORM, 0, 256);
    Reference reference;
    reference.colours = toolkit::common::countDistinctColours(photo);
    reference.perceptual = metrics::countAttributes(
        reference.colours, metrics::attributesOfColours(reference.colours));
    reference.lab = labcompare::labCounts(reference.colours);
    return reference;
}

void expectUnit(float coefficient)
{
    // A coefficient is a sum of square roots of probabilities' products.
    if (!(coefficient >= 0.0f && coefficient <= 1.0001f))
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // Header claims beyond a few megapixels are refused before decoding.
    setenv("TOOLKIT_MAX_MEGAPIXELS", "4", 1);
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    cv::setNumThreads(1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const Reference reference = makeReference();
    std::string error;
    const cv::Mat img
        = toolkit::common::decodeColourImage(std::vector<uchar>(data, data + size), error);
    if (img.empty()) {
        if (error.empty())
            std::abort(); // a refusal always says why
        return 0;
    }
    if (img.type() != CV_8UC3)
        std::abort();
    if (img.total() > kMaxComparedPixels)
        return 0;

    const toolkit::common::DistinctColours colours = toolkit::common::countDistinctColours(img);
    const metrics::AttributeCounts perceptual
        = metrics::countAttributes(colours, metrics::attributesOfColours(colours));
    const labcompare::LabCounts lab = labcompare::labCounts(colours);
    for (const metrics::Figures& f : { metrics::compareAttributes(perceptual, perceptual),
             metrics::compareAttributes(perceptual, reference.perceptual) }) {
        for (float c : { f.Q, f.J, f.C, f.M, f.s })
            expectUnit(c);
    }
    const labcompare::LabFigures self = labcompare::compareLab(lab, lab);
    const labcompare::LabFigures other = labcompare::compareLab(lab, reference.lab);
    for (float c : { self.L, static_cast<float>(self.ab), other.L, static_cast<float>(other.ab) })
        expectUnit(c);
    // L* lies in 0..100, inside the summed bins: an image matches itself.
    if (std::fabs(self.L - 1.0f) > 1e-3f)
        std::abort();
    return 0;
}
