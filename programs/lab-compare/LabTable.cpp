#include "programs/lab-compare/LabTable.hpp"

#include "toolkit/common/CommonFunctions.hpp"

#include <array>

namespace {

// OpenCV's conversion scales each channel in [0, 1] to an integer of 14 bits,
// finds its cell in a grid of 32 cells per axis from the top 5 bits, and
// interpolates trilinearly between the cell's corners with weights of 4 bits
// per axis, in integers. (Listed in docs/opencv-internals.md.)
constexpr int kLabBaseShift = 14;
constexpr int kGridShift = 5;
constexpr int kGridSide = (1 << kGridShift) + 1;
constexpr int kWeightShift = 4;
constexpr int kWeightBase = 1 << kWeightShift;
constexpr float kLabBase = float(1 << kLabBaseShift);

constexpr std::int16_t kGrid[] = {
#include "LabGrid.inc"
};
static_assert(sizeof kGrid / sizeof kGrid[0] == 3 * kGridSide * kGridSide * kGridSide,
    "the generated grid has one L*a*b* triple per corner");

// Where an 8-bit value falls on one axis of the grid.
struct AxisPosition {
    int cell;
    int weight;
};

const std::array<AxisPosition, 256>& axisPositions()
{
    static const std::array<AxisPosition, 256> positions = [] {
        std::array<AxisPosition, 256> t {};
        const auto& normalised = toolkit::common::normalisationTable();
        for (int v = 0; v < 256; ++v) {
            const int scaled = cvRound(normalised[v] * kLabBase);
            t[v].cell = scaled >> (kLabBaseShift - kGridShift);
            t[v].weight = (scaled >> (kLabBaseShift - 8 - 1)) & (kWeightBase - 1);
        }
        return t;
    }();
    return positions;
}

} // namespace

cv::Vec3f labcompare::labOfColour(std::uint32_t key)
{
    const auto& positions = axisPositions();
    const AxisPosition x = positions[key & 0xff];
    const AxisPosition y = positions[(key >> 8) & 0xff];
    const AxisPosition z = positions[key >> 16];
    int sum[3] = { 0, 0, 0 };
    for (int corner = 0; corner < 8; ++corner) {
        const int dx = (corner >> 2) & 1, dy = (corner >> 1) & 1, dz = corner & 1;
        // A value at the top of an axis is its last corner, with no weight beyond.
        const int cx = std::min(x.cell + dx, kGridSide - 1);
        const int cy = std::min(y.cell + dy, kGridSide - 1);
        const int cz = std::min(z.cell + dz, kGridSide - 1);
        const int w = (dx ? x.weight : kWeightBase - x.weight)
            * (dy ? y.weight : kWeightBase - y.weight) * (dz ? z.weight : kWeightBase - z.weight);
        const std::int16_t* lab = kGrid + 3 * ((cz * kGridSide + cy) * kGridSide + cx);
        for (int c = 0; c < 3; ++c)
            sum[c] += lab[c] * w;
    }
    constexpr int kDescale = 3 * kWeightShift;
    const auto descale = [](int v) { return (v + (1 << (kDescale - 1))) >> kDescale; };
    const float L = float(descale(sum[0])) * 1.0f / kLabBase;
    const float a = float(descale(sum[1])) * 1.0f / kLabBase;
    const float b = float(descale(sum[2])) * 1.0f / kLabBase;
    return { L * 100.0f, a * 256.0f - 128.0f, b * 256.0f - 128.0f };
}
