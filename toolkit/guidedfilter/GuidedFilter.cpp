#include "toolkit/guidedfilter/GuidedFilter.hpp"
#include "toolkit/common/DebugOutput.hpp"

#include "toolkit/common/CommonFunctions.hpp"
#include "toolkit/transport/ColorStatistics.hpp"

#include <opencv2/imgproc.hpp>

namespace {

// Debug images of the colour-guided filter.
const char* const kMeanGuideRFile = "0R.jpg";
const char* const kMeanGuideGFile = "0G.jpg";
const char* const kMeanGuideBFile = "0B.jpg";
const char* const kCovIpRFile = "cov_a_r.jpg";
const char* const kCoeffRFile = "a_r.jpg";
const char* const kCoeffGFile = "a_g.jpg";
const char* const kCoeffBFile = "a_b.jpg";
const char* const kOffsetFile = "b.jpg";
// The coefficient images hold values of about 0..1; they are stretched to 8 bits.
constexpr double kCoefficientImageScale = 255.0;

// Normalised box mean over an r x r window centred on each pixel, the border
// completed by reflect-101 mirroring.
cv::Mat boxfilter(const cv::Mat& I, int r)
{
    cv::Mat result;
    cv::blur(I, result, cv::Size(r, r), cv::Point(-1, -1), cv::BORDER_REFLECT_101);
    return result;
}

// mat itself when it has the depth already, else a converted copy (scale 1,
// offset 0: values are not rescaled).
cv::Mat convertTo(const cv::Mat& mat, int depth)
{
    if (mat.depth() == depth)
        return mat;
    cv::Mat result;
    mat.convertTo(result, depth, 1.0, 0.0);
    return result;
}

// The guide as the filter keeps it: a float guide deep-copied, any other
// converted to CV_32F, so it never shares pixels with the caller's.
cv::Mat workingGuide(const cv::Mat& I)
{
    if (I.depth() == CV_32F || I.depth() == CV_64F)
        return I.clone();
    return convertTo(I, CV_32F);
}

// Element-wise plane arithmetic at the planes' own depth.
cv::Mat mul(const cv::Mat& a, const cv::Mat& b)
{
    cv::Mat r;
    cv::multiply(a, b, r);
    return r;
}

cv::Mat add(const cv::Mat& a, const cv::Mat& b)
{
    cv::Mat r;
    cv::add(a, b, r);
    return r;
}

cv::Mat sub(const cv::Mat& a, const cv::Mat& b)
{
    cv::Mat r;
    cv::subtract(a, b, r);
    return r;
}

cv::Mat addScalar(const cv::Mat& a, double s)
{
    cv::Mat r;
    cv::add(a, cv::Scalar::all(s), r);
    return r;
}

// a / b with 0 wherever b is exactly 0. The filter is defined with that rule
// (a flat window has no slope); OpenCV 4 would give inf or NaN there.
void divideOrZero(const cv::Mat& a, const cv::Mat& b, const cv::Mat& zeroDivisor, cv::Mat& result)
{
    cv::divide(a, b, result);
    result.setTo(0, zeroDivisor);
}

} // namespace

// ---------------------------------------------------------------------------
// Driver

toolkit::guidedfilter::GuidedFilterImpl::~GuidedFilterImpl() = default;

cv::Mat toolkit::guidedfilter::GuidedFilterImpl::filter(const cv::Mat& p, int depth) const
{
    const cv::Mat p2 = convertTo(p, guideDepth);
    cv::Mat result;
    if (p.channels() == 1) {
        result = filterSingleChannel(p2);
    } else {
        std::vector<cv::Mat> planes;
        cv::split(p2, planes);
        for (cv::Mat& plane : planes)
            plane = filterSingleChannel(plane);
        cv::merge(planes, result);
    }
    return convertTo(result, depth == -1 ? p.depth() : depth);
}

// ---------------------------------------------------------------------------
// Single-channel guide

toolkit::guidedfilter::GuidedFilterMono::GuidedFilterMono(
    const cv::Mat& I, int kernelSize, double eps)
    : kernelSize(kernelSize)
    , eps(eps)
    , guide(workingGuide(I))
{
    guideDepth = guide.depth();
    meanGuide = boxfilter(guide, kernelSize);
    varGuide = sub(boxfilter(mul(guide, guide), kernelSize), mul(meanGuide, meanGuide));
}

cv::Mat toolkit::guidedfilter::GuidedFilterMono::filterSingleChannel(const cv::Mat& p) const
{
    const cv::Mat meanP = boxfilter(p, kernelSize);
    const cv::Mat meanIp = boxfilter(mul(guide, p), kernelSize);
    const cv::Mat covIp = sub(meanIp, mul(meanGuide, meanP));

    const cv::Mat divisor = addScalar(varGuide, eps);
    cv::Mat a;
    divideOrZero(covIp, divisor, divisor == 0, a);
    const cv::Mat b = sub(meanP, mul(a, meanGuide));

    return add(mul(boxfilter(a, kernelSize), guide), boxfilter(b, kernelSize));
}

cv::Mat toolkit::guidedfilter::GuidedFilterMono::filterColorChannelsMK(const cv::Mat& p) const
{
    return cv::Mat::zeros(p.rows, p.cols, CV_32FC3);
}

// ---------------------------------------------------------------------------
// Three-channel guide

toolkit::guidedfilter::GuidedFilterColor::GuidedFilterColor(
    const cv::Mat& I, int kernelSize, double eps)
    : kernelSize(kernelSize)
    , eps(eps)
{
    const cv::Mat guide = workingGuide(I);
    guideDepth = guide.depth();
    cv::split(guide, guideChannels);
    const cv::Mat& Ir = guideChannels[0];
    const cv::Mat& Ig = guideChannels[1];
    const cv::Mat& Ib = guideChannels[2];

    meanGuideR = boxfilter(Ir, kernelSize);
    toolkit::common::writeDebugImage(kMeanGuideRFile, meanGuideR);
    meanGuideG = boxfilter(Ig, kernelSize);
    toolkit::common::writeDebugImage(kMeanGuideGFile, meanGuideG);
    meanGuideB = boxfilter(Ib, kernelSize);
    toolkit::common::writeDebugImage(kMeanGuideBFile, meanGuideB);

    covRR = sub(boxfilter(mul(Ir, Ir), kernelSize), mul(meanGuideR, meanGuideR));
    covRG = sub(boxfilter(mul(Ir, Ig), kernelSize), mul(meanGuideR, meanGuideG));
    covRB = sub(boxfilter(mul(Ir, Ib), kernelSize), mul(meanGuideR, meanGuideB));
    covGG = sub(boxfilter(mul(Ig, Ig), kernelSize), mul(meanGuideG, meanGuideG));
    covGB = sub(boxfilter(mul(Ig, Ib), kernelSize), mul(meanGuideG, meanGuideB));
    covBB = sub(boxfilter(mul(Ib, Ib), kernelSize), mul(meanGuideB, meanGuideB));

    // Sigma + eps U; the stored covariances stay unregularised.
    const cv::Mat sRR = addScalar(covRR, eps);
    const cv::Mat sGG = addScalar(covGG, eps);
    const cv::Mat sBB = addScalar(covBB, eps);

    // Cofactors of the symmetric regularised matrix.
    invRR = sub(mul(sGG, sBB), mul(covGB, covGB));
    invRG = sub(mul(covGB, covRB), mul(covRG, sBB));
    invRB = sub(mul(covRG, covGB), mul(sGG, covRB));
    invGG = sub(mul(sRR, sBB), mul(covRB, covRB));
    invGB = sub(mul(covRB, covRG), mul(sRR, covGB));
    invBB = sub(mul(sRR, sGG), mul(covRG, covRG));

    // Determinant by expansion along the first row. A singular window (det
    // exactly 0) gets a zero inverse, so its coefficients are 0.
    const cv::Mat det = add(add(mul(invRR, sRR), mul(invRG, covRG)), mul(invRB, covRB));
    const cv::Mat singular = det == 0;
    for (cv::Mat* inv : { &invRR, &invRG, &invRB, &invGG, &invGB, &invBB })
        divideOrZero(*inv, det, singular, *inv);
}

cv::Mat toolkit::guidedfilter::GuidedFilterColor::filterSingleChannel(const cv::Mat& p) const
{
    const cv::Mat& Ir = guideChannels[0];
    const cv::Mat& Ig = guideChannels[1];
    const cv::Mat& Ib = guideChannels[2];

    const cv::Mat meanP = boxfilter(p, kernelSize);
    const cv::Mat meanIpR = boxfilter(mul(Ir, p), kernelSize);
    const cv::Mat meanIpG = boxfilter(mul(Ig, p), kernelSize);
    const cv::Mat meanIpB = boxfilter(mul(Ib, p), kernelSize);

    const cv::Mat covIpR = sub(meanIpR, mul(meanGuideR, meanP));
    const cv::Mat covIpG = sub(meanIpG, mul(meanGuideG, meanP));
    const cv::Mat covIpB = sub(meanIpB, mul(meanGuideB, meanP));
    toolkit::common::writeDebugImage(kCovIpRFile, covIpR);

    const cv::Mat aR = add(add(mul(invRR, covIpR), mul(invRG, covIpG)), mul(invRB, covIpB));
    const cv::Mat aG = add(add(mul(invRG, covIpR), mul(invGG, covIpG)), mul(invGB, covIpB));
    const cv::Mat aB = add(add(mul(invRB, covIpR), mul(invGB, covIpG)), mul(invBB, covIpB));
    toolkit::common::writeDebugImage(kCoeffRFile, aR * kCoefficientImageScale);
    toolkit::common::writeDebugImage(kCoeffGFile, aG * kCoefficientImageScale);
    toolkit::common::writeDebugImage(kCoeffBFile, aB * kCoefficientImageScale);

    const cv::Mat b
        = sub(sub(sub(meanP, mul(aR, meanGuideR)), mul(aG, meanGuideG)), mul(aB, meanGuideB));
    toolkit::common::writeDebugImage(kOffsetFile, b);

    return add(add(add(mul(boxfilter(aR, kernelSize), Ir), mul(boxfilter(aG, kernelSize), Ig)),
                   mul(boxfilter(aB, kernelSize), Ib)),
        boxfilter(b, kernelSize));
}

cv::Mat toolkit::guidedfilter::GuidedFilterColor::filterColorChannelsMK(const cv::Mat& p) const
{
    // The covariance planes are read as floats below.
    CV_Assert(guideDepth == CV_32F);
    CV_Assert(p.type() == CV_32FC3 && p.size() == guideChannels[0].size());

    cv::Mat pc[3];
    cv::split(p, pc);
    const cv::Mat m0 = boxfilter(pc[0], kernelSize);
    const cv::Mat m1 = boxfilter(pc[1], kernelSize);
    const cv::Mat m2 = boxfilter(pc[2], kernelSize);
    const cv::Mat P00 = sub(boxfilter(mul(pc[0], pc[0]), kernelSize), mul(m0, m0));
    const cv::Mat P01 = sub(boxfilter(mul(pc[0], pc[1]), kernelSize), mul(m0, m1));
    const cv::Mat P02 = sub(boxfilter(mul(pc[0], pc[2]), kernelSize), mul(m0, m2));
    const cv::Mat P11 = sub(boxfilter(mul(pc[1], pc[1]), kernelSize), mul(m1, m1));
    const cv::Mat P12 = sub(boxfilter(mul(pc[1], pc[2]), kernelSize), mul(m1, m2));
    const cv::Mat P22 = sub(boxfilter(mul(pc[2], pc[2]), kernelSize), mul(m2, m2));

    // Per-pixel 3 x 3 work in fixed buffers wrapped once, so the loop allocates nothing.
    cv::Matx33f covPBuf, covIBuf, mapBuf;
    cv::Mat covP(3, 3, CV_32FC1, covPBuf.val);
    cv::Mat covI(3, 3, CV_32FC1, covIBuf.val);
    cv::Mat map(3, 3, CV_32FC1, mapBuf.val);

    cv::Mat out(p.size(), CV_32FC3);
    for (int i = 0; i < p.rows; ++i) {
        const float *p00 = P00.ptr<float>(i), *p01 = P01.ptr<float>(i), *p02 = P02.ptr<float>(i);
        const float *p11 = P11.ptr<float>(i), *p12 = P12.ptr<float>(i), *p22 = P22.ptr<float>(i);
        const float *cRR = covRR.ptr<float>(i), *cRG = covRG.ptr<float>(i),
                    *cRB = covRB.ptr<float>(i);
        const float *cGG = covGG.ptr<float>(i), *cGB = covGB.ptr<float>(i),
                    *cBB = covBB.ptr<float>(i);
        const float *ir = guideChannels[0].ptr<float>(i), *ig = guideChannels[1].ptr<float>(i),
                    *ib = guideChannels[2].ptr<float>(i);
        const float *mr = meanGuideR.ptr<float>(i), *mg = meanGuideG.ptr<float>(i),
                    *mb = meanGuideB.ptr<float>(i);
        const float *mp0 = m0.ptr<float>(i), *mp1 = m1.ptr<float>(i), *mp2 = m2.ptr<float>(i);
        auto* o = out.ptr<cv::Vec3f>(i);
        for (int j = 0; j < p.cols; ++j) {
            covPBuf = cv::Matx33f(
                p00[j], p01[j], p02[j], p01[j], p11[j], p12[j], p02[j], p12[j], p22[j]);
            covIBuf = cv::Matx33f(
                cRR[j], cRG[j], cRB[j], cRG[j], cGG[j], cGB[j], cRB[j], cGB[j], cBB[j]);
            mapBuf = cv::Matx33f::zeros();
            toolkit::transport::closedFormMatrix(covI, covP, map, 3);

            const float dr = ir[j] - mr[j];
            const float dg = ig[j] - mg[j];
            const float db = ib[j] - mb[j];
            const cv::Matx33f& T = mapBuf;
            o[j][0] = T(0, 0) * dr + T(0, 1) * dg + T(0, 2) * db + mp0[j];
            o[j][1] = T(0, 1) * dr + T(1, 1) * dg + T(1, 2) * db + mp1[j];
            o[j][2] = T(0, 2) * dr + T(1, 2) * dg + T(2, 2) * db + mp2[j];
        }
    }
    return out;
}

// ---------------------------------------------------------------------------
// Facade

toolkit::guidedfilter::GuidedFilter::GuidedFilter(const cv::Mat& I, int r, double eps)
{
    if (!(I.channels() == 1 || I.channels() == 3))
        cv::error(cv::Error::StsAssert, "I.channels() == 1 || I.channels() == 3", "GuidedFilter",
            __FILE__, __LINE__);
    if (I.channels() == 1)
        impl = std::make_unique<GuidedFilterMono>(I, 2 * r + 1, eps);
    else
        impl = std::make_unique<GuidedFilterColor>(I, 2 * r + 1, eps);
}

toolkit::guidedfilter::GuidedFilter::~GuidedFilter() = default;

cv::Mat toolkit::guidedfilter::GuidedFilter::filter(const cv::Mat& p, int depth) const
{
    return impl->filter(p, depth);
}

cv::Mat toolkit::guidedfilter::guidedFilter(
    const cv::Mat& I, const cv::Mat& p, int r, double eps, int depth)
{
    return GuidedFilter(I, r, eps).filter(p, depth);
}
