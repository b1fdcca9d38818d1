// Helpers shared by the tests: a fresh working directory per test, running
// built programs, and images made in code.
#pragma once

#include <opencv2/core.hpp>

#include <string>
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

} // namespace testsupport
