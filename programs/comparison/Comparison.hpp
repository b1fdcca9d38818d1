// How two photographs are measured and compared, the one route that
// perceptual-metrics, lab-compare, compare-pairs and the Python module take:
// an image is decoded with its distinct colours counted (each with its
// pixels); each distinct colour goes once through the appearance model
// (metrics::attributesOfColours) and/or the L*a*b* table
// (labcompare::labCounts), and is counted with its pixels into the
// histograms; two measured images are compared by the Bhattacharyya
// coefficients of their histograms and, when asked, by their earth mover's
// distances. The callers differ only in what they do
// with the result: print it, append it, write a row, return it.
#pragma once

#include "programs/lab-compare/LabCompare.hpp"
#include "programs/metrics/Metrics.hpp"
#include "toolkit/common/DistinctColours.hpp"
#include "toolkit/common/ImageReader.hpp"

#include <opencv2/core.hpp>

#include <string>
#include <vector>

namespace comparison {

// Which comparisons an image is measured for, and whether its pixels,
// colours and attributes are kept (for the debug files or a report).
struct Plan {
    bool perceptual = true;
    bool lab = true;
    bool keepPixels = false;
    // compare() also gives the earth mover's distances.
    bool distance = false;
};

// One image measured for the comparisons of a plan.
struct Measurement {
    // What the reader found in the file and did (measureFile only).
    toolkit::common::ImageFacts facts;
    metrics::AttributeCounts perceptual; // with Plan::perceptual
    labcompare::LabCounts lab; // with Plan::lab
    // The share of pixels in the top lightness bin (metrics::topLightnessShare);
    // negative without the perceptual comparison.
    double white = -1.0;
    // With Plan::keepPixels: the 8-bit BGR image, its colours and, with the
    // perceptual comparison, their attributes.
    cv::Mat image;
    toolkit::common::DistinctColours colours;
    metrics::ColourAttributes attributes;
};

// Reads the image file at `path` and measures it. False, with the reader's
// reason in `error`, when it cannot be read.
bool measureFile(const std::string& path, const Plan& plan,
    toolkit::common::ProfileHandling profiles, Measurement& measurement, std::string& error);

// Measures an 8-bit BGR image (CV_8UC3) held in memory.
Measurement measureImage(const cv::Mat& bgr, const Plan& plan);

// The earth mover's distance (toolkit::common::earthMoversDistance) between
// two images' histograms of each attribute, from the very counts the
// coefficients come from, in the attribute's own units: brightness Q,
// lightness J (0 to 100), chroma C, colourfulness M and saturation s with
// the perceptual comparison; L* (0 to 100), a* and b* with the L*a*b* one.
// NaN for the attributes of a comparison not in the plan.
struct Distances {
    double Q, J, C, M, s, L, a, b;
};
Distances distances(const Measurement& first, const Measurement& second, const Plan& plan);

// The figures of a comparison: those of the comparisons in the plan, and
// their distances with Plan::distance.
struct Figures {
    metrics::Figures perceptual {};
    labcompare::LabFigures lab {};
    Distances distances {};
};
Figures compare(const Measurement& first, const Measurement& second, const Plan& plan);

// Writes the debug files of perceptual-metrics ("A_before.jpg", "10_in.txt",
// "mask.jpg", "t_before.jpg") for a measurement made with the perceptual
// comparison and Plan::keepPixels, into `directory` ("" for the working
// directory). Returns a message for each file that could not be written.
std::vector<std::string> writeDebugFiles(
    const std::string& directory, const Measurement& measurement);

} // namespace comparison
