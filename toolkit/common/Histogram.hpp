// Value histograms with one bin per integer, their Bhattacharyya coefficient
// and their earth mover's distance. Each comparison supplies its own range of
// summed bins (perceptual-metrics 0..999, lab-compare -128..127).
#pragma once

#include <opencv2/core.hpp>

#include <cmath>
#include <cstdint>
#include <map>
#include <vector>

namespace toolkit {
namespace common {

// An inclusive range of integer bins.
struct BinRange {
    int first;
    int last;
};

// Bin of a value: the nearest integer, halves away from zero (std::round on
// the value as double), so bin 0 holds (-0.5, 0.5) and bin -1 holds (-1.5, -0.5].

// Exact counts of a plane's values in the bins of one range, plus the number n
// of all non-NaN values, in range or not. Values whose bin lies outside the
// range (infinities and values beyond the int range among them) count only in n.
class BinCounts {
public:
    explicit BinCounts(BinRange range);

    // Counts the value `times` times; NaN is skipped.
    void add(float value, std::uint64_t times = 1)
    {
        if (value != value)
            return;
        addToBin(binOf(value), times);
    }

    // The bin add() counts a value that is not NaN in.
    static double binOf(float value) { return std::round(static_cast<double>(value)); }

    // Counts `times` values whose bin (binOf) is `bin`, as add() counts them.
    void addToBin(double bin, std::uint64_t times)
    {
        total_ += times;
        if (bin >= range_.first && bin <= range_.last)
            counts_[static_cast<std::size_t>(static_cast<long long>(bin) - range_.first)] += times;
    }

    // Counts every value of a CV_32FC1 plane (any size, possibly empty).
    void addPlane(const cv::Mat& plane);

    BinRange range() const { return range_; }
    std::uint64_t total() const { return total_; }
    std::uint64_t count(int bin) const
    {
        return counts_[static_cast<std::size_t>(bin - range_.first)];
    }

private:
    BinRange range_;
    std::vector<std::uint64_t> counts_;
    std::uint64_t total_ = 0;
};

// Sum over the range, in increasing bin order, of sqrtf(p * q) where both bins
// are occupied; p = count / n as float. Both counts must share one range.
// 0 when either side counted nothing.
float bhattacharyyaCoeff(const BinCounts& inp, const BinCounts& tar);

// The earth mover's (Wasserstein-1) distance between the two histograms, in
// the values' own units: the least mean distance, in bins of one unit, by which
// the first histogram's values must move to become the second's. In one
// dimension it is the sum over the bins of |F(k) - G(k)|, F and G being the
// two cumulative shares. Unlike the coefficient it grows with how far the
// values moved: every value shifted by k units gives k, whatever the shape.
// Only the values in the range's bins count (each side normalised by its own
// in-range count); NaN when either side has none there. Both counts must
// share one range. Summed exactly in integers, so a shift of whole bins gives
// the whole number exactly.
double earthMoversDistance(const BinCounts& first, const BinCounts& second);

// The Bhattacharyya coefficient of two CV_32FC1 planes (sizes may differ) over
// the given range of bins.
float getBhattacharyaCoeff(const cv::Mat& inpChannel, const cv::Mat& tarChannel, BinRange range);

// The histogram of a plane as an ordered map from bin to probability (count / n
// as float). Only occupied bins that fit an int are keys; NaN is skipped. The
// caller passes an empty map; it stays empty when no value counts.
void computeFreqProbs(const cv::Mat& imgChannel, std::map<int, float>& freqCounter);

} // namespace common
} // namespace toolkit
