// Durand-Dorsey tone mapping ("Fast bilateral filtering for the display of
// high-dynamic-range images", SIGGRAPH 2002): the log luminance is split by a
// bilateral filter into a base layer, which is compressed to a target
// contrast, and a detail layer, which is kept.
//
// OpenCV 4 moved its version to the contrib xphoto module and Debian's build
// leaves it out, so the toolkit carries its own with the same parameters.
#pragma once

#include <opencv2/core.hpp>

namespace toolkit {
namespace exposure {

class TonemapDurand {
public:
    // gamma: the output is raised to 1 / gamma. contrast: the natural-log
    // range the base layer is compressed to. saturation: exponent of each
    // channel's ratio to the grey level. sigmaSpace (pixels) and sigmaColor
    // (log-luminance units): the bilateral filter's sigmas, passed as given.
    explicit TonemapDurand(float gamma = 1.0f, float contrast = 4.0f, float saturation = 1.0f,
        float sigmaSpace = 2.0f, float sigmaColor = 2.0f);

    // Tone-maps an HDR image: src is CV_32FC3 (any channel order; the grey
    // weights 0.299, 0.587, 0.114 go to channels 0, 1, 2 as stored), any
    // non-negative scale. dst receives a new CV_32FC3 of src's size, values
    // roughly in [0, 1] but not clipped; a pixel that is black in src stays
    // black. dst may be src. Throws cv::Exception for any other type.
    void process(const cv::Mat& src, cv::Mat& dst) const;

    float gamma() const { return gamma_; }
    float contrast() const { return contrast_; }
    float saturation() const { return saturation_; }
    float sigmaSpace() const { return sigmaSpace_; }
    float sigmaColor() const { return sigmaColor_; }

private:
    float gamma_;
    float contrast_;
    float saturation_;
    float sigmaSpace_;
    float sigmaColor_;
};

// Stands where OpenCV 3 code calls cv::createTonemapDurand(gamma, contrast,
// saturation, sigma_space, sigma_color)->process(src, dst).
cv::Ptr<TonemapDurand> createTonemapDurand(float gamma = 1.0f, float contrast = 4.0f,
    float saturation = 1.0f, float sigmaSpace = 2.0f, float sigmaColor = 2.0f);

} // namespace exposure
} // namespace toolkit
