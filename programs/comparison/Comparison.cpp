#include "programs/comparison/Comparison.hpp"

#include "programs/comparison/ColourTable.hpp"

#include <limits>
#include <vector>

namespace common = toolkit::common;

namespace {

// Colours each table holds at most: a photograph of 640 x 480 pixels has
// some 50,000, a study's photographs share most of theirs. 16 MiB for the
// responses, 6 MiB for the L*a*b* bins, 24 MiB for both together, besides
// 3.25 MiB each for finding them.
constexpr std::size_t kTableEntries = std::size_t(1) << 21;

// What both comparisons take of a colour, found in one look-up.
struct BothEntry {
    metrics::QuickResponse quick;
    labcompare::LabBins lab;
};

// The entries of colours for both comparisons, computed together.
void bothOfColours(const std::uint32_t* keys, std::size_t count, BothEntry* entries)
{
    std::vector<metrics::QuickResponse> quick(count);
    std::vector<labcompare::LabBins> lab(count);
    metrics::quickResponsesOfColours(keys, count, quick.data());
    labcompare::labBinsOfColours(keys, count, lab.data());
    for (std::size_t k = 0; k < count; ++k)
        entries[k] = { quick[k], lab[k] };
}

// The colours' model responses and L*a*b* bins met so far in this process:
// one table for runs of both comparisons, one for each alone.
comparison::ColourTable<metrics::QuickResponse>& responseTable()
{
    static comparison::ColourTable<metrics::QuickResponse> table(kTableEntries);
    return table;
}

comparison::ColourTable<labcompare::LabBins>& labTable()
{
    static comparison::ColourTable<labcompare::LabBins> table(kTableEntries);
    return table;
}

comparison::ColourTable<BothEntry>& bothTable()
{
    static comparison::ColourTable<BothEntry> table(kTableEntries);
    return table;
}

// The memory each thread counts its images' colours in, kept between them
// (3 MiB a thread).
common::ColourBuffers& threadBuffers()
{
    thread_local common::ColourBuffers buffers;
    return buffers;
}

// Each colour's quick responses and L*a*b* bins, in the colours' order,
// kept by each thread between its images for up to kKeptColours colours
// (11 MiB).
struct ColourEntries {
    std::vector<metrics::QuickResponse> quick;
    std::vector<labcompare::LabBins> bins;
};
constexpr std::size_t kKeptColours = std::size_t(1) << 20;

ColourEntries& threadEntries()
{
    thread_local ColourEntries entries;
    return entries;
}

// The measurement of an image whose colours are counted.
void measureColours(const cv::Mat& bgr, common::DistinctColours& colours,
    const comparison::Plan& plan, comparison::Measurement& measurement)
{
    const std::size_t count = colours.keys.size();
    const std::uint32_t* keys = colours.keys.data();
    // Every element of these is written by the look-ups.
    ColourEntries& entries = threadEntries();
    metrics::QuickResponse* quick = nullptr;
    labcompare::LabBins* bins = nullptr;
    const bool quickRoute = plan.perceptual && !plan.keepPixels;
    if (quickRoute) {
        entries.quick.resize(count);
        quick = entries.quick.data();
    }
    if (plan.lab) {
        entries.bins.resize(count);
        bins = entries.bins.data();
    }
    if (quickRoute && plan.lab) {
        bothTable().lookUpEach(keys, count, &bothOfColours, [=](std::size_t k, const BothEntry& e) {
            quick[k] = e.quick;
            bins[k] = e.lab;
        });
    } else if (quickRoute) {
        responseTable().lookUp(keys, count, quick, &metrics::quickResponsesOfColours);
    } else if (plan.lab) {
        labTable().lookUp(keys, count, bins, &labcompare::labBinsOfColours);
    }
    if (plan.perceptual) {
        if (plan.keepPixels) {
            // Every colour's attributes, for the debug files and the report.
            measurement.attributes = metrics::attributesOfColours(colours);
            measurement.perceptual = metrics::countAttributes(colours, measurement.attributes);
            measurement.white = metrics::topLightnessShare(colours, measurement.attributes);
        } else {
            measurement.perceptual
                = metrics::countAttributesOfQuickResponses(colours, quick, measurement.white);
        }
    }
    if (plan.lab)
        measurement.lab = labcompare::countLabBins(colours, bins);
    if (entries.quick.capacity() > kKeptColours || entries.bins.capacity() > kKeptColours)
        entries = ColourEntries();
    if (plan.keepPixels) {
        measurement.image = bgr;
        measurement.colours = std::move(colours);
    } else {
        threadBuffers().recycle(colours);
    }
}

} // namespace

bool comparison::measureFile(const std::string& path, const Plan& plan,
    common::ProfileHandling profiles, Measurement& measurement, std::string& error)
{
    common::DistinctColours colours;
    const cv::Mat image = common::readCountingColours(
        path, error, colours, true, profiles, &measurement.facts, &threadBuffers());
    if (image.empty())
        return false;
    measureColours(image, colours, plan, measurement);
    return true;
}

comparison::Measurement comparison::measureImage(const cv::Mat& bgr, const Plan& plan)
{
    Measurement measurement;
    common::DistinctColours colours = common::countDistinctColours(bgr);
    measureColours(bgr, colours, plan, measurement);
    return measurement;
}

comparison::Figures comparison::compare(
    const Measurement& first, const Measurement& second, const Plan& plan)
{
    Figures figures;
    if (plan.perceptual)
        figures.perceptual = metrics::compareAttributes(first.perceptual, second.perceptual);
    if (plan.lab)
        figures.lab = labcompare::compareLab(first.lab, second.lab);
    if (plan.distance)
        figures.distances = distances(first, second, plan);
    return figures;
}

comparison::Distances comparison::distances(
    const Measurement& first, const Measurement& second, const Plan& plan)
{
    const double none = std::numeric_limits<double>::quiet_NaN();
    Distances d { none, none, none, none, none, none, none, none };
    if (plan.perceptual) {
        const metrics::AttributeCounts& a = first.perceptual;
        const metrics::AttributeCounts& b = second.perceptual;
        d.Q = common::earthMoversDistance(a.Q, b.Q);
        d.J = common::earthMoversDistance(a.J, b.J);
        d.C = common::earthMoversDistance(a.C, b.C);
        d.M = common::earthMoversDistance(a.M, b.M);
        d.s = common::earthMoversDistance(a.s, b.s);
    }
    if (plan.lab) {
        d.L = common::earthMoversDistance(first.lab.L, second.lab.L);
        d.a = common::earthMoversDistance(first.lab.a, second.lab.a);
        d.b = common::earthMoversDistance(first.lab.b, second.lab.b);
    }
    return d;
}

std::vector<std::string> comparison::writeDebugFiles(
    const std::string& directory, const Measurement& measurement)
{
    return metrics::writeDebugFiles(
        directory, measurement.image, measurement.colours, measurement.attributes);
}
