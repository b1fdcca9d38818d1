#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <limits>
#include <sstream>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

testsupport::ScopedWorkDir::ScopedWorkDir()
{
    previous_ = fs::current_path().string();
    std::string pattern = (fs::temp_directory_path() / "toolkit-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("cannot create a temporary directory");
    path_ = pattern;
    fs::current_path(path_);
}

testsupport::ScopedWorkDir::~ScopedWorkDir()
{
    std::error_code ec;
    fs::current_path(previous_, ec);
    fs::remove_all(path_, ec);
}

testsupport::RunResult testsupport::runProgram(
    const std::string& binary, const std::vector<std::string>& args)
{
    char outName[] = "/tmp/toolkit-out-XXXXXX";
    char errName[] = "/tmp/toolkit-err-XXXXXX";
    const int outFd = ::mkstemp(outName);
    const int errFd = ::mkstemp(errName);
    RunResult result;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(outFd, 1);
        ::dup2(errFd, 2);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(binary.c_str()));
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(binary.c_str(), argv.data());
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    ::close(outFd);
    ::close(errFd);
    result.out = readFile(outName);
    result.err = readFile(errName);
    ::unlink(outName);
    ::unlink(errName);
    return result;
}

std::string testsupport::readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

bool testsupport::fileExists(const std::string& path)
{
    return fs::exists(path);
}

namespace {

// Three uniform draws for the three channels, the last channel drawn first.
// Drawn one by one: as arguments of one call, the order of the draws would be
// the compiler's (GCC's is this one, clang's the reverse), and so would the
// photographs.
cv::Vec3f uniformTriple(cv::RNG& rng, float lo, float hi)
{
    const float third = rng.uniform(lo, hi);
    const float second = rng.uniform(lo, hi);
    const float first = rng.uniform(lo, hi);
    return { first, second, third };
}

} // namespace

cv::Mat testsupport::makePhoto(int rows, int cols, unsigned seed)
{
    cv::RNG rng(seed);
    cv::Mat img(rows, cols, CV_32FC3);
    const cv::Vec3f base = uniformTriple(rng, 0.2f, 0.8f);
    const cv::Vec3f dx = uniformTriple(rng, -0.5f, 0.5f);
    const cv::Vec3f dy = uniformTriple(rng, -0.5f, 0.5f);
    for (int i = 0; i < rows; ++i) {
        for (int j = 0; j < cols; ++j) {
            const float x = float(j) / std::max(cols - 1, 1);
            const float y = float(i) / std::max(rows - 1, 1);
            img.at<cv::Vec3f>(i, j) = base + dx * (x - 0.5f) + dy * (y - 0.5f);
        }
    }
    for (int k = 0; k < 6; ++k) {
        const int y = rng.uniform(0, rows);
        const int x = rng.uniform(0, cols);
        const cv::Point centre(x, y);
        const int radius = rng.uniform(1, std::max(2, std::min(rows, cols) / 3));
        const double red = rng.uniform(0.0, 1.0), green = rng.uniform(0.0, 1.0);
        const double blue = rng.uniform(0.0, 1.0);
        const cv::Scalar colour(blue, green, red);
        cv::circle(img, centre, radius, colour, cv::FILLED, cv::LINE_AA);
    }
    cv::Mat noise(rows, cols, CV_32FC3);
    rng.fill(noise, cv::RNG::NORMAL, cv::Scalar::all(0), cv::Scalar::all(0.03));
    img += noise;
    cv::Mat out;
    img.convertTo(out, CV_8UC3, 255.0);
    return out;
}

void testsupport::writePng(const std::string& path, const cv::Mat& img)
{
    ASSERT_TRUE(cv::imwrite(path, img)) << "cannot write " << path;
}

namespace {

// How far an actual value is from the expected one, in tolerances: 0 for a
// match (NaN with NaN, an infinity with the same infinity), infinite for a
// mismatch no tolerance covers, otherwise the error over the allowed error.
double errorInTolerances(double actual, double expected, testsupport::Tolerance tol)
{
    if (std::isnan(actual) || std::isnan(expected))
        return std::isnan(actual) && std::isnan(expected) ? 0.0 : HUGE_VAL;
    if (std::isinf(actual) || std::isinf(expected))
        return actual == expected ? 0.0 : HUGE_VAL;
    const double err = std::fabs(actual - expected);
    const double allowed = std::max(tol.abs, tol.rel * std::fabs(expected));
    if (err == 0.0)
        return 0.0;
    return allowed > 0.0 ? err / allowed : HUGE_VAL;
}

// "actual 1.5, expected 1, error 0.5, 5x the tolerance 0.1".
std::string describeMismatch(double actual, double expected, testsupport::Tolerance tol)
{
    std::ostringstream text;
    text << std::setprecision(10) << "actual " << actual << ", expected " << expected;
    const double err = std::fabs(actual - expected);
    const double allowed = std::max(tol.abs, tol.rel * std::fabs(expected));
    if (std::isnan(actual) || std::isnan(expected) || std::isinf(actual) || std::isinf(expected))
        return text.str();
    text << ", error " << err;
    if (allowed > 0.0)
        text << std::setprecision(3) << ", " << err / allowed << "x the tolerance "
             << std::setprecision(10) << allowed;
    else
        text << " where the tolerance is 0";
    return text.str();
}

template <typename T> double elementAt(const cv::Mat& m, int row, int index)
{
    return static_cast<double>(m.ptr<T>(row)[index]);
}

double elementOf(const cv::Mat& m, int row, int index)
{
    switch (m.depth()) {
    case CV_8U:
        return elementAt<uchar>(m, row, index);
    case CV_8S:
        return elementAt<schar>(m, row, index);
    case CV_16U:
        return elementAt<ushort>(m, row, index);
    case CV_16S:
        return elementAt<short>(m, row, index);
    case CV_32S:
        return elementAt<int>(m, row, index);
    case CV_32F:
        return elementAt<float>(m, row, index);
    case CV_64F:
        return elementAt<double>(m, row, index);
    default:
        return static_cast<double>(m.ptr<cv::float16_t>(row)[index]);
    }
}

} // namespace

::testing::AssertionResult testsupport::near(double actual, double expected, Tolerance tol)
{
    if (errorInTolerances(actual, expected, tol) <= 1.0)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << describeMismatch(actual, expected, tol);
}

// Fails unless both are two-dimensional of one size and type.
::testing::AssertionResult sameShape(const cv::Mat& actual, const cv::Mat& expected)
{
    if (actual.dims > 2 || expected.dims > 2)
        return ::testing::AssertionFailure() << "only images of two dimensions are compared";
    if (actual.size() != expected.size() || actual.type() != expected.type())
        return ::testing::AssertionFailure()
            << "actual is " << actual.rows << " x " << actual.cols << " of type "
            << cv::typeToString(actual.type()) << ", expected " << expected.rows << " x "
            << expected.cols << " of type " << cv::typeToString(expected.type());
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult testsupport::near(
    const cv::Mat& actual, const cv::Mat& expected, Tolerance tol)
{
    if (auto shape = sameShape(actual, expected); !shape)
        return shape;
    const int channels = actual.channels();
    double worst = 0.0;
    int worstRow = 0, worstIndex = 0;
    long outside = 0;
    for (int i = 0; i < actual.rows; ++i)
        for (int k = 0; k < actual.cols * channels; ++k) {
            const double ratio
                = errorInTolerances(elementOf(actual, i, k), elementOf(expected, i, k), tol);
            if (ratio > 1.0)
                ++outside;
            if (ratio > worst) {
                worst = ratio;
                worstRow = i;
                worstIndex = k;
            }
        }
    if (outside == 0)
        return ::testing::AssertionSuccess();
    ::testing::AssertionResult failure = ::testing::AssertionFailure();
    failure << outside << " of " << actual.total() * channels
            << " elements outside the tolerance; the worst at row " << worstRow << ", column "
            << worstIndex / channels;
    if (channels > 1)
        failure << ", channel " << worstIndex % channels;
    return failure << ": "
                   << describeMismatch(elementOf(actual, worstRow, worstIndex),
                          elementOf(expected, worstRow, worstIndex), tol);
}

::testing::AssertionResult testsupport::sameBytes(const cv::Mat& actual, const cv::Mat& expected)
{
    if (auto shape = sameShape(actual, expected); !shape)
        return shape;
    const std::size_t size = actual.elemSize1();
    const int channels = actual.channels();
    for (int i = 0; i < actual.rows; ++i) {
        const uchar* a = actual.ptr(i);
        const uchar* e = expected.ptr(i);
        for (int k = 0; k < actual.cols * channels; ++k)
            if (std::memcmp(a + k * size, e + k * size, size) != 0) {
                ::testing::AssertionResult failure = ::testing::AssertionFailure();
                failure << "the bytes differ first at row " << i << ", column " << k / channels;
                if (channels > 1)
                    failure << ", channel " << k % channels;
                return failure << std::setprecision(10) << ": actual " << elementOf(actual, i, k)
                               << ", expected " << elementOf(expected, i, k);
            }
    }
    return ::testing::AssertionSuccess();
}
