// Uses the toolkit as a program of another project would: normalises a small
// 8-bit image and runs the six-exposure loop, which needs the library's
// OpenMP runtime at link time only. Prints "normImg 0.2, exposures 6", then
// what its own calls into the system's libjpeg, libpng and OpenCV's matrix
// routines give (SystemLibraries.hpp).
#include "SystemLibraries.hpp"
#include "toolkit/common/CommonFunctions.hpp"
#include "toolkit/exposure/ExposureStacks.hpp"

#include <opencv2/core.hpp>

#include <atomic>
#include <iostream>

int main()
{
    cv::Mat image(2, 3, CV_8UC3, cv::Scalar(0, 51, 255));
    cv::Mat normalised(image.size(), CV_32FC3);
    toolkit::common::normImg(image, normalised);

    std::atomic<int> exposures { 0 };
    toolkit::exposure::forEachExposure([&](int) { ++exposures; });

    std::cout << "normImg " << normalised.at<cv::Vec3f>(1, 2)[1] << ", exposures " << exposures
              << std::endl;
    std::cout << systemLibraryFigures() << std::flush;
    return 0;
}
