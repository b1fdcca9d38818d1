// The worked examples of the README's "Reading the figures": what each of the
// seven coefficients compares, shown on images whose attributes are known.
// Each number the README prints is checked here to the digits it prints.
#include "programs/metrics/Metrics.hpp"
#include "tests/support/TestSupport.hpp"
#include "toolkit/color/AppearanceModel.hpp"
#include "toolkit/color/ChromaticAdaptation.hpp"
#include "toolkit/color/ConeSpaces.hpp"
#include "toolkit/color/RgbXyz.hpp"
#include "toolkit/color/WhitePoint.hpp"
#include "toolkit/common/CommonFunctions.hpp"
#include "toolkit/common/DebugOutput.hpp"
#include "toolkit/common/Histogram.hpp"
#include "toolkit/common/ImageReader.hpp"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <lcms2.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>

using testsupport::runProgram;

namespace {

const std::string kMetrics = PERCEPTUAL_METRICS_BINARY;
const std::string kLab = LAB_COMPARE_BINARY;

// The README prints these figures with one to four decimals; each check
// allows half a unit of the last printed decimal.
constexpr double kOneDecimal = 0.05;
constexpr double kTwoDecimals = 0.005;
constexpr double kThreeDecimals = 0.0005;

// A uniform 8 x 8 image of one colour (B, G, R).
cv::Mat uniform(const cv::Scalar& bgr)
{
    return cv::Mat(8, 8, CV_8UC3, bgr);
}

// The image half black (left), half white.
cv::Mat halfBlackHalfWhite()
{
    cv::Mat img = uniform(cv::Scalar::all(0));
    img.colRange(4, 8).setTo(cv::Scalar::all(255));
    return img;
}

// The D65-adapted sharpened responses of an 8-bit image, as perceptual-metrics
// computes them (CV_32FC3, S, M, L; white near 1).
cv::Mat adapted(const cv::Mat& image)
{
    cv::Mat img = image.clone(), norm(img.size(), CV_32FC3), out(img.size(), CV_32FC3);
    toolkit::common::normImg(img, norm);
    metrics::compute_cat(norm, out);
    return out;
}

// The appearance attributes of the top-left pixel of an 8-bit image, as
// perceptual-metrics computes them, and the hue angle the same chain gives.
struct Attributes {
    float Q, J, C, M, s, h;
};

Attributes attributesOf(const cv::Mat& image, cv::Point at = { 0, 0 })
{
    const toolkit::common::DebugOutputScope quiet(toolkit::common::DebugOutput::off());
    const cv::Mat responses = adapted(image);
    cv::Mat img = responses.clone(), planes[5];
    for (cv::Mat& plane : planes)
        plane.create(img.size(), CV_32FC1);
    metrics::perceptualMetrics(img, planes[0], planes[1], planes[2], planes[3], planes[4]);

    const cv::Mat scaled = responses * 100.0;
    cv::Mat FL(img.size(), CV_32FC1, cv::Scalar(double(toolkit::color::computeFl(20.0f))));
    cv::Mat hpe(img.size(), CV_32FC3), nonlin(img.size(), CV_32FC3), a(img.size(), CV_32FC1),
        b(img.size(), CV_32FC1), h(img.size(), CV_32FC1), et(img.size(), CV_32FC1);
    toolkit::color::convertSharpenedBGRtoHPE(scaled, hpe);
    toolkit::color::computeNonLinearities(hpe, nonlin, FL);
    toolkit::color::computeAB(nonlin, a, b);
    toolkit::color::computeHue(a, b, h, et);
    return { planes[0].at<float>(at), planes[1].at<float>(at), planes[2].at<float>(at),
        planes[3].at<float>(at), planes[4].at<float>(at), h.at<float>(at) };
}

// What the two programs print for a pair of images.
struct Lines {
    std::string metrics, lab;
};

Lines printedFor(const cv::Mat& first, const cv::Mat& second)
{
    testsupport::ScopedWorkDir dir;
    testsupport::writePng("first.png", first);
    testsupport::writePng("second.png", second);
    const auto metrics = runProgram(kMetrics, { "first.png", "second.png" });
    const auto lab = runProgram(kLab, { "first.png", "second.png" });
    EXPECT_EQ(metrics.status, 0) << metrics.err;
    EXPECT_EQ(lab.status, 0) << lab.err;
    return { metrics.out, lab.out };
}

// A one-dimensional histogram of a CV_32FC1 plane with one bin per integer
// over the given bins, as cv::calcHist makes it.
cv::Mat opencvHistogram(const cv::Mat& plane, toolkit::common::BinRange bins)
{
    const int size = bins.last - bins.first + 1;
    const float range[] = { bins.first - 0.5f, bins.last + 0.5f };
    const float* ranges[] = { range };
    const int channels[] = { 0 };
    cv::Mat hist;
    cv::calcHist(&plane, 1, channels, cv::Mat(), hist, 1, &size, ranges);
    return hist;
}

// CIE 1976 colour difference of the pixel (B, G, R) between the library's
// L*a*b* (default display white) and OpenCV's, which lab-compare uses.
struct LabPair {
    cv::Vec3f library, opencv;
    double deltaE() const { return cv::norm(library - opencv); }
};

LabPair labOf(const cv::Scalar& bgr)
{
    cv::Mat pixel(1, 1, CV_8UC3, bgr), norm(1, 1, CV_32FC3), lab(1, 1, CV_32FC3), cvLab;
    toolkit::common::normImg(pixel, norm);
    cv::cvtColor(norm, cvLab, cv::COLOR_BGR2Lab);
    const cv::Mat white(1, 1, CV_32FC3, cv::Scalar::all(1));
    toolkit::color::convertBGRToLab(norm, white, lab);
    return { lab.at<cv::Vec3f>(0, 0), cvLab.at<cv::Vec3f>(0, 0) };
}

// CIE L*a*b* of a display colour (B, G, R in [0, 1]) relative to an XYZ
// white, from the sRGB/D65 matrix of IEC 61966-2-1 (as OpenCV holds it), in
// double: the plain formula, to show which white a conversion uses.
cv::Vec3f referenceLab(const cv::Scalar& bgr, const cv::Vec3d& white)
{
    const double M[3][3] = { { 0.412453, 0.357580, 0.180423 }, { 0.212671, 0.715160, 0.072169 },
        { 0.019334, 0.119193, 0.950227 } };
    const double rgb[3] = { double(toolkit::color::sRGBInverseCompanding(float(bgr[2] / 255.0))),
        double(toolkit::color::sRGBInverseCompanding(float(bgr[1] / 255.0))),
        double(toolkit::color::sRGBInverseCompanding(float(bgr[0] / 255.0))) };
    double f[3];
    for (int i = 0; i < 3; ++i) {
        const double t = (M[i][0] * rgb[0] + M[i][1] * rgb[1] + M[i][2] * rgb[2]) / white[i];
        f[i] = t > 0.008856 ? std::cbrt(t) : 7.787 * t + 16.0 / 116.0;
    }
    return { static_cast<float>(116 * f[1] - 16), static_cast<float>(500 * (f[0] - f[1])),
        static_cast<float>(200 * (f[1] - f[2])) };
}

const cv::Scalar kRed(0, 0, 255), kGreen(0, 255, 0), kBlue(255, 0, 0), kCyan(255, 255, 0),
    kMagenta(255, 0, 255), kYellow(0, 255, 255);

} // namespace

TEST(ReadingTheFigures, CoefficientIsOneMinusTheSquareOfOpenCVsDistance)
{
    // Half the pixels share the white image's bin on every attribute but a*
    // and b*, where black and white are both neutral.
    const Lines half = printedFor(halfBlackHalfWhite(), uniform(cv::Scalar::all(255)));
    EXPECT_EQ(half.metrics, "0.707107,0.707107,0.707107,0.707107,0.707107\n");
    EXPECT_EQ(half.lab, "0.707107,1\n");

    cv::Mat halfPlane(8, 8, CV_32FC1, cv::Scalar(0)), whitePlane(8, 8, CV_32FC1, cv::Scalar(100));
    halfPlane.colRange(4, 8).setTo(100);
    const float bc
        = toolkit::common::getBhattacharyaCoeff(halfPlane, whitePlane, metrics::kMetricsBins);
    const double d = cv::compareHist(opencvHistogram(halfPlane, metrics::kMetricsBins),
        opencvHistogram(whitePlane, metrics::kMetricsBins), cv::HISTCMP_BHATTACHARYYA);
    EXPECT_NEAR(bc, std::sqrt(0.5), 1e-6);
    EXPECT_NEAR(d, 0.541196, 1e-6);

    // On planes of any values within the summed bins, BC = 1 - d^2 (float
    // sums of up to 1000 terms: 1e-5).
    std::mt19937 random(16);
    for (const toolkit::common::BinRange bins :
        { metrics::kMetricsBins, toolkit::common::BinRange { -128, 127 } }) {
        for (int round = 0; round < 5; ++round) {
            cv::Mat p(40, 50, CV_32FC1), q(30, 20, CV_32FC1);
            const float centre = static_cast<float>(bins.first + bins.last) / 2;
            const float spread = static_cast<float>(bins.last - bins.first) / 8;
            std::normal_distribution<float> first(centre, spread), second(centre + spread, spread);
            for (float& v : cv::Mat_<float>(p))
                v = std::clamp(first(random), bins.first - 0.49f, bins.last + 0.49f);
            for (float& v : cv::Mat_<float>(q))
                v = std::clamp(second(random), bins.first - 0.49f, bins.last + 0.49f);
            const double distance = cv::compareHist(
                opencvHistogram(p, bins), opencvHistogram(q, bins), cv::HISTCMP_BHATTACHARYYA);
            EXPECT_NEAR(
                toolkit::common::getBhattacharyaCoeff(p, q, bins), 1 - distance * distance, 1e-5)
                << "bins " << bins.first << ".." << bins.last << ", round " << round;
        }
    }
}

TEST(ReadingTheFigures, LightnessIsRelativeToEachImagesBrightestPixel)
{
    // Black and white match on J alone: both are J = 100 throughout.
    const Lines blackWhite = printedFor(uniform(cv::Scalar::all(0)), uniform(cv::Scalar::all(255)));
    EXPECT_EQ(blackWhite.metrics, "0,1,0,0,0\n");
    EXPECT_EQ(blackWhite.lab, "0,1\n");
    for (const cv::Scalar& colour : { cv::Scalar::all(0), cv::Scalar::all(255), kRed, kBlue })
        EXPECT_EQ(attributesOf(uniform(colour)).J, 100.0f) << colour;

    // Next to white, black is J = 0 and Q = 0.
    const cv::Mat half = halfBlackHalfWhite();
    EXPECT_NEAR(attributesOf(half, { 0, 0 }).J, 0.0f, 1e-6);
    EXPECT_NEAR(attributesOf(half, { 0, 0 }).Q, 0.0f, 0.01);
    EXPECT_EQ(attributesOf(half, { 7, 0 }).J, 100.0f);
}

TEST(ReadingTheFigures, EachImageIsItsOwnWhiteInTheAdaptation)
{
    // v becomes (1 - D) v + D W v / (v + 1e-6), W the D65 white's response.
    const float D = toolkit::color::computeAdapFactD(20.0f);
    EXPECT_NEAR(D, 0.858414, 1e-6);
    const cv::Mat d65xyz(1, 1, CV_32FC3, cv::Scalar(0.9505, 1.0, 1.0888));
    cv::Mat W(1, 1, CV_32FC3);
    toolkit::color::convertXYZtoSharpenedBGR(d65xyz, W);
    EXPECT_TRUE(
        testsupport::near(W.at<cv::Vec3f>(0, 0), { 1.0872f, 1.0354f, 0.9493f }, kThreeDecimals));
    for (const cv::Scalar& colour : { cv::Scalar::all(128), kRed, kCyan }) {
        cv::Mat pixel(1, 1, CV_8UC3, colour), norm(1, 1, CV_32FC3), xyz(1, 1, CV_32FC3),
            sharpened(1, 1, CV_32FC3);
        toolkit::common::normImg(pixel, norm);
        toolkit::color::convertBGRToXYZDirect(norm, xyz);
        toolkit::color::convertXYZtoSharpenedBGR(xyz, sharpened);
        const cv::Vec3f v = sharpened.at<cv::Vec3f>(0, 0), out = adapted(pixel).at<cv::Vec3f>(0, 0);
        for (int k = 0; k < 3; ++k) {
            const double w = double(W.at<cv::Vec3f>(0, 0)[k]);
            EXPECT_NEAR(out[k],
                double(1 - D) * double(v[k]) + double(D) * w * double(v[k]) / (double(v[k]) + 1e-6),
                1e-5)
                << colour << " channel " << k;
        }
    }
    // So every pixel but black ends near the D65 white.
    EXPECT_NEAR(attributesOf(uniform(cv::Scalar::all(1))).Q, 211.6, kOneDecimal);
    EXPECT_NEAR(attributesOf(uniform(cv::Scalar::all(255))).Q, 223.9, kOneDecimal);
    EXPECT_NEAR(attributesOf(uniform(cv::Scalar::all(0))).Q, 25.2, kOneDecimal);

    // The viewing conditions: LA = 20 cd/m^2, Yb = 20 of Yw = 100, dark surround.
    EXPECT_EQ(metrics::kViewing.La, 20.0f);
    EXPECT_EQ(metrics::kViewing.Yw, 100.0f);
    EXPECT_EQ(metrics::kViewing.Yb, 20.0f);
    EXPECT_EQ(metrics::kViewing.surround.Nc, 0.8f);
    EXPECT_EQ(metrics::kViewing.surround.c, 0.525f);
    EXPECT_NEAR(toolkit::color::computeFl(20.0f), 0.464159, 1e-6);
    EXPECT_NEAR(toolkit::color::computeNcb(20.0f, 100.0f), 1.000304, 1e-6);
    EXPECT_NEAR(toolkit::color::computeZ(20.0f, 100.0f), 1.927214, 1e-6);
}

TEST(ReadingTheFigures, NeutralGreysHaveChromaAbout12_7)
{
    for (int v = 1; v <= 255; ++v) {
        const Attributes grey = attributesOf(uniform(cv::Scalar::all(v)));
        EXPECT_GE(grey.C, 12.725f) << "grey " << v;
        EXPECT_LE(grey.C, 12.785f) << "grey " << v;
        EXPECT_NEAR(grey.M / grey.C, 0.825, kThreeDecimals) << "grey " << v;
        EXPECT_NEAR(grey.h, -150.0, kOneDecimal) << "grey " << v;
    }
    const Attributes grey = attributesOf(uniform(cv::Scalar::all(128)));
    EXPECT_NEAR(grey.C, 12.74, kTwoDecimals);
    EXPECT_NEAR(grey.M, 10.52, kTwoDecimals);
    EXPECT_NEAR(grey.s, 22.14, kTwoDecimals);
    EXPECT_NEAR(grey.Q, 214.5, kOneDecimal);
    EXPECT_LT(attributesOf(uniform(cv::Scalar::all(0))).C, 0.001f);
    EXPECT_NEAR(attributesOf(uniform(kRed)).C, 6.1, kOneDecimal);

    // The largest C, M and s: a uniform cyan.
    const Attributes cyan = attributesOf(uniform(kCyan));
    EXPECT_NEAR(cyan.C, 18.6, kOneDecimal);
    EXPECT_NEAR(cyan.M, 15.3, kOneDecimal);
    EXPECT_NEAR(cyan.s, 26.3, kOneDecimal);

    EXPECT_EQ(printedFor(uniform(cv::Scalar::all(128)), uniform(cv::Scalar::all(128))).metrics,
        "1,1,1,1,1\n");
    EXPECT_EQ(
        printedFor(uniform(cv::Scalar::all(128)), uniform(cv::Scalar::all(128))).lab, "1,1\n");
    EXPECT_EQ(printedFor(uniform(cv::Scalar::all(128)), uniform(cv::Scalar::all(255))).metrics,
        "0,1,1,1,1\n");
}

TEST(ReadingTheFigures, HueAngleIsSigned)
{
    EXPECT_NEAR(attributesOf(uniform(kBlue)).h, -121.2, kOneDecimal);
    EXPECT_NEAR(attributesOf(uniform(kRed)).h, -134.9, kOneDecimal);
    EXPECT_NEAR(attributesOf(uniform(kGreen)).h, 179.9, kOneDecimal);
}

TEST(ReadingTheFigures, LibraryLabIsD50AndLabCompareD65)
{
    const LabPair red = labOf(kRed);
    EXPECT_TRUE(testsupport::near(red.library, { 57.09f, 82.64f, 65.60f }, kTwoDecimals));
    EXPECT_TRUE(testsupport::near(red.opencv, { 53.24f, 80.09f, 67.20f }, kTwoDecimals));
    EXPECT_NEAR(red.deltaE(), 4.88, kTwoDecimals);
    EXPECT_NEAR(labOf(kBlue).deltaE(), 11.97, kTwoDecimals);
    EXPECT_NEAR(labOf(cv::Scalar::all(128)).deltaE(), 0.002, kThreeDecimals);

    // lab-compare's conversion is the plain formula with OpenCV's D65 white,
    // up to the interpolation of OpenCV's float conversion (up to about 0.11
    // on these colours: 0.15); the library's white is D50.
    for (const cv::Scalar& colour : { kRed, kGreen, kBlue, cv::Scalar(50, 100, 200) })
        EXPECT_TRUE(testsupport::near(
            labOf(colour).opencv, referenceLab(colour, { 0.950456, 1.0, 1.088754 }), 0.15));
    cv::Mat d50(1, 1, CV_32FC3);
    toolkit::color::adaptXYZToNewWhitePoint(d50, cv::Mat(1, 1, CV_32FC3, cv::Scalar::all(1)));
    EXPECT_TRUE(testsupport::near(d50.at<cv::Vec3f>(0, 0), { 0.9642f, 1.0f, 0.8249f }, 1e-4));

    // The extremes of a* and b* of sRGB colours in lab-compare's conversion.
    EXPECT_NEAR(labOf(kGreen).opencv[1], -86.2, kOneDecimal);
    EXPECT_NEAR(labOf(kMagenta).opencv[1], 98.2, kOneDecimal);
    EXPECT_NEAR(labOf(kBlue).opencv[2], -107.9, kOneDecimal);
    EXPECT_NEAR(labOf(kYellow).opencv[2], 94.5, kOneDecimal);
}

// The samples' attributes fill few bins: the middle 98 % of the pixels (1st
// to 99th percentile of the rounded values) span these many.
TEST(ReadingTheFigures, PhotographsFillFewBins)
{
    const std::pair<int, int> spans[5] = { { 4, 7 }, { 4, 6 }, { 3, 5 }, { 2, 4 }, { 3, 5 } };
    for (const char* name : { "chelsea.png", "coffee.png", "rocket.jpg" }) {
        std::string error;
        const cv::Mat img
            = toolkit::common::readPhotograph(SAMPLES_DIR "/" + std::string(name), error);
        ASSERT_FALSE(img.empty()) << error;
        const toolkit::common::DistinctColours colours = toolkit::common::countDistinctColours(img);
        const metrics::ColourAttributes a = metrics::attributesOfColours(colours);
        const cv::Mat* planes[5] = { &a.Q, &a.J, &a.C, &a.M, &a.s };
        for (int p = 0; p < 5; ++p) {
            std::vector<std::pair<double, std::uint32_t>> values;
            for (std::size_t k = 0; k < colours.keys.size(); ++k)
                values.emplace_back(std::round(planes[p]->ptr<float>(0)[k]), colours.counts[k]);
            std::sort(values.begin(), values.end());
            const double total = double(img.total());
            double seen = 0, first = 0, last = 0;
            for (const auto& [value, count] : values) {
                if (seen < 0.01 * total && seen + count >= 0.01 * total)
                    first = value;
                if (seen < 0.99 * total && seen + count >= 0.99 * total)
                    last = value;
                seen += count;
            }
            const int span = int(last - first) + 1;
            EXPECT_GE(span, spans[p].first) << name << " attribute " << p;
            EXPECT_LE(span, spans[p].second) << name << " attribute " << p;
        }
        // L* of lab-compare, over every pixel.
        cv::Mat norm, lab;
        img.convertTo(norm, CV_32FC3, 1.0 / 255.0);
        cv::cvtColor(norm, lab, cv::COLOR_BGR2Lab);
        std::vector<float> lightness;
        for (int i = 0; i < lab.rows; ++i)
            for (int j = 0; j < lab.cols; ++j)
                lightness.push_back(std::round(lab.at<cv::Vec3f>(i, j)[0]));
        std::sort(lightness.begin(), lightness.end());
        const int span = int(lightness[std::size_t(0.99 * double(lightness.size()))]
                             - lightness[std::size_t(0.01 * double(lightness.size()))])
            + 1;
        EXPECT_GE(span, 64) << name;
        EXPECT_LE(span, 94) << name;
    }
}

TEST(ReadingTheFigures, OneBrightPixelMovesQAndJ)
{
    testsupport::ScopedWorkDir dir;
    const cv::Mat dark = cv::imread(SAMPLES_DIR "/coffee.png") * 0.5;
    cv::Mat lit = dark.clone();
    lit.at<cv::Vec3b>(0, 0) = cv::Vec3b(255, 255, 255);
    testsupport::writePng("dark.png", dark);
    testsupport::writePng("dark-white.png", lit);
    EXPECT_EQ(runProgram(kMetrics, { "dark.png", "dark-white.png" }).out,
        "4.16667e-06,0.000457147,0.937161,0.98718,0.656742\n");
    EXPECT_EQ(runProgram(kLab, { "dark.png", "dark-white.png" }).out, "0.999998,1\n");

    // The white held by 4.9 % of the pixels, then by one.
    for (const auto& [image, share] : { std::pair { &dark, 0.049 }, { &lit, 1.0 / 240000 } }) {
        const toolkit::common::DistinctColours colours
            = toolkit::common::countDistinctColours(*image);
        EXPECT_NEAR(metrics::topLightnessShare(colours, metrics::attributesOfColours(colours)),
            share, share < 0.01 ? 1e-9 : 0.0005);
    }
}

// The library's D50 L*a*b* against ICC's, which Little CMS computes from
// sRGB through Bradford adaptation.
TEST(ReadingTheFigures, LibraryLabAgainstIccLab)
{
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    cmsHPROFILE lab = cmsCreateLab4Profile(nullptr);
    cmsHTRANSFORM icc = cmsCreateTransform(
        srgb, TYPE_RGB_DBL, lab, TYPE_Lab_DBL, INTENT_RELATIVE_COLORIMETRIC, cmsFLAGS_NOOPTIMIZE);
    struct Row {
        int r, g, b;
        double library[3], standard[3], de76, de00;
    };
    const Row rows[] = {
        { 128, 128, 128, { 53.59, 0, 0 }, { 53.59, 0, 0 }, 0, 0 },
        { 255, 0, 0, { 57.09, 82.64, 65.60 }, { 54.29, 80.81, 69.89 }, 5.44, 3.36 },
        { 0, 255, 0, { 86.89, -87.19, 73.30 }, { 87.82, -79.27, 80.99 }, 11.07, 3.38 },
        { 0, 0, 255, { 27.32, 69.80, -113.37 }, { 29.57, 68.29, -112.03 }, 3.02, 1.74 },
        { 224, 172, 105, { 74.93, 16.07, 40.57 }, { 74.20, 14.01, 41.89 }, 2.55, 1.82 },
        { 135, 206, 235, { 78.14, -20.54, -22.14 }, { 78.85, -17.54, -21.79 }, 3.10, 1.72 },
        { 80, 120, 40, { 45.94, -26.55, 34.96 }, { 46.15, -25.13, 37.73 }, 3.12, 1.62 },
    };
    for (const Row& row : rows) {
        cv::Mat bgr(1, 1, CV_32FC3, cv::Scalar(row.b / 255.0, row.g / 255.0, row.r / 255.0));
        cv::Mat out(1, 1, CV_32FC3);
        toolkit::color::convertBGRToLab(bgr, cv::Mat(1, 1, CV_32FC3, cv::Scalar::all(1)), out);
        const cv::Vec3f ours = out.at<cv::Vec3f>(0, 0);
        const double rgb[3] = { row.r / 255.0, row.g / 255.0, row.b / 255.0 };
        cmsCIELab standard;
        cmsDoTransform(icc, rgb, &standard, 1);
        const cmsCIELab library { double(ours[0]), double(ours[1]), double(ours[2]) };
        const double theirs[3] = { standard.L, standard.a, standard.b };
        for (int c = 0; c < 3; ++c) {
            EXPECT_NEAR(double(ours[c]), row.library[c], kTwoDecimals)
                << row.r << "," << row.g << "," << row.b;
            EXPECT_NEAR(theirs[c], row.standard[c], kTwoDecimals)
                << row.r << "," << row.g << "," << row.b;
        }
        EXPECT_NEAR(cmsDeltaE(&library, &standard), row.de76, kTwoDecimals);
        EXPECT_NEAR(cmsCIE2000DeltaE(&library, &standard, 1, 1, 1), row.de00, kTwoDecimals);
    }
    cmsDeleteTransform(icc);
    cmsCloseProfile(lab);
    cmsCloseProfile(srgb);
}
