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

cv::Mat testsupport::makePhoto(int rows, int cols, unsigned seed)
{
    cv::RNG rng(seed);
    cv::Mat img(rows, cols, CV_32FC3);
    const cv::Vec3f base(rng.uniform(0.2f, 0.8f), rng.uniform(0.2f, 0.8f), rng.uniform(0.2f, 0.8f));
    const cv::Vec3f dx(rng.uniform(-0.5f, 0.5f), rng.uniform(-0.5f, 0.5f), rng.uniform(-0.5f, 0.5f));
    const cv::Vec3f dy(rng.uniform(-0.5f, 0.5f), rng.uniform(-0.5f, 0.5f), rng.uniform(-0.5f, 0.5f));
    for (int i = 0; i < rows; ++i) {
        for (int j = 0; j < cols; ++j) {
            const float x = float(j) / std::max(cols - 1, 1);
            const float y = float(i) / std::max(rows - 1, 1);
            img.at<cv::Vec3f>(i, j) = base + dx * (x - 0.5f) + dy * (y - 0.5f);
        }
    }
    for (int k = 0; k < 6; ++k) {
        const cv::Point centre(rng.uniform(0, cols), rng.uniform(0, rows));
        const int radius = rng.uniform(1, std::max(2, std::min(rows, cols) / 3));
        const cv::Scalar colour(rng.uniform(0.0, 1.0), rng.uniform(0.0, 1.0), rng.uniform(0.0, 1.0));
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
