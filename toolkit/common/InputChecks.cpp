#include "toolkit/common/InputChecks.hpp"

#include <string>

namespace {

std::string described(const cv::Mat& m)
{
    if (m.empty())
        return "an empty matrix";
    return "a " + std::to_string(m.cols) + " x " + std::to_string(m.rows) + " "
        + cv::typeToString(m.type());
}

[[noreturn]] void raise(int code, const char* function, const std::string& message)
{
    cv::error(code, message, function, __FILE__, __LINE__);
}

} // namespace

void toolkit::common::requireType(
    const cv::Mat& m, int type, const char* function, const char* argument)
{
    if (m.empty() || m.type() != type)
        raise(m.empty() ? cv::Error::StsBadArg : cv::Error::StsUnsupportedFormat, function,
            std::string(argument) + " must be a non-empty " + cv::typeToString(type) + ", not "
                + described(m));
}

void toolkit::common::requireTypeOrEmpty(
    const cv::Mat& m, int type, const char* function, const char* argument)
{
    if (!m.empty() && m.type() != type)
        raise(cv::Error::StsUnsupportedFormat, function,
            std::string(argument) + " must be a " + cv::typeToString(type) + " (or empty), not "
                + described(m));
}

void toolkit::common::requireAtLeast(
    const cv::Mat& m, int rows, int cols, const char* function, const char* argument)
{
    if (m.rows < rows || m.cols < cols)
        raise(cv::Error::StsBadSize, function,
            std::string(argument) + " must have at least " + std::to_string(cols) + " x "
                + std::to_string(rows) + " pixels, not " + described(m));
}

void toolkit::common::requireSameSize(
    const cv::Mat& a, const cv::Mat& b, const char* function, const char* what)
{
    if (a.rows != b.rows || a.cols != b.cols)
        raise(cv::Error::StsUnmatchedSizes, function,
            std::string(what) + " must have the same size, not " + described(a) + " and "
                + described(b));
}
