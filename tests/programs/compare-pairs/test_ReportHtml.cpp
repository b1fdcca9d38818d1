#include "programs/compare-pairs/ReportHtml.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

using comparepairs::chartAxis;
using comparepairs::shortPath;
using toolkit::common::BinCounts;
using toolkit::common::BinRange;

namespace {

constexpr BinRange kMetrics { 0, 999 };

std::size_t characters(const std::string& text)
{
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(),
        [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

// Whether every multi-byte character of the text is whole.
bool wholeCharacters(const std::string& text)
{
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80 ? 1
            : lead >= 0xF0                     ? 4
            : lead >= 0xE0                     ? 3
            : lead >= 0xC0                     ? 2
                                               : 0;
        if (length == 0 || i + length > text.size())
            return false;
        for (std::size_t k = 1; k < length; ++k)
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80)
                return false;
        i += length;
    }
    return true;
}

// The value of a data attribute of the chart's SVG.
std::string attribute(const std::string& svg, const std::string& name)
{
    const std::size_t start = svg.find(name + "=\"");
    if (start == std::string::npos)
        return "(none)";
    const std::size_t from = start + name.size() + 2;
    return svg.substr(from, svg.find('"', from) - from);
}

} // namespace

TEST(ComparePairsReportAxis, CoversAllButATenthOfAPercentOfEachImage)
{
    // A photograph's brightness in a few bins, and one black pixel of
    // 240,000: the axis leaves the pixel out and says so, rather than
    // stretching over 0 to 223.
    BinCounts first(kMetrics), second(kMetrics);
    first.add(212.0f, 100000);
    first.add(214.0f, 139999);
    first.add(25.0f, 1);
    second.add(213.0f, 200000);
    second.add(215.0f, 40000);
    const comparepairs::ChartAxis axis = chartAxis(first, second);
    EXPECT_EQ(axis.last - axis.first + 1, comparepairs::kMinAxisBins);
    EXPECT_LE(axis.first, 212);
    EXPECT_GE(axis.last, 215);
    EXPECT_GT(axis.first, 25);
    EXPECT_DOUBLE_EQ(axis.outside[0], 1.0 / 240000.0);
    EXPECT_EQ(axis.outside[1], 0.0);

    const std::string svg = comparepairs::chartSvg("Q", "Brightness Q", "0.5", first, second);
    EXPECT_EQ(
        attribute(svg, "data-axis"), std::to_string(axis.first) + " " + std::to_string(axis.last));
    EXPECT_NE(svg.find("outside the axis: first &lt; 0.01%, second 0%"), std::string::npos);
    // Every occupied bin rides along, those outside the axis too.
    EXPECT_EQ(attribute(svg, "data-first"), "25:1 212:100000 214:139999");

    // Tails of exactly 0.05 % or less are cut, more is kept: 4 pixels of
    // 10,000 at bin 80 are left out, 6 are shown.
    for (const auto& [far, shown] : { std::pair<int, bool> { 4, false }, { 6, true } }) {
        BinCounts photo(kMetrics);
        photo.add(50.0f, std::uint64_t(10000 - far));
        photo.add(80.0f, std::uint64_t(far));
        const comparepairs::ChartAxis cut = chartAxis(photo, photo);
        EXPECT_EQ(cut.last >= 80, shown) << far;
        EXPECT_EQ(cut.outside[0] > 0.0, !shown) << far;
    }
}

TEST(ComparePairsReportAxis, WidenedWithinTheRangeAndEmptyWithoutValues)
{
    BinCounts black(kMetrics), white(kMetrics), none(kMetrics), beyond(kMetrics);
    black.add(0.0f, 10);
    white.add(999.0f, 10);
    beyond.add(5000.0f, 3);
    const comparepairs::ChartAxis low = chartAxis(black, black);
    EXPECT_EQ(low.first, 0);
    EXPECT_EQ(low.last, 9);
    const comparepairs::ChartAxis high = chartAxis(white, white);
    EXPECT_EQ(high.first, 990);
    EXPECT_EQ(high.last, 999);
    // Both ends: the whole range, nothing left out.
    const comparepairs::ChartAxis both = chartAxis(black, white);
    EXPECT_EQ(both.first, 0);
    EXPECT_EQ(both.last, 999);
    EXPECT_EQ(both.outside[0] + both.outside[1], 0.0);

    const comparepairs::ChartAxis empty = chartAxis(none, beyond);
    EXPECT_LT(empty.last, empty.first);
    EXPECT_EQ(empty.outside[0], 0.0);
    EXPECT_EQ(empty.outside[1], 1.0);
    EXPECT_NE(comparepairs::chartSvg("Q", "Q", "0", none, beyond).find("no values in the bins"),
        std::string::npos);
    // A chart of values within its axis says nothing of values outside it.
    EXPECT_EQ(comparepairs::chartSvg("Q", "Q", "1", black, black).find("outside the axis"),
        std::string::npos);
}

TEST(ComparePairsShortPath, KeepsTheFileNameAndWholeCharacters)
{
    EXPECT_EQ(shortPath("photos/a.jpg", 36), "photos/a.jpg");
    const std::string study = "/home/researcher/studies/2024/photographs/edits/0001/brighter.jpg";
    const std::string shortened = shortPath(study, 36);
    EXPECT_EQ(shortened, "\xE2\x80\xA6/edits/0001/brighter.jpg");
    EXPECT_LE(characters(shortened), 36u);

    // A file name too long for the column is cut in its middle.
    const std::string name = "a-very-long-file-name-of-a-photograph-edited-nine-times.jpg";
    const std::string cut = shortPath("/data/" + name, 20);
    EXPECT_EQ(characters(cut), 20u);
    EXPECT_EQ(cut, "a-very-lon\xE2\x80\xA6times.jpg");

    // Characters of two and three bytes are never split.
    const std::string accented = "/d/\xC3\xA9t\xC3\xA9/caf\xC3\xA9-\xE2\x82\xAC\xE2\x82\xAC\xE2\x82"
                                 "\xAC\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC.jpg";
    for (std::size_t limit = 3; limit < 20; ++limit) {
        const std::string out = shortPath(accented, limit);
        EXPECT_LE(characters(out), limit) << limit;
        EXPECT_TRUE(wholeCharacters(out)) << limit << ": " << out;
    }
}
