#include "toolkit/exposure/Alignment.hpp"

#include "toolkit/common/CommonFunctions.hpp"
#include "toolkit/common/InputChecks.hpp"

#include <opencv2/imgproc.hpp>
#include <opencv2/video.hpp>

#include <vector>

using toolkit::common::computeMean;
using toolkit::common::computeStdDev;
using toolkit::common::requireSameSize;
using toolkit::common::requireType;

namespace {

// Farneback settings for a flash/no-flash pair: a deep pyramid for large
// displacements, a 15-pixel box window.
constexpr double kPyramidScale = 0.5;
constexpr int kPyramidLevels = 9;
constexpr int kWindowSize = 15;
constexpr int kIterations = 3;
constexpr int kPolyNeighbourhood = 5;
constexpr double kPolySigma = 0.2;
constexpr int kFlowFlags = 0;

// The flow runs on grey levels of the 0..255 scale.
constexpr double kByteScale = 255.0;

cv::Mat greyOf(const cv::Mat& bgr255)
{
    cv::Mat grey(bgr255.size(), CV_32FC1);
    cv::cvtColor(bgr255, grey, cv::COLOR_BGR2GRAY);
    return grey;
}

} // namespace

void toolkit::exposure::calculateOpticalFlow(cv::Mat& first, cv::Mat& second, cv::Mat& output)
{
    requireType(first, CV_32FC3, "calculateOpticalFlow", "first");
    requireType(second, CV_32FC3, "calculateOpticalFlow", "second");
    requireSameSize(first, second, "calculateOpticalFlow", "the two photographs");
    // Scaled copies rather than scaling the inputs in place and back: the
    // same photograph may be passed twice (or as the output), and the
    // caller's pixels are left exactly as they were.
    const cv::Mat first255 = first * kByteScale;
    const cv::Mat second255 = second * kByteScale;

    cv::Mat flow;
    cv::calcOpticalFlowFarneback(greyOf(second255), greyOf(first255), flow, kPyramidScale,
        kPyramidLevels, kWindowSize, kIterations, kPolyNeighbourhood, kPolySigma, kFlowFlags);

    cv::Mat map(flow.size(), CV_32FC2);
    for (int y = 0; y < flow.rows; ++y) {
        const cv::Vec2f* d = flow.ptr<cv::Vec2f>(y);
        cv::Vec2f* m = map.ptr<cv::Vec2f>(y);
        for (int x = 0; x < flow.cols; ++x)
            m[x] = cv::Vec2f(static_cast<float>(x) + d[x][0], static_cast<float>(y) + d[x][1]);
    }

    cv::Mat warped;
    cv::remap(first255, warped, map, cv::noArray(), cv::INTER_NEAREST, cv::BORDER_CONSTANT,
        cv::Scalar::all(0));
    warped /= kByteScale;
    warped.copyTo(output);
}

void toolkit::exposure::alterNonFlashBrightness(
    cv::Mat& source, cv::Mat& reference, cv::Mat& output)
{
    requireType(source, CV_32FC3, "alterNonFlashBrightness", "source");
    requireType(reference, CV_32FC3, "alterNonFlashBrightness", "reference");
    // The lightness is rewritten over the reference's rows and columns in the
    // source's planes: a size mismatch would read and write out of bounds.
    if (source.size() != reference.size())
        CV_Error(cv::Error::StsUnmatchedSizes,
            "alterNonFlashBrightness needs source and reference of one size");

    cv::Mat sourceLab, referenceLab(reference.size(), CV_32FC3);
    cv::cvtColor(source, sourceLab, cv::COLOR_BGR2Lab);
    cv::cvtColor(reference, referenceLab, cv::COLOR_BGR2Lab);

    std::vector<cv::Mat> src, ref;
    cv::split(sourceLab, src);
    cv::split(referenceLab, ref);

    float ms = computeMean(src[0]);
    float mr = computeMean(ref[0]);
    const float ss = computeStdDev(src[0], ms);
    const float sr = computeStdDev(ref[0], mr);
    // A constant lightness has ss = 0 (or NaN, when float rounding makes the
    // sum of v^2 - mean^2 slightly negative): it cannot be stretched, only
    // moved to the reference mean. A reference deviation that rounding made
    // NaN is a zero spread.
    const bool stretch = ss > 0.0f;
    const float srUsed = sr > 0.0f ? sr : 0.0f;

    for (int i = 0; i < reference.rows; ++i) {
        float* L = src[0].ptr<float>(i);
        for (int j = 0; j < reference.cols; ++j)
            L[j] = stretch ? ((L[j] - ms) * srUsed) / ss + mr : (L[j] - ms) + mr;
    }

    cv::merge(src, referenceLab);
    cv::Mat result;
    cv::cvtColor(referenceLab, result, cv::COLOR_Lab2BGR);
    result.copyTo(output);
}
