#include "toolkit/common/Histogram.hpp"

#include <cmath>
#include <limits>

toolkit::common::BinCounts::BinCounts(BinRange range)
    : range_(range)
    , counts_(static_cast<std::size_t>(static_cast<long long>(range.last) - range.first + 1), 0)
{
}

void toolkit::common::BinCounts::addPlane(const cv::Mat& plane)
{
    for (int i = 0; i < plane.rows; ++i) {
        const float* row = plane.ptr<float>(i);
        for (int j = 0; j < plane.cols; ++j)
            add(row[j]);
    }
}

float toolkit::common::bhattacharyyaCoeff(const BinCounts& inp, const BinCounts& tar)
{
    float sum = 0.0f;
    if (inp.total() == 0 || tar.total() == 0)
        return sum;
    const float inpTotal = static_cast<float>(inp.total());
    const float tarTotal = static_cast<float>(tar.total());
    for (int bin = inp.range().first; bin <= inp.range().last; ++bin) {
        const std::uint64_t a = inp.count(bin);
        const std::uint64_t b = tar.count(bin);
        if (a == 0 || b == 0)
            continue;
        const float p = static_cast<float>(a) / inpTotal;
        const float q = static_cast<float>(b) / tarTotal;
        sum += std::sqrt(p * q);
    }
    return sum;
}

float toolkit::common::getBhattacharyaCoeff(
    const cv::Mat& inpChannel, const cv::Mat& tarChannel, BinRange range)
{
    BinCounts inp(range);
    BinCounts tar(range);
    inp.addPlane(inpChannel);
    tar.addPlane(tarChannel);
    return bhattacharyyaCoeff(inp, tar);
}

void toolkit::common::computeFreqProbs(const cv::Mat& imgChannel, std::map<int, float>& freqCounter)
{
    // Counted exactly: a float counter would stop growing at 2^24.
    std::map<int, std::uint64_t> counts;
    std::uint64_t total = 0;
    constexpr double kIntMin = std::numeric_limits<int>::min();
    constexpr double kIntMax = std::numeric_limits<int>::max();
    for (int i = 0; i < imgChannel.rows; ++i) {
        const float* row = imgChannel.ptr<float>(i);
        for (int j = 0; j < imgChannel.cols; ++j) {
            if (std::isnan(row[j]))
                continue;
            ++total;
            const double bin = std::round(static_cast<double>(row[j]));
            // Only a bin that fits an int becomes a key; converting anything
            // else to int would be undefined.
            if (bin >= kIntMin && bin <= kIntMax)
                ++counts[static_cast<int>(bin)];
        }
    }
    if (total == 0)
        return;
    const float n = static_cast<float>(total);
    for (const auto& [bin, count] : counts)
        freqCounter[bin] = static_cast<float>(count) / n;
}
