#include "toolkit/color/BrightnessSeries.hpp"

#include "toolkit/color/ChromaticAdaptation.hpp"
#include "toolkit/color/RgbXyz.hpp"
#include "toolkit/common/CommonFunctions.hpp"
#include "toolkit/guidedfilter/GuidedFilter.hpp"

#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <sstream>
#include <string>
#include <vector>

using namespace toolkit::color;

namespace {

// x 100 then / 100 in float: two roundings of half an ulp, on values below 1.1.
constexpr double kScaleRoundTripTol = 1.5e-7;
// Printed exponents have six significant digits.
constexpr double kPrintedGammaTol = 5e-6;
// Forward then inverse appearance model in float on values of about 0.5: a
// few dozen roundings (3e-7 measured).
constexpr double kModelRoundTripTol = 1e-5;

const char* const kNanMessage = "Nan values in the gamma correction!";

cv::Mat photoSharpened(int rows, int cols, unsigned seed)
{
    cv::Mat img8 = testsupport::makePhoto(rows, cols, seed);
    cv::Mat bgr(img8.size(), CV_32FC3), xyz(img8.size(), CV_32FC3), sharp(img8.size(), CV_32FC3);
    toolkit::common::normImg(img8, bgr);
    convertBGRToXYZDirect(bgr, xyz);
    convertXYZtoSharpenedBGR(xyz, sharp);
    return sharp;
}

std::vector<std::string> runSeries(cv::Mat& image, std::vector<cv::Mat>& outputs, float factor)
{
    outputs.assign(6, cv::Mat());
    testing::internal::CaptureStdout();
    increaseBrightness(image, outputs.data(), factor);
    std::istringstream in(testing::internal::GetCapturedStdout());
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

int countLines(const std::vector<std::string>& lines, const std::string& text)
{
    return static_cast<int>(std::count(lines.begin(), lines.end(), text));
}

} // namespace

TEST(BrightnessSeriesGammaByStyle, ExponentNegativeSourcesAndNanResults)
{
    cv::Mat src = (cv::Mat_<float>(1, 4) << -2.0f, 4.0f, NAN, 0.25f);
    cv::Mat dst(1, 4, CV_32FC1);
    testing::internal::CaptureStdout();
    performGammaCorrectionByStyle(src, dst, 1.0f, 10.0f); // gamma = log10(10) + 1 = 2
    EXPECT_EQ(
        testing::internal::GetCapturedStdout(), std::string("Gamma: 2\n-2\n") + kNanMessage + "\n");
    EXPECT_EQ(dst.at<float>(0, 0), 0.0f); // negative: 0, and no NaN message
    EXPECT_EQ(dst.at<float>(0, 1), 16.0f);
    EXPECT_TRUE(std::isnan(dst.at<float>(0, 2)));
    EXPECT_EQ(dst.at<float>(0, 3), 0.0625f);
}

TEST(BrightnessSeriesIncreaseBrightness, FactorTenExponentsRiseAndTheInputIsRestored)
{
    testsupport::ScopedWorkDir dir;
    cv::Mat image = photoSharpened(12, 16, 7);
    const cv::Mat before = image.clone();
    std::vector<cv::Mat> outputs;
    const std::vector<std::string> lines = runSeries(image, outputs, 10.0f);

    std::vector<double> gammas;
    for (const std::string& line : lines)
        if (line.rfind("Gamma: ", 0) == 0)
            gammas.push_back(std::stod(line.substr(7)));
    ASSERT_EQ(gammas.size(), 6u);
    double f = 10.0;
    for (int k = 0; k < 6; ++k) {
        EXPECT_NEAR(gammas[k], 1.0 + std::log10(10.0 / f), kPrintedGammaTol) << "pass " << k;
        f = double(static_cast<float>(f - 0.7)); // 10, 9.3, ... 6.5: about 1, 1.032, ... 1.187
    }
    EXPECT_EQ(gammas[0], 1.0);
    EXPECT_NEAR(gammas[5], 1.187, 5e-4); // listed to three decimals
    EXPECT_EQ(countLines(lines, "Already out !"), 6);
    EXPECT_EQ(countLines(lines, "9.3") + countLines(lines, "5.8"), 2); // the printed f

    EXPECT_LE(cv::norm(image, before, cv::NORM_INF), kScaleRoundTripTol);
    for (const cv::Mat& out : outputs) // allocated for the caller when empty
        EXPECT_TRUE(out.type() == CV_32FC3 && out.size() == image.size());
    EXPECT_TRUE(testsupport::fileExists("brightness_before_filtered.jpg"));
    EXPECT_TRUE(testsupport::fileExists("dst.jpg"));
    EXPECT_EQ(testsupport::readFile("pValues.txt"), "");
    EXPECT_FALSE(testsupport::fileExists("tmpFlash.jpg")); // no flash photograph here
}

TEST(BrightnessSeriesIncreaseBrightness, FactorBelowThreeAndAHalfGivesNanMessagesAndCompletes)
{
    testsupport::ScopedWorkDir dir;
    cv::Mat image = photoSharpened(6, 7, 5);
    std::vector<cv::Mat> outputs;
    // f_5 = 3 - 3.5 < 0: only the last exponent is NaN, one message per pixel.
    const std::vector<std::string> lines = runSeries(image, outputs, 3.0f);
    EXPECT_EQ(countLines(lines, "Already out !"), 6);
    EXPECT_EQ(countLines(lines, kNanMessage), image.rows * image.cols);
    for (int k = 0; k < 5; ++k)
        EXPECT_TRUE(cv::checkRange(outputs[k])) << "pass " << k;
}

TEST(BrightnessSeriesIncreaseBrightness, RenderingsOrderedByExponent)
{
    testsupport::ScopedWorkDir dir;
    // Uniform: the filtered brightness is the brightness, so exponent 1 gives
    // the input back through the forward and inverse model.
    cv::Mat uniform(6, 8, CV_32FC3, cv::Scalar(double(0.35f), 0.5, double(0.6f)));
    std::vector<cv::Mat> outputs;
    runSeries(uniform, outputs, 10.0f);
    EXPECT_LE(cv::norm(outputs[0], uniform, cv::NORM_INF), kModelRoundTripTol);

    // On a photograph (brightness above 1) every pass is brighter than the
    // one before; factor 14 has exponents below 1, so it starts darker.
    cv::Mat image = photoSharpened(16, 20, 21);
    std::vector<cv::Mat> brighter, darker;
    runSeries(image, brighter, 10.0f);
    runSeries(image, darker, 14.0f);
    for (int k = 1; k < 6; ++k) {
        EXPECT_GT(cv::mean(brighter[k])[2], cv::mean(brighter[k - 1])[2]) << "pass " << k;
        EXPECT_GT(cv::mean(darker[k])[2], cv::mean(darker[k - 1])[2]) << "pass " << k;
    }
    EXPECT_LT(cv::mean(darker[0])[2], cv::mean(brighter[0])[2]);
}

TEST(BrightnessSeriesWhiteImages, GuidedWhiteIsTheSelfGuidedFilterWhateverTheInt)
{
    testsupport::ScopedWorkDir dir;
    cv::Mat img8 = testsupport::makePhoto(24, 30, 13);
    cv::Mat img(img8.size(), CV_32FC3);
    toolkit::common::normImg(img8, img);
    const cv::Mat expected = toolkit::guidedfilter::guidedFilter(img, img, 16, 0.0001, -1);
    for (int unused : { 0, 1600, -7 }) {
        cv::Mat white;
        computeWhiteImg(img, white, unused);
        EXPECT_EQ(cv::norm(white, expected, cv::NORM_INF), 0.0) << "int argument " << unused;
    }
    // The bilateral white may be computed in place.
    cv::Mat separate;
    computeWhiteImgVs2(img, separate, 0.2f, 5);
    computeWhiteImgVs2(img, img, 0.2f, 5);
    EXPECT_EQ(cv::norm(img, separate, cv::NORM_INF), 0.0);
}
