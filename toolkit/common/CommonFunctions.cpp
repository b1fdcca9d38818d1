#include "toolkit/common/CommonFunctions.hpp"

#include "toolkit/common/DebugOutput.hpp"
#include "toolkit/common/InputChecks.hpp"

#include <opencv2/imgcodecs.hpp>

#include <array>
#include <cmath>
#include <iostream>
#include <sstream>

namespace {

// L* runs over 0..100 and is stored over 0..255.
constexpr double kLabLightnessScale = 2.55;
// The double nearest 100 / 255.
constexpr double kLabLightnessUnscale = 0.39215686274509803;
// Neutral chroma in the 0..255 range.
constexpr float kLabChromaOffset = 128.0f;

} // namespace

void toolkit::common::scaleLab(cv::Mat& imgLab)
{
    requireType(imgLab, CV_32FC3, "scaleLab", "imgLab");
    for (int i = 0; i < imgLab.rows; ++i) {
        auto* row = imgLab.ptr<cv::Vec3f>(i);
        for (int j = 0; j < imgLab.cols; ++j) {
            row[j][0] = static_cast<float>(static_cast<double>(row[j][0]) * kLabLightnessScale);
            row[j][1] = row[j][1] + kLabChromaOffset;
            row[j][2] = row[j][2] + kLabChromaOffset;
        }
    }
}

void toolkit::common::rescaleLab(cv::Mat& imgLab)
{
    requireType(imgLab, CV_32FC3, "rescaleLab", "imgLab");
    for (int i = 0; i < imgLab.rows; ++i) {
        auto* row = imgLab.ptr<cv::Vec3f>(i);
        for (int j = 0; j < imgLab.cols; ++j) {
            row[j][0] = static_cast<float>(static_cast<double>(row[j][0]) * kLabLightnessUnscale);
            row[j][1] = row[j][1] - kLabChromaOffset;
            row[j][2] = row[j][2] - kLabChromaOffset;
        }
    }
}

const std::array<float, 256>& toolkit::common::normalisationTable()
{
    static const std::array<float, 256> table = [] {
        std::array<float, 256> t {};
        for (int v = 0; v < 256; ++v)
            t[v] = static_cast<float>(v / 255.0);
        return t;
    }();
    return table;
}

void toolkit::common::normImg(cv::Mat& img, cv::Mat& imgNorm)
{
    requireType(img, CV_8UC3, "normImg", "img");
    requireType(imgNorm, CV_32FC3, "normImg", "imgNorm");
    requireAtLeast(imgNorm, img.rows, img.cols, "normImg", "imgNorm");
    const auto& table = normalisationTable();
    for (int i = 0; i < img.rows; ++i) {
        const uchar* src = img.ptr<uchar>(i);
        float* dst = imgNorm.ptr<float>(i);
        for (int k = 0; k < img.cols * 3; ++k)
            dst[k] = table[src[k]];
    }
}

void toolkit::common::getFinalImg(cv::Mat& img, std::string name)
{
    requireTypeOrEmpty(img, CV_32FC3, "getFinalImg", "img");
    for (int i = 0; i < img.rows; ++i) {
        float* row = img.ptr<float>(i);
        for (int k = 0; k < img.cols * 3; ++k)
            row[k] = row[k] * 255.0f;
    }
    writeImage(name, img);
}

std::string toolkit::common::convertIntToString(int i)
{
    std::stringstream stream;
    stream << i;
    return stream.str();
}

std::string toolkit::common::remove_extension(const std::string& filename)
{
    const auto dot = filename.find_last_of('.');
    if (dot == std::string::npos)
        return filename;
    return filename.substr(0, dot);
}

float toolkit::common::clip(float n, float lower, float upper)
{
    // Written as two comparisons that fail on NaN, so a NaN n falls through to
    // lower, and lower wins whenever the bounds are inverted.
    const float m = (upper < n) ? upper : n;
    return (lower < m) ? m : lower;
}

float toolkit::common::computeMean(cv::Mat& plane)
{
    requireTypeOrEmpty(plane, CV_32FC1, "computeMean", "plane");
    float sum = 0.0f;
    int count = 0;
    for (int i = 0; i < plane.rows; ++i) {
        const float* row = plane.ptr<float>(i);
        for (int j = 0; j < plane.cols; ++j) {
            if (std::isnan(row[j]))
                continue;
            sum += row[j];
            ++count;
        }
    }
    toolkit::common::progress() << sum << " " << count << std::endl;
    if (count == 0)
        return sum;
    return sum / static_cast<float>(count);
}

float toolkit::common::computeStdDev(const cv::Mat& plane, float& mean)
{
    requireTypeOrEmpty(plane, CV_32FC1, "computeStdDev", "plane");
    float sum = 0.0f;
    int count = 0;
    const float meanSquared = mean * mean;
    for (int i = 0; i < plane.rows; ++i) {
        const float* row = plane.ptr<float>(i);
        for (int j = 0; j < plane.cols; ++j) {
            const float v = row[j];
            if (std::isnan(v))
                continue;
            sum += v * v - meanSquared;
            ++count;
        }
    }
    return std::sqrt(sum / static_cast<float>(count));
}

void toolkit::common::dotProduct(const cv::Mat& A, const cv::Mat& B, cv::Mat& C)
{
    requireType(A, CV_32FC1, "dotProduct", "A");
    requireType(B, CV_32FC1, "dotProduct", "B");
    requireType(C, CV_32FC1, "dotProduct", "C");
    if (A.rows != A.cols)
        requireSameSize(A, A.t(), "dotProduct", "A and its transpose");
    requireSameSize(A, B, "dotProduct", "A and B");
    requireSameSize(A, C, "dotProduct", "A and C");
    const int n = A.rows;
    for (int i = 0; i < n; ++i) {
        for (int j = 0; j < A.cols; ++j) {
            // Accumulated in C itself, so a caller passing C as A or B sees the
            // same result as the element-by-element definition.
            C.at<float>(i, j) = 0.0f;
            for (int k = 0; k < n; ++k)
                C.at<float>(i, j) += A.at<float>(i, k) * B.at<float>(k, j);
        }
    }
}
