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
#include <iostream>
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

    ExposureSet synth = allocateSet(size); // the synthesised exposures
    ExposureSet tmp = allocateSet(size); // scratch
    ExposureSet cur = allocateSet(size); // current flash-derived image, BGR
    ExposureSet work = allocateSet(size); // XYZ, or the smoothed white
    ExposureSet sharp = allocateSet(size); // current image, sharpened
    ExposureSet whiteXYZ = allocateSet(size);
    ExposureSet whiteSharp = allocateSet(size);
    std::array<int, kExposureCount> counter {};
    std::array<int, kExposureCount> limit {};
    for (int i = 0; i < kExposureCount; ++i) {
        counter[i] = 0;
        limit[i] = iterations;
        toolkit::common::progress() << limit[i] << std::endl;
    }

    // Self-guided smoothing on the 0..255 scale. A negative smoothed channel
    // (an overshoot at a strong edge) makes the pixel keep its original value.
    noFlash *= static_cast<double>(kByteScale);
    const cv::Mat noFlashGuide = noFlash;
    cv::Mat smoothed = guidedfilter::guidedFilter(
        noFlash, noFlashGuide, kNoFlashRadius, kNoFlashEps * kByteScaleSquared, -1);
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
    color::increaseBrightness(adapted, synth.data(), factor);

    // Every exposure back to BGR, written, then held in the sharpened space.
    {
        std::ofstream yValues(toolkit::common::debugFilePath("yValues.txt"), std::ios::trunc);
        const int sampleRow = std::min(kSampleRow, size.height - 1);
        const int sampleCol = std::min(kSampleCol, size.width - 1);
        forEachExposure([&](int i) {
            color::inverseCATByD65(synth[i], white, xyzNoFlashCopy);
            color::convertSharpenedBGRtoXYZ(synth[i], tmp[i]);
            color::convertXYZToBGRDirect(tmp[i], synth[i]);
            common::writeImage(indexText(i) + "_nonFlash" + ".jpg", hdr::times255(synth[i]));
            synth[i].copyTo(tmp[i]);
            color::convertBGRToXYZDirect(tmp[i], synth[i]);

            std::ostringstream line;
            line << tmp[i].at<cv::Vec3f>(sampleRow, sampleCol)[1] << "\n";
            const std::string text = line.str();
#pragma omp critical(toolkit_exposure_yvalues)
            yValues << text << std::flush;

            color::convertXYZtoSharpenedBGR(synth[i], tmp[i]);
            tmp[i].copyTo(synth[i]);
        });
    }
    toolkit::common::progress() << "paralell" << std::endl;

    // The flash photograph adapted step by step towards each exposure.
    forEachExposure([&](int i) {
        xyzFlashCopy.copyTo(work[i]);
        flash.copyTo(cur[i]);
        while (counter[i] < limit[i]) {
            color::convertXYZtoSharpenedBGR(work[i], sharp[i]);
            printLine(name + " " + indexText(i));
            color::computeWhiteImg(cur[i], work[i], diagonal);
            printLine(name + " " + indexText(i));
            color::convertBGRToXYZDirect(work[i], whiteXYZ[i]);
            color::convertXYZtoSharpenedBGR(whiteXYZ[i], whiteSharp[i]);
            color::biCAT(sharp[i], whiteSharp[i], whiteXYZ[i], synth[i], mask);
            color::convertSharpenedBGRtoXYZ(sharp[i], work[i]);
            color::convertXYZToBGRDirect(work[i], cur[i]);
            common::writeImage(
                name + indexText(counter[i]) + "_0" + indexText(i) + "_final" + ".jpg",
                hdr::times255(cur[i]));
            counter[i] = counter[i] + 1;
        }
    });

    std::vector<cv::Mat> images;
    std::vector<float> times;
    loadExposureSeq(synth.data(), noFlash, table.data(), images, times, kExposureCount);

    const cv::Mat response = hdr::calibrateResponse(images, times);
    const cv::Mat merged = hdr::mergeHdr(images, times, response);
    toolkit::common::progress() << response << std::endl;
    hdr::writeResponseColumns(response, "R.txt", "G.txt", "B.txt", "values.txt");
    hdr::writeOutputs(name, merged, hdr::toneMap(merged), hdr::fuse(images));
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

    const cv::Mat response = hdr::calibrateResponse(images, times);
    const cv::Mat merged = hdr::mergeHdr(images, times, response);
    hdr::writeOutputs(name, merged, hdr::toneMap(merged), hdr::fuse(images));
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
