#include "toolkit/exposure/ExposureStacks.hpp"
#include "toolkit/common/DebugOutput.hpp"

#include "toolkit/color/BrightnessSeries.hpp"
#include "toolkit/color/ChromaticAdaptation.hpp"
#include "toolkit/color/LocalAdaptation.hpp"
#include "toolkit/color/RgbXyz.hpp"
#include "toolkit/common/CommonFunctions.hpp"
#include "toolkit/exposure/CameraResponse.hpp"
#include "toolkit/exposure/HdrChain.hpp"
#include "toolkit/exposure/ToneMapping.hpp"
#include "toolkit/guidedfilter/GuidedFilter.hpp"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/photo.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <exception>
#include <fstream>
#include <future>
#include <iostream>
#include <mutex>
#include <sstream>
#include <vector>

namespace {

namespace hdr = toolkit::exposure::hdr;

constexpr int kExposureCount = 6;

// Exposure-time tables: entry k = longest / 2^k, k = 0..6. Exposure i is
// taken with 1 / entry i + 1.
constexpr int kTableSize = kExposureCount + 1;
constexpr double kLongestTime = 1024.0;
constexpr double kLongestTimeFromFlash = 30.0;
using TimeTable = std::array<float, kTableSize>;
using ExposureSet = std::array<cv::Mat, kExposureCount>;

// Inputs on 0..1 are filtered on the 0..255 scale; the regularisations are
// given for 0..1 data and scaled by 255^2.
constexpr float kByteScale = 255.0f;
constexpr double kByteScaleSquared = 65025.0;

// Self-guided smoothing of the no-flash photograph.
constexpr int kNoFlashRadius = 4;
constexpr double kNoFlashEps = 0.0001;
// Flash-guided smoothing of the no-flash photograph (second variant).
constexpr int kFlashGuidedRadius = 8;
constexpr double kFlashGuidedEps = 0.0004;

// The exposures' G value is sampled at this pixel for "yValues.txt".
constexpr int kSampleRow = 5;
constexpr int kSampleCol = 5;

// Bilateral smoothing of a corrected exposure: diameter and space sigma a
// hundredth of the diagonal, a colour sigma that keeps every edge.
constexpr int kCorrectionDivisor = 100;
constexpr double kCorrectionSigmaColor = 0.01;
// The diagonal is printed as a fiftieth.
constexpr int kPrintedDiagonalDivisor = 50;

const char* const kMaskPath = "maskFiltered06.jpg";

TimeTable timeTable(double longest)
{
    TimeTable table {};
    for (int k = 0; k < kTableSize; ++k)
        table[k] = static_cast<float>(longest / std::pow(2.0, k));
    return table;
}

// Squares summed in int, the root in double, truncated.
int diagonalOf(const cv::Mat& img)
{
    return static_cast<int>(
        std::sqrt(static_cast<double>(img.cols * img.cols + img.rows * img.rows)));
}

// One whole line on standard output. The line goes to the stream in a single
// write, so it is not torn by lines printed from other threads.
void printLine(const std::string& text)
{
    const std::string line = text + "\n";
#pragma omp critical(toolkit_exposure_stdout)
    toolkit::common::progress() << line << std::flush;
}

std::string indexText(int i)
{
    return toolkit::common::convertIntToString(i);
}

// Every element divided by the divisor in float.
void divideInPlace(cv::Mat& img, float divisor)
{
    const int width = img.cols * img.channels();
    for (int i = 0; i < img.rows; ++i) {
        float* p = img.ptr<float>(i);
        for (int j = 0; j < width; ++j)
            p[j] = p[j] / divisor;
    }
}

ExposureSet allocateSet(const cv::Size& size)
{
    ExposureSet set;
    for (cv::Mat& m : set)
        m.create(size, CV_32FC3);
    return set;
}

// The drivers index both photographs with the flash photograph's size.
void checkPair(const cv::Mat& flash, const cv::Mat& noFlash)
{
    if (flash.empty() || flash.type() != CV_32FC3 || noFlash.type() != CV_32FC3
        || flash.size() != noFlash.size())
        CV_Error(cv::Error::StsBadArg,
            "the flash and no-flash photographs must be CV_32FC3 images of one size");
}

// The mask is optional: without the file it stays empty (looked for first,
// so that its usual absence does not make the codec library log a warning).
cv::Mat readMask()
{
    if (!std::ifstream(kMaskPath).good())
        return cv::Mat();
    return cv::imread(kMaskPath, cv::IMREAD_GRAYSCALE);
}

// Adapts the flash image, `iterations` times, from its guided-filter white
// towards the sharpened target; the white is computed on the XYZ image.
// xyz holds the flash image in XYZ and follows it; flash receives each step
// in BGR, written to "0_<n>_final.jpg".
void adaptFlashTowards(cv::Mat& flash, cv::Mat& xyz, const cv::Mat& target, const cv::Mat& mask,
    int iterations, int diagonal)
{
    namespace color = toolkit::color;
    const int pass = 0;
    cv::Mat sharp(flash.size(), CV_32FC3);
    cv::Mat whiteXYZ;
    cv::Mat whiteSharp(flash.size(), CV_32FC3);
    for (int n = 0; n < iterations; ++n) {
        color::convertXYZtoSharpenedBGR(xyz, sharp);
        color::computeWhiteImg(xyz, whiteXYZ, diagonal);
        color::convertXYZtoSharpenedBGR(whiteXYZ, whiteSharp);
        color::biCAT(sharp, whiteSharp, whiteXYZ, target, mask);
        color::convertSharpenedBGRtoXYZ(sharp, xyz);
        color::convertXYZToBGRDirect(xyz, flash);
        toolkit::common::writeImage(
            indexText(pass) + "_" + indexText(n) + "_final" + ".jpg", hdr::times255(flash));
    }
}

// Runs f with the caller's debug output, or with debug files and progress
// lines off: for steps whose files a later step replaces (f prints nothing).
template <class F> void withDebugFilesIf(bool keep, F&& f)
{
    if (keep) {
        f();
        return;
    }
    const toolkit::common::DebugOutputScope quiet(toolkit::common::DebugOutput::off());
    f();
}

// The guided-filter white (computeWhiteImg) of a BGR image, taken through
// XYZ into the sharpened space.
void sharpenedWhiteOf(const cv::Mat& bgr, cv::Mat& whiteSharp, int diagonal, bool keepFiles)
{
    namespace color = toolkit::color;
    cv::Mat white;
    withDebugFilesIf(keepFiles, [&] { color::computeWhiteImg(bgr, white, diagonal); });
    cv::Mat whiteXYZ(bgr.size(), CV_32FC3);
    color::convertBGRToXYZDirect(white, whiteXYZ);
    color::convertXYZtoSharpenedBGR(whiteXYZ, whiteSharp);
}

// Every exposure's first adaptation step starts from the flash photograph
// itself: its sharpened white, made once on a thread of its own while the
// exposures are synthesised. With a single step its debug files are the ones
// left. Empty without steps.
std::future<cv::Mat> startFlashWhite(const cv::Mat& flash, int iterations, int diagonal)
{
    const toolkit::common::DebugOutput debugOutput = toolkit::common::currentDebugOutput();
    return std::async(std::launch::async, [&flash, iterations, diagonal, debugOutput] {
        const toolkit::common::DebugOutputScope scope(debugOutput);
        cv::Mat whiteSharp;
        if (iterations > 0) {
            whiteSharp.create(flash.size(), CV_32FC3);
            sharpenedWhiteOf(flash, whiteSharp, diagonal, iterations == 1);
        }
        return whiteSharp;
    });
}

// Step 3 of createBrightnessExposures: the flash photograph (BGR, XYZ, and
// its sharpened white) adapted `iterations` times towards each exposure,
// every step written. The first step's sharpened image is the same for every
// exposure and made once. The whites' and biCAT's debug files are left by
// exposure 5's last step alone, as a single thread running the exposures in
// order would leave them.
void adaptFlashTowardsEach(const cv::Mat& flash, const cv::Mat& xyzFlash,
    const cv::Mat& flashWhiteSharp, const ExposureSet& targets, const cv::Mat& mask, int iterations,
    int diagonal, const std::string& name)
{
    namespace color = toolkit::color;
    if (iterations <= 0)
        return;
    const cv::Size size = flash.size();
    cv::Mat flashSharp(size, CV_32FC3);
    color::convertXYZtoSharpenedBGR(xyzFlash, flashSharp);

    toolkit::exposure::forEachExposure([&](int i) {
        cv::Mat sharp, xyz(size, CV_32FC3), cur(size, CV_32FC3);
        cv::Mat whiteSharp(size, CV_32FC3);
        for (int n = 0; n < iterations; ++n) {
            const bool keepFiles = i == kExposureCount - 1 && n == iterations - 1;
            if (n == 0)
                flashSharp.copyTo(sharp);
            else
                color::convertXYZtoSharpenedBGR(xyz, sharp);
            printLine(name + " " + indexText(i));
            if (n > 0)
                sharpenedWhiteOf(cur, whiteSharp, diagonal, keepFiles);
            printLine(name + " " + indexText(i));
            const cv::Mat& white = n == 0 ? flashWhiteSharp : whiteSharp;
            if (keepFiles)
                color::biCAT(sharp, white, cv::Mat(), targets[i], mask);
            else
                color::biCATWithoutFiles(sharp, white, targets[i]);
            color::convertSharpenedBGRtoXYZ(sharp, xyz);
            color::convertXYZToBGRDirect(xyz, cur);
            toolkit::common::writeImage(
                name + indexText(n) + "_0" + indexText(i) + "_final" + ".jpg", hdr::times255(cur));
        }
    });
}

// The HDR chain's results for one exposure list.
struct HdrResults {
    cv::Mat response, merged, toneMapped, fusion;
};

// Calibration, merge, tone mapping and fusion; writes and prints nothing.
// The fusion needs no response: it runs on a thread of its own meanwhile.
HdrResults runHdrChain(const std::vector<cv::Mat>& images, const std::vector<float>& times)
{
    std::future<cv::Mat> fusion
        = std::async(std::launch::async, [&images] { return hdr::fuse(images); });
    HdrResults results;
    results.response = hdr::calibrateResponse(images, times);
    results.merged = hdr::mergeHdr(images, times, results.response);
    results.toneMapped = hdr::toneMap(results.merged);
    results.fusion = fusion.get();
    return results;
}

} // namespace

void toolkit::exposure::forEachExposure(const std::function<void(int)>& body)
{
    // An exception must not leave an OpenMP region (that terminates the
    // process): each iteration keeps its own and the first is rethrown here.
    std::array<std::exception_ptr, kExposureCount> failures;
    // The caller's debug setting holds on the worker threads too.
    const common::DebugOutput debugOutput = common::currentDebugOutput();
#pragma omp parallel for schedule(static)
    for (int i = 0; i < kExposureCount; ++i) {
        try {
            const common::DebugOutputScope scope(debugOutput);
            body(i);
        } catch (...) {
            failures[i] = std::current_exception();
        }
    }
    for (const std::exception_ptr& failure : failures) {
        if (failure)
            std::rethrow_exception(failure);
    }
}

void toolkit::exposure::computeCorrectedNonFlash(
    cv::Mat* exposures, const cv::Mat& white, const cv::Mat& sizeReference, int index, int diagonal)
{
    if (exposures == nullptr || index < 0)
        CV_Error(
            cv::Error::StsBadArg, "computeCorrectedNonFlash needs an exposure array and index");
    cv::Mat& exposure = exposures[index];
    if (exposure.type() != CV_32FC3 || exposure.size() != sizeReference.size()
        || white.type() != CV_32FC3 || white.rows < exposure.rows || white.cols < exposure.cols)
        CV_Error(cv::Error::StsBadArg,
            "computeCorrectedNonFlash: the exposure must be CV_32FC3 of the reference's size and "
            "the white CV_32FC3 covering it");

    cv::Mat work(sizeReference.size(), CV_32FC3);
    color::inverseCATByD65(exposure, white, sizeReference);
    color::convertSharpenedBGRtoXYZ(exposure, work);
    color::convertXYZToBGRDirect(work, exposure);
    common::writeImage(indexText(index) + "_nonFlash" + ".jpg", hdr::times255(exposure));

    const int d = diagonal / kCorrectionDivisor;
    cv::bilateralFilter(
        exposure, work, d, kCorrectionSigmaColor, static_cast<double>(d), cv::BORDER_REFLECT_101);
    color::convertBGRToXYZDirect(work, exposure);
    color::convertXYZtoSharpenedBGR(exposure, work);
    work.copyTo(exposure);
}

void toolkit::exposure::createBrightnessExposures(
    cv::Mat& flash, cv::Mat& noFlash, float factor, int iterations, std::string name)
{
    checkPair(flash, noFlash);
    const cv::Size size = flash.size();

    const TimeTable table = timeTable(kLongestTime);
    for (float t : table)
        toolkit::common::progress() << t << std::endl;

    const int diagonal = diagonalOf(flash);
    const cv::Mat mask = readMask();
    std::future<cv::Mat> flashWhite = startFlashWhite(flash, iterations, diagonal);

    ExposureSet synth = allocateSet(size); // the synthesised exposures
    for (int i = 0; i < kExposureCount; ++i)
        toolkit::common::progress() << iterations << std::endl;

    // Self-guided smoothing on the 0..255 scale. A negative smoothed channel
    // (an overshoot at a strong edge) makes the pixel keep its original value.
    noFlash *= static_cast<double>(kByteScale);
    const cv::Mat noFlashGuide = noFlash;
    cv::Mat smoothed;
    // The filter's debug files are those of the last white when there are
    // adaptation steps.
    withDebugFilesIf(iterations <= 0, [&] {
        smoothed = guidedfilter::guidedFilter(
            noFlash, noFlashGuide, kNoFlashRadius, kNoFlashEps * kByteScaleSquared, -1);
    });
    for (int i = 0; i < size.height; ++i) {
        cv::Vec3f* s = smoothed.ptr<cv::Vec3f>(i);
        const cv::Vec3f* o = noFlash.ptr<cv::Vec3f>(i);
        for (int j = 0; j < size.width; ++j) {
            for (int k = 0; k < 3; ++k) {
                if (s[j][k] < 0.0f)
                    s[j] = o[j];
            }
        }
    }
    toolkit::common::progress() << diagonal / kPrintedDiagonalDivisor << std::endl;
    toolkit::common::writeDebugImage("smoothBegin.jpg", smoothed);
    smoothed.copyTo(noFlash);
    divideInPlace(noFlash, kByteScale);

    cv::Mat xyzFlash(size, CV_32FC3);
    color::convertBGRToXYZDirect(flash, xyzFlash);
    const cv::Mat xyzFlashCopy = xyzFlash.clone();
    cv::Mat xyzNoFlash(size, CV_32FC3);
    color::convertBGRToXYZDirect(noFlash, xyzNoFlash);
    const cv::Mat xyzNoFlashCopy = xyzNoFlash.clone();
    cv::Mat white(size, CV_32FC3);
    color::convertXYZtoSharpenedBGR(xyzNoFlash, white);
    cv::Mat adapted(size, CV_32FC3);
    color::convertXYZtoSharpenedBGR(xyzNoFlash, adapted);

    color::iCAMCATByD65(adapted, white, xyzNoFlashCopy);

    // Each exposure, as soon as its pass has made it, is brought back to BGR
    // and written, then held in the sharpened space, and its 8-bit image for
    // the HDR chain is made as loadExposureSeq makes it below.
    std::vector<cv::Mat> chainImages(kExposureCount);
    {
        std::ofstream yValues(toolkit::common::debugFilePath("yValues.txt"), std::ios::trunc);
        std::mutex yValuesLock;
        const int sampleRow = std::min(kSampleRow, size.height - 1);
        const int sampleCol = std::min(kSampleCol, size.width - 1);
        color::increaseBrightness(adapted, synth.data(), factor, [&](int i) {
            cv::Mat work(size, CV_32FC3);
            color::inverseCATByD65(synth[i], white, xyzNoFlashCopy);
            color::convertSharpenedBGRtoXYZ(synth[i], work);
            color::convertXYZToBGRDirect(work, synth[i]);
            common::writeImage(indexText(i) + "_nonFlash" + ".jpg", hdr::times255(synth[i]));
            synth[i].copyTo(work);
            color::convertBGRToXYZDirect(work, synth[i]);

            std::ostringstream line;
            line << work.at<cv::Vec3f>(sampleRow, sampleCol)[1] << "\n";
            {
                const std::lock_guard<std::mutex> hold(yValuesLock);
                yValues << line.str() << std::flush;
            }

            color::convertXYZtoSharpenedBGR(synth[i], work);
            work.copyTo(synth[i]);
            cv::Mat scaled = synth[i].clone();
            chainImages[i] = hdr::toEightBit(scaled);
        });
    }
    toolkit::common::progress() << "paralell" << std::endl;

    // The HDR chain needs only the exposures' 8-bit images, and the
    // adaptation reads the exposures without changing them: the chain runs
    // meanwhile.
    std::vector<float> chainTimes;
    for (int i = 0; i < kExposureCount; ++i)
        chainTimes.push_back(hdr::exposureTime(table.data(), i));
    std::future<HdrResults> chain = std::async(std::launch::async,
        [&chainImages, &chainTimes] { return runHdrChain(chainImages, chainTimes); });

    adaptFlashTowardsEach(
        flash, xyzFlashCopy, flashWhite.get(), synth, mask, iterations, diagonal, name);

    std::vector<cv::Mat> images;
    std::vector<float> times;
    loadExposureSeq(synth.data(), noFlash, table.data(), images, times, kExposureCount);

    const HdrResults hdrResults = chain.get();
    toolkit::common::progress() << hdrResults.response << std::endl;
    hdr::writeResponseColumns(hdrResults.response, "R.txt", "G.txt", "B.txt", "values.txt");
    hdr::writeOutputs(name, hdrResults.merged, hdrResults.toneMapped, hdrResults.fusion);
}

void toolkit::exposure::createBrightnessExposuresVs2(
    cv::Mat& flash, cv::Mat& noFlash, float factor, int iterations, std::string name)
{
    checkPair(flash, noFlash);
    const cv::Size size = flash.size();

    const TimeTable table = timeTable(kLongestTimeFromFlash);
    const int diagonal = diagonalOf(flash);
    const cv::Mat mask(size, CV_8UC1, cv::Scalar::all(255));

    // The no-flash photograph smoothed under the flash photograph's structure,
    // on the 0..255 scale.
    flash *= static_cast<double>(kByteScale);
    noFlash *= static_cast<double>(kByteScale);
    const cv::Mat smoothed = guidedfilter::guidedFilter(
        flash, noFlash, kFlashGuidedRadius, kFlashGuidedEps * kByteScaleSquared, -1);
    toolkit::common::writeDebugImage("smoothBegin.jpg", smoothed);
    divideInPlace(flash, kByteScale);
    smoothed.copyTo(noFlash);
    divideInPlace(noFlash, kByteScale);

    ExposureSet scratch = allocateSet(size);
    ExposureSet exposures = allocateSet(size);

    cv::Mat xyz(size, CV_32FC3);
    color::convertBGRToXYZDirect(flash, xyz);
    cv::Mat xyzNoFlash(size, CV_32FC3);
    color::convertBGRToXYZDirect(noFlash, xyzNoFlash);
    cv::Mat target(size, CV_32FC3);
    color::convertXYZtoSharpenedBGR(xyzNoFlash, target);

    adaptFlashTowards(flash, xyz, target, mask, iterations, diagonal);

    // The exposures are synthesised from the adapted flash image.
    const cv::Mat xyzCopy = xyz.clone();
    cv::Mat white(size, CV_32FC3);
    color::convertXYZtoSharpenedBGR(xyzCopy, white);
    cv::Mat adapted(size, CV_32FC3);
    color::convertXYZtoSharpenedBGR(xyz, adapted);
    color::iCAMCATByD65(adapted, white, xyzCopy);
    color::increaseBrightness(adapted, exposures.data(), factor);

    forEachExposure([&](int i) {
        color::inverseCATByD65(exposures[i], white, xyzCopy);
        color::convertSharpenedBGRtoXYZ(exposures[i], scratch[i]);
        color::convertXYZToBGRDirect(scratch[i], exposures[i]);
        common::writeImage(indexText(i) + "_nonFlash" + ".jpg", hdr::times255(exposures[i]));
        printLine("here");
        if (i == 0)
            toolkit::common::writeDebugImage("test18.jpg", hdr::times255(exposures[0]));
    });

    std::vector<cv::Mat> images;
    std::vector<float> times;
    loadExposureSeq(exposures.data(), noFlash, table.data(), images, times, kExposureCount);
    toolkit::common::writeDebugImage("nonflash.jpg", noFlash);

    const HdrResults hdrResults = runHdrChain(images, times);
    hdr::writeOutputs(name, hdrResults.merged, hdrResults.toneMapped, hdrResults.fusion);
}

void toolkit::exposure::createBrightnessExposuresVs3(
    cv::Mat& flash, cv::Mat& noFlash, float /*factor*/, int iterations, std::string /*name*/)
{
    checkPair(flash, noFlash);
    const cv::Size size = flash.size();

    for (float t : timeTable(kLongestTimeFromFlash))
        toolkit::common::progress() << t << std::endl;
    const int diagonal = diagonalOf(flash);
    const cv::Mat mask(size, CV_8UC1, cv::Scalar::all(255));

    cv::Mat xyz(size, CV_32FC3);
    color::convertBGRToXYZDirect(flash, xyz);
    cv::Mat xyzNoFlash(size, CV_32FC3);
    color::convertBGRToXYZDirect(noFlash, xyzNoFlash);
    cv::Mat target(size, CV_32FC3);
    color::convertXYZtoSharpenedBGR(xyzNoFlash, target);

    adaptFlashTowards(flash, xyz, target, mask, iterations, diagonal);
}
