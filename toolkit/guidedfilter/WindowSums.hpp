// The guided filter's window means: cv::blur itself, and the sums behind it
// taken row by row in cv::blur's own order.
//
// For CV_32F and CV_64F planes cv::blur (OpenCV 4.6, box_filter.simd.hpp,
// RowSum and ColumnSum) sums in double: along each border-completed row a
// running sum, s += v[x + k - 1] - v[x - 1] (for k = 3 and 5 the k values
// added left to right instead), then down each column a running sum S of
// those row sums: mean = (T)((S + added) * (1. / k^2)), S = (S + added) -
// removed. The results depend on that order of roundings, so the sums here
// (and the filter's pass, which runs them down its rows) repeat exactly those
// operations in exactly that order and give cv::blur's means bit for bit. Only
// the layout is their own: several planes are summed side by side, interleaved
// pixel by pixel, so that their running sums, each a chain of dependent
// additions, overlap in the processor; and rows stream through small buffers
// instead of whole-image intermediates. (Listed, with the tests that compare
// it with cv::blur, in docs/opencv-internals.md.)
// Internal to toolkit/guidedfilter.
#pragma once

#include <opencv2/core.hpp>

#include <cstddef>
#include <vector>

namespace toolkit {
namespace guidedfilter {

// Normalised box mean over an r x r window centred on each pixel, the border
// completed by reflect-101 mirroring. The filter's window means are defined
// as this call's results.
cv::Mat boxfilter(const cv::Mat& I, int r);

// Planes are summed in groups of 8, 4 or 2 lanes, the last group padded with
// planes of zeros to `lanes` planes in all; rows of sums interleave all of
// them, `lanes` values per pixel.
struct LaneGroups {
    explicit LaneGroups(int planes)
        : planes(planes)
    {
        for (int left = planes; left > 0;) {
            const int size = left >= 8 ? 8 : left > 2 ? 4 : 2;
            first.push_back(lanes);
            sizes.push_back(size);
            lanes += size;
            left -= size;
        }
    }

    int planes;
    int lanes = 0;
    std::vector<int> first, sizes;
};

// Row sums over windows of k of every plane of one or two rows (in[1], out[1]
// null for one): in[r] holds width + k - 1 border-completed values of each
// plane, out[r] receives width sums of each, `groups.lanes` values per pixel.
void rowSums(
    const LaneGroups& groups, const double* const in[2], double* const out[2], int width, int k);

// One exception to the running column sum: a window one row high keeps no
// rows in it, and ColumnSum then starts its sum afresh at every call, which
// its FilterEngine makes every kSingleRowRestart rows (its ring buffer of
// k + 3 rows). Only a non-finite value sees the difference: it spoils the sum
// (inf - inf) until the next restart.
constexpr int kSingleRowRestart = 4;

// Whether the running column sums of windows k rows high start afresh at row y.
inline bool restartsColumnSums(int k, int y)
{
    return k == 1 && y % kSingleRowRestart == 0;
}

// One step down the columns for n values (pixels times interleaved planes):
// the means of the windows that end at the added row, then the removed row
// taken out of the running sums.
template <typename T>
void columnStep(
    double* sum, const double* added, const double* removed, size_t n, double scale, T* mean)
{
    for (size_t i = 0; i < n; ++i) {
        const double s = sum[i] + added[i];
        mean[i] = static_cast<T>(s * scale);
        sum[i] = s - removed[i];
    }
}

// n values as doubles.
template <typename T> void widen(const T* in, size_t n, double* out)
{
    for (size_t i = 0; i < n; ++i)
        out[i] = static_cast<double>(in[i]);
}

} // namespace guidedfilter
} // namespace toolkit
