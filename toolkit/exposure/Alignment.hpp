// Flash/no-flash pair utilities: dense optical-flow alignment of one
// photograph onto another, and transfer of lightness statistics in CIE L*a*b*.
//
// Photographs are CV_32FC3, B, G, R, values in [0, 1]; an empty photograph or
// one of another type raises cv::Exception. No files are written.
#pragma once

#include <opencv2/core.hpp>

namespace toolkit {
namespace exposure {

// Warps `first` onto the pixel grid of `second`. Dense Farneback flow from the
// grey levels (0..255 scale) of `second` to those of `first` (pyramid scale
// 0.5, 9 levels, window 15, 3 iterations, polynomial neighbourhood 5, sigma
// 0.2, box window) gives each pixel of `second` its match in `first`; `first`
// is then sampled there with nearest-neighbour lookup. Matches outside
// `first` come out black. `output` receives a CV_32FC3 of the flow's size
// (the photographs must share one size, or cv::Exception is raised), values in [0, 1].
// The inputs are not changed; either may be passed as both photographs or as
// the output. Prints nothing.
void calculateOpticalFlow(cv::Mat& first, cv::Mat& second, cv::Mat& output);

// Gives `source` the lightness statistics of `reference`: in L*a*b* (L* 0..100)
// the source's L* is shifted and scaled, ((L - ms) sr) / ss + mr in float, so
// that its mean and population standard deviation become the reference's;
// a* and b* are kept. `output` receives the result converted back to BGR
// (CV_32FC3 of source's size). A source with no lightness spread (ss = 0)
// is only shifted to the reference mean.
// Prints two lines "<sum> <count>" (computeMean of the source's, then the
// reference's L*). The inputs are not changed unless passed as output.
// Throws cv::Exception (StsUnmatchedSizes) when the sizes differ.
void alterNonFlashBrightness(cv::Mat& source, cv::Mat& reference, cv::Mat& output);

} // namespace exposure
} // namespace toolkit
