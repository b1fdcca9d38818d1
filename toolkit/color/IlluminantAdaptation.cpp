#include "toolkit/color/IlluminantAdaptation.hpp"

#include "toolkit/color/ChromaticAdaptation.hpp"
#include "toolkit/color/WhitePoint.hpp"
#include "toolkit/common/InputChecks.hpp"

#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <filesystem>
#include <limits>

using toolkit::common::requireType;

namespace {

// Adaptation passes before giving up on convergence.
constexpr int kMaxPasses = 80;

// Shadow mask: the file, read from the working directory, and the grey level
// above which a pixel counts as shadow.
const char* const kShadowFile = "Masks/giantShadow.jpg";
constexpr unsigned char kShadowThreshold = 100;
constexpr unsigned char kMaskKeep = 255;

// The image-sized mask: 255 everywhere except where the shadow image, over
// the area it covers, is above the threshold. A missing or unreadable file
// leaves it all 255.
cv::Mat shadowMask(int rows, int cols)
{
    cv::Mat mask(rows, cols, CV_8UC1, cv::Scalar::all(kMaskKeep));
    std::error_code ec;
    if (!std::filesystem::is_regular_file(kShadowFile, ec))
        return mask;
    cv::Mat shadow;
    try {
        shadow = cv::imread(kShadowFile, cv::IMREAD_GRAYSCALE);
    } catch (const cv::Exception&) {
        return mask;
    }
    if (shadow.empty() || shadow.type() != CV_8UC1)
        return mask;

    const int overlapRows = std::min(rows, shadow.rows);
    const int overlapCols = std::min(cols, shadow.cols);
    for (int i = 0; i < overlapRows; ++i) {
        const unsigned char* s = shadow.ptr<unsigned char>(i);
        unsigned char* m = mask.ptr<unsigned char>(i);
        for (int j = 0; j < overlapCols; ++j)
            if (s[j] > kShadowThreshold)
                m[j] = 0;
    }
    return mask;
}

} // namespace

void toolkit::color::performIlluminantAdaptation(cv::Mat& image, const cv::Mat& reference, float D)
{
    requireType(image, CV_32FC3, "performIlluminantAdaptation", "image");
    requireType(reference, CV_32FC3, "performIlluminantAdaptation", "reference");
    // A NaN state makes the first estimate of each image count as unconverged.
    const cv::Scalar unset
        = cv::Scalar::all(static_cast<double>(std::numeric_limits<float>::quiet_NaN()));
    cv::Mat imageWhite(1, 1, CV_32FC3), referenceWhite(1, 1, CV_32FC3);
    cv::Mat imageState(1, 1, CV_32FC3, unset), referenceState(1, 1, CV_32FC3, unset);

    const cv::Mat mask = shadowMask(image.rows, image.cols);

    computeWhitePointFromGrayWorld(reference, referenceWhite, referenceState, mask);
    computeWhitePointFromGrayWorld(image, imageWhite, imageState, mask);

    for (int pass = 0; pass < kMaxPasses; ++pass) {
        CAT(image, imageWhite, referenceWhite, D, mask);
        if (computeWhitePointFromGrayWorld(image, imageWhite, imageState, mask))
            break;
    }
}
