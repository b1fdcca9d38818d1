#include "toolkit/transport/GeodesicPath.hpp"

#include "toolkit/common/CommonFunctions.hpp"
#include "toolkit/transport/MongeTransform.hpp"

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

// Frame i as the transfer itself gives it: applyOptimalTransport with that t,
// which finds both distributions' statistics again for every frame.
void writeTransferFrame(const cv::Mat& inp, const cv::Mat& tar, int dim, int i)
{
    cv::Mat mapped(inp.size(), CV_32FC(dim)), newVals(inp.size(), CV_32FC3), bgr;
    cv::Mat covs(dim, dim, CV_32FC1), means(1, dim, CV_32FC1), targetMeans(1, dim, CV_32FC1);
    cv::Mat unusedInverse(3, 3, CV_32FC1), unusedTargetCov(2, 2, CV_32FC1);
    toolkit::transport::applyOptimalTransport(inp, tar, mapped, unusedInverse, means,
        unusedTargetCov, targetMeans, covs, static_cast<float>(i / 10.0), dim);
    if (dim == 3) {
        mapped.copyTo(newVals);
    } else {
        const cv::Mat sources[] = { inp, mapped };
        const int lightnessAndChroma[] = { 0, 0, 3, 1, 4, 2 };
        cv::mixChannels(sources, 2, &newVals, 1, lightnessAndChroma, 3);
    }
    toolkit::common::rescaleLab(newVals);
    cv::cvtColor(newVals, bgr, cv::COLOR_Lab2BGR);
    toolkit::common::getFinalImg(bgr, "transfer" + std::to_string(i) + ".jpg");
}

} // namespace

TEST(GeodesicPath, EachFrameIsTheTransferOfItsPointByteForByte)
{
    testsupport::ScopedWorkDir dir;
    const cv::Mat inp = scaledLab(testsupport::makePhoto(40, 50, 23));
    const cv::Mat tar = scaledLab(testsupport::makePhoto(30, 60, 24));
    for (int dim = 2; dim <= 3; ++dim) {
        cv::Mat a = inp.clone(), b = tar.clone(), imgNorm;
        testing::internal::CaptureStdout();
        toolkit::transport::getGeodesicPath(a, b, imgNorm, dim);
        for (int i = 0; i <= 10; ++i)
            writeTransferFrame(inp, tar, dim, i);
        testing::internal::GetCapturedStdout();
        for (int i = 0; i <= 10; ++i) {
            const std::string frame = testsupport::readFile(std::to_string(i) + ".jpg");
            EXPECT_FALSE(frame.empty());
            EXPECT_EQ(frame, testsupport::readFile("transfer" + std::to_string(i) + ".jpg"))
                << "dim " << dim << " frame " << i;
        }
    }
}

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
        toolkit::transport::getGeodesicPath(inp, tar, imgNorm, dim);
        const std::string out = testing::internal::GetCapturedStdout();
        // Once for all frames: two covariances (12 or 27 lines each), plus
        // six plain means for three dimensions.
        EXPECT_EQ(lineCount(out), dim == 2 ? 24 : 60);
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
