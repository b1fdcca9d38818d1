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

double toolkit::common::earthMoversDistance(const BinCounts& first, const BinCounts& second)
{
    const BinRange range = first.range();
    std::uint64_t n1 = 0, n2 = 0;
    for (int bin = range.first; bin <= range.last; ++bin) {
        n1 += first.count(bin);
        n2 += second.count(bin);
    }
    if (n1 == 0 || n2 == 0)
        return std::numeric_limits<double>::quiet_NaN();
    // |F(k) - G(k)| = |c1(k) n2 - c2(k) n1| / (n1 n2), with c1 and c2 the
    // cumulative counts: each numerator is exact in 128 bits, and so is their
    // sum, which is divided once at the end.
    using Wide = unsigned __int128;
    Wide sum = 0;
    Wide c1 = 0, c2 = 0;
    for (int bin = range.first; bin < range.last; ++bin) {
        c1 += first.count(bin);
        c2 += second.count(bin);
        const Wide a = c1 * n2, b = c2 * n1;
        sum += a > b ? a - b : b - a;
    }
    const Wide whole = sum / (Wide(n1) * n2);
    const Wide rest = sum % (Wide(n1) * n2);
    return static_cast<double>(whole)
        + static_cast<double>(static_cast<long double>(rest)
            / (static_cast<long double>(n1) * static_cast<long double>(n2)));
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
