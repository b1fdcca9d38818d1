// Generated pairs of JPEG photographs for the benchmarks: upscaled samples
// with sensor-like noise, quality 92.
#pragma once

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

namespace bench {

// An upscaled sample with sensor-like noise, so that it holds about as many
// distinct colours as a real photograph of that size.
inline cv::Mat makeLargePhoto(const std::string& sample, cv::Size size, unsigned seed)
{
    const cv::Mat small = cv::imread(sample, cv::IMREAD_COLOR);
    if (small.empty()) {
        std::cerr << "bench: cannot read " << sample << std::endl;
        std::exit(1);
    }
    cv::Mat big;
    cv::resize(small, big, size, 0, 0, cv::INTER_CUBIC);
    cv::Mat noise(big.size(), CV_16SC3);
    cv::RNG rng(seed);
    rng.fill(noise, cv::RNG::NORMAL, cv::Scalar::all(0), cv::Scalar::all(3));
    cv::Mat noisy;
    big.convertTo(noisy, CV_16SC3);
    noisy += noise;
    noisy.convertTo(big, CV_8UC3);
    return big;
}

// A pair of generated photographs of about `megapixels` each (1 x 1 for 0),
// from the samples coffee.png and chelsea.png in `samples`, written into `dir`.
inline std::pair<std::string, std::string> makePair(
    const std::filesystem::path& dir, const std::string& samples, double megapixels)
{
    const int cols = std::max(1, int(std::lround(std::sqrt(megapixels * 1e6 * 4.0 / 3.0))));
    const int rows = std::max(1, int(std::lround(megapixels * 1e6 / cols)));
    const std::string tag = std::to_string(cols) + "x" + std::to_string(rows);
    const std::string first = (dir / ("first-" + tag + ".jpg")).string();
    const std::string second = (dir / ("second-" + tag + ".jpg")).string();
    const std::vector<int> quality { cv::IMWRITE_JPEG_QUALITY, 92 };
    cv::imwrite(first, makeLargePhoto(samples + "/coffee.png", cv::Size(cols, rows), 1), quality);
    cv::imwrite(second, makeLargePhoto(samples + "/chelsea.png", cv::Size(cols, rows), 2), quality);
    std::printf("pair: two %d x %d JPEG photographs (%.1f megapixels each)\n", cols, rows,
        cols * double(rows) / 1e6);
    return { first, second };
}

// The comma-separated numbers of an option's value.
inline std::vector<double> numberList(const std::string& list)
{
    std::vector<double> numbers;
    for (std::size_t start = 0; start <= list.size();) {
        const std::size_t comma = std::min(list.find(',', start), list.size());
        numbers.push_back(std::atof(list.substr(start, comma - start).c_str()));
        start = comma + 1;
    }
    return numbers;
}

// Reads "--megapixels N[,N...]" and "--repeats K" from argv[first] on into
// `sizes` and `repeats`; false, after printing `usage`, for anything else.
inline bool sizesAndRepeats(
    int argc, char** argv, int first, std::vector<double>& sizes, int& repeats, const char* usage)
{
    for (int i = first; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--megapixels" && i + 1 < argc) {
            sizes = numberList(argv[++i]);
        } else if (arg == "--repeats" && i + 1 < argc) {
            repeats = std::max(1, std::atoi(argv[++i]));
        } else {
            std::cerr << usage;
            return false;
        }
    }
    return true;
}

} // namespace bench
