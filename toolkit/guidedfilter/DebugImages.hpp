// The debug images of the colour-guided filter (see GuidedFilterColor in
// GuidedFilter.hpp): their names, the planes a pass fills for them and their
// writing. Internal to toolkit/guidedfilter.
#pragma once

#include <opencv2/core.hpp>

#include <string>

namespace toolkit {
namespace guidedfilter {

// The debug images a call writes: the path of each (empty: not written) and
// the planes the pass fills for them: the window means of guide channels 0,
// 1, 2; the covariance of guide channel 0 with p; the coefficients a of
// channels 0, 1, 2; the offset b.
struct DebugImages {
    std::string meanPaths[3], covPath, coeffPaths[3], offsetPath;
    cv::Mat means[3], cov, coeffs[3], offset;

    // Whether any image of the coefficients (covariance, a, b) is written.
    bool wantsCoefficients() const
    {
        return !(covPath.empty() && coeffPaths[0].empty() && coeffPaths[1].empty()
            && coeffPaths[2].empty() && offsetPath.empty());
    }

    // Paths by the calling thread's debug setting (the workers have their own).
    static DebugImages of(bool means, bool coefficients);

    // The planes of the images that are written, rows x cols of `type`.
    void allocate(int rows, int cols, int type);

    // Encodes and writes the filled images, several at a time.
    void write() const;
};

// The window means of the guide's three channels (each cv::blur over windows
// of side kernelSize), written as the constructor of GuidedFilterColor does
// when the debug setting asks for them.
void writeGuideMeans(const cv::Mat& guide, int kernelSize);

} // namespace guidedfilter
} // namespace toolkit
