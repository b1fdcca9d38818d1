// Per-pixel 3 x 3 matrix arithmetic shared by the colour conversions.
// Internal to toolkit/color.
#pragma once

#include <opencv2/core.hpp>

namespace toolkit {
namespace color {
namespace rows {

// Row r of a 3 x 3 matrix held in nine floats times (a, b, c), summed left to
// right in float.
inline float rowTimes(const float* m, int r, float a, float b, float c)
{
    return m[3 * r] * a + m[3 * r + 1] * b + m[3 * r + 2] * c;
}

// Copies a 3 x 3 CV_32FC1 matrix into nine floats, whatever its step.
inline void loadMatrix(const cv::Mat& M, float* m)
{
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            m[3 * r + c] = M.at<float>(r, c);
}

} // namespace rows
} // namespace color
} // namespace toolkit
