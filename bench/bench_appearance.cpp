// Times the appearance planes of every pixel (Q, J, C, M, s, h), as the
// Python module's appearance() computes them, on a generated 12-megapixel
// JPEG photograph: every pixel through the model (the route the module took
// for 8-bit images before) against each distinct colour once, its values
// spread over its pixels (the route it takes now), and checks that the two
// give the same planes bit for bit. Best of the repeats, the routes taking
// turns; one thread and OpenCV's threads, as the process allows.
//
// Usage: bench_appearance [--megapixels N[,N...]] [--repeats K]

#include "GeneratedPhotos.hpp"
#include "ProgramRun.hpp"

#include "programs/metrics/Metrics.hpp"
#include "toolkit/common/CommonFunctions.hpp"
#include "toolkit/common/DistinctColours.hpp"

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <unistd.h>

namespace fs = std::filesystem;
namespace common = toolkit::common;

namespace {

metrics::PixelAttributes perPixel(const cv::Mat& img)
{
    cv::Mat source = img.clone(), norm(img.size(), CV_32FC3);
    common::normImg(source, norm);
    return metrics::attributesOfPixels(norm, false);
}

metrics::PixelAttributes byColour(const cv::Mat& img)
{
    const common::DistinctColours colours = common::countDistinctColours(img);
    metrics::PixelAttributes planes;
    metrics::spreadAttributes(img, colours, metrics::attributesOfColours(colours), planes);
    return planes;
}

bool samePlanes(const metrics::PixelAttributes& a, const metrics::PixelAttributes& b)
{
    const cv::Mat* first[] = { &a.Q, &a.J, &a.C, &a.M, &a.s, &a.h };
    const cv::Mat* second[] = { &b.Q, &b.J, &b.C, &b.M, &b.s, &b.h };
    for (int p = 0; p < 6; ++p)
        if (first[p]->size() != second[p]->size()
            || std::memcmp(first[p]->data, second[p]->data, first[p]->total() * sizeof(float)) != 0)
            return false;
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<double> sizes { 12.0 };
    int repeats = 5;
    if (!bench::sizesAndRepeats(argc, argv, 1, sizes, repeats,
            "usage: bench_appearance [--megapixels N[,N...]] [--repeats K]\n"))
        return 2;
    const fs::path dir
        = fs::temp_directory_path() / ("toolkit-bench-appearance-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    bool same = true;
    for (const double megapixels : sizes) {
        const cv::Mat img = cv::imread(bench::makePair(dir, SAMPLES_DIR, megapixels).first);
        double pixelBest = 1e30, colourBest = 1e30;
        metrics::PixelAttributes pixelPlanes, colourPlanes;
        for (int k = 0; k < repeats; ++k) {
            double start = bench::now();
            pixelPlanes = perPixel(img);
            pixelBest = std::min(pixelBest, bench::now() - start);
            start = bench::now();
            colourPlanes = byColour(img);
            colourBest = std::min(colourBest, bench::now() - start);
        }
        const bool equal = samePlanes(pixelPlanes, colourPlanes);
        same = same && equal;
        std::printf("%zu colours\n", common::countDistinctColours(img).keys.size());
        std::printf("  every pixel %8.1f ms   by colour %8.1f ms   %.1f times faster   planes %s\n",
            pixelBest * 1e3, colourBest * 1e3, pixelBest / colourBest,
            equal ? "the same, bit for bit" : "DIFFER");
    }
    fs::remove_all(dir);
    return same ? 0 : 1;
}
