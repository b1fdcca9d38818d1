// Exposure stacks from a flash/no-flash pair of one scene: six exposures of
// different brightness are synthesised through the appearance model's
// brightness (increaseBrightness), the flash photograph is adapted towards
// them (biCAT with guided-filter whites), and the stack is calibrated
// (Debevec), merged into an HDR image, tone-mapped (Durand) and fused
// (Mertens).
//
// Photographs are CV_32FC3, B, G, R, values in [0, 1], both of the same size.
// Sharpened images hold the CAT02 responses S, M, L in channels 0, 1, 2.
// Files go to the working directory under fixed names (overwriting); a
// directory part in `name` places the name-prefixed outputs there. These
// functions must not run concurrently in one directory.
//
// The loops over the six exposures run on OpenMP's default team with a static
// contiguous split (createBrightnessExposures brings its exposures back to BGR
// on the threads of increaseBrightness instead, and runs the HDR chain on
// threads of its own during the adaptation); lines printed from inside them
// are never torn, but lines of different exposures follow in any order.
// Fixed-name debug files that several exposures write are left as a single
// thread running the exposures in order would leave them.
#pragma once

#include <opencv2/core.hpp>

#include <functional>
#include <string>

namespace toolkit {
namespace exposure {

// Runs body(i) once for each exposure index i = 0..5, in one OpenMP parallel
// loop on the default team. Returns when all six calls have finished. An exception thrown by a call
// does not stop the others; the one of the lowest index is rethrown after the loop.
void forEachExposure(const std::function<void(int)>& body);

// Turns element `index` of `exposures` (a sharpened image adapted to D65 by
// iCAMCATByD65 with the per-pixel sharpened white `white`) back into display
// BGR, writes it, smooths it and returns it to the sharpened space, in place.
// Steps: inverseCATByD65 with `white`; sharpened -> XYZ -> BGR (companded, not
// clipped); write BGR x 255 to "<index>_nonFlash.jpg"; bilateral filter of
// diameter diagonal / 100 (integer division), colour sigma 0.01, space sigma
// diagonal / 100, reflect-101 border; BGR -> XYZ -> sharpened.
// The element must be CV_32FC3 of sizeReference's size and `white` CV_32FC3
// covering at least that size; otherwise, or for a null array or a negative
// index, cv::Exception (StsBadArg) is raised before anything is changed or
// written. Prints nothing.
void computeCorrectedNonFlash(cv::Mat* exposures, const cv::Mat& white,
    const cv::Mat& sizeReference, int index, int diagonal);

// The full stack from a flash/no-flash pair.
// 1. The no-flash photograph is smoothed by the guided filter guided by itself
//    on the 0..255 scale (radius 4, eps 6.5025); a pixel with a negative
//    smoothed channel keeps its original value. It is written to
//    "smoothBegin.jpg" and from then on replaces the no-flash photograph.
// 2. The smoothed photograph is adapted to D65 with itself as per-pixel white
//    and increaseBrightness(factor) makes six exposures; each is brought back
//    to BGR and written to "<i>_nonFlash.jpg" (i = 0..5), and the G value of
//    its pixel (5, 5) (clamped to the image for smaller images) is appended to
//    "yValues.txt" (six whole lines, in the order the threads reach them).
// 3. For each exposure i, `iterations` times: the current flash image is
//    adapted by biCAT from its guided-filter white towards exposure i and
//    written x 255 to name + step + "_0" + i + "_final.jpg" (name "out", step
//    2, exposure 3: "out2_03_final.jpg"). iterations <= 0 writes none.
// 4. The six exposures (sharpened, x 255, 8-bit) with times 1/512 .. 1/16
//    (1 / entry k + 1 of the table 1024 / 2^k) are calibrated (Debevec, 70
//    grid samples, lambda 10), merged, tone-mapped (Durand: gamma 2.2,
//    contrast 4, saturation 1, sigmas 2) and fused (Mertens: contrast and
//    saturation weights 1, exposure weight 0).
// Writes also "R.txt", "G.txt", "B.txt" (the response per channel, one value
// per line), "values.txt" (rows 0..255), name + ".hdr" (Radiance), name +
// ".jpg" (tone-mapped x 255), name + "fusion.jpg" (fusion x 255), and the
// files of increaseBrightness, computeWhiteImg, biCAT and loadExposureSeq:
// computeWhiteImg's and biCAT's are those of exposure 5's last step (with no
// steps, the guided filter's files are those of the smoothing in 1.).
// Reads "maskFiltered06.jpg" (greyscale) when present; it is handed to biCAT,
// which does not consult it, so a missing mask changes nothing.
// flash: not changed. noFlash: left holding its smoothed version x 255.
// Prints, in order: the seven table entries (1024 .. 16), the iteration count
// six times, diagonal / 50 (diagonal = (int) sqrt(cols^2 + rows^2)), the lines
// of increaseBrightness, "paralell", per adaptation step the line
// "<name> <i>" twice (with biCAT's lines; exposures interleave), the lines of
// loadExposureSeq, the response matrix and "<name>.hdr <name>.jpg".
// Both photographs must be non-empty CV_32FC3 images of one size; otherwise
// cv::Exception (StsBadArg) is raised before anything is changed, written or
// printed.
void createBrightnessExposures(
    cv::Mat& flash, cv::Mat& noFlash, float factor, int iterations, std::string name);

// The stack synthesised from the flash photograph instead.
// 1. The no-flash photograph is smoothed by the guided filter guided by the
//    flash photograph on the 0..255 scale (radius 8, eps 26.01), written to
//    "smoothBegin.jpg" and from then on replaces the no-flash photograph.
// 2. The flash photograph is adapted `iterations` times by biCAT from its
//    guided-filter white (computed on XYZ) towards the smoothed no-flash
//    photograph; step n is written x 255 to "0_<n>_final.jpg".
// 3. The adapted flash image, adapted to D65 with itself as white, gives the
//    six exposures (increaseBrightness(factor)); each is brought back to BGR
//    and written to "<i>_nonFlash.jpg", exposure 0 also to "test18.jpg".
// 4. The BGR exposures with times 1/15 .. 1/0.46875 (1 / entry k + 1 of the
//    table 30 / 2^k) are calibrated, merged, tone-mapped and fused as by
//    createBrightnessExposures; the no-flash photograph (x 255) is written to
//    "nonflash.jpg", and name + ".hdr", name + ".jpg", name + "fusion.jpg".
// Also the files of increaseBrightness, computeWhiteImg, biCAT and
// loadExposureSeq. flash: left holding the last adapted result (for
// iterations <= 0 the input, up to the float rounding of x 255 and / 255).
// noFlash: left holding its smoothed version x 255.
// Prints biCAT's lines, the lines of increaseBrightness, "here" once per
// exposure, the lines of loadExposureSeq and "<name>.hdr <name>.jpg".
// Raises cv::Exception (StsBadArg) for photographs as createBrightnessExposures.
void createBrightnessExposuresVs2(
    cv::Mat& flash, cv::Mat& noFlash, float factor, int iterations, std::string name);

// Only the adaptation of step 2 of createBrightnessExposuresVs2, on the
// photographs as given (no smoothing, no scaling): the flash photograph is
// adapted `iterations` times towards the no-flash photograph, step n written
// x 255 to "0_<n>_final.jpg", plus biCAT's and computeWhiteImg's files.
// factor and name are ignored. flash: left holding the last adapted result
// (unchanged for iterations <= 0). noFlash: not changed.
// Prints the table 30 / 2^k, k = 0..6 (30 .. 0.46875), one entry per line, and
// biCAT's lines. Raises cv::Exception (StsBadArg) for photographs as
// createBrightnessExposures.
void createBrightnessExposuresVs3(
    cv::Mat& flash, cv::Mat& noFlash, float factor, int iterations, std::string name);

} // namespace exposure
} // namespace toolkit
