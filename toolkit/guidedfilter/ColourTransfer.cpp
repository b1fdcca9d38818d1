#include "toolkit/guidedfilter/ColourTransfer.hpp"

#include "toolkit/guidedfilter/WindowSums.hpp"
#include "toolkit/transport/ColorStatistics.hpp"

using toolkit::guidedfilter::boxfilter;

namespace {

// Window means of three planes and their window covariances in the order
// 00, 01, 02, 11, 12, 22, each mean(x y) - mean(x) mean(y), plane-wise at
// the planes' depth.
void windowStatistics(const cv::Mat planes[3], int kernelSize, cv::Mat means[3], cv::Mat cov[6])
{
    for (int c = 0; c < 3; ++c)
        means[c] = boxfilter(planes[c], kernelSize);
    int i = 0;
    for (int a = 0; a < 3; ++a) {
        for (int b = a; b < 3; ++b) {
            cv::Mat product, meanProduct;
            cv::multiply(planes[a], planes[b], product);
            cv::multiply(means[a], means[b], meanProduct);
            cv::subtract(boxfilter(product, kernelSize), meanProduct, cov[i++]);
        }
    }
}

} // namespace

cv::Mat toolkit::guidedfilter::localColourTransfer(
    const cv::Mat& guide, const cv::Mat& p, int kernelSize)
{
    cv::Mat ic[3], pc[3], guideMeans[3], guideCov[6], pMeans[3], pCov[6];
    cv::split(guide, ic);
    cv::split(p, pc);
    windowStatistics(ic, kernelSize, guideMeans, guideCov);
    windowStatistics(pc, kernelSize, pMeans, pCov);

    // Per-pixel 3 x 3 work in fixed buffers wrapped once, so the loop allocates nothing.
    cv::Matx33f covPBuf, covIBuf, mapBuf;
    cv::Mat covP(3, 3, CV_32FC1, covPBuf.val);
    cv::Mat covI(3, 3, CV_32FC1, covIBuf.val);
    cv::Mat map(3, 3, CV_32FC1, mapBuf.val);

    cv::Mat out(p.size(), CV_32FC3);
    for (int i = 0; i < p.rows; ++i) {
        const float *p00 = pCov[0].ptr<float>(i), *p01 = pCov[1].ptr<float>(i),
                    *p02 = pCov[2].ptr<float>(i);
        const float *p11 = pCov[3].ptr<float>(i), *p12 = pCov[4].ptr<float>(i),
                    *p22 = pCov[5].ptr<float>(i);
        const float *cRR = guideCov[0].ptr<float>(i), *cRG = guideCov[1].ptr<float>(i),
                    *cRB = guideCov[2].ptr<float>(i);
        const float *cGG = guideCov[3].ptr<float>(i), *cGB = guideCov[4].ptr<float>(i),
                    *cBB = guideCov[5].ptr<float>(i);
        const float *ir = ic[0].ptr<float>(i), *ig = ic[1].ptr<float>(i), *ib = ic[2].ptr<float>(i);
        const float *mr = guideMeans[0].ptr<float>(i), *mg = guideMeans[1].ptr<float>(i),
                    *mb = guideMeans[2].ptr<float>(i);
        const float *mp0 = pMeans[0].ptr<float>(i), *mp1 = pMeans[1].ptr<float>(i),
                    *mp2 = pMeans[2].ptr<float>(i);
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
