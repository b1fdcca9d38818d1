// Reading photographs as the comparisons measure them: 8-bit B, G, R in sRGB.
//
// JPEG and PNG are decoded by the toolkit itself, through libjpeg's and
// libpng's documented error interfaces, so that damage is found the same way
// in every program, module or library that reads through here; HEIC and AVIF
// through libheif; TIFF, WebP, BMP, the portable pixmaps, Sun raster and
// JPEG 2000 through OpenCV. Intact untagged files give cv::imread's
// pixels (IMREAD_COLOR) exactly, Exif orientation applied as it applies it.
//
// An embedded colour profile (JPEG APP2, PNG iCCP, TIFF, WebP, the colour
// information of HEIC/AVIF) is honoured: the pixels are converted to sRGB
// with Little CMS 2, relative colorimetric intent, 16-bit sources from their
// 16 bits. A profile that is sRGB in all but its name (it moves no 8-bit
// value by more than one) leaves the pixels as they are.
#pragma once

#include <opencv2/core.hpp>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace toolkit {
namespace common {

// The largest image, in pixels, that the reader accepts: 250 megapixels, or
// the number of megapixels in the environment variable
// TOOLKIT_MAX_MEGAPIXELS (read once). Larger images, in every format, are
// refused from the size their decoder's header reading finds, before
// anything is allocated for them.
std::uint64_t maxImagePixels();

// Sets the limit of maxImagePixels() for the rest of the process (0 keeps it).
void setMaxImagePixels(std::uint64_t pixels);

// What the reader does with an embedded colour profile.
enum class ProfileHandling {
    Convert, // pixels converted to sRGB through it (the default)
    Ignore, // pixels taken as they are stored, as if they were sRGB
};

// "convert" or "ignore"; false for anything else.
bool parseProfileHandling(const std::string& text, ProfileHandling& handling);

// The handling the environment variable TOOLKIT_PROFILES asks for ("convert"
// or "ignore"; Convert when unset or empty). Another value is an error, with
// the reason in `error`, and gives Convert.
ProfileHandling profileHandlingFromEnvironment(std::string& error);

// What the reader did with an image's colour profile.
enum class ProfileAction {
    None, // the file has no profile: taken as sRGB
    Kept, // its profile is sRGB in all but its name: pixels as stored
    Converted, // converted to sRGB through its profile
    Ignored, // ProfileHandling::Ignore: pixels as stored
    Unusable, // a profile Little CMS cannot use (see `warning`): taken as sRGB
};

// What an image file holds and what the reader did with it.
struct ImageFacts {
    std::string format; // "JPEG", "PNG", "HEIF", "AVIF", "TIFF", "WebP", ...
    int width = 0; // of the image as read, after any orientation
    int height = 0;
    int bitDepth = 0; // bits per sample in the file (1 to 16)
    bool grey = false; // one grey channel
    bool cmyk = false; // CMYK, converted to B, G, R
    bool alpha = false; // an alpha channel (or palette transparency), dropped
    // The share of pixels that are not fully opaque, 0 to 1; negative when
    // the file has alpha but the share was not measured.
    double nonOpaqueShare = 0.0;
    std::string profile; // the embedded profile's description; "" for none
    bool hasProfile = false;
    ProfileAction profileAction = ProfileAction::None;
    // Why a profile could not be used; "" otherwise.
    std::string warning;

    // One line on what was done: "converted to sRGB from \"Display P3\"",
    // "CMYK converted without a profile; alpha dropped (12.5% not opaque)",
    // "as stored" when nothing was done.
    std::string reading() const;
};

// Called with decoded rows while the reader reads: `count` B, G, R pixels
// from `pixels`, in sRGB. Every pixel of the image is shown once, row by row
// of the stored image (before an Exif orientation turns it). Rows of an image
// that is then refused may have been seen.
using RowObserver = std::function<void(const uchar* pixels, std::size_t count)>;

struct ReadOptions {
    ProfileHandling profiles = ProfileHandling::Convert;
    RowObserver onRows;
};

// Reads an image file as 8-bit three-channel B, G, R in sRGB, without ever
// throwing. Gives an empty matrix, with the reason in `error`, when the path
// is not a regular file, the file cannot be opened, its format is unknown or
// not supported (named in the message), it holds floating-point or 32-bit
// samples (the comparisons take 8- or 16-bit photographs), its header gives
// more pixels than maxImagePixels(), it is a JPEG file of more than 500
// scans, the decoder reported damage (a file cut short, corrupt data, a PNG
// failing its checks), in the decoder's words, or memory ran short ("out of
// memory"). The file is opened once, and what is decoded is what was read
// from that open file. Fills `facts` (when given) for a file that was read.
// Prints nothing.
cv::Mat readPhotograph(const std::string& path, std::string& error, ImageFacts* facts = nullptr,
    const ReadOptions& options = ReadOptions());

// The line a program prints on standard error about how an image was read,
// without the program's name and without a newline: for a conversion through
// its profile (`"a.jpg": converted to sRGB from its colour profile "Display
// P3"`), a profile that could not be used (a warning) or CMYK converted
// without a profile; "" when the pixels were taken as stored.
std::string readingNotice(const std::string& path, const ImageFacts& facts);

// readPhotograph with the default options.
cv::Mat readColourImage(const std::string& path, std::string& error);
cv::Mat readColourImage(const std::string& path);
cv::Mat readColourImage(const std::string& path, std::string& error, const RowObserver& onRows);

// readPhotograph for an encoded image in memory.
cv::Mat decodeColourImage(const std::vector<uchar>& bytes, std::string& error,
    ImageFacts* facts = nullptr, const ReadOptions& options = ReadOptions());

} // namespace common
} // namespace toolkit
