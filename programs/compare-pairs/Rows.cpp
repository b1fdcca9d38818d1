#include "programs/compare-pairs/Rows.hpp"

namespace {

// The status of a pair that failed starts so.
const char* const kErrorPrefix = "error: ";

} // namespace

std::string comparepairs::oneLine(std::string text)
{
    for (char& c : text)
        if (c == '\n' || c == '\r')
            c = ' ';
    return text;
}

std::string comparepairs::unreadableImage(const std::string& path, const std::string& error)
{
    return "cannot read image \"" + path + "\": " + oneLine(error);
}

std::string comparepairs::incomparableImage(const std::string& path, const std::string& what)
{
    return "cannot compare image \"" + path + "\": " + oneLine(what);
}

std::string comparepairs::pairError(
    const std::string& lineError, const std::string& firstError, const std::string& secondError)
{
    if (!lineError.empty())
        return lineError;
    std::string error = firstError;
    if (!secondError.empty() && secondError != firstError)
        error += (firstError.empty() ? "" : "; ") + secondError;
    return error;
}

std::string comparepairs::statusText(const std::string& error)
{
    return error.empty() ? std::string(kStatusOk) : oneLine(kErrorPrefix + error);
}

comparepairs::FigureCells comparepairs::figureCells(
    const comparison::Figures& figures, const Comparisons& comparisons)
{
    FigureCells cells;
    if (comparisons.perceptual) {
        const metrics::Figures& f = figures.perceptual;
        cells.fields += "," + metrics::figuresLine(f);
        cells.columns.insert(cells.columns.end(),
            { figureText(f.Q), figureText(f.J), figureText(f.C), figureText(f.M),
                figureText(f.s) });
    }
    if (comparisons.lab) {
        const labcompare::LabFigures& f = figures.lab;
        cells.fields
            += "," + labcompare::figuresLine(f) + "," + figureText(f.a) + "," + figureText(f.b);
        cells.columns.insert(cells.columns.end(),
            { figureText(f.L), figureText(f.ab), figureText(f.a), figureText(f.b) });
    }
    if (comparisons.distance) {
        const comparison::Distances& d = figures.distances;
        std::vector<double> shown;
        if (comparisons.perceptual)
            shown.insert(shown.end(), { d.Q, d.J, d.C, d.M, d.s });
        if (comparisons.lab)
            shown.insert(shown.end(), { d.L, d.a, d.b });
        for (double distance : shown) {
            cells.fields += "," + figureText(distance);
            cells.columns.push_back(figureText(distance));
        }
    }
    return cells;
}

std::string comparepairs::emptyFigureCells(const Comparisons& comparisons)
{
    return std::string(figureColumns(comparisons).size(), ',');
}

// A profile's description is the file's own text, so it is kept to one line
// like every other field.
std::string comparepairs::factFields(
    const comparison::Measurement* image, const Comparisons& comparisons, bool safeCells)
{
    const std::size_t count = factColumns(comparisons).size();
    if (image == nullptr)
        return std::string(count, ',');
    const toolkit::common::ImageFacts& facts = image->facts;
    std::string fields = "," + std::to_string(facts.width) + "x" + std::to_string(facts.height)
        + "," + std::to_string(facts.bitDepth) + "," + textCell(oneLine(facts.profile), safeCells)
        + "," + textCell(oneLine(facts.reading()), safeCells);
    if (comparisons.perceptual)
        fields += "," + (image->white < 0.0 ? std::string() : figureText(image->white));
    return fields;
}

std::string comparepairs::pairRow(const PairLine& line, const std::string& status,
    const std::string& figureFields, const comparison::Measurement* first,
    const comparison::Measurement* second, const Comparisons& comparisons, bool safeCells)
{
    return textCell(line.first, safeCells) + "," + textCell(line.second, safeCells) + ","
        + textCell(status, safeCells) + figureFields + factFields(first, comparisons, safeCells)
        + factFields(second, comparisons, safeCells) + "\n";
}
