#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdlib>
#include <filesystem>
#include <fstream>
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

testsupport::RunResult testsupport::runProgram(const std::string& binary,
                                               const std::vector<std::string>& args)
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
