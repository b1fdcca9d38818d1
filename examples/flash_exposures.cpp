// flash-exposures FLASH NOFLASH [NAME_PREFIX] [OUTPUT_DIR]
//
// Builds the exposure stack of a flash/no-flash pair of one scene with
// toolkit::exposure::createBrightnessExposures: six exposures synthesised
// from the smoothed no-flash photograph, the flash photograph adapted towards
// each of them, and the stack's HDR merge, tone mapping and exposure fusion.
//
// The toolkit writes its files under fixed names into the working directory,
// so after reading both photographs the program works in OUTPUT_DIR (created
// when missing; default: the current directory). The main outputs are
// NAME_PREFIX + ".hdr", ".jpg" (tone-mapped) and "fusion.jpg" (default prefix
// "exposures").
//
// Exit status: 0 when the three main outputs were written; 2 for a wrong
// argument list; 1 when an image cannot be read, the photographs differ in
// size, the output directory cannot be used or an output was not written.

#include "toolkit/common/CommonFunctions.hpp"
#include "toolkit/exposure/ExposureStacks.hpp"

#include <exception>
#include <filesystem>
#include <iostream>
#include <string>
#include <system_error>

#include <malloc.h>

namespace fs = std::filesystem;

namespace {

// Factor 10 keeps the first exposure at the smoothed brightness; the five
// others brighten by exponents up to about 1.19.
constexpr float kBrightnessFactor = 10.0f;
// Adaptation steps of the flash photograph towards each exposure.
constexpr int kAdaptationSteps = 2;

const char* const kDefaultPrefix = "exposures";

// Allocations below this size come from the heap and are reused once freed.
constexpr int kHeapedAllocationLimit = 64 << 20;

constexpr int kStatusFailure = 1;
constexpr int kStatusUsage = 2;

int usage()
{
    std::cerr << "usage: flash-exposures FLASH NOFLASH [NAME_PREFIX] [OUTPUT_DIR]" << std::endl;
    return kStatusUsage;
}

int fail(const std::string& message)
{
    std::cerr << "flash-exposures: " << message << std::endl;
    return kStatusFailure;
}

// The photograph as CV_32FC3 B, G, R in [0, 1]; empty when it cannot be read.
cv::Mat readNormalised(const std::string& path)
{
    cv::Mat img8 = toolkit::common::readColourImage(path);
    if (img8.empty())
        return cv::Mat();
    cv::Mat img(img8.size(), CV_32FC3);
    toolkit::common::normImg(img8, img);
    return img;
}

// Whether the file was (re)written since `start`.
bool writtenSince(const std::string& path, fs::file_time_type start)
{
    std::error_code ec;
    const fs::file_time_type written = fs::last_write_time(path, ec);
    return !ec && written >= start;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3 || argc > 5)
        return usage();
    // Every step allocates and frees image-sized planes again; keeping freed
    // memory in the heap, instead of returning it to the kernel and faulting
    // it in anew, saves a good share of the run.
    ::mallopt(M_MMAP_THRESHOLD, kHeapedAllocationLimit);
    ::mallopt(M_TRIM_THRESHOLD, kHeapedAllocationLimit);
    const std::string flashPath = argv[1];
    const std::string noFlashPath = argv[2];
    const std::string prefix = argc > 3 ? argv[3] : kDefaultPrefix;
    const std::string outputDir = argc > 4 ? argv[4] : ".";
    if (prefix.empty() || outputDir.empty())
        return usage();

    cv::Mat flash = readNormalised(flashPath);
    if (flash.empty())
        return fail("cannot read image " + flashPath);
    cv::Mat noFlash = readNormalised(noFlashPath);
    if (noFlash.empty())
        return fail("cannot read image " + noFlashPath);
    if (flash.size() != noFlash.size())
        return fail("the photographs differ in size: " + flashPath + " and " + noFlashPath);

    std::error_code ec;
    fs::create_directories(outputDir, ec);
    if (ec)
        return fail("cannot create " + outputDir + ": " + ec.message());
    fs::current_path(outputDir, ec);
    if (ec)
        return fail("cannot work in " + outputDir + ": " + ec.message());

    const fs::file_time_type start = fs::file_time_type::clock::now();
    try {
        toolkit::exposure::createBrightnessExposures(
            flash, noFlash, kBrightnessFactor, kAdaptationSteps, prefix);
    } catch (const std::exception& e) {
        return fail(std::string("the exposure stack failed: ") + e.what());
    }

    // The toolkit does not report failed writes; the outputs are the result.
    for (const std::string suffix : { ".hdr", ".jpg", "fusion.jpg" }) {
        if (!writtenSince(prefix + suffix, start))
            return fail("could not write " + (fs::path(outputDir) / (prefix + suffix)).string());
    }
    return 0;
}
