#include "toolkit/transport/GeodesicPath.hpp"

#include "toolkit/common/CommonFunctions.hpp"
#include "toolkit/transport/ColorStatistics.hpp"
#include "toolkit/transport/TransportSteps.hpp"

#include <opencv2/imgproc.hpp>

namespace {

// Frames 0 .. kPathSteps at t = i / kPathSteps.
constexpr int kPathSteps = 10;

} // namespace

void toolkit::transport::getGeodesicPath(
    cv::Mat& inpImg, cv::Mat& tarImg, cv::Mat& imgNorm, int dim)
{
    CV_Assert(inpImg.type() == CV_32FC3 && tarImg.type() == CV_32FC3 && (dim == 2 || dim == 3));

    // What does not depend on t: both Gaussians and the full map between them.
    cv::Mat covIn(dim, dim, CV_32FC1);
    cv::Mat covTar(dim, dim, CV_32FC1);
    computeCovariance(inpImg, covIn, dim);
    computeCovariance(tarImg, covTar, dim);
    const GaussianPair pair = gaussianPair(inpImg, tarImg, covIn, covTar, dim);

    cv::Mat newVals(inpImg.rows, inpImg.cols, CV_32FC3);
    cv::Mat mapped(inpImg.rows, inpImg.cols, CV_32FC(dim));
    // With two dimensions the frame keeps the input's lightness and takes the
    // two mapped chromatic channels.
    const cv::Mat sources[] = { inpImg, mapped };
    const int lightnessAndChroma[] = { 0, 0, 3, 1, 4, 2 };

    for (int i = 0; i <= kPathSteps; ++i) {
        const float t = static_cast<float>(static_cast<double>(i) / kPathSteps);
        mapAlongGeodesic(pair, inpImg, tarImg, t, mapped);

        if (dim == 3)
            mapped.copyTo(newVals);
        else
            cv::mixChannels(sources, 2, &newVals, 1, lightnessAndChroma, 3);

        toolkit::common::rescaleLab(newVals);
        cv::cvtColor(newVals, imgNorm, cv::COLOR_Lab2BGR);
        toolkit::common::getFinalImg(imgNorm, toolkit::common::convertIntToString(i) + ".jpg");
    }
}
