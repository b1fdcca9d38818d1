#include "toolkit/color/StructureTensor.hpp"
#include "toolkit/common/DebugOutput.hpp"

#include "toolkit/common/CommonFunctions.hpp"

#include <opencv2/imgproc.hpp>

#include <cmath>
#include <iostream>

namespace {

// Sets where the weight leaves 0.5: at an eigenvalue gap of 1e5 the exponent is
// -1, a gap reached only by clear edges in images scaled to 0..255. Exactly
// representable as a float, so the quotient below is a plain float division.
constexpr float kOrientationScale = 1e10f;

// Planes in 0..1 become visible 8-bit debug images.
constexpr double kDebugScale = 255.0;

// k from the float kernel size, truncated towards zero. Checked here rather
// than left to the Gaussian filter so that a NaN or huge size (whose conversion
// to int is undefined) is refused as well, and before any output.
int gaussianWindow(float kernelSize)
{
    // Written so that NaN fails the comparison.
    if (!(kernelSize >= 1.0f && kernelSize < 2147483648.0f))
        CV_Error(cv::Error::StsBadSize, "the Gaussian window must be odd and positive");
    const int k = static_cast<int>(kernelSize);
    if (k % 2 == 0)
        CV_Error(cv::Error::StsBadSize, "the Gaussian window must be odd and positive");
    return k;
}

void gaussian(const cv::Mat& src, cv::Mat& dst, int k)
{
    cv::GaussianBlur(src, dst, cv::Size(k, k), 0.0, 0.0, cv::BORDER_REFLECT_101);
}

// 0.5 + 0.5 exp(-1e10 / (l1 - l2)^2). The quotient and the exponential are in
// float, the blend in double. A zero gap gives exp(-inf) = 0, so flat and
// isotropic regions keep 0.5.
float orientationWeight(float lambda1, float lambda2)
{
    const float gap = lambda1 - lambda2;
    const float damping = std::exp(-kOrientationScale / (gap * gap));
    return static_cast<float>(0.5 + 0.5 * static_cast<double>(damping));
}

float coherence(float lambda1, float lambda2)
{
    const float ratio = (lambda1 - lambda2) / (lambda2 + lambda1);
    return ratio * ratio;
}

} // namespace

void toolkit::color::computeStructuralTensor(
    cv::Mat& image, cv::Mat& structureWeight, float kernelSize)
{
    const int k = gaussianWindow(kernelSize);
    if (image.empty() || image.channels() != 3)
        CV_Error(cv::Error::StsBadArg, "the structure tensor needs a three-channel image");
    // The weight is written pixel by pixel; a smaller or differently typed
    // matrix would be written out of bounds.
    if (structureWeight.type() != CV_32FC1 || structureWeight.size() != image.size())
        CV_Error(
            cv::Error::StsUnmatchedSizes, "structureWeight must be CV_32FC1 of the image's size");

    const int rows = image.rows;
    const int cols = image.cols;

    cv::Mat blurred;
    gaussian(image, blurred, k);
    toolkit::common::writeDebugImage("inputGauss.jpg", blurred);

    cv::Mat planes[3];
    cv::split(blurred, planes);
    cv::Mat gx[3];
    cv::Mat gy[3];
    for (int c = 0; c < 3; ++c) {
        cv::Sobel(planes[c], gx[c], CV_32F, 1, 0, 3, 1.0, 0.0, cv::BORDER_REFLECT_101);
        cv::Sobel(planes[c], gy[c], CV_32F, 0, 1, 3, 1.0, 0.0, cv::BORDER_REFLECT_101);
    }
    toolkit::common::writeDebugImage("sobel.jpg", gx[0]);

    // The tensor is symmetric: J01 = J10, and smoothing the same plane with the
    // same filter gives the same result, so one plane serves both.
    cv::Mat j00(rows, cols, CV_32FC1);
    cv::Mat j10(rows, cols, CV_32FC1);
    cv::Mat j11(rows, cols, CV_32FC1);
    for (int i = 0; i < rows; ++i) {
        const float* x0 = gx[0].ptr<float>(i);
        const float* x1 = gx[1].ptr<float>(i);
        const float* x2 = gx[2].ptr<float>(i);
        const float* y0 = gy[0].ptr<float>(i);
        const float* y1 = gy[1].ptr<float>(i);
        const float* y2 = gy[2].ptr<float>(i);
        float* r00 = j00.ptr<float>(i);
        float* r10 = j10.ptr<float>(i);
        float* r11 = j11.ptr<float>(i);
        for (int j = 0; j < cols; ++j) {
            r00[j] = x0[j] * x0[j] + x1[j] * x1[j] + x2[j] * x2[j];
            r11[j] = y0[j] * y0[j] + y1[j] * y1[j] + y2[j] * y2[j];
            r10[j] = x0[j] * y0[j] + x1[j] * y1[j] + x2[j] * y2[j];
        }
    }
    toolkit::common::writeDebugImage("sobelMatr.jpg", j10);

    gaussian(j00, j00, k);
    gaussian(j10, j10, k);
    gaussian(j11, j11, k);
    toolkit::common::writeDebugImage("sobelGauss.jpg", j10);

    cv::Mat coherencePlane(rows, cols, CV_32FC1);
    // Reused for every pixel; cv::eigen keeps outputs of the right size and type.
    cv::Mat tensor(2, 2, CV_32FC1);
    cv::Mat eigenvalues(2, 1, CV_32FC1);
    cv::Mat eigenvectors(2, 2, CV_32FC1);
    float* t = tensor.ptr<float>();
    for (int i = 0; i < rows; ++i) {
        const float* r00 = j00.ptr<float>(i);
        const float* r10 = j10.ptr<float>(i);
        const float* r11 = j11.ptr<float>(i);
        float* weight = structureWeight.ptr<float>(i);
        float* coh = coherencePlane.ptr<float>(i);
        for (int j = 0; j < cols; ++j) {
            t[0] = r00[j];
            t[1] = r10[j];
            t[2] = r10[j];
            t[3] = r11[j];
            cv::eigen(tensor, eigenvalues, eigenvectors);
            if (i == 0 && j == 0) {
                const float s = std::sqrt(r00[j] + r11[j]);
                const cv::Mat scaled = eigenvectors * static_cast<double>(s);
                toolkit::common::progress()
                    << scaled << "eig V" << eigenvalues << " " << s << std::endl;
            }
            const float lambda1 = eigenvalues.at<float>(0);
            const float lambda2 = eigenvalues.at<float>(1);
            weight[j] = orientationWeight(lambda1, lambda2);
            coh[j] = coherence(lambda1, lambda2);
        }
    }

    toolkit::common::writeDebugImage("tensorX.jpg", gx[0] * kDebugScale);
    toolkit::common::writeDebugImage("tensor.jpg", structureWeight * kDebugScale);
    toolkit::common::writeDebugImage("coherence.jpg", coherencePlane * kDebugScale);
}
