#include "programs/comparison/ColourTable.hpp"
#include "programs/comparison/Comparison.hpp"

#include "tests/support/TestSupport.hpp"
#include "toolkit/common/CommonFunctions.hpp"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

namespace common = toolkit::common;

namespace {

const std::string kSamples = SAMPLES_DIR;

// Every pixel through normalisation, compute_cat and the model (with its
// debug files, in a directory of their own): the five attribute planes.
std::vector<cv::Mat> perPixelAttributes(const cv::Mat& bgr)
{
    testsupport::ScopedWorkDir dir;
    cv::Mat img = bgr.clone();
    cv::Mat norm(img.size(), CV_32FC3), adapted(img.size(), CV_32FC3);
    common::normImg(img, norm);
    metrics::compute_cat(norm, adapted);
    std::vector<cv::Mat> planes;
    for (int p = 0; p < 5; ++p)
        planes.emplace_back(img.size(), CV_32FC1);
    metrics::perceptualMetrics(adapted, planes[0], planes[1], planes[2], planes[3], planes[4]);
    return planes;
}

::testing::AssertionResult sameCounts(
    const common::BinCounts& actual, const common::BinCounts& expected, const char* what)
{
    if (actual.total() != expected.total())
        return ::testing::AssertionFailure()
            << what << ": " << actual.total() << " values against " << expected.total();
    for (int bin = expected.range().first; bin <= expected.range().last; ++bin)
        if (actual.count(bin) != expected.count(bin))
            return ::testing::AssertionFailure()
                << what << ", bin " << bin << ": " << actual.count(bin) << " against "
                << expected.count(bin);
    return ::testing::AssertionSuccess();
}

// The measurement of an image (both comparisons) against the model run on
// every pixel and OpenCV's L*a*b* conversion of every pixel.
void expectPerPixelCounts(const cv::Mat& bgr, const char* what)
{
    SCOPED_TRACE(what);
    const comparison::Measurement measured = comparison::measureImage(bgr, {});
    const std::vector<cv::Mat> planes = perPixelAttributes(bgr);
    const common::BinCounts* counts[5] = { &measured.perceptual.Q, &measured.perceptual.J,
        &measured.perceptual.C, &measured.perceptual.M, &measured.perceptual.s };
    const char* names[5] = { "Q", "J", "C", "M", "s" };
    std::uint64_t top = 0;
    for (int p = 0; p < 5; ++p) {
        common::BinCounts expected(metrics::kMetricsBins);
        expected.addPlane(planes[size_t(p)]);
        EXPECT_TRUE(sameCounts(*counts[p], expected, names[p]));
    }
    for (int i = 0; i < planes[1].rows; ++i)
        for (int j = 0; j < planes[1].cols; ++j)
            top += planes[1].at<float>(i, j) >= 99.5f;
    EXPECT_EQ(measured.white, double(top) / double(bgr.total()));

    labcompare::LabCounts lab;
    labcompare::labHistogramsPerPixel(bgr, lab.L, lab.a, lab.b);
    EXPECT_TRUE(sameCounts(measured.lab.L, lab.L, "L*"));
    EXPECT_TRUE(sameCounts(measured.lab.a, lab.a, "a*"));
    EXPECT_TRUE(sameCounts(measured.lab.b, lab.b, "b*"));
}

// Bitwise equality of two floats, NaN equal to NaN of the same bits.
::testing::AssertionResult sameFloat(float actual, float expected)
{
    if (std::memcmp(&actual, &expected, sizeof(float)) == 0)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << actual << " against " << expected;
}

// An image holding each of the colours (B | G << 8 | R << 16) a few times.
cv::Mat imageOfColours(const std::vector<std::uint32_t>& keys)
{
    std::vector<cv::Vec3b> pixels;
    for (std::size_t k = 0; k < keys.size(); ++k)
        for (std::size_t n = 0; n < 1 + k % 3; ++n)
            pixels.emplace_back(uchar(keys[k] & 0xff), uchar(keys[k] >> 8), uchar(keys[k] >> 16));
    return cv::Mat(pixels, true).reshape(3, 1).clone();
}

// How far a value lies from the nearest half-way point between two bins.
double fromBinHalf(float value)
{
    const double v = double(value);
    return std::fabs(v - std::floor(v) - 0.5);
}

} // namespace

TEST(ComparisonRoute, QuickResponsesCountAsTheWholeChain)
{
    cv::Mat saturated(40, 40, CV_8UC3);
    cv::randu(saturated, 0, 256);
    // Saturated colours give negative cone responses, so NaN attributes.
    saturated.rowRange(0, 10).setTo(cv::Scalar(255, 0, 0));
    for (const cv::Mat& img : { cv::imread(kSamples + "/coffee.png"), saturated,
             testsupport::makePhoto(70, 90, 3), cv::Mat(3, 3, CV_8UC3, cv::Scalar::all(0)) }) {
        const common::DistinctColours colours = common::countDistinctColours(img);
        std::vector<metrics::ColourResponse> responses(colours.keys.size());
        metrics::responsesOfColours(colours.keys.data(), colours.keys.size(), responses.data());
        const metrics::ColourAttributes expected = metrics::attributesOfColours(colours);
        for (std::size_t k = 0; k < colours.keys.size(); ++k) {
            ASSERT_TRUE(sameFloat(responses[k].A, expected.A.ptr<float>(0)[k])) << k;
            ASSERT_TRUE(sameFloat(responses[k].t, expected.t.ptr<float>(0)[k])) << k;
        }

        std::vector<metrics::QuickResponse> quick(colours.keys.size());
        metrics::quickResponsesOfColours(colours.keys.data(), colours.keys.size(), quick.data());
        double share = -1.0;
        const metrics::AttributeCounts counts
            = metrics::countAttributesOfQuickResponses(colours, quick.data(), share);
        const metrics::AttributeCounts reference = metrics::countAttributes(colours, expected);
        EXPECT_TRUE(sameCounts(counts.Q, reference.Q, "Q"));
        EXPECT_TRUE(sameCounts(counts.J, reference.J, "J"));
        EXPECT_TRUE(sameCounts(counts.C, reference.C, "C"));
        EXPECT_TRUE(sameCounts(counts.M, reference.M, "M"));
        EXPECT_TRUE(sameCounts(counts.s, reference.s, "s"));
        EXPECT_EQ(share, metrics::topLightnessShare(colours, expected));
    }
}

TEST(ComparisonRoute, PhotographsCountAsEveryPixelDoes)
{
    // Each twice: the second time their colours come from the run's tables.
    for (int pass = 0; pass < 2; ++pass) {
        expectPerPixelCounts(cv::imread(kSamples + "/chelsea.png"), "chelsea.png");
        expectPerPixelCounts(cv::imread(kSamples + "/rocket.jpg"), "rocket.jpg");
        expectPerPixelCounts(testsupport::makePhoto(120, 160, 7u + unsigned(pass)), "generated");
    }
    // Kept pixels (the debug files' route) give the same counts.
    const cv::Mat coffee = cv::imread(kSamples + "/coffee.png");
    const comparison::Measurement plain = comparison::measureImage(coffee, {});
    const comparison::Measurement kept = comparison::measureImage(coffee, { true, true, true });
    EXPECT_TRUE(sameCounts(kept.perceptual.s, plain.perceptual.s, "s"));
    EXPECT_TRUE(sameCounts(kept.perceptual.Q, plain.perceptual.Q, "Q"));
    EXPECT_EQ(kept.white, plain.white);
}

TEST(ComparisonRoute, EachComparisonAloneCountsAsBothTogether)
{
    // Both together look their colours up in one table, each alone in its
    // own: images met first alone, then together, and the other way round.
    const cv::Mat images[] = { testsupport::makePhoto(90, 110, 41u),
        cv::imread(kSamples + "/chelsea.png"), testsupport::makePhoto(70, 130, 42u) };
    comparison::Plan perceptualAlone, labAlone;
    perceptualAlone.lab = false;
    labAlone.perceptual = false;
    for (std::size_t n = 0; n < 3; ++n) {
        SCOPED_TRACE(n);
        comparison::Measurement both, perceptual, lab;
        if (n % 2 == 0) {
            perceptual = comparison::measureImage(images[n], perceptualAlone);
            lab = comparison::measureImage(images[n], labAlone);
            both = comparison::measureImage(images[n], {});
        } else {
            both = comparison::measureImage(images[n], {});
            perceptual = comparison::measureImage(images[n], perceptualAlone);
            lab = comparison::measureImage(images[n], labAlone);
        }
        EXPECT_TRUE(sameCounts(perceptual.perceptual.Q, both.perceptual.Q, "Q"));
        EXPECT_TRUE(sameCounts(perceptual.perceptual.J, both.perceptual.J, "J"));
        EXPECT_TRUE(sameCounts(perceptual.perceptual.C, both.perceptual.C, "C"));
        EXPECT_TRUE(sameCounts(perceptual.perceptual.M, both.perceptual.M, "M"));
        EXPECT_TRUE(sameCounts(perceptual.perceptual.s, both.perceptual.s, "s"));
        EXPECT_EQ(perceptual.white, both.white);
        EXPECT_TRUE(sameCounts(lab.lab.L, both.lab.L, "L*"));
        EXPECT_TRUE(sameCounts(lab.lab.a, both.lab.a, "a*"));
        EXPECT_TRUE(sameCounts(lab.lab.b, both.lab.b, "b*"));
    }
}

TEST(ComparisonRoute, ColoursOnABinsHalfCountAsEveryPixelDoes)
{
    // Colours on a grid, then those of them whose attributes lie nearest the
    // half-way point between two bins, where the least error of rounding
    // moves a colour to the next bin; with the grid's white, so that their
    // attributes are those they had in the grid, and with a dimmer white.
    std::vector<std::uint32_t> grid;
    for (int r = 0; r < 256; r += 5)
        for (int g = 0; g < 256; g += 5)
            for (int b = 0; b < 256; b += 5)
                grid.push_back(std::uint32_t(b) | std::uint32_t(g) << 8 | std::uint32_t(r) << 16);
    for (const std::uint32_t limit : { 0xffffffu, 0x808080u }) {
        std::vector<std::uint32_t> keys;
        for (const std::uint32_t key : grid)
            if ((key & 0xff) <= (limit & 0xff) && (key >> 8 & 0xff) <= (limit >> 8 & 0xff)
                && (key >> 16) <= (limit >> 16))
                keys.push_back(key);
        common::DistinctColours colours;
        colours.keys = keys;
        const metrics::ColourAttributes attributes = metrics::attributesOfColours(colours);
        const cv::Mat* planes[5]
            = { &attributes.Q, &attributes.J, &attributes.C, &attributes.M, &attributes.s };
        std::vector<std::uint32_t> worst;
        double nearest = 1.0;
        for (const cv::Mat* plane : planes) {
            std::vector<std::pair<double, std::uint32_t>> distances;
            for (std::size_t k = 0; k < keys.size(); ++k)
                distances.emplace_back(fromBinHalf(plane->ptr<float>(0)[k]), keys[k]);
            std::partial_sort(distances.begin(), distances.begin() + 300, distances.end());
            nearest = std::min(nearest, distances[0].first);
            for (std::size_t k = 0; k < 300; ++k)
                worst.push_back(distances[k].second);
        }
        // The white: the colour of the largest achromatic response.
        const float* A = attributes.A.ptr<float>(0);
        worst.push_back(keys[std::size_t(std::max_element(A, A + keys.size()) - A)]);
        std::sort(worst.begin(), worst.end());
        worst.erase(std::unique(worst.begin(), worst.end()), worst.end());
        // Values within a few float steps of a half: the worst cases there are.
        EXPECT_LT(nearest, 1e-5);
        expectPerPixelCounts(imageOfColours(worst), limit == 0xffffffu ? "white" : "dim white");
        expectPerPixelCounts(imageOfColours(keys), "the grid");
    }
}

namespace {

// A stand-in for a colour's computed entry, and a count of the computations.
struct Computed {
    std::uint32_t value;
};
std::uint32_t expectedValue(std::uint32_t key)
{
    return key * 2654435761u;
}
void computeEntries(const std::uint32_t* keys, std::size_t count, Computed* out)
{
    for (std::size_t k = 0; k < count; ++k)
        out[k].value = expectedValue(keys[k]);
}

} // namespace

TEST(ComparisonColourTable, ComputesOnlyWhatItHasNotMet)
{
    comparison::ColourTable<Computed> table(16);
    std::vector<std::uint32_t> computed;
    const auto compute = [&](const std::uint32_t* keys, std::size_t count, Computed* out) {
        computed.insert(computed.end(), keys, keys + count);
        computeEntries(keys, count, out);
    };
    const std::vector<std::uint32_t> first { 0, 1, 255, 256, 0x123456, 0xffffff };
    const std::vector<std::uint32_t> second { 1, 2, 256, 0x123457, 0xffffff };
    std::vector<Computed> out(8);
    table.lookUp(first.data(), first.size(), out.data(), compute);
    EXPECT_EQ(computed, first);
    for (std::size_t k = 0; k < first.size(); ++k)
        EXPECT_EQ(out[k].value, expectedValue(first[k]));
    computed.clear();
    table.lookUp(second.data(), second.size(), out.data(), compute);
    EXPECT_EQ(computed, (std::vector<std::uint32_t> { 2, 0x123457 }));
    for (std::size_t k = 0; k < second.size(); ++k)
        EXPECT_EQ(out[k].value, expectedValue(second[k]));
    computed.clear();
    table.lookUp(second.data(), second.size(), out.data(), compute);
    EXPECT_TRUE(computed.empty());
}

TEST(ComparisonColourTable, StaysWithinItsBoundAndRightWhenFull)
{
    // Colours spread over words of the bitmap and crowded into one.
    comparison::ColourTable<Computed> table(70);
    std::vector<std::uint32_t> keys;
    std::vector<Computed> out(64);
    for (int round = 0; round < 40; ++round) {
        keys.clear();
        for (std::uint32_t k = 0; k < 64; ++k)
            keys.push_back(round % 2 ? std::uint32_t(round) << 12 | k << 6 | std::uint32_t(round)
                                     : std::uint32_t(round) << 6 | k);
        table.lookUp(keys.data(), keys.size(), out.data(), computeEntries);
        for (std::size_t k = 0; k < keys.size(); ++k)
            ASSERT_EQ(out[k].value, expectedValue(keys[k])) << "round " << round;
        EXPECT_LE(table.size(), 70u);
    }
    comparison::ColourTable<Computed> none(0);
    const std::uint32_t key = 42;
    none.lookUp(&key, 1, out.data(), computeEntries);
    EXPECT_EQ(out[0].value, expectedValue(key));
    EXPECT_EQ(none.size(), 0u);
}

TEST(ComparisonColourTable, ColoursAddedAmongAWordsOwnKeepItsOrder)
{
    // Few colours at a time into the same words, below, between and above
    // those they hold, so that words fill in place and move to more room.
    comparison::ColourTable<Computed> table(1 << 16);
    std::mt19937 rng(11);
    std::vector<bool> met(8 * 64, false);
    std::vector<Computed> out(8 * 64);
    for (int round = 0; round < 300; ++round) {
        std::vector<std::uint32_t> keys;
        for (std::uint32_t key = 0; key < 8 * 64; ++key)
            if (rng() % 16 == 0)
                keys.push_back(0x40000u + key);
        std::size_t fresh = 0;
        for (const std::uint32_t key : keys)
            fresh += met[key - 0x40000u] ? 0 : 1;
        std::size_t computed = 0;
        table.lookUp(keys.data(), keys.size(), out.data(),
            [&](const std::uint32_t* missing, std::size_t count, Computed* entries) {
                computed += count;
                computeEntries(missing, count, entries);
            });
        ASSERT_EQ(computed, fresh) << "round " << round;
        for (std::size_t k = 0; k < keys.size(); ++k) {
            ASSERT_EQ(out[k].value, expectedValue(keys[k])) << "round " << round;
            met[keys[k] - 0x40000u] = true;
        }
    }
}

TEST(ComparisonColourTable, ColoursComputedWhileTheTableIsReadAreAddedLater)
{
    // One thread reads the table (its entries are handed over with the
    // table in use) while this one computes new colours: this thread keeps
    // them, without waiting, and adds them at its next look-up.
    comparison::ColourTable<Computed> table(1 << 12);
    const std::vector<std::uint32_t> held { 7 };
    std::vector<Computed> out(3);
    table.lookUp(held.data(), held.size(), out.data(), computeEntries);
    const auto computeWhileRead = [&](const std::vector<std::uint32_t>& fresh) {
        std::mutex mutex;
        std::condition_variable changed;
        bool reading = false, computed = false;
        std::thread reader([&] {
            table.lookUpEach(
                held.data(), held.size(), computeEntries, [&](std::size_t, const Computed&) {
                    std::unique_lock<std::mutex> lock(mutex);
                    reading = true;
                    changed.notify_all();
                    // Bounded, so that a look-up that waits fails rather than hangs.
                    changed.wait_for(lock, std::chrono::seconds(10), [&] { return computed; });
                });
        });
        {
            std::unique_lock<std::mutex> lock(mutex);
            changed.wait(lock, [&] { return reading; });
        }
        table.lookUp(fresh.data(), fresh.size(), out.data(), computeEntries);
        {
            std::lock_guard<std::mutex> lock(mutex);
            computed = true;
        }
        changed.notify_all();
        reader.join();
        for (std::size_t k = 0; k < fresh.size(); ++k)
            EXPECT_EQ(out[k].value, expectedValue(fresh[k]));
    };
    // How many of the colours another thread has to compute.
    const auto computedByAnother = [&](const std::vector<std::uint32_t>& keys) {
        std::size_t count = 0;
        std::thread([&] {
            std::vector<Computed> other(keys.size());
            table.lookUp(keys.data(), keys.size(), other.data(),
                [&](const std::uint32_t* missing, std::size_t n, Computed* entries) {
                    count += n;
                    computeEntries(missing, n, entries);
                });
        }).join();
        return count;
    };

    const std::vector<std::uint32_t> first { 100, 200, 300 }, second { 400, 500, 600 };
    computeWhileRead(first);
    EXPECT_EQ(computedByAnother(first), first.size()); // kept, not yet added
    computeWhileRead(second);
    table.lookUp(held.data(), held.size(), out.data(), computeEntries);
    EXPECT_EQ(computedByAnother(second), 0u); // added by that look-up
}

TEST(ComparisonColourTable, ThreadsLookingUpAtOnceGetTheirEntries)
{
    // Little room, so that threads empty the table under each other's feet.
    comparison::ColourTable<Computed> table(600);
    std::atomic<int> wrong { 0 };
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < 4; ++t)
        threads.emplace_back([&table, &wrong, t] {
            std::mt19937 rng(t);
            std::vector<Computed> out(512);
            for (int round = 0; round < 300; ++round) {
                std::vector<std::uint32_t> keys(512);
                for (std::uint32_t& key : keys)
                    key = rng() % (12u << 8);
                std::sort(keys.begin(), keys.end());
                keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
                table.lookUp(keys.data(), keys.size(), out.data(), computeEntries);
                for (std::size_t k = 0; k < keys.size(); ++k)
                    wrong += out[k].value != expectedValue(keys[k]);
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_LE(table.size(), 600u);
}
