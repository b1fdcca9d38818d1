#include "programs/lab-compare/LabCompare.hpp"

#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <fstream>
#include <sstream>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using testsupport::readFile;
using testsupport::runProgram;

namespace {

const std::string kBinary = LAB_COMPARE_BINARY;
const std::string kSamples = SAMPLES_DIR;

void expectSameCounts(
    const toolkit::common::BinCounts& x, const toolkit::common::BinCounts& y, const char* what)
{
    ASSERT_EQ(x.total(), y.total()) << what;
    for (int bin = labcompare::kLabBins.first; bin <= labcompare::kLabBins.last; ++bin)
        ASSERT_EQ(x.count(bin), y.count(bin)) << what << " bin " << bin;
}

void expectDistinctColourPathExact(const cv::Mat& img)
{
    using toolkit::common::BinCounts;
    const auto r = labcompare::kLabBins;
    BinCounts L1(r), a1(r), b1(r), L2(r), a2(r), b2(r);
    labcompare::labHistograms(img, L1, a1, b1);
    labcompare::labHistogramsPerPixel(img, L2, a2, b2);
    expectSameCounts(L1, L2, "L*");
    expectSameCounts(a1, a2, "a*");
    expectSameCounts(b1, b2, "b*");
}

// The line the program prints for two images, computed here by converting
// every pixel and formatting as the program does.
std::string expectedLine(const cv::Mat& inp, const cv::Mat& tar)
{
    using toolkit::common::BinCounts;
    const auto r = labcompare::kLabBins;
    BinCounts L1(r), a1(r), b1(r), L2(r), a2(r), b2(r);
    labcompare::labHistogramsPerPixel(inp, L1, a1, b1);
    labcompare::labHistogramsPerPixel(tar, L2, a2, b2);
    const float coeffL = toolkit::common::bhattacharyyaCoeff(L1, L2);
    const float coeffA = toolkit::common::bhattacharyyaCoeff(a1, a2);
    const float coeffB = toolkit::common::bhattacharyyaCoeff(b1, b2);
    std::ostringstream line;
    line << coeffL << "," << double(coeffA + coeffB) / 2.0 << "\n";
    return line.str();
}

} // namespace

TEST(LabCompareLabHistograms, DistinctColourPathEqualsPerPixelConversion)
{
    // Large enough for the distinct-colour path to be taken.
    const cv::Mat big = testsupport::makePhoto(1100, 1000, 7);
    expectDistinctColourPathExact(big);
    for (const char* name : { "chelsea.png", "coffee.png", "rocket.jpg" }) {
        SCOPED_TRACE(name);
        const cv::Mat sample = cv::imread(kSamples + "/" + name, cv::IMREAD_COLOR);
        ASSERT_FALSE(sample.empty());
        cv::Mat upscaled;
        cv::resize(sample, upscaled, cv::Size(), 2.5, 2.5, cv::INTER_CUBIC);
        expectDistinctColourPathExact(upscaled);
    }
}

TEST(LabCompareProgram, IdenticalImagesGiveOnes)
{
    testsupport::ScopedWorkDir dir;
    testsupport::writePng("a.png", testsupport::makePhoto(60, 80, 1));
    const auto run = runProgram(kBinary, { "a.png", "a.png" });
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "1,1\n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(readFile("For_fit.txt"), "1\n1\n");
}

TEST(LabCompareProgram, KnownAnswers)
{
    testsupport::ScopedWorkDir dir;
    // Black against half black, half white: L* shares one bin of probability
    // 1 and 1/2; a* and b* of both are neutral.
    cv::Mat black(10, 10, CV_8UC3, cv::Scalar::all(0));
    cv::Mat halves = black.clone();
    halves.colRange(5, 10).setTo(cv::Scalar::all(255));
    testsupport::writePng("black.png", black);
    testsupport::writePng("halves.png", halves);
    auto run = runProgram(kBinary, { "black.png", "halves.png" });
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "0.707107,1\n");

    // Pure green and blue take part with their negative a* and b*.
    cv::Mat green(8, 8, CV_8UC3, cv::Scalar(0, 255, 0));
    cv::Mat mixed = green.clone();
    mixed.rowRange(0, 2).setTo(cv::Scalar(255, 0, 0));
    testsupport::writePng("green.png", green);
    testsupport::writePng("mixed.png", mixed);
    run = runProgram(kBinary, { "green.png", "mixed.png" });
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "0.866025,0.866025\n");

    // Photographs of different sizes, against the per-pixel computation.
    const cv::Mat p1 = testsupport::makePhoto(90, 120, 3);
    const cv::Mat p2 = testsupport::makePhoto(70, 50, 4);
    testsupport::writePng("p1.png", p1);
    testsupport::writePng("p2.png", p2);
    run = runProgram(kBinary, { "p1.png", "p2.png" });
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, expectedLine(p1, p2));
    EXPECT_NE(run.out, "1,1\n");
}

TEST(LabCompareProgram, WrongArgumentCountExits255WithTheUsageLine)
{
    testsupport::ScopedWorkDir dir;
    testsupport::writePng("a.png", testsupport::makePhoto(8, 8, 1));
    for (const auto& args :
        std::vector<std::vector<std::string>> { {}, { "a.png" }, { "a.png", "a.png", "a.png" } }) {
        const auto run = runProgram(kBinary, args);
        EXPECT_EQ(run.status, 255);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, "Usage: lab-compare INPUT TARGET\n");
    }
    EXPECT_FALSE(testsupport::fileExists("For_fit.txt"));
}

TEST(LabCompareProgram, RunsAppendWholeBlocks)
{
    testsupport::ScopedWorkDir dir;
    testsupport::writePng("a.png", testsupport::makePhoto(40, 30, 5));
    testsupport::writePng("b.png", testsupport::makePhoto(40, 30, 6));
    const auto first = runProgram(kBinary, { "a.png", "b.png" });
    ASSERT_EQ(first.status, 0);
    const std::string block = readFile("For_fit.txt");
    // The file holds the printed figures, one per line.
    std::string printed = first.out;
    printed[printed.find(',')] = '\n';
    EXPECT_EQ(block, printed);
    const auto second = runProgram(kBinary, { "a.png", "b.png" });
    EXPECT_EQ(second.out, first.out);
    EXPECT_EQ(readFile("For_fit.txt"), block + block);
}

TEST(LabCompareProgram, ConcurrentRunsLeaveWholeBlocks)
{
    testsupport::ScopedWorkDir dir;
    testsupport::writePng("a.png", testsupport::makePhoto(50, 50, 8));
    testsupport::writePng("b.png", testsupport::makePhoto(50, 50, 9));
    const std::string self = runProgram(kBinary, { "a.png", "a.png" }).out;
    const std::string other = runProgram(kBinary, { "a.png", "b.png" }).out;
    ::unlink("For_fit.txt");

    const int runs = 8;
    std::vector<pid_t> children;
    for (int k = 0; k < runs; ++k) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            const auto run = runProgram(kBinary, { "a.png", k % 2 ? "b.png" : "a.png" });
            ::_exit(run.status);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    auto asBlock = [](std::string line) {
        line[line.find(',')] = '\n';
        return line;
    };
    std::string content = readFile("For_fit.txt");
    int selfBlocks = 0, otherBlocks = 0;
    while (!content.empty()) {
        if (content.rfind(asBlock(self), 0) == 0) {
            ++selfBlocks;
            content.erase(0, asBlock(self).size());
        } else if (content.rfind(asBlock(other), 0) == 0) {
            ++otherBlocks;
            content.erase(0, asBlock(other).size());
        } else {
            FAIL() << "torn or interleaved block: " << content;
        }
    }
    EXPECT_EQ(selfBlocks, runs / 2);
    EXPECT_EQ(otherBlocks, runs / 2);
}

TEST(LabCompareProgram, UnreadableImageWritesNothing)
{
    testsupport::ScopedWorkDir dir;
    testsupport::writePng("a.png", testsupport::makePhoto(20, 20, 2));
    {
        std::ofstream notImage("broken.jpg");
        notImage << "not an image";
    }
    {
        std::ofstream previous("For_fit.txt");
        previous << "0.5\n0.25\n";
    }
    for (const auto& args : std::vector<std::vector<std::string>> {
             { "missing.png", "a.png" }, { "a.png", "broken.jpg" } }) {
        const auto run = runProgram(kBinary, args);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, "");
        const std::string& bad = args[0] == "a.png" ? args[1] : args[0];
        EXPECT_NE(run.err.find(bad), std::string::npos) << run.err;
    }
    EXPECT_EQ(readFile("For_fit.txt"), "0.5\n0.25\n");
}

TEST(LabCompareProgram, UnwritableResultFileIsReportedAfterTheLine)
{
    testsupport::ScopedWorkDir dir;
    testsupport::writePng("a.png", testsupport::makePhoto(20, 20, 2));
    ASSERT_EQ(::mkdir("For_fit.txt", 0755), 0); // a directory cannot be appended to
    const auto run = runProgram(kBinary, { "a.png", "a.png" });
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "1,1\n");
    EXPECT_NE(run.err.find("For_fit.txt"), std::string::npos) << run.err;
}
