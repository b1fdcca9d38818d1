#include "toolkit/color/Checks.hpp"

#include "toolkit/common/InputChecks.hpp"

#include <string>

void toolkit::color::checks::requireTypeAndSize(const cv::Mat& m, int type, const cv::Mat& like,
    const char* function, const char* argument, const char* likeName)
{
    toolkit::common::requireType(m, type, function, argument);
    // The message is only put together for a call that fails.
    if (m.rows != like.rows || m.cols != like.cols)
        toolkit::common::requireSameSize(
            m, like, function, (std::string(argument) + " and " + likeName).c_str());
}

void toolkit::color::checks::requirePlanesOfSize(std::initializer_list<Named> planes,
    const cv::Mat& like, const char* function, const char* likeName)
{
    for (const Named& plane : planes)
        requireTypeAndSize(plane.m, CV_32FC1, like, function, plane.name, likeName);
}

void toolkit::color::checks::requireTypeCovering(
    const cv::Mat& m, int type, const cv::Mat& like, const char* function, const char* argument)
{
    toolkit::common::requireType(m, type, function, argument);
    toolkit::common::requireAtLeast(m, like.rows, like.cols, function, argument);
}

void toolkit::color::checks::requireMatrix3x3(
    const cv::Mat& M, const char* function, const char* argument)
{
    toolkit::common::requireType(M, CV_32FC1, function, argument);
    if (M.rows != 3 || M.cols != 3)
        cv::error(cv::Error::StsBadSize,
            std::string(argument) + " must be 3 x 3, not " + std::to_string(M.cols) + " x "
                + std::to_string(M.rows),
            function, __FILE__, __LINE__);
}
