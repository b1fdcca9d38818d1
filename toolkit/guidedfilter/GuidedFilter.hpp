// Guided image filter: edge-preserving smoothing of an input p under the
// control of a guide I (K. He, J. Sun, X. Tang, "Guided Image Filtering",
// ECCV 2010 / IEEE TPAMI 2013). Inside every square window of side 2r + 1 the
// output is modelled as a linear function of the guide, q = a I + b (one
// coefficient per guide channel), with a and b fitted to p by least squares
// with regularisation eps and then averaged over all windows covering a pixel.
//
// Contract of the filter (GuidedFilter, guidedFilter):
// - Guide I: one or three channels, any depth. A CV_32F or CV_64F guide is
//   deep-copied and filtered at that depth; any other depth is converted to
//   CV_32F without rescaling (an 8-bit guide keeps its 0..255 values). A guide
//   with another channel count raises cv::Exception with code -215
//   (cv::Error::StsAssert), message "I.channels() == 1 || I.channels() == 3"
//   and function "GuidedFilter".
// - Input p: any channel count and depth, the guide's rows and columns. It is
//   converted to the guide's working depth (no rescaling) and filtered plane
//   by plane, each plane with the guide's per-pixel formula.
// - r: window radius in pixels; r = 0 gives a 1 x 1 window and returns p.
// - eps: regularisation added to the guide (co)variance, in the squared units
//   of the guide values as stored (for an 8-bit guide, 0..255 units squared).
// - depth: output depth; -1 (exactly) means p's depth. Conversion to an
//   integer depth rounds and saturates.
// - Window means are cv::blur with BORDER_REFLECT_101 (its results bit for
//   bit, computed row by row): the edge pixel is not repeated (...dcb|abcd...),
//   so a constant image stays constant at the border.
// - Where a divisor (the regularised variance, or the determinant of the
//   regularised 3 x 3 guide covariance) is exactly 0, the quotient is 0: the
//   coefficients a are then 0 and the output is p's window mean averaged once more.
// - A three-channel guide writes debug images to the working directory (see
//   GuidedFilterColor); a single-channel guide writes nothing. Nothing is printed.
// - The work is shared among OpenCV's worker threads (cv::parallel_for_); the
//   result does not depend on their number.
#pragma once

#include <opencv2/core.hpp>

#include <memory>

namespace toolkit {
namespace guidedfilter {

// Base of the two filter variants: holds the working guide and runs the
// driver. The guide is kept as it was given (deep-copied or converted) and
// its window statistics are computed again, row by row, in every call, so
// that no whole-image intermediate is ever allocated; every operation is
// const and keeps nothing between calls.
class GuidedFilterImpl {
public:
    virtual ~GuidedFilterImpl();

    // Filters one plane p (single channel, the guide's size and working depth)
    // and returns the result at that depth.
    cv::Mat filterSingleChannel(const cv::Mat& p) const;

    // Local colour transfer of a three-channel p onto the guide's structure
    // (see GuidedFilterColor); the driver `filter` never calls it.
    virtual cv::Mat filterColorChannelsMK(const cv::Mat& p) const = 0;

    // The driver: filters every plane of p (converted to the working depth)
    // with the guide, as if plane by plane and merged back, and converts the
    // result to `depth` (-1: p's depth).
    cv::Mat filter(const cv::Mat& p, int depth = -1) const;

    GuidedFilterImpl(const GuidedFilterImpl&) = delete;
    GuidedFilterImpl& operator=(const GuidedFilterImpl&) = delete;

protected:
    // I must have `channels` channels; kernelSize is the window side (2r + 1).
    GuidedFilterImpl(const cv::Mat& I, int channels, int kernelSize, double eps);

    cv::Mat guide; // the working guide, CV_32F or CV_64F, never shared with the caller
    int kernelSize;
    double eps;
    int guideDepth; // guide.depth()
};

// The variant for a single-channel guide: a = cov(I, p) / (var(I) + eps),
// b = mean(p) - a mean(I), q = mean(a) I + mean(b). Writes no file.
class GuidedFilterMono : public GuidedFilterImpl {
public:
    // I must have one channel; kernelSize is the window side (2r + 1), not the radius.
    GuidedFilterMono(const cv::Mat& I, int kernelSize, double eps);

    // A single-channel guide has no colour transfer: returns a zero CV_32FC3
    // matrix with p's rows and columns.
    cv::Mat filterColorChannelsMK(const cv::Mat& p) const override;
};

// The variant for a three-channel guide. Its planes are labelled r, g, b in
// storage order (channels 0, 1, 2; for a BGR image "r" is the blue plane);
// nothing is reordered. Per window q = a_r I_r + a_g I_g + a_b I_b + b, with
// (a_r, a_g, a_b) = (Sigma + eps U)^-1 cov(I, p), Sigma the 3 x 3 window
// covariance of the guide and U the identity.
//
// Debug images, written to the working directory (overwriting; float planes
// unscaled, so the writer rounds and saturates them to 0..255):
//   constructor:          "0R.jpg", "0G.jpg", "0B.jpg": window means of guide
//                         channels 0, 1, 2;
//   filterSingleChannel,  "cov_a_r.jpg": covariance of guide channel 0 with p;
//   filter:               "a_r.jpg", "a_g.jpg", "a_b.jpg": coefficients x 255;
//                         "b.jpg": offset b.
// A multi-channel p leaves the images of its last channel (only those are
// written). The one-call guidedFilter writes all eight once the result is
// complete. A failed write is ignored. Concurrent filters overwrite each
// other's debug images.
class GuidedFilterColor : public GuidedFilterImpl {
public:
    // I must have three channels; kernelSize is the window side (2r + 1).
    GuidedFilterColor(const cv::Mat& I, int kernelSize, double eps);

    // Local Monge-Kantorovich colour transfer: at every pixel, the symmetric
    // map T that carries the guide's window covariance (unregularised, its
    // diagonal raised to at least 7.5 by closedFormMatrix) onto p's window
    // covariance, applied to the guide's deviation from its window mean, plus
    // p's window mean: out_k = sum_c T(k, c) (I_c - mean(I_c)) + mean(p_k).
    // p is CV_32FC3 of the guide's size and the guide must be CV_32F (else
    // cv::Exception); the result is CV_32FC3. Writes no file. Far slower than
    // filtering: two eigen-decompositions and one SVD per pixel.
    cv::Mat filterColorChannelsMK(const cv::Mat& p) const override;
};

// The filter facade: checks the guide's channel count, builds the variant for
// it with window side 2r + 1 and owns it exclusively (neither copyable nor
// assignable). One facade filters any number of inputs against its guide.
class GuidedFilter {
public:
    GuidedFilter(const cv::Mat& I, int r, double eps);
    ~GuidedFilter();

    GuidedFilter(const GuidedFilter&) = delete;
    GuidedFilter& operator=(const GuidedFilter&) = delete;

    // p filtered under the guide, at `depth` (-1: p's depth).
    cv::Mat filter(const cv::Mat& p, int depth = -1) const;

private:
    std::unique_ptr<GuidedFilterImpl> impl;
};

// One call: the result of GuidedFilter(I, r, eps).filter(p, depth), and the
// same debug images, without the facade's copy of the guide.
cv::Mat guidedFilter(const cv::Mat& I, const cv::Mat& p, int r, double eps, int depth = -1);

} // namespace guidedfilter
} // namespace toolkit
