#include "programs/comparison/Comparison.hpp"

#include <limits>

namespace common = toolkit::common;

namespace {

// The measurement of an image whose colours are counted.
void measureColours(const cv::Mat& bgr, common::DistinctColours&& colours,
    const comparison::Plan& plan, comparison::Measurement& measurement)
{
    if (plan.perceptual) {
        metrics::ColourAttributes attributes = metrics::attributesOfColours(colours);
        measurement.perceptual = metrics::countAttributes(colours, attributes);
        measurement.white = metrics::topLightnessShare(colours, attributes);
        if (plan.keepPixels)
            measurement.attributes = std::move(attributes);
    }
    if (plan.lab)
        measurement.lab = labcompare::labCounts(colours);
    if (plan.keepPixels) {
        measurement.image = bgr;
        measurement.colours = std::move(colours);
    }
}

} // namespace

bool comparison::measureFile(const std::string& path, const Plan& plan,
    common::ProfileHandling profiles, Measurement& measurement, std::string& error)
{
    common::DistinctColours colours;
    const cv::Mat image
        = common::readCountingColours(path, error, colours, true, profiles, &measurement.facts);
    if (image.empty())
        return false;
    measureColours(image, std::move(colours), plan, measurement);
    return true;
}

comparison::Measurement comparison::measureImage(const cv::Mat& bgr, const Plan& plan)
{
    Measurement measurement;
    measureColours(bgr, common::countDistinctColours(bgr), plan, measurement);
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
