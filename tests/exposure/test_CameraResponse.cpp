

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
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

using namespace toolkit::exposure;
namespace hdr = toolkit::exposure::hdr;
using testsupport::fileExists;

namespace {

// A float image scaled by 255 in place: the product is exact in double and
// rounds once to float, so it equals the float product bit for bit.
constexpr double kExactScale = 0.0;

// How far the calibration's response may stray from the one the reference
// BLAS gives: 2% of each value. The response comes out of a float
// least-squares solve (LAPACK's SVD, through OpenCV), whose roundings depend
// on the BLAS and, with OpenBLAS, on its kernels and thread count. Measured
// against the reference BLAS (Debian's libblas3): OpenBLAS 0.3.21 (Debian's
// libopenblas0-pthread) gives up to 0.77% more or less on the sample pair,
// over its kernels from Prescott to SkylakeX and 1 to 4 threads, and 0.3% on
// exposureSeries. Faults stand out of it: on exposureSeries, a smoothness 10%
// off moves the response by 4% or more, one exposure time 5% off by 7%, 60
// or 80 samples instead of 70 by 90%.
constexpr double kBlasTolerance = 0.02;

// n exposures of one scene, exposure i taken twice as long as exposure i - 1,
// seen through the camera response x^(1 / gamma) and clipped at 1.
std::vector<cv::Mat> exposureSeries(
    int n, int rows, int cols, double gamma = 2.2, double first = 0.02)
{
    cv::Mat scene8 = testsupport::makePhoto(rows, cols, 11);
    cv::Mat scene(scene8.size(), CV_32FC3);
    toolkit::common::normImg(scene8, scene);
    std::vector<cv::Mat> series;
    for (int i = 0; i < n; ++i) {
        cv::Mat e = cv::min(scene * (first * (1 << i)), 1.0);
        cv::pow(e, 1.0 / gamma, e);
        series.push_back(e);
    }
    return series;
}

long lineCountOf(const std::string& text)
{
    return std::count(text.begin(), text.end(), '\n');
}

// A response as the calibration returns it (256 x 1, CV_32FC3, B, G, R) from
// the three files of one value per line that the exposure code writes.
cv::Mat responseFromFiles(const std::string& r, const std::string& g, const std::string& b)
{
    cv::Mat response(256, 1, CV_32FC3, cv::Scalar::all(-1.0));
    const std::string names[] = { b, g, r };
    for (int c = 0; c < 3; ++c) {
        std::ifstream in(names[c]);
        for (int z = 0; z < 256 && in >> response.at<cv::Vec3f>(z)[c]; ++z) { }
    }
    return response;
}

// A stored response: after lines starting with '#', one line "z R G B" per z.
cv::Mat storedResponse(const std::string& path)
{
    cv::Mat response(256, 1, CV_32FC3, cv::Scalar::all(-1.0));
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        int z = -1;
        float r = 0, g = 0, b = 0;
        if (line.empty() || line[0] == '#' || !(fields >> z >> r >> g >> b) || z < 0 || z > 255)
            continue;
        response.at<cv::Vec3f>(z) = cv::Vec3f(b, g, r);
    }
    return response;
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
    // Only their count here: CameraResponse.* checks the values.
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

// flash-exposures on the sample pair writes the response that the reference
// BLAS gives, whichever BLAS the system has, within kBlasTolerance.
TEST(CameraResponse, SamplePairGivesTheStoredResponseWithinTheBlasTolerance)
{
    testsupport::ScopedWorkDir dir;
    const auto run = testsupport::runProgram(FLASH_EXPOSURES_BINARY,
        { SAMPLES_DIR "/flash.png", SAMPLES_DIR "/noflash.png", "pair", "out" });
    ASSERT_EQ(run.status, 0) << run.err;
    const cv::Mat stored = storedResponse(TEST_DATA_DIR "/exposure/flash-response.txt");
    ASSERT_GT(cv::norm(stored.reshape(1), cv::NORM_INF), 1.0);
    EXPECT_TRUE(testsupport::near(responseFromFiles("out/R.txt", "out/G.txt", "out/B.txt"), stored,
        testsupport::relative(kBlasTolerance)));
}

// Exposures of a camera whose response is known, z = 255 x^(1 / gamma) for
// the exposure x, from x = 0.04 to 1.28 times the scene: recoverCRF finds x
// up to a factor, which its calibration fixes at z = 128, so the response is
// (z / 128)^gamma. Measured within 0.9% for z in [40, 224] under the
// reference BLAS and OpenBLAS alike; outside, where 8-bit steps are coarse or
// few samples reach, the smoothness term shapes the curve.
TEST(CameraResponse, RecoversTheResponseOfAKnownCamera)
{
    const int kLow = 40, kHigh = 224;
    for (double gamma : { 1.0, 2.2 }) {
        testsupport::ScopedWorkDir dir;
        std::vector<cv::Mat> series = exposureSeries(6, 64, 85, gamma, 0.04);
        cv::Mat reference = series[0].clone();
        cv::Mat* exposures = series.data();
        testing::internal::CaptureStdout();
        recoverCRF(exposures, reference, 6, "out");
        testing::internal::GetCapturedStdout();

        const cv::Mat response = responseFromFiles("Rreal.txt", "Greal.txt", "Breal.txt");
        const cv::Vec3f at128 = response.at<cv::Vec3f>(128);
        cv::Mat found(kHigh - kLow + 1, 1, CV_32FC3), camera(found.size(), CV_32FC3);
        for (int z = kLow; z <= kHigh; ++z) {
            const cv::Vec3f v = response.at<cv::Vec3f>(z);
            found.at<cv::Vec3f>(z - kLow)
                = cv::Vec3f(v[0] / at128[0], v[1] / at128[1], v[2] / at128[2]);
            camera.at<cv::Vec3f>(z - kLow)
                = cv::Vec3f::all(static_cast<float>(std::pow(z / 128.0, gamma)));
        }
        EXPECT_TRUE(testsupport::near(found, camera, testsupport::relative(kBlasTolerance)))
            << "gamma " << gamma;
    }
}
