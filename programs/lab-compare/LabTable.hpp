// The float BGR to L*a*b* conversion lab-compare uses, for 8-bit colours,
// without OpenCV's first-use set-up of its colour tables (a tenth of a second
// of software floating point in every process).
#pragma once

#include <opencv2/core.hpp>

#include <cstdint>

namespace labcompare {

// L*, a*, b* of the colour with key B | G << 8 | R << 16, bit for bit what
// cv::cvtColor(COLOR_BGR2Lab) gives for that colour normalised by
// toolkit::common::normImg (D65 white; L* 0..100, a* and b* signed).
cv::Vec3f labOfColour(std::uint32_t key);

} // namespace labcompare
