#include "programs/compare-pairs/InProcess.hpp"

#include "programs/compare-pairs/Rows.hpp"

#include "programs/comparison/Comparison.hpp"

#include <algorithm>
#include <atomic>
#include <exception>
#include <map>
#include <memory>
#include <new>
#include <thread>

namespace {

// Pairs whose images are measured together: enough to keep the workers
// busy, few enough that the measurements held stay small.
constexpr std::size_t kPairsPerWorker = 64;

// What a row needs of one image.
struct Image {
    bool read = false;
    std::string error; // why the image cannot be used; empty when it can
    comparison::Measurement measured;
};

Image measure(const std::string& path, const comparison::Plan& plan,
    toolkit::common::ProfileHandling profiles)
{
    Image image;
    try {
        std::string error;
        if (!comparison::measureFile(path, plan, profiles, image.measured, error)) {
            image.error = comparepairs::unreadableImage(path, error);
            return image;
        }
        image.read = true;
    } catch (const std::bad_alloc&) {
        image = Image();
        image.error = comparepairs::incomparableImage(path, "out of memory");
    } catch (const std::exception& e) {
        image = Image();
        image.error = comparepairs::incomparableImage(path, e.what());
    }
    return image;
}

// Measures each image of `todo` into its slot, on up to `jobs` threads.
void measureAll(std::vector<std::pair<const std::string*, std::unique_ptr<Image>*>>& todo,
    const comparison::Plan& plan, toolkit::common::ProfileHandling profiles, unsigned jobs)
{
    std::atomic<std::size_t> next { 0 };
    auto work = [&] {
        for (std::size_t k = next++; k < todo.size(); k = next++)
            *todo[k].second = std::make_unique<Image>(measure(*todo[k].first, plan, profiles));
    };
    const unsigned threads = std::max(1u, std::min<unsigned>(jobs, unsigned(todo.size())));
    std::vector<std::thread> workers;
    for (unsigned t = 1; t < threads; ++t)
        workers.emplace_back(work);
    work();
    for (std::thread& worker : workers)
        worker.join();
}

std::vector<std::string> rowFields(std::string row)
{
    row.pop_back(); // its "\n"
    std::vector<std::string> fields;
    comparepairs::parseCsvLine(row, fields);
    return fields;
}

} // namespace

std::vector<std::string> comparepairs::tableColumns(const Comparisons& comparisons)
{
    return rowFields(tableHeader(comparisons));
}

std::vector<std::vector<std::string>> comparepairs::pairRows(const std::vector<PathPair>& pairs,
    const Comparisons& comparisons, toolkit::common::ProfileHandling profiles, unsigned jobs)
{
    const comparison::Plan plan { comparisons.perceptual, comparisons.lab, false,
        comparisons.distance };
    const std::size_t window = std::size_t(std::max(1u, jobs)) * kPairsPerWorker;
    std::vector<std::vector<std::string>> rows;
    rows.reserve(pairs.size());
    // The images of the window before are kept for the next one.
    std::map<std::string, std::unique_ptr<Image>> images, previous;
    for (std::size_t start = 0; start < pairs.size(); start += window) {
        const std::size_t end = std::min(pairs.size(), start + window);
        std::vector<std::pair<const std::string*, std::unique_ptr<Image>*>> todo;
        for (std::size_t k = start; k < end; ++k) {
            for (const std::string* path : { &pairs[k].first, &pairs[k].second }) {
                if (images.count(*path) != 0)
                    continue;
                std::unique_ptr<Image>& slot = images[*path];
                auto kept = previous.find(*path);
                if (kept != previous.end())
                    slot = std::move(kept->second);
                else
                    todo.emplace_back(path, &slot);
            }
        }
        measureAll(todo, plan, profiles, jobs);
        for (std::size_t k = start; k < end; ++k) {
            const Image& first = *images[pairs[k].first];
            const Image& second = *images[pairs[k].second];
            const std::string error = pairError("", first.error, second.error);
            std::string figures;
            if (error.empty())
                figures = figureCells(
                    comparison::compare(first.measured, second.measured, plan), comparisons)
                              .fields;
            else
                figures = emptyFigureCells(comparisons);
            PairLine line;
            line.number = k + 1;
            line.first = pairs[k].first;
            line.second = pairs[k].second;
            rows.push_back(rowFields(
                pairRow(line, statusText(error), figures, first.read ? &first.measured : nullptr,
                    second.read ? &second.measured : nullptr, comparisons, false)));
        }
        previous = std::move(images);
        images.clear();
    }
    return rows;
}
