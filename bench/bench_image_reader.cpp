// Times the image reader on a 12-megapixel photograph stored three ways: an
// untagged JPEG (against cv::imread of the same file), the same colours as
// Display P3 values in a JPEG carrying that profile, and a 16-bit PNG with
// that profile (both against reading them with the profile ignored). The
// JPEG files are of quality 95. Best of --repeats runs each. The cost of
// converting through a profile is the tagged read's time over the read's
// time with the profile ignored.
//
// Usage: bench_image_reader [--megapixels N] [--repeats K]

#include "toolkit/common/ImageReader.hpp"

#include "tests/support/TaggedImages.hpp"

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include <unistd.h>

namespace fs = std::filesystem;
namespace common = toolkit::common;

namespace {

double bestOf(int repeats, const std::function<void()>& run)
{
    double best = 1e30;
    for (int k = 0; k < repeats; ++k) {
        const auto start = std::chrono::steady_clock::now();
        run();
        best = std::min(
            best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    return best;
}

cv::Mat read(const std::string& path, common::ProfileHandling profiles)
{
    std::string error;
    common::ReadOptions options;
    options.profiles = profiles;
    cv::Mat img = common::readPhotograph(path, error, nullptr, options);
    if (img.empty()) {
        std::cerr << "bench: cannot read " << path << ": " << error << std::endl;
        std::exit(1);
    }
    return img;
}

} // namespace

int main(int argc, char** argv)
{
    double megapixels = 12;
    int repeats = 5;
    for (int k = 1; k + 1 < argc; k += 2) {
        if (std::strcmp(argv[k], "--megapixels") == 0)
            megapixels = std::atof(argv[k + 1]);
        else if (std::strcmp(argv[k], "--repeats") == 0)
            repeats = std::max(1, std::atoi(argv[k + 1]));
    }
    const int width = int(std::lround(std::sqrt(megapixels * 1e6 * 4.0 / 3.0)));
    const int height = int(std::lround(width * 3.0 / 4.0));

    const fs::path dir = fs::temp_directory_path() / ("bench-reader-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    cv::Mat photo;
    cv::resize(cv::imread(SAMPLES_DIR "/coffee.png"), photo, cv::Size(width, height), 0, 0,
        cv::INTER_CUBIC);
    cv::Mat noise(photo.size(), CV_8UC3);
    cv::randu(noise, 0, 6);
    photo += noise;
    const std::vector<uchar> p3 = testimages::displayP3Profile();
    const std::string plain = (dir / "plain.jpg").string();
    const std::string tagged = (dir / "p3.jpg").string();
    const std::string wide = (dir / "p3-16.png").string();
    cv::imwrite(plain, photo, { cv::IMWRITE_JPEG_QUALITY, 95 });
    testimages::writeJpeg(tagged, testimages::toDisplayP3(photo), { false, false, false, p3 });
    testimages::writePngWith(
        wide, testimages::toDisplayP3(photo, CV_16U), { p3, false, 0, false, {} });

    const double imread = bestOf(repeats, [&] { cv::imread(plain, cv::IMREAD_COLOR); });
    const double untagged = bestOf(repeats, [&] { read(plain, common::ProfileHandling::Convert); });
    const double asStored = bestOf(repeats, [&] { read(tagged, common::ProfileHandling::Ignore); });
    const double converted
        = bestOf(repeats, [&] { read(tagged, common::ProfileHandling::Convert); });
    const double wideStored = bestOf(repeats, [&] { read(wide, common::ProfileHandling::Ignore); });
    const double wideConverted
        = bestOf(repeats, [&] { read(wide, common::ProfileHandling::Convert); });

    std::printf("image reader, %d x %d pixels, best of %d\n", width, height, repeats);
    std::printf("  untagged JPEG: cv::imread %.3f s, the reader %.3f s (%.2f)\n", imread, untagged,
        untagged / imread);
    std::printf("  Display P3 JPEG: as stored %.3f s, converted %.3f s (+%.0f%%)\n", asStored,
        converted, 100.0 * (converted / asStored - 1.0));
    std::printf("  Display P3 16-bit PNG: as stored %.3f s, converted %.3f s (+%.0f%%)\n",
        wideStored, wideConverted, 100.0 * (wideConverted / wideStored - 1.0));
    fs::remove_all(dir);
    return 0;
}
