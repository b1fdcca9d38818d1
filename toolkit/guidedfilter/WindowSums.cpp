#include "toolkit/guidedfilter/WindowSums.hpp"

#include <opencv2/imgproc.hpp>

namespace {

// Sums along rows over windows of k for L planes and R rows at once: in[r]
// holds width + k - 1 border-completed values of each plane, out[r] receives
// width sums of each; both interleave the planes with `stride` values per
// pixel (the L planes summed here being the first L of them).
template <int L, int R>
void rowSumsOf(const double* const* in, double* const* out, int width, int k, int stride)
{
    if (k == 3 || k == 5) {
        for (int r = 0; r < R; ++r)
            for (int x = 0; x < width; ++x) {
                const double* v = in[r] + static_cast<size_t>(x) * stride;
                double* o = out[r] + static_cast<size_t>(x) * stride;
                for (int l = 0; l < L; ++l) {
                    double sum = v[l] + v[stride + l] + v[2 * stride + l];
                    if (k == 5)
                        sum = sum + v[3 * stride + l] + v[4 * stride + l];
                    o[l] = sum;
                }
            }
        return;
    }
    double s[R][L] = {};
    for (int r = 0; r < R; ++r)
        for (int j = 0; j < k; ++j)
            for (int l = 0; l < L; ++l)
                s[r][l] += in[r][static_cast<size_t>(j) * stride + l];
    for (int r = 0; r < R; ++r)
        for (int l = 0; l < L; ++l)
            out[r][l] = s[r][l];
    for (int x = 1; x < width; ++x) {
        const size_t added = static_cast<size_t>(x + k - 1) * stride;
        const size_t removed = static_cast<size_t>(x - 1) * stride;
        const size_t at = static_cast<size_t>(x) * stride;
        for (int r = 0; r < R; ++r) {
            for (int l = 0; l < L; ++l) {
                s[r][l] += in[r][added + l] - in[r][removed + l];
                out[r][at + l] = s[r][l];
            }
        }
    }
}

} // namespace

cv::Mat toolkit::guidedfilter::boxfilter(const cv::Mat& I, int r)
{
    cv::Mat result;
    cv::blur(I, result, cv::Size(r, r), cv::Point(-1, -1), cv::BORDER_REFLECT_101);
    return result;
}

void toolkit::guidedfilter::rowSums(
    const LaneGroups& groups, const double* const in[2], double* const out[2], int width, int k)
{
    for (size_t g = 0; g < groups.first.size(); ++g) {
        const int f = groups.first[g], L = groups.sizes[g], stride = groups.lanes;
        const double* const i2[2] = { in[0] + f, in[1] == nullptr ? nullptr : in[1] + f };
        double* const o2[2] = { out[0] + f, out[1] == nullptr ? nullptr : out[1] + f };
        const bool pair = in[1] != nullptr;
        if (L == 8)
            pair ? rowSumsOf<8, 2>(i2, o2, width, k, stride)
                 : rowSumsOf<8, 1>(i2, o2, width, k, stride);
        else if (L == 4)
            pair ? rowSumsOf<4, 2>(i2, o2, width, k, stride)
                 : rowSumsOf<4, 1>(i2, o2, width, k, stride);
        else
            pair ? rowSumsOf<2, 2>(i2, o2, width, k, stride)
                 : rowSumsOf<2, 1>(i2, o2, width, k, stride);
    }
}
