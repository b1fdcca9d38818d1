// Generated JPEG photographs for the benchmarks: upscaled samples with
// sensor-like noise, quality 92, and photographs cut from the samples.
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

// Sensor-like noise of standard deviation sigma (code values) added to each
// channel of an 8-bit image.
inline cv::Mat addNoise(const cv::Mat& image, cv::RNG& rng, double sigma)
{
    cv::Mat noise(image.size(), CV_16SC3);
    rng.fill(noise, cv::RNG::NORMAL, cv::Scalar::all(0), cv::Scalar::all(sigma));
    cv::Mat noisy;
    image.convertTo(noisy, CV_16SC3);
    noisy += noise;
    cv::Mat result;
    noisy.convertTo(result, CV_8UC3);
    return result;
}

// The sample photographs of `samples`, as cv::imread reads them.
inline std::vector<cv::Mat> loadSamples(const std::string& samples)
{
    std::vector<cv::Mat> images;
    for (const char* file :
        { "chelsea.png", "coffee.png", "flash.png", "noflash.png", "rocket.jpg" }) {
        const std::string path = samples + "/" + file;
        cv::Mat image = cv::imread(path, cv::IMREAD_COLOR);
        if (image.empty()) {
            std::cerr << "bench: cannot read " << path << std::endl;
            std::exit(1);
        }
        images.push_back(image);
    }
    return images;
}

// A photograph of SIZE cut from a sample: a random 4:3 crop of 55 to 100 % of
// its width at a random place, scaled to SIZE, sometimes mirrored, with a
// slight colour cast (white balance) and exposure change and sensor-like
// noise, so that no two are alike.
inline cv::Mat makePhoto(const std::vector<cv::Mat>& samples, cv::Size size, cv::RNG& rng)
{
    const cv::Mat& sample = samples[size_t(rng.uniform(0, int(samples.size())))];
    int w = int(sample.cols * rng.uniform(0.55, 1.0));
    int h = w * 3 / 4;
    if (h > sample.rows) {
        h = sample.rows;
        w = std::min(sample.cols, h * 4 / 3);
    }
    const int x = rng.uniform(0, sample.cols - w + 1);
    const int y = rng.uniform(0, sample.rows - h + 1);
    cv::Mat photo;
    const int interpolation = size.width < w ? cv::INTER_AREA : cv::INTER_CUBIC;
    cv::resize(sample(cv::Rect(x, y, w, h)), photo, size, 0, 0, interpolation);
    if (rng.uniform(0, 2))
        cv::flip(photo, photo, 1);
    const double exposure = rng.uniform(0.85, 1.15);
    // Drawn one by one, the last channel first: as arguments of one call the
    // order of the draws would be the compiler's.
    const double third = rng.uniform(0.93, 1.07), second = rng.uniform(0.93, 1.07);
    const cv::Scalar gain(exposure * rng.uniform(0.93, 1.07), exposure * second, exposure * third);
    cv::Mat cast;
    cv::multiply(photo, gain, cast, 1.0, CV_8UC3);
    return addNoise(cast, rng, rng.uniform(1.5, 4.0));
}

// An upscaled sample with sensor-like noise, so that it holds about as many
// distinct colours as a real photograph of that size.
inline cv::Mat makeLargePhoto(const cv::Mat& sample, cv::Size size, unsigned seed)
{
    cv::Mat big;
    cv::resize(sample, big, size, 0, 0, cv::INTER_CUBIC);
    cv::RNG rng(seed);
    return addNoise(big, rng, 3.0);
}

inline cv::Mat makeLargePhoto(const std::string& sample, cv::Size size, unsigned seed)
{
    const cv::Mat small = cv::imread(sample, cv::IMREAD_COLOR);
    if (small.empty()) {
        std::cerr << "bench: cannot read " << sample << std::endl;
        std::exit(1);
    }
    return makeLargePhoto(small, size, seed);
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
