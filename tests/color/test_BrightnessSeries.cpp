#include "toolkit/color/BrightnessSeries.hpp"

#include "toolkit/color/ChromaticAdaptation.hpp"
#include "toolkit/color/RgbXyz.hpp"
#include "toolkit/common/CommonFunctions.hpp"
#include "toolkit/guidedfilter/GuidedFilter.hpp"

#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <sys/stat.h>

#include <cmath>
#include <sstream>
#include <string>
#include <vector>

using namespace toolkit::color;

namespace {

// Multiplication and division by 100 in float: at most two roundings of half
// an ulp each, relative to the value.
constexpr double kScaleRoundTripRel = 1.2e-7;
// The printed exponents have six significant digits.
constexpr double kPrintedGammaTol = 5e-6;
// The listed exponents are rounded to three decimals (1.0655 is listed as 1.066).
constexpr double kListedGammaTol = 6e-4;
// Forward and inverse appearance model in float (powers up to 1 / 0.42 and
// the 1e-6 lift of Q) on values of about 0.5: a few dozen float roundings.
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

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

std::vector<double> gammasPrinted(const std::vector<std::string>& out)
{
    std::vector<double> gammas;
    for (const std::string& line : out)
        if (line.rfind("Gamma: ", 0) == 0)
            gammas.push_back(std::stod(line.substr(7)));
    return gammas;
}

// Runs increaseBrightness on a copy and returns its standard output.
std::string runSeries(cv::Mat& image, std::vector<cv::Mat>& outputs, float factor)
{
    outputs.assign(6, cv::Mat());
    for (cv::Mat& m : outputs)
        m.create(image.size(), CV_32FC3);
    testing::internal::CaptureStdout();
    increaseBrightness(image, outputs.data(), factor);
    return testing::internal::GetCapturedStdout();
}

// Mean over the finite elements of a float image.
double finiteMean(const cv::Mat& m)
{
    const cv::Mat flat = m.reshape(1);
    double sum = 0.0;
    int count = 0;
    for (int i = 0; i < flat.rows; ++i)
        for (int j = 0; j < flat.cols; ++j) {
            const float v = flat.at<float>(i, j);
            if (std::isfinite(v)) {
                sum += v;
                ++count;
            }
        }
    return count == 0 ? NAN : sum / count;
}

bool makeDirs(const std::string& path)
{
    std::string partial;
    std::istringstream in(path);
    for (std::string part; std::getline(in, part, '/');) {
        partial += part + "/";
        if (mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST)
            return false;
    }
    return true;
}

} // namespace

// ---- The power law -------------------------------------------------------

TEST(GammaByStyle, ExponentFromRatioNegativeAndNanSources)
{
    testsupport::ScopedWorkDir dir;
    cv::Mat src = (cv::Mat_<float>(1, 4) << -2.0f, 4.0f, NAN, 0.25f);
    cv::Mat dst(1, 4, CV_32FC1, cv::Scalar(7.0f));
    testing::internal::CaptureStdout();
    performGammaCorrectionByStyle(src, dst, 1.0f, 10.0f); // gamma = log10(10) + 1 = 2
    const std::string out = testing::internal::GetCapturedStdout();

    EXPECT_EQ(out, std::string("Gamma: 2\n-2\n") + kNanMessage + "\n");
    EXPECT_EQ(dst.at<float>(0, 0), 0.0f); // a negative source gives 0, no NaN message
    EXPECT_EQ(dst.at<float>(0, 1), 16.0f);
    EXPECT_TRUE(std::isnan(dst.at<float>(0, 2)));
    EXPECT_EQ(dst.at<float>(0, 3), 0.0625f);
}

TEST(GammaByStyle, NegativeRatioGivesOneNanMessagePerPixel)
{
    testsupport::ScopedWorkDir dir;
    cv::Mat src(3, 5, CV_32FC1, cv::Scalar(0.5f));
    cv::Mat dst(3, 5, CV_32FC1);
    testing::internal::CaptureStdout();
    performGammaCorrectionByStyle(src, dst, -1.0f, 10.0f);
    const std::vector<std::string> out = lines(testing::internal::GetCapturedStdout());
    ASSERT_EQ(out.size(), 16u);
    EXPECT_EQ(out[0].rfind("Gamma: ", 0), 0u);
    for (size_t i = 1; i < out.size(); ++i)
        EXPECT_EQ(out[i], kNanMessage);
}

// ---- The series: exponents, order of lines, the input --------------------

TEST(IncreaseBrightness, FactorTenGivesExponentOneThenRisingExponents)
{
    testsupport::ScopedWorkDir dir;
    cv::Mat image = photoSharpened(12, 16, 7);
    std::vector<cv::Mat> outputs;
    const std::vector<std::string> out = lines(runSeries(image, outputs, 10.0f));

    const std::vector<double> gammas = gammasPrinted(out);
    ASSERT_EQ(gammas.size(), 6u);
    // The listed exponents for factor 10: 1 + log10(10 / f_k), f_k = 10 - 0.7 k.
    const double listed[6] = { 1.0, 1.032, 1.066, 1.102, 1.143, 1.187 };
    double f = 10.0f;
    for (int k = 0; k < 6; ++k) {
        const double expected = 1.0 + std::log10(10.0 / f);
        EXPECT_NEAR(gammas[k], expected, kPrintedGammaTol) << "pass " << k;
        EXPECT_NEAR(gammas[k], listed[k], kListedGammaTol) << "pass " << k;
        if (k > 0) {
            EXPECT_GT(gammas[k], gammas[k - 1]);
        }
        f = static_cast<float>(f - 0.7);
    }
}

TEST(IncreaseBrightness, LinesOfEachPassInOrder)
{
    testsupport::ScopedWorkDir dir;
    cv::Mat image = photoSharpened(8, 10, 3);
    std::vector<cv::Mat> outputs;
    const std::vector<std::string> out = lines(runSeries(image, outputs, 10.0f));

    const char* const factors[6] = { "9.3", "8.6", "7.9", "7.2", "6.5", "5.8" };
    size_t pos = 0;
    for (int k = 0; k < 6; ++k) {
        while (pos < out.size() && out[pos].rfind("Gamma: ", 0) != 0)
            ++pos;
        ASSERT_LT(pos, out.size()) << "no exponent line for pass " << k;
        while (pos < out.size() && out[pos] != "Already out !")
            ++pos;
        ASSERT_LT(pos, out.size()) << "no \"Already out !\" for pass " << k;
        while (pos < out.size() && out[pos] != factors[k])
            ++pos;
        ASSERT_LT(pos, out.size()) << "no factor line " << factors[k];
    }
}

TEST(IncreaseBrightness, InputComesBackToItsFormerValues)
{
    testsupport::ScopedWorkDir dir;
    cv::Mat image = photoSharpened(12, 16, 11);
    const cv::Mat before = image.clone();
    std::vector<cv::Mat> outputs;
    runSeries(image, outputs, 10.0f);

    const cv::Mat a = image.reshape(1), e = before.reshape(1);
    for (int i = 0; i < a.rows; ++i)
        for (int j = 0; j < a.cols; ++j)
            ASSERT_LE(std::abs(a.at<float>(i, j) - e.at<float>(i, j)),
                      kScaleRoundTripRel * std::abs(e.at<float>(i, j)))
                << "at " << i << ", " << j;
}

TEST(IncreaseBrightness, FactorBelowThreeAndAHalfGivesNanMessagesAndCompletes)
{
    testsupport::ScopedWorkDir dir;
    cv::Mat image = photoSharpened(6, 7, 5);
    std::vector<cv::Mat> outputs;
    // f_5 = 3 - 3.5 < 0: the last pass has a NaN exponent.
    const std::vector<std::string> out = lines(runSeries(image, outputs, 3.0f));

    int already = 0;
    int nanMessages = 0;
    int nanMessagesBeforeLastPass = 0;
    for (const std::string& line : out) {
        if (line == "Already out !")
            ++already;
        if (line == kNanMessage) {
            ++nanMessages;
            if (already < 5)
                ++nanMessagesBeforeLastPass;
        }
    }
    EXPECT_EQ(already, 6);
    EXPECT_EQ(nanMessagesBeforeLastPass, 0);
    EXPECT_EQ(nanMessages, image.rows * image.cols);
    EXPECT_TRUE(std::isnan(gammasPrinted(out).back()));
    for (int k = 0; k < 5; ++k)
        EXPECT_TRUE(cv::checkRange(outputs[k])) << "pass " << k;
}

// ---- The series: what the renderings look like ---------------------------

TEST(IncreaseBrightness, UniformImageAtFactorTenRoundTripsInPassZero)
{
    testsupport::ScopedWorkDir dir;
    // A uniform image: the filtered brightness equals the brightness, so
    // exponent 1 gives back the input through forward and inverse model.
    cv::Mat image(6, 8, CV_32FC3, cv::Scalar(0.35f, 0.5f, 0.6f));
    std::vector<cv::Mat> outputs;
    runSeries(image, outputs, 10.0f);
    EXPECT_LE(cv::norm(outputs[0], image, cv::NORM_INF), kModelRoundTripTol);
}

TEST(IncreaseBrightness, PhotographGetsBrighterAsTheExponentRises)
{
    testsupport::ScopedWorkDir dir;
    cv::Mat image = photoSharpened(16, 20, 21);
    std::vector<cv::Mat> brighter, darker;
    runSeries(image, brighter, 10.0f);  // exponents 1 .. 1.187: brighter pass by pass
    runSeries(image, darker, 14.0f);    // f = 14 .. 10.5: exponents below 1, rising to 0.98
    for (int k = 1; k < 6; ++k) {
        EXPECT_GT(finiteMean(brighter[k]), finiteMean(brighter[k - 1])) << "pass " << k;
        EXPECT_GT(finiteMean(darker[k]), finiteMean(darker[k - 1])) << "pass " << k;
    }
    // Exponents below 1 on brightness above 1 darken the rendering.
    EXPECT_LT(finiteMean(darker[0]), finiteMean(brighter[0]));
}

// ---- The series: outputs and files ---------------------------------------

TEST(IncreaseBrightness, OutputsAreWrittenIntoTheCallersBuffersOrAllocated)
{
    testsupport::ScopedWorkDir dir;
    cv::Mat image = photoSharpened(5, 6, 2);
    std::vector<cv::Mat> outputs(6);
    outputs[0].create(image.size(), CV_32FC3);
    const uchar* buffer = outputs[0].data;
    testing::internal::CaptureStdout();
    increaseBrightness(image, outputs.data(), 10.0f);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(outputs[0].data, buffer);
    for (const cv::Mat& m : outputs) {
        EXPECT_EQ(m.type(), CV_32FC3);
        EXPECT_EQ(m.size(), image.size());
    }
}

TEST(IncreaseBrightness, DebugFilesAndTheOptionalFlashRecord)
{
    testsupport::ScopedWorkDir dir;
    cv::Mat image = photoSharpened(5, 6, 4);
    std::vector<cv::Mat> outputs;
    runSeries(image, outputs, 10.0f);

    EXPECT_FALSE(testsupport::fileExists("tmpFlash.jpg")); // no flash photograph here
    for (const char* name : { "rgba_before.jpg", "lms_before.jpg", "a_before.jpg", "b_before.jpg",
                              "lightness_before.jpg", "brightness_before.jpg",
                              "brightness_before_filtered.jpg", "brightness_after.jpg",
                              "z_after.jpg", "lightness_after.jpg", "A_after.jpg", "a_after.jpg",
                              "b_after.jpg", "rgba_after.jpg", "lms_after.jpg", "dst.jpg" })
        EXPECT_TRUE(testsupport::fileExists(name)) << name;
    EXPECT_TRUE(testsupport::fileExists("pValues.txt"));
    EXPECT_EQ(testsupport::readFile("pValues.txt"), "");
    EXPECT_EQ(lines(testsupport::readFile("10_out.txt")).size(), 30u);

    // With the flash photograph in place it is copied.
    ASSERT_TRUE(makeDirs("Images/flash-nonFlash+multiExp/set06/Scaled"));
    const cv::Mat flash = testsupport::makePhoto(4, 5, 9);
    ASSERT_TRUE(cv::imwrite("Images/flash-nonFlash+multiExp/set06/Scaled/flash.JPG", flash));
    runSeries(image, outputs, 10.0f);
    const cv::Mat copied = cv::imread("tmpFlash.jpg");
    EXPECT_EQ(copied.size(), flash.size());
}

// ---- White images --------------------------------------------------------

TEST(WhiteImages, GuidedWhiteIsTheSelfGuidedFilterWhateverTheInt)
{
    testsupport::ScopedWorkDir dir;
    cv::Mat img8 = testsupport::makePhoto(24, 30, 13);
    cv::Mat img(img8.size(), CV_32FC3);
    toolkit::common::normImg(img8, img);
    const cv::Mat expected = toolkit::guidedfilter::guidedFilter(img, img, 16, 0.0001, -1);
    for (int unused : { 0, 1600, -7 }) {
        cv::Mat white;
        computeWhiteImg(img, white, unused);
        ASSERT_EQ(white.type(), CV_32FC3);
        EXPECT_EQ(cv::norm(white, expected, cv::NORM_INF), 0.0) << "int argument " << unused;
    }
}

TEST(WhiteImages, BilateralWhiteInPlaceEqualsSeparateOutput)
{
    cv::Mat img8 = testsupport::makePhoto(16, 18, 17);
    cv::Mat img(img8.size(), CV_32FC3);
    toolkit::common::normImg(img8, img);
    cv::Mat separate(img.size(), CV_32FC3);
    computeWhiteImgVs2(img, separate, 0.2f, 5);
    cv::Mat expected;
    cv::bilateralFilter(img, expected, 5, static_cast<double>(0.2f), 5.0, cv::BORDER_REFLECT_101);
    EXPECT_EQ(cv::norm(separate, expected, cv::NORM_INF), 0.0);
    computeWhiteImgVs2(img, img, 0.2f, 5);
    EXPECT_EQ(cv::norm(img, expected, cv::NORM_INF), 0.0);
}
