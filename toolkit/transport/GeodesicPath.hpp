// Frames of the transport geodesic between the colour distributions of two
// photographs: the input recoloured a growing part of the way to the target.
#pragma once

#include <opencv2/core.hpp>

namespace toolkit {
namespace transport {

// Writes the eleven frames "0.jpg" ... "10.jpg" of the path from inpImg's
// colour distribution to tarImg's. Both are CV_32FC3 scaled Lab (L*, a*, b*
// in 0..255, 128 neutral chroma); dim is 2 or 3. Frame i (t = i / 10) is
// inpImg taken t of the way along the geodesic, exactly as
// applyOptimalTransport with that t maps it (dim 2: chroma only, L* kept from
// inpImg), converted to natural Lab and then to BGR in imgNorm, and written by
// toolkit::common::getFinalImg. Frame 0 reproduces inpImg when the variances
// of the channels used are at least 7.5 (the source floor of the transport
// map). The two distributions' covariances and means are found once for all
// frames, so their progress lines are printed once (12 per covariance for
// dim 2, 27 for dim 3, then for dim 3 one line per plain mean, 3 + 3).
// imgNorm is left holding the last frame x 255; inpImg and tarImg are not
// changed.
void getGeodesicPath(cv::Mat& inpImg, cv::Mat& tarImg, cv::Mat& imgNorm, int dim);

} // namespace transport
} // namespace toolkit
