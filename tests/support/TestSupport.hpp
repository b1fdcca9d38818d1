// Helpers shared by the tests: a fresh working directory per test, running
// built programs, images made in code, and comparison within a tolerance.
#pragma once

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include <string>
#include <type_traits>
#include <vector>

namespace testsupport {

// Creates a fresh temporary directory and makes it the working directory;
// restores the previous one and removes the directory on destruction.
class ScopedWorkDir {
public:
    ScopedWorkDir();
    ~ScopedWorkDir();
    ScopedWorkDir(const ScopedWorkDir&) = delete;
    ScopedWorkDir& operator=(const ScopedWorkDir&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
    std::string previous_;
};

struct RunResult {
    int status = -1; // exit status, or -1 when the program did not exit normally
    std::string out;
    std::string err;
};

// Runs a program with the given arguments in the current working directory
// and waits for it.
RunResult runProgram(const std::string& binary, const std::vector<std::string>& args);

// The whole content of a file; empty when it does not exist.
std::string readFile(const std::string& path);
bool fileExists(const std::string& path);

// A photograph-like CV_8UC3 image: smooth colour gradients and blobs with
// noise, made from a fixed seed.
cv::Mat makePhoto(int rows, int cols, unsigned seed);

// Writes an image as PNG (lossless) and fails the test if that does not work.
void writePng(const std::string& path, const cv::Mat& img);

// Comparison within a tolerance. An actual value a passes against the
// expected value e when
//     |a - e| <= max(tol.abs, tol.rel * |e|),
// so tol.abs bounds the error near zero and tol.rel bounds it relative to e
// above tol.abs / tol.rel. A NaN matches only a NaN, an infinity only the
// same-signed infinity; a zero tolerance asks for equal values. On failure
// the message names the worst element (row, column and channel for images),
// both values, the error and the error as a multiple of the tolerance.
struct Tolerance {
    double abs = 0.0;
    double rel = 0.0;
};

// The error bounded by `abs` whatever the size of the expected value.
constexpr Tolerance absolute(double abs)
{
    return { abs, 0.0 };
}
// The error bounded by `rel` times the expected value (exact at zero).
constexpr Tolerance relative(double rel)
{
    return { 0.0, rel };
}
// `tol` absolute below 1 in magnitude, `tol` relative above.
constexpr Tolerance scaled(double tol)
{
    return { tol, tol };
}

::testing::AssertionResult near(double actual, double expected, Tolerance tol);
inline ::testing::AssertionResult near(double actual, double expected, double abs)
{
    return near(actual, expected, absolute(abs));
}
// Float values on either side, widened to double for the comparison.
template <class A, class E,
    class = std::enable_if_t<std::is_floating_point_v<A> && std::is_floating_point_v<E>>>
::testing::AssertionResult near(A actual, E expected, Tolerance tol)
{
    return near(static_cast<double>(actual), static_cast<double>(expected), tol);
}
template <class A, class E,
    class = std::enable_if_t<std::is_floating_point_v<A> && std::is_floating_point_v<E>>>
::testing::AssertionResult near(A actual, E expected, double abs)
{
    return near(static_cast<double>(actual), static_cast<double>(expected), absolute(abs));
}

// Images or matrices of any depth and channel count; both must have the same
// size and type.
::testing::AssertionResult near(const cv::Mat& actual, const cv::Mat& expected, Tolerance tol);
inline ::testing::AssertionResult near(const cv::Mat& actual, const cv::Mat& expected, double abs)
{
    return near(actual, expected, absolute(abs));
}

// Equal bytes element by element, so that -0 differs from 0 and NaNs of
// different payloads differ; both must have the same size and type. On
// failure the message names the first differing element.
::testing::AssertionResult sameBytes(const cv::Mat& actual, const cv::Mat& expected);

// Small vectors, compared as the channels of a one-pixel image.
template <typename T, int n>
::testing::AssertionResult near(
    const cv::Vec<T, n>& actual, const cv::Vec<T, n>& expected, Tolerance tol)
{
    return near(cv::Mat(1, 1, cv::traits::Type<cv::Vec<T, n>>::value, const_cast<T*>(actual.val)),
        cv::Mat(1, 1, cv::traits::Type<cv::Vec<T, n>>::value, const_cast<T*>(expected.val)), tol);
}
template <typename T, int n>
::testing::AssertionResult near(
    const cv::Vec<T, n>& actual, const cv::Vec<T, n>& expected, double abs)
{
    return near(actual, expected, absolute(abs));
}

} // namespace testsupport
