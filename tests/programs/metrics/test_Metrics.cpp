#include "programs/metrics/Metrics.hpp"
#include "programs/metrics/Program.hpp"

#include "tests/support/TestSupport.hpp"
#include "toolkit/common/CommonFunctions.hpp"
#include "toolkit/common/DistinctColours.hpp"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cstring>
#include <fstream>
#include <sstream>

#include <sys/stat.h>

using testsupport::readFile;
using testsupport::runProgram;

namespace {

const std::string kBinary = PERCEPTUAL_METRICS_BINARY;
const std::string kSamples = SAMPLES_DIR;
const char* const kDebugFiles[] = { "A_before.jpg", "t_before.jpg", "mask.jpg", "10_in.txt" };

// The comparison computed the plain way: every pixel of each image through
// compute_cat and perceptualMetrics, first image then second, and the
// coefficients of the planes. Returns the printed line; leaves the debug files.
std::string referenceLine(const cv::Mat& image1, const cv::Mat& image2)
{
    std::vector<cv::Mat> planes[2];
    const cv::Mat* images[2] = { &image1, &image2 };
    for (int k = 0; k < 2; ++k) {
        cv::Mat img = images[k]->clone();
        cv::Mat norm(img.size(), CV_32FC3), adapted(img.size(), CV_32FC3);
        toolkit::common::normImg(img, norm);
        metrics::compute_cat(norm, adapted);
        for (int p = 0; p < 5; ++p)
            planes[k].emplace_back(img.size(), CV_32FC1);
        metrics::perceptualMetrics(
            adapted, planes[k][0], planes[k][1], planes[k][2], planes[k][3], planes[k][4]);
    }
    std::ostringstream line;
    for (int p = 0; p < 5; ++p)
        line << (p ? "," : "") << metrics::getBhattacharyaCoeff(planes[0][p], planes[1][p]);
    line << "\n";
    return line.str();
}

std::string asBlock(std::string line)
{
    for (char& c : line)
        if (c == ',')
            c = '\n';
    return line;
}

cv::Mat sample(const char* name)
{
    cv::Mat img = cv::imread(kSamples + "/" + name, cv::IMREAD_COLOR);
    EXPECT_FALSE(img.empty()) << name;
    return img;
}

void expectSameAsReference(const cv::Mat& image1, const cv::Mat& image2)
{
    testsupport::ScopedWorkDir reference;
    const std::string expected = referenceLine(image1, image2);

    testsupport::ScopedWorkDir fast;
    cv::Mat a = image1.clone(), b = image2.clone();
    testing::internal::CaptureStdout();
    EXPECT_TRUE(metrics::metrics(a, b));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), expected);
    EXPECT_EQ(readFile("For_fit.txt"), asBlock(expected));
    for (const char* name : kDebugFiles) {
        const std::string want = readFile(reference.path() + "/" + name);
        EXPECT_FALSE(want.empty()) << name;
        EXPECT_TRUE(readFile(name) == want) << name << " differs from the per-pixel run";
    }
}

} // namespace

TEST(MetricsDriver, DistinctColourRunEqualsPerPixelModel)
{
    // Coefficients, the result block and every debug file, byte for byte.
    expectSameAsReference(testsupport::makePhoto(90, 120, 21), testsupport::makePhoto(80, 60, 22));
    expectSameAsReference(sample("coffee.png"), sample("chelsea.png"));
    // Saturated colours give negative cone responses, so NaN attributes.
    cv::Mat saturated(40, 40, CV_8UC3);
    cv::randu(saturated, 0, 256);
    saturated.rowRange(0, 10).setTo(cv::Scalar(255, 0, 0));
    saturated.rowRange(10, 20).setTo(cv::Scalar(0, 0, 255));
    expectSameAsReference(saturated, sample("rocket.jpg"));
}

// Each plane of spreadAttributes against attributesOfPixels, bit for bit
// (NaN included), with the plane's name and the first differing pixel.
void expectSamePixelAttributes(const cv::Mat& img)
{
    cv::Mat source = img.clone(), norm(img.size(), CV_32FC3);
    toolkit::common::normImg(source, norm);
    const metrics::PixelAttributes reference = metrics::attributesOfPixels(norm, false);
    const toolkit::common::DistinctColours colours = toolkit::common::countDistinctColours(img);
    metrics::PixelAttributes byColour;
    // Planes given by the caller are filled where they are.
    byColour.J.create(img.size(), CV_32FC1);
    const float* givenJ = byColour.J.ptr<float>(0);
    metrics::spreadAttributes(img, colours, metrics::attributesOfColours(colours), byColour);
    EXPECT_EQ(byColour.J.ptr<float>(0), givenJ);
    const std::pair<const char*, const cv::Mat*> planes[][2] = {
        { { "Q", &reference.Q }, { "Q", &byColour.Q } },
        { { "J", &reference.J }, { "J", &byColour.J } },
        { { "C", &reference.C }, { "C", &byColour.C } },
        { { "M", &reference.M }, { "M", &byColour.M } },
        { { "s", &reference.s }, { "s", &byColour.s } },
        { { "h", &reference.h }, { "h", &byColour.h } },
    };
    for (const auto& pair : planes) {
        const cv::Mat& want = *pair[0].second;
        const cv::Mat& got = *pair[1].second;
        ASSERT_EQ(got.size(), img.size()) << pair[0].first;
        ASSERT_EQ(got.type(), CV_32FC1) << pair[0].first;
        for (int i = 0; i < img.rows; ++i) {
            const int differs = std::memcmp(want.ptr(i), got.ptr(i), want.cols * sizeof(float));
            if (differs == 0)
                continue;
            for (int j = 0; j < img.cols; ++j) {
                ASSERT_EQ(std::memcmp(&want.at<float>(i, j), &got.at<float>(i, j), 4), 0)
                    << pair[0].first << " at (" << i << ", " << j << "): per pixel "
                    << want.at<float>(i, j) << ", by colour " << got.at<float>(i, j);
            }
        }
    }
}

TEST(MetricsPixelAttributes, ByColourAreThePerPixelPlanes)
{
    expectSamePixelAttributes(sample("coffee.png"));
    expectSamePixelAttributes(sample("rocket.jpg"));
    expectSamePixelAttributes(testsupport::makePhoto(90, 120, 23));
    // Black, white and saturated colours, whose attributes are NaN.
    cv::Mat extremes(30, 41, CV_8UC3);
    cv::randu(extremes, 0, 256);
    extremes.rowRange(0, 5).setTo(cv::Scalar(255, 0, 0));
    extremes.rowRange(5, 10).setTo(cv::Scalar(0, 0, 0));
    extremes.rowRange(10, 12).setTo(cv::Scalar(255, 255, 255));
    expectSamePixelAttributes(extremes);
    // One colour, and a single pixel.
    expectSamePixelAttributes(cv::Mat(7, 5, CV_8UC3, cv::Scalar(10, 200, 90)));
    expectSamePixelAttributes(cv::Mat(1, 1, CV_8UC3, cv::Scalar(0, 0, 255)));
}

TEST(MetricsDriver, UniformImageHasFullLightness)
{
    testsupport::ScopedWorkDir dir;
    cv::Mat grey(6, 7, CV_8UC3, cv::Scalar(120, 130, 140));
    cv::Mat norm(grey.size(), CV_32FC3), adapted(grey.size(), CV_32FC3);
    toolkit::common::normImg(grey, norm);
    metrics::compute_cat(norm, adapted);
    const cv::Mat before = adapted.clone();
    cv::Mat Q(grey.size(), CV_32FC1), J(grey.size(), CV_32FC1), C(grey.size(), CV_32FC1),
        M(grey.size(), CV_32FC1), s(grey.size(), CV_32FC1);
    metrics::perceptualMetrics(adapted, Q, J, C, M, s);
    EXPECT_EQ(cv::norm(adapted, before * 100.0, cv::NORM_INF), 0.0);
    for (int i = 0; i < J.rows; ++i)
        for (int j = 0; j < J.cols; ++j)
            ASSERT_EQ(J.at<float>(i, j), 100.0f);
}

TEST(MetricsProgram, IdenticalPhotographsGiveOnes)
{
    testsupport::ScopedWorkDir dir;
    testsupport::writePng("a.png", testsupport::makePhoto(50, 70, 3));
    const auto run = runProgram(kBinary, { "a.png", "a.png" });
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "1,1,1,1,1\n");
    EXPECT_EQ(readFile("For_fit.txt"), "1\n1\n1\n1\n1\n");
}

TEST(MetricsProgram, BlockDebugFilesAndRepeatedRuns)
{
    testsupport::ScopedWorkDir dir;
    const cv::Mat first = testsupport::makePhoto(30, 40, 4);
    const cv::Mat second = testsupport::makePhoto(25, 35, 5);
    testsupport::writePng("a.png", first);
    testsupport::writePng("b.png", second);
    const auto run = runProgram(kBinary, { "a.png", "b.png" });
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), ','), 4);
    EXPECT_EQ(readFile("For_fit.txt"), asBlock(run.out));

    // The debug files hold the second image: one brightness line per pixel.
    const std::string dump = readFile("10_in.txt");
    EXPECT_EQ(std::count(dump.begin(), dump.end(), '\n'), 25 * 35);
    const cv::Mat mask = cv::imread("mask.jpg", cv::IMREAD_UNCHANGED);
    EXPECT_EQ(mask.size(), cv::Size(35, 25));
    EXPECT_EQ(cv::imread("A_before.jpg", cv::IMREAD_UNCHANGED).size(), cv::Size(35, 25));
    EXPECT_EQ(cv::imread("t_before.jpg", cv::IMREAD_UNCHANGED).size(), cv::Size(35, 25));

    const auto again = runProgram(kBinary, { "a.png", "b.png" });
    EXPECT_EQ(again.out, run.out);
    EXPECT_EQ(readFile("For_fit.txt"), asBlock(run.out) + asBlock(run.out));
}

TEST(MetricsProgram, ExitStatusesAndNothingWrittenOnBadInput)
{
    testsupport::ScopedWorkDir dir;
    testsupport::writePng("a.png", testsupport::makePhoto(10, 10, 6));
    for (const auto& args :
        std::vector<std::vector<std::string>> { { "a.png" }, { "a.png", "a.png", "a.png" } }) {
        const auto run = runProgram(kBinary, args);
        EXPECT_EQ(run.status, 255);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, "Usage: perceptual-metrics FIRST SECOND\n");
    }
    const auto missing = runProgram(kBinary, { "a.png", "missing.jpg" });
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.out, "");
    EXPECT_NE(missing.err.find("missing.jpg"), std::string::npos);
    EXPECT_FALSE(testsupport::fileExists("For_fit.txt"));
    for (const char* name : kDebugFiles)
        EXPECT_FALSE(testsupport::fileExists(name)) << name;

    ASSERT_EQ(::mkdir("For_fit.txt", 0755), 0);
    const auto unwritable = runProgram(kBinary, { "a.png", "a.png" });
    EXPECT_EQ(unwritable.status, 1);
    EXPECT_EQ(unwritable.out, "1,1,1,1,1\n");
    EXPECT_NE(unwritable.err.find("For_fit.txt"), std::string::npos);
}
