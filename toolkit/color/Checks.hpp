// Checks of the images, planes and small matrices given to the colour
// functions, on top of toolkit/common/InputChecks.hpp. Each raises
// cv::Exception before any pixel is read or written.
// Internal to toolkit/color.
#pragma once

#include <opencv2/core.hpp>

#include <initializer_list>

namespace toolkit {
namespace color {
namespace checks {

// `m` is a non-empty matrix of `type` with exactly the rows and columns of
// `like` (named `likeName` in the message).
void requireTypeAndSize(const cv::Mat& m, int type, const cv::Mat& like, const char* function,
    const char* argument, const char* likeName);

// `m` is a non-empty matrix of `type` with at least the rows and columns of
// `like`.
void requireTypeCovering(
    const cv::Mat& m, int type, const cv::Mat& like, const char* function, const char* argument);

// A matrix with the name a message gives it.
struct Named {
    const cv::Mat& m;
    const char* name;
};

// Every one of `planes` is a CV_32FC1 with exactly the rows and columns of
// `like`.
void requirePlanesOfSize(std::initializer_list<Named> planes, const cv::Mat& like,
    const char* function, const char* likeName);

// `M` is a 3 x 3 CV_32FC1 matrix.
void requireMatrix3x3(const cv::Mat& M, const char* function, const char* argument);

} // namespace checks
} // namespace color
} // namespace toolkit
