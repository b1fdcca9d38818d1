#include "toolkit/exposure/CameraResponse.hpp"
#include "toolkit/exposure/HdrChain.hpp"

#include "toolkit/color/ChromaticAdaptation.hpp"
#include "toolkit/color/RgbXyz.hpp"
#include "toolkit/common/CommonFunctions.hpp"

#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/photo.hpp>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <sstream>

using namespace toolkit::exposure;
namespace hdr = toolkit::exposure::hdr;
using testsupport::fileExists;

namespace {

// A float image scaled by 255 in place: the product is exact in double and
// rounds once to float, so it equals the float product bit for bit.
constexpr double kExactScale = 0.0;

// n exposures of one scene, exposure i taken twice as long as exposure i - 1,
// seen through a gamma-2.2 camera response and clipped at 1.
std::vector<cv::Mat> exposureSeries(int n, int rows, int cols)
{
    cv::Mat scene8 = testsupport::makePhoto(rows, cols, 11);
    cv::Mat scene(scene8.size(), CV_32FC3);
    toolkit::common::normImg(scene8, scene);
    std::vector<cv::Mat> series;
    for (int i = 0; i < n; ++i) {
        cv::Mat e = cv::min(scene * (0.02 * (1 << i)), 1.0);
        cv::pow(e, 1.0 / 2.2, e);
        series.push_back(e);
    }
    return series;
}

long lineCountOf(const std::string& text)
{
    return std::count(text.begin(), text.end(), '\n');
}

} // namespace

TEST(CameraResponseLoadExposureSeq, AppendsEightBitImagesAndReciprocalTimes)
{
    testsupport::ScopedWorkDir dir;
    std::vector<cv::Mat> series = exposureSeries(3, 8, 10);
    series[2].at<cv::Vec3f>(0, 0) = cv::Vec3f(1.2f, -0.1f, 0.5f);
    const std::vector<cv::Mat> before = { series[0].clone(), series[1].clone(), series[2].clone() };
    cv::Mat reference = series[0].clone();
    const float table[] = { 1024.0f, 512.0f, 256.0f, 128.0f };
    // Lists that already hold an entry are appended to.
    std::vector<cv::Mat> images = { cv::Mat(2, 2, CV_8UC3, cv::Scalar::all(7)) };
    std::vector<float> times = { 99.0f };

    testing::internal::CaptureStdout();
    loadExposureSeq(series.data(), reference, table, images, times, 3);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
        "0.00195312 512 3\n0.00390625 256 3\n0.0078125 128 3\n");

    ASSERT_EQ(images.size(), 4u);
    EXPECT_EQ(times, (std::vector<float> { 99.0f, 1.0f / 512, 1.0f / 256, 1.0f / 128 }));
    for (int i = 0; i < 3; ++i) {
        EXPECT_LE(cv::norm(series[i], before[i] * 255.0, cv::NORM_INF), kExactScale);
        EXPECT_EQ(images[i + 1].type(), CV_8UC3);
    }
    // Saturated above 1, clamped to 0 below 0, rounded in between.
    EXPECT_EQ(images[3].at<cv::Vec3b>(0, 0), cv::Vec3b(255, 0, 128));
    EXPECT_TRUE(fileExists("test2.jpg"));
    // "test10.jpg" is the list's first image, "test11.jpg" the call's second.
    EXPECT_EQ(cv::imread("test10.jpg").size(), cv::Size(2, 2));
    EXPECT_EQ(cv::imread("test11.jpg").size(), cv::Size(10, 8));
}

TEST(CameraResponseRecoverCRF, RejectsFewerThanTwoExposuresBeforeTouchingAnything)
{
    testsupport::ScopedWorkDir dir;
    std::vector<cv::Mat> series = exposureSeries(1, 6, 6);
    const cv::Mat original = series[0].clone();
    cv::Mat reference = series[0].clone();
    cv::Mat* exposures = series.data();
    for (int n : { 1, 0, -3 }) {
        testing::internal::CaptureStdout();
        EXPECT_THROW(recoverCRF(exposures, reference, n, "out"), cv::Exception);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    }
    EXPECT_EQ(cv::norm(series[0], original, cv::NORM_INF), 0.0);
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST(CameraResponseRecoverCRF, RunsTheChainWithTimesFromTheTableAndWritesItsFiles)
{
    testsupport::ScopedWorkDir dir;
    std::filesystem::create_directory("out");
    std::vector<cv::Mat> series = exposureSeries(6, 24, 32);
    cv::Mat reference = series[2].clone();
    cv::Mat* exposures = series.data();

    testing::internal::CaptureStdout();
    recoverCRF(exposures, reference, 6, "out/seq");
    const std::string out = testing::internal::GetCapturedStdout();

    // Exposure i gets 1 / table[i + 1] of the table 1024 / 2^k: 1/512 .. 1/16.
    const std::string timesLines = "0.00195312 512 6\n0.00390625 256 6\n0.0078125 128 6\n"
                                   "0.015625 64 6\n0.03125 32 6\n0.0625 16 6\n";
    EXPECT_EQ(out.substr(0, timesLines.size() + 20), timesLines + "here i am\nhere i am\n");
    const std::string last = "out/seq.hdr out/seq.jpg\n";
    ASSERT_GE(out.size(), last.size());
    EXPECT_EQ(out.substr(out.size() - last.size()), last);

    for (const char* name : { "test.jpg", "test1.jpg", "test2.jpg", "test10.jpg", "test11.jpg" })
        EXPECT_TRUE(fileExists(name)) << name;
    std::ostringstream rows;
    for (int j = 0; j < 256; ++j)
        rows << j << "\n";
    EXPECT_EQ(testsupport::readFile("valuesReal.txt"), rows.str());
    // The response values depend on the OpenCV version's weighting: only
    // their count is checked.
    for (const char* name : { "Rreal.txt", "Greal.txt", "Breal.txt" })
        EXPECT_EQ(lineCountOf(testsupport::readFile(name)), 256) << name;

    const cv::Mat hdr = cv::imread("out/seq.hdr", cv::IMREAD_UNCHANGED);
    EXPECT_EQ(hdr.type(), CV_32FC3);
    EXPECT_EQ(hdr.size(), series[0].size());
    for (const char* name : { "out/seq.jpg", "out/seqfusion.jpg" })
        EXPECT_EQ(cv::imread(name).size(), series[0].size()) << name;
}

TEST(CameraResponseRecoverLightnessExposureCurve, LeavesEachExposureAdaptedTimes100)
{
    testsupport::ScopedWorkDir dir;
    std::vector<cv::Mat> series = exposureSeries(2, 10, 12);
    std::vector<cv::Mat> expected;
    for (const cv::Mat& e : series) {
        cv::Mat xyz(e.size(), CV_32FC3), sharp(e.size(), CV_32FC3);
        toolkit::color::convertBGRToXYZDirect(e, xyz);
        toolkit::color::convertXYZtoSharpenedBGR(xyz, sharp);
        toolkit::color::iCAMCATByD65(sharp, sharp, xyz);
        expected.push_back(sharp * 100.0);
    }
    cv::Mat* exposures = series.data();
    recoverLightnessExposureCurve(exposures, 2);
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(cv::norm(series[i], expected[i], cv::NORM_INF), 0.0) << "exposure " << i;
    // The brightness plane of the last exposure, one value per pixel.
    EXPECT_EQ(lineCountOf(testsupport::readFile("10_in.txt")), 10 * 12);
}

TEST(CameraResponseCalibrateResponse, ChannelsCalibratedApartGiveTheJointResponseBitForBit)
{
    std::vector<cv::Mat> series = exposureSeries(6, 24, 32);
    std::vector<cv::Mat> images;
    std::vector<float> times;
    for (int i = 0; i < 6; ++i) {
        images.push_back(hdr::toEightBit(series[i]));
        times.push_back(1.0f / static_cast<float>(512 >> i));
    }
    cv::Mat joint;
    cv::createCalibrateDebevec(70, 10.0f, false)->process(images, joint, times);

    const cv::Mat response = hdr::calibrateResponse(images, times);
    ASSERT_EQ(response.type(), CV_32FC3);
    ASSERT_EQ(response.size(), joint.size());
    EXPECT_EQ(std::memcmp(response.data, joint.data, joint.total() * joint.elemSize()), 0);

    // A list it cannot split is calibrated as it is, and fails as OpenCV does.
    std::vector<cv::Mat> mixed = images;
    cv::cvtColor(images[1], mixed[1], cv::COLOR_BGR2GRAY);
    EXPECT_THROW(hdr::calibrateResponse(mixed, times), cv::Exception);
}

TEST(CameraResponseTimes255, GivesTheBytesTheJpegWriterMakesOfTheFloatProduct)
{
    cv::Mat img(7, 9, CV_32FC3);
    cv::RNG(4).fill(img, cv::RNG::UNIFORM, cv::Scalar::all(-0.1), cv::Scalar::all(1.1));
    img.at<cv::Vec3f>(0, 0) = cv::Vec3f(0.5f / 255.0f, 254.5f / 255.0f, 1.0f);
    cv::Mat expected;
    cv::Mat(img * 255.0).convertTo(expected, CV_8U);
    const cv::Mat bytes = hdr::times255(img);
    ASSERT_EQ(bytes.type(), CV_8UC3);
    EXPECT_EQ(cv::norm(bytes, expected, cv::NORM_INF), 0.0);
}
