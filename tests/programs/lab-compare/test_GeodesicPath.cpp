#include "programs/lab-compare/LabCompare.hpp"

#include "toolkit/common/CommonFunctions.hpp"

#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <string>

namespace {

// Frame 0 goes through Lab -> transfer with T = I -> Lab -> BGR in float and
// moves values by about 1e-4 grey levels; its JPEG differs from the JPEG of
// the original only where an 8-bit rounding flips, which the encoder can
// spread over an 8 x 8 block by a few levels (measured: mean 0.09, max 5).
constexpr double kJpegMeanTol = 0.5;
constexpr double kJpegMaxTol = 8.0;

cv::Mat scaledLab(const cv::Mat& bgr8)
{
    cv::Mat src = bgr8, norm(bgr8.size(), CV_32FC3), lab;
    toolkit::common::normImg(src, norm);
    cv::cvtColor(norm, lab, cv::COLOR_BGR2Lab);
    toolkit::common::scaleLab(lab);
    return lab;
}

int lineCount(const std::string& text)
{
    return int(std::count(text.begin(), text.end(), '\n'));
}

// Distance between the mean Lab colours of two 8-bit BGR images, over the
// channels the transfer moves (chroma only in two dimensions).
double meanLabDistance(const cv::Mat& a, const cv::Mat& b, int dim)
{
    const cv::Scalar ma = cv::mean(scaledLab(a)), mb = cv::mean(scaledLab(b));
    double sum = 0.0;
    for (int k = dim == 2 ? 1 : 0; k < 3; ++k)
        sum += (ma[k] - mb[k]) * (ma[k] - mb[k]);
    return std::sqrt(sum);
}

} // namespace

TEST(GeodesicPath, ElevenFramesFromTheInputTowardsTheTarget)
{
    const cv::Mat inputBgr = testsupport::makePhoto(60, 80, 21);
    const cv::Mat targetBgr = testsupport::makePhoto(50, 70, 22);
    for (int dim = 2; dim <= 3; ++dim) {
        testsupport::ScopedWorkDir dir;
        cv::Mat inp = scaledLab(inputBgr);
        cv::Mat tar = scaledLab(targetBgr);
        const cv::Mat inpBefore = inp.clone();
        cv::Mat imgNorm;

        testing::internal::CaptureStdout();
        labcompare::getGeodesicPath(inp, tar, imgNorm, dim);
        const std::string out = testing::internal::GetCapturedStdout();
        // Per frame: two covariances (12 or 27 lines each), plus six plain
        // means for three dimensions.
        EXPECT_EQ(lineCount(out), 11 * (dim == 2 ? 24 : 60));
        EXPECT_EQ(cv::norm(inp, inpBefore, cv::NORM_INF), 0.0);

        for (int i = 0; i <= 10; ++i)
            EXPECT_TRUE(testsupport::fileExists(std::to_string(i) + ".jpg")) << i;
        EXPECT_FALSE(testsupport::fileExists("11.jpg"));

        ASSERT_TRUE(cv::imwrite("reference.jpg", inputBgr));
        const cv::Mat reference = cv::imread("reference.jpg");
        const cv::Mat first = cv::imread("0.jpg");
        ASSERT_EQ(first.size(), inputBgr.size());
        cv::Mat diff;
        cv::absdiff(first, reference, diff);
        EXPECT_LT(cv::mean(diff.reshape(1))[0], kJpegMeanTol) << "dim " << dim;
        EXPECT_LE(cv::norm(diff, cv::NORM_INF), kJpegMaxTol) << "dim " << dim;

        // The frames move steadily to the target's colours.
        double previous = meanLabDistance(first, targetBgr, dim);
        for (int i = 5; i <= 10; i += 5) {
            const double d
                = meanLabDistance(cv::imread(std::to_string(i) + ".jpg"), targetBgr, dim);
            EXPECT_LT(d, previous) << "dim " << dim << " frame " << i;
            previous = d;
        }
        // What remains (measured: about 6 %) is colours clipped to the 8-bit
        // gamut, JPEG, and in two dimensions the histogram-weighted means.
        EXPECT_LT(previous, 0.15 * meanLabDistance(first, targetBgr, dim)) << "dim " << dim;
    }
}
