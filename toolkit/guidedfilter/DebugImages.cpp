#include "toolkit/guidedfilter/DebugImages.hpp"

#include "toolkit/common/DebugOutput.hpp"
#include "toolkit/common/ImageFiles.hpp"
#include "toolkit/guidedfilter/WindowSums.hpp"

#include <vector>

namespace {

// Debug images of the colour-guided filter.
const char* const kMeanGuideFiles[3] = { "0R.jpg", "0G.jpg", "0B.jpg" };
const char* const kCovIpRFile = "cov_a_r.jpg";
const char* const kCoeffFiles[3] = { "a_r.jpg", "a_g.jpg", "a_b.jpg" };
const char* const kOffsetFile = "b.jpg";
// The coefficient images hold values of about 0..1; they are stretched to 8 bits.
constexpr double kCoefficientImageScale = 255.0;

} // namespace

toolkit::guidedfilter::DebugImages toolkit::guidedfilter::DebugImages::of(
    bool means, bool coefficients)
{
    DebugImages d;
    for (int c = 0; c < 3 && means; ++c)
        d.meanPaths[c] = toolkit::common::debugFilePath(kMeanGuideFiles[c]);
    if (coefficients) {
        d.covPath = toolkit::common::debugFilePath(kCovIpRFile);
        for (int c = 0; c < 3; ++c)
            d.coeffPaths[c] = toolkit::common::debugFilePath(kCoeffFiles[c]);
        d.offsetPath = toolkit::common::debugFilePath(kOffsetFile);
    }
    return d;
}

void toolkit::guidedfilter::DebugImages::allocate(int rows, int cols, int type)
{
    for (int c = 0; c < 3; ++c)
        if (!meanPaths[c].empty())
            means[c].create(rows, cols, type);
    if (wantsCoefficients()) {
        cov.create(rows, cols, type);
        for (cv::Mat& c : coeffs)
            c.create(rows, cols, type);
        offset.create(rows, cols, type);
    }
}

void toolkit::guidedfilter::DebugImages::write() const
{
    struct File {
        const std::string* path;
        const cv::Mat* image;
        double scale;
    };
    std::vector<File> files;
    auto add = [&](const std::string& path, const cv::Mat& image, double scale) {
        if (!path.empty() && !image.empty())
            files.push_back({ &path, &image, scale });
    };
    for (int c = 0; c < 3; ++c)
        add(meanPaths[c], means[c], 1.0);
    add(covPath, cov, 1.0);
    for (int c = 0; c < 3; ++c)
        add(coeffPaths[c], coeffs[c], kCoefficientImageScale);
    add(offsetPath, offset, 1.0);
    cv::parallel_for_(cv::Range(0, static_cast<int>(files.size())), [&](const cv::Range& range) {
        for (int i = range.start; i < range.end; ++i) {
            const File& f = files[i];
            toolkit::common::writeImage(
                *f.path, f.scale == 1.0 ? *f.image : cv::Mat(*f.image * f.scale));
        }
    });
}

void toolkit::guidedfilter::writeGuideMeans(const cv::Mat& guide, int kernelSize)
{
    for (int c = 0; c < 3; ++c) {
        const std::string path = toolkit::common::debugFilePath(kMeanGuideFiles[c]);
        if (path.empty())
            continue;
        cv::Mat plane;
        cv::extractChannel(guide, plane, c);
        toolkit::common::writeImage(path, boxfilter(plane, kernelSize));
    }
}
