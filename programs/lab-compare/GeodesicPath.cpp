#include "programs/lab-compare/LabCompare.hpp"

#include "toolkit/common/CommonFunctions.hpp"
#include "toolkit/transport/MongeTransform.hpp"

#include <opencv2/imgproc.hpp>

namespace {

// Frames 0 .. kPathSteps at t = i / kPathSteps.
constexpr int kPathSteps = 10;

} // namespace

void labcompare::getGeodesicPath(cv::Mat& inpImg, cv::Mat& tarImg, cv::Mat& imgNorm, int dim)
{
    CV_Assert(inpImg.type() == CV_32FC3 && tarImg.type() == CV_32FC3 && (dim == 2 || dim == 3));

    cv::Mat newVals(inpImg.rows, inpImg.cols, CV_32FC3);
    cv::Mat covs(dim, dim, CV_32FC1);
    cv::Mat means(1, dim, CV_32FC1);
    cv::Mat targetMeans(1, dim, CV_32FC1);
    cv::Mat mapped(inpImg.rows, inpImg.cols, CV_32FC(dim));
    // Arguments applyOptimalTransport does not use.
    cv::Mat unusedCovInverse(3, 3, CV_32FC1);
    cv::Mat unusedTargetCov(2, 2, CV_32FC1);

    // With two dimensions the frame keeps the input's lightness and takes the
    // two mapped chromatic channels.
    const cv::Mat sources[] = { inpImg, mapped };
    const int lightnessAndChroma[] = { 0, 0, 3, 1, 4, 2 };

    for (int i = 0; i <= kPathSteps; ++i) {
        const double t = static_cast<double>(i) / kPathSteps;
        toolkit::transport::applyOptimalTransport(inpImg, tarImg, mapped, unusedCovInverse, means,
            unusedTargetCov, targetMeans, covs, static_cast<float>(t), dim);
        if (dim == 3)
            mapped.copyTo(newVals);
        else
            cv::mixChannels(sources, 2, &newVals, 1, lightnessAndChroma, 3);

        toolkit::common::rescaleLab(newVals);
        cv::cvtColor(newVals, imgNorm, cv::COLOR_Lab2BGR);
        toolkit::common::getFinalImg(imgNorm, toolkit::common::convertIntToString(i) + ".jpg");
    }
}
