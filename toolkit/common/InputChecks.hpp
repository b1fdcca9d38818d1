// Checks of the matrices given to the toolkit's functions, made before any
// pixel is touched. Each raises cv::Exception with a message that names the
// function, the argument, what it needs and what it got.
#pragma once

#include <opencv2/core.hpp>

namespace toolkit {
namespace common {

// `m` is a non-empty matrix of the given type (CV_32FC3, ...); StsUnsupportedFormat
// for another type, StsBadArg when empty.
void requireType(const cv::Mat& m, int type, const char* function, const char* argument);

// `m` is empty, or a matrix of the given type.
void requireTypeOrEmpty(const cv::Mat& m, int type, const char* function, const char* argument);

// `m` has at least `rows` rows and `cols` columns (StsBadSize otherwise).
void requireAtLeast(
    const cv::Mat& m, int rows, int cols, const char* function, const char* argument);

// `a` and `b` have the same rows and columns (StsUnmatchedSizes otherwise).
void requireSameSize(const cv::Mat& a, const cv::Mat& b, const char* function, const char* what);

} // namespace common
} // namespace toolkit
