// The Python module photocolour: the toolkit's image reader (with what it
// found in a file), comparisons, appearance model, colour spaces, adaptation,
// guided filter, colour transfer and tone mapping on numpy arrays. Every
// function copies its inputs, returns new arrays, releases the GIL while it
// computes and, unless given debug_dir, writes no file and prints nothing
// (read_image's warnings go through Python's warnings).
#include "programs/lab-compare/LabCompare.hpp"
#include "programs/metrics/Metrics.hpp"
#include "toolkit/color/AppearanceModel.hpp"
#include "toolkit/color/ChromaticAdaptation.hpp"
#include "toolkit/color/ConeSpaces.hpp"
#include "toolkit/color/RgbXyz.hpp"
#include "toolkit/common/CommonFunctions.hpp"
#include "toolkit/common/DebugOutput.hpp"
#include "toolkit/common/DistinctColours.hpp"
#include "toolkit/common/ImageReader.hpp"
#include "toolkit/exposure/ToneMapping.hpp"
#include "toolkit/guidedfilter/GuidedFilter.hpp"
#include "toolkit/transport/MongeTransform.hpp"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

namespace py = pybind11;
namespace color = toolkit::color;
namespace common = toolkit::common;

namespace {

using DebugDir = std::optional<std::string>;

common::DebugOutput debugOutput(const DebugDir& dir)
{
    return dir ? common::DebugOutput::into(*dir) : common::DebugOutput::off();
}

std::string dtypeName(const py::array& array)
{
    return py::str(array.dtype()).cast<std::string>();
}

// A copy of a numpy array as a cv::Mat of `depth` with `channels` channels (0:
// a plane, H x W). Accepts the dtypes in `accepted`; float64 is converted to
// float32 where float32 is wanted.
cv::Mat toMat(const py::handle& object, const char* name, int depth, int channels)
{
    if (!py::isinstance<py::array>(object))
        throw py::type_error(std::string(name) + ": expected a numpy array, got "
            + py::str(py::type::of(object)).cast<std::string>());
    py::array array = py::reinterpret_borrow<py::array>(object);
    const bool wantsFloat = depth == CV_32F;
    if (wantsFloat) {
        if (!array.dtype().is(py::dtype::of<float>()) && !array.dtype().is(py::dtype::of<double>()))
            throw py::type_error(std::string(name)
                + ": expected a float32 array (BGR in [0, 1]), got " + dtypeName(array));
    } else if (!array.dtype().is(py::dtype::of<std::uint8_t>())) {
        throw py::type_error(std::string(name)
            + ": expected a uint8 array (8-bit BGR, as cv2.imread gives), got " + dtypeName(array));
    }
    const std::string shape = channels == 0 ? "H x W" : "H x W x " + std::to_string(channels);
    const bool shapeOk
        = channels == 0 ? array.ndim() == 2 : array.ndim() == 3 && array.shape(2) == channels;
    if (!shapeOk || array.size() == 0) {
        std::string got;
        for (py::ssize_t k = 0; k < array.ndim(); ++k)
            got += (k ? " x " : "") + std::to_string(array.shape(k));
        throw py::value_error(std::string(name) + ": expected a non-empty " + shape
            + " array, got shape " + (got.empty() ? "()" : got));
    }
    const int rows = static_cast<int>(array.shape(0));
    const int cols = static_cast<int>(array.shape(1));
    const int type = CV_MAKETYPE(depth, channels == 0 ? 1 : channels);
    cv::Mat out(rows, cols, type);
    if (wantsFloat) {
        auto contiguous
            = py::array_t<float, py::array::c_style | py::array::forcecast>::ensure(array);
        std::memcpy(out.data, contiguous.data(), out.total() * out.elemSize());
    } else {
        auto contiguous
            = py::array_t<std::uint8_t, py::array::c_style | py::array::forcecast>::ensure(array);
        std::memcpy(out.data, contiguous.data(), out.total() * out.elemSize());
    }
    return out;
}

cv::Mat toImage8(const py::handle& object, const char* name)
{
    return toMat(object, name, CV_8U, 3);
}
cv::Mat toImage(const py::handle& object, const char* name)
{
    return toMat(object, name, CV_32F, 3);
}

// A colour image in either form the appearance functions take: uint8, or
// float32 BGR in [0, 1].
cv::Mat toNormalisedImage(const py::handle& object, const char* name)
{
    if (py::isinstance<py::array>(object)
        && py::reinterpret_borrow<py::array>(object).dtype().is(py::dtype::of<std::uint8_t>())) {
        cv::Mat img = toImage8(object, name);
        cv::Mat norm(img.size(), CV_32FC3);
        common::normImg(img, norm);
        return norm;
    }
    return toImage(object, name);
}

py::array fromMat(const cv::Mat& mat)
{
    const cv::Mat m = mat.isContinuous() ? mat : mat.clone();
    std::vector<py::ssize_t> shape { m.rows, m.cols };
    if (m.channels() > 1)
        shape.push_back(m.channels());
    if (m.depth() == CV_8U) {
        py::array_t<std::uint8_t> out(shape);
        std::memcpy(out.mutable_data(), m.data, m.total() * m.elemSize());
        return out;
    }
    py::array_t<float> out(shape);
    std::memcpy(out.mutable_data(), m.data, m.total() * m.elemSize());
    return out;
}

// A white given as a 3-tuple (filled over `size`) or as an H x W x 3 image.
cv::Mat toWhite(const py::handle& object, cv::Size size, const char* name, bool& perPixel)
{
    if (py::isinstance<py::array>(object)) {
        cv::Mat white = toImage(object, name);
        if (white.size() != size)
            throw py::value_error(std::string(name) + ": a white image must have the image's size");
        perPixel = true;
        return white;
    }
    const auto triple = object.cast<std::array<float, 3>>();
    perPixel = false;
    return cv::Mat(size, CV_32FC3,
        cv::Scalar(static_cast<double>(triple[0]), static_cast<double>(triple[1]),
            static_cast<double>(triple[2])));
}

py::object gPerceptualFigures, gLabFigures;

py::object perceptualMetrics(
    const py::handle& first, const py::handle& second, const DebugDir& debugDir)
{
    const cv::Mat a = toImage8(first, "first");
    const cv::Mat b = toImage8(second, "second");
    metrics::Figures f {};
    {
        py::gil_scoped_release release;
        const common::DebugOutputScope scope(debugOutput(debugDir));
        const auto coloursA = common::countDistinctColours(a);
        const auto coloursB = common::countDistinctColours(b);
        const auto attributesB = metrics::attributesOfColours(coloursB);
        f = metrics::compareAttributes(
            metrics::countAttributes(coloursA, metrics::attributesOfColours(coloursA)),
            metrics::countAttributes(coloursB, attributesB));
        if (debugDir)
            metrics::writeDebugFiles(*debugDir, b, coloursB, attributesB);
    }
    return gPerceptualFigures(f.Q, f.J, f.C, f.M, f.s);
}

py::object labCompare(const py::handle& first, const py::handle& second)
{
    const cv::Mat a = toImage8(first, "first");
    const cv::Mat b = toImage8(second, "second");
    labcompare::LabFigures f {};
    {
        py::gil_scoped_release release;
        f = labcompare::compareLab(labcompare::labCounts(common::countDistinctColours(a)),
            labcompare::labCounts(common::countDistinctColours(b)));
    }
    return gLabFigures(f.L, f.ab);
}

py::dict appearance(const py::handle& image, const DebugDir& debugDir)
{
    const cv::Mat norm = toNormalisedImage(image, "img");
    const cv::Size size = norm.size();
    std::array<cv::Mat, 6> planes;
    {
        py::gil_scoped_release release;
        const common::DebugOutputScope scope(debugOutput(debugDir));
        cv::Mat source = norm.clone();
        cv::Mat adapted(size, CV_32FC3);
        metrics::compute_cat(source, adapted);
        adapted *= 100.0;
        color::AppearanceOptions options;
        options.debugFiles = debugDir.has_value();
        const color::AppearancePlanes model
            = color::computeAppearance(adapted, metrics::kViewing, options);
        planes = { model.Q, model.J, model.C, model.M, model.s, model.h };
    }
    py::dict out;
    const char* names[6] = { "Q", "J", "C", "M", "s", "h" };
    for (int k = 0; k < 6; ++k)
        out[names[k]] = fromMat(planes[k]);
    return out;
}

// A conversion of one float image into a new image of `channels` channels.
template <typename Convert>
py::array convert(const py::handle& image, const char* name, int channels, Convert convertOne)
{
    cv::Mat src = toImage(image, name);
    cv::Mat dst(src.size(), CV_32FC(channels));
    {
        py::gil_scoped_release release;
        const common::DebugOutputScope scope(common::DebugOutput::off());
        convertOne(src, dst);
    }
    return fromMat(dst);
}

cv::Mat referenceWhite(const std::array<float, 3>& white)
{
    return cv::Mat(1, 1, CV_32FC3,
        cv::Scalar(static_cast<double>(white[0]), static_cast<double>(white[1]),
            static_cast<double>(white[2])));
}

// A path given as str, bytes or os.PathLike, as the file system's bytes.
std::string filePath(const py::handle& path)
{
    return py::module_::import("os").attr("fsencode")(path).cast<std::string>();
}

// Text holding a path's bytes, decoded as Python decodes file names, so that
// a name that is not valid UTF-8 still reaches the message.
py::object pathText(const std::string& text)
{
    return py::module_::import("os").attr("fsdecode")(py::bytes(text));
}

common::ProfileHandling profileHandling(const std::string& text)
{
    common::ProfileHandling handling = common::ProfileHandling::Convert;
    if (!common::parseProfileHandling(text, handling))
        throw py::value_error("profiles: expected \"convert\" or \"ignore\", got \"" + text + "\"");
    return handling;
}

py::object gImageNotFoundError;

// Raises the error of a file the reader refused: ImageNotFoundError when
// nothing is at the path, ValueError otherwise.
[[noreturn]] void raiseReadError(const std::string& path, const std::string& error)
{
    struct stat status { };
    const bool holdsNul = path.find('\0') != std::string::npos;
    if (!holdsNul && ::stat(path.c_str(), &status) != 0 && errno == ENOENT) {
        // OSError's arguments (errno, strerror, filename) give its attributes
        // and the text "[Errno 2] No such file or directory: 'path'".
        PyErr_SetObject(gImageNotFoundError.ptr(),
            py::make_tuple(ENOENT, pathText(error), pathText(path)).ptr());
        throw py::error_already_set();
    }
    PyErr_SetObject(
        PyExc_ValueError, pathText("cannot read image \"" + path + "\": " + error).ptr());
    throw py::error_already_set();
}

// A Python warning for a profile the reader could not use; nothing for the
// other readings, which are no fault of the file.
void warnOfUnusableProfile(const std::string& path, const common::ImageFacts& facts)
{
    if (facts.profileAction != common::ProfileAction::Unusable)
        return;
    std::string notice = common::readingNotice(path, facts);
    // The category says that it is a warning.
    const std::string prefix = "warning: ";
    if (notice.compare(0, prefix.size(), prefix) == 0)
        notice.erase(0, prefix.size());
    // Level 1 is the caller's line: a function of the module has no frame.
    py::module_::import("warnings")
        .attr("warn")(pathText(notice), py::handle(PyExc_UserWarning), 1);
}

py::array readImage(const py::handle& pathObject, const std::string& profiles)
{
    const std::string path = filePath(pathObject);
    common::ReadOptions options;
    options.profiles = profileHandling(profiles);
    cv::Mat img;
    std::string error;
    common::ImageFacts facts;
    {
        py::gil_scoped_release release;
        img = common::readPhotograph(path, error, &facts, options);
    }
    if (img.empty())
        raiseReadError(path, error);
    warnOfUnusableProfile(path, facts);
    return fromMat(img);
}

// The share of pixels in the top lightness bin, from an image's colours
// through the route perceptual-metrics takes.
double topShareOfColours(const common::DistinctColours& colours)
{
    const common::DebugOutputScope scope(common::DebugOutput::off());
    return metrics::topLightnessShare(colours, metrics::attributesOfColours(colours));
}

py::object gImageFacts;

// Text from the reader that ought to be UTF-8 (a profile's description comes
// from the file); a stray byte becomes U+FFFD rather than an error.
py::str readerText(const std::string& text)
{
    return py::reinterpret_steal<py::str>(
        PyUnicode_DecodeUTF8(text.data(), static_cast<py::ssize_t>(text.size()), "replace"));
}

const char* profileActionName(common::ProfileAction action)
{
    switch (action) {
    case common::ProfileAction::None:
        return "none";
    case common::ProfileAction::Kept:
        return "kept";
    case common::ProfileAction::Converted:
        return "converted";
    case common::ProfileAction::Ignored:
        return "ignored";
    case common::ProfileAction::Unusable:
        return "unusable";
    }
    return "none";
}

py::object imageFacts(const py::handle& pathObject, const std::string& profiles)
{
    const std::string path = filePath(pathObject);
    const common::ProfileHandling handling = profileHandling(profiles);
    common::ImageFacts facts;
    std::string error;
    bool read = false;
    double topShare = 0.0;
    {
        py::gil_scoped_release release;
        common::DistinctColours colours;
        read = !common::readCountingColours(path, error, colours, true, handling, &facts).empty();
        if (read)
            topShare = topShareOfColours(colours);
    }
    if (!read)
        raiseReadError(path, error);
    const py::object none = py::none();
    const py::object nonOpaque
        = facts.alpha && facts.nonOpaqueShare >= 0.0 ? py::float_(facts.nonOpaqueShare) : none;
    const py::object profile = facts.hasProfile ? py::object(readerText(facts.profile)) : none;
    const py::object warning = facts.warning.empty() ? none : py::object(readerText(facts.warning));
    return gImageFacts(facts.format, facts.width, facts.height, facts.bitDepth, facts.grey,
        facts.cmyk, facts.alpha, nonOpaque, profile, profileActionName(facts.profileAction),
        readerText(facts.reading()), warning, topShare);
}

double topLightnessSharePy(const py::handle& image)
{
    const cv::Mat img = toImage8(image, "img");
    py::gil_scoped_release release;
    return topShareOfColours(common::countDistinctColours(img));
}

py::array icamCat(
    const py::handle& image, const py::handle& whiteSrc, const py::handle& whiteDst, float blend)
{
    cv::Mat img = toImage(image, "sharpened");
    bool srcPerPixel = false, dstPerPixel = false;
    const cv::Mat src = toWhite(whiteSrc, img.size(), "white_src", srcPerPixel);
    const cv::Mat dst = toWhite(whiteDst, img.size(), "white_dst", dstPerPixel);
    {
        py::gil_scoped_release release;
        const common::DebugOutputScope scope(common::DebugOutput::off());
        color::iCAMCAT(img, src, dst, cv::Mat(), cv::Mat(), blend, dstPerPixel);
    }
    return fromMat(img);
}

py::array inverseCat(const py::handle& adapted, const py::handle& whiteDst,
    const py::handle& whiteSrc, const py::object& luminanceFrom)
{
    const cv::Mat in = toImage(adapted, "adapted");
    bool perPixel = false;
    const cv::Mat dst = toWhite(whiteDst, in.size(), "white_dst", perPixel);
    cv::Mat src = toWhite(whiteSrc, in.size(), "white_src", perPixel);
    cv::Mat out = luminanceFrom.is_none() ? in.clone() : toImage(luminanceFrom, "luminance_from");
    if (out.size() != in.size())
        throw py::value_error("luminance_from: must have the adapted image's size");
    {
        py::gil_scoped_release release;
        const common::DebugOutputScope scope(common::DebugOutput::off());
        color::inverseCAT(in, dst, src, out);
    }
    return fromMat(out);
}

cv::Mat toPlaneOrImage(const py::handle& object, const char* name)
{
    if (py::isinstance<py::array>(object) && py::reinterpret_borrow<py::array>(object).ndim() == 2)
        return toMat(object, name, CV_32F, 0);
    return toImage(object, name);
}

py::array guidedFilterPy(const py::handle& p, const py::handle& guide, int r, double eps)
{
    const cv::Mat input = toPlaneOrImage(p, "p");
    const cv::Mat I = toPlaneOrImage(guide, "guide");
    if (input.size() != I.size())
        throw py::value_error("guided_filter: p and guide must have the same height and width");
    if (r < 1)
        throw py::value_error("guided_filter: r must be at least 1");
    cv::Mat out;
    {
        py::gil_scoped_release release;
        const common::DebugOutputScope scope(common::DebugOutput::off());
        out = toolkit::guidedfilter::guidedFilter(I, input, r, eps);
    }
    return fromMat(out);
}

py::array optimalTransport(
    const py::handle& source, const py::handle& target, float t, int dims, const DebugDir& debugDir)
{
    if (dims != 2 && dims != 3)
        throw py::value_error("optimal_transport: dims must be 2 or 3");
    const cv::Mat in = toImage(source, "src");
    const cv::Mat tar = toImage(target, "target");
    cv::Mat out(in.size(), CV_32FC(dims)), covInv(dims, dims, CV_32FC1), meansIn(1, dims, CV_32FC1),
        cov(dims, dims, CV_32FC1), meansTar(1, dims, CV_32FC1), map(dims, dims, CV_32FC1);
    {
        py::gil_scoped_release release;
        const common::DebugOutputScope scope(debugOutput(debugDir));
        toolkit::transport::applyOptimalTransport(
            in, tar, out, covInv, meansIn, cov, meansTar, map, t, dims);
    }
    return fromMat(out);
}

py::array tonemapDurand(const py::handle& hdr, float gamma, float contrast, float saturation,
    float sigmaSpace, float sigmaColor)
{
    const cv::Mat src = toImage(hdr, "hdr");
    cv::Mat dst;
    {
        py::gil_scoped_release release;
        toolkit::exposure::createTonemapDurand(gamma, contrast, saturation, sigmaSpace, sigmaColor)
            ->process(src, dst);
    }
    return fromMat(dst);
}

} // namespace

PYBIND11_MODULE(photocolour, m)
{
    m.doc()
        = "Colour-appearance comparison of photographs, colour spaces, CAT02 adaptation, guided "
          "filtering, optimal-transport colour transfer and tone mapping, on numpy arrays.\n\n"
          "Images are H x W x 3 arrays in OpenCV's B, G, R channel order: uint8 as cv2.imread "
          "reads them, or float32 in [0, 1] (float64 is converted). Other dtypes raise TypeError, "
          "other shapes ValueError; non-contiguous arrays are copied. No function changes its "
          "arguments; results are new arrays. The GIL is released while computing. Nothing is "
          "written or printed unless a function is given debug_dir.\n\n"
          "read_image reads photographs as these functions measure them, converted to sRGB "
          "through their embedded colour profiles; image_facts says what a file holds and how it "
          "was read.";

    py::object namedtuple = py::module_::import("collections").attr("namedtuple");
    gPerceptualFigures = namedtuple("PerceptualFigures", py::make_tuple("Q", "J", "C", "M", "s"));
    gLabFigures = namedtuple("LabFigures", py::make_tuple("L", "ab"));
    m.attr("PerceptualFigures") = gPerceptualFigures;
    m.attr("LabFigures") = gLabFigures;

    py::object builtins = py::module_::import("builtins");
    gImageNotFoundError = builtins.attr("type")("ImageNotFoundError",
        py::make_tuple(builtins.attr("FileNotFoundError"), builtins.attr("ValueError")),
        py::dict(py::arg("__module__") = "photocolour",
            py::arg("__doc__")
            = "Raised by read_image and image_facts when nothing is at the path: a "
              "FileNotFoundError (errno, strerror and filename set) that is also a ValueError, "
              "the error of every other file the reader refuses."));
    m.attr("ImageNotFoundError") = gImageNotFoundError;

    const std::pair<const char*, const char*> factFields[] = {
        { "format",
            "The file's format as recognised from its content: \"JPEG\", \"PNG\", "
            "\"HEIF\", \"AVIF\", \"TIFF\", \"WebP\", ..." },
        { "width", "Width in pixels of the image as read, after any Exif orientation." },
        { "height", "Height in pixels of the image as read, after any Exif orientation." },
        { "bit_depth", "Bits per sample in the file, 1 to 16." },
        { "grey", "True when the file holds one grey channel (read as B = G = R)." },
        { "cmyk", "True when the file holds CMYK, converted to B, G, R by the reader." },
        { "alpha",
            "True when the file has an alpha channel or palette transparency, which the "
            "reader drops." },
        { "non_opaque_share",
            "The share of pixels that are not fully opaque, 0 to 1; None "
            "without alpha or when it was not measured." },
        { "profile", "The description of the embedded colour profile; None without one." },
        { "profile_action",
            "What was done with the profile: \"none\" (no profile, taken as "
            "sRGB), \"kept\" (sRGB in all but its name), \"converted\" (to "
            "sRGB), \"ignored\" (profiles=\"ignore\": pixels as stored) or "
            "\"unusable\" (Little CMS cannot use it, see warning: taken as "
            "sRGB)." },
        { "reading",
            "One line on what the reader did, e.g. 'converted to sRGB from \"Adobe RGB "
            "(1998)\"'; \"as stored\" when it did nothing." },
        { "warning", "Why the profile could not be used; None otherwise." },
        { "top_lightness_share",
            "The share of the image's pixels, 0 to 1, in the top lightness bin of "
            "perceptual_metrics (J of 99.5 or more): the pixels that set the white the image's "
            "Q and J are relative to. A small share says that a handful of pixels decide them." },
    };
    py::list factNames;
    for (const auto& field : factFields)
        factNames.append(field.first);
    gImageFacts = namedtuple("ImageFacts", factNames);
    gImageFacts.attr("__module__") = "photocolour";
    gImageFacts.attr("__doc__")
        = "What an image file holds and how read_image reads it, as image_facts gives them.";
    for (const auto& field : factFields)
        gImageFacts.attr(field.first).attr("__doc__") = field.second;
    m.attr("ImageFacts") = gImageFacts;

    m.def("read_image", &readImage, py::arg("path"), py::arg("profiles") = "convert",
        "Reads a photograph (path: str, bytes or os.PathLike) as a uint8 H x W x 3 BGR array in "
        "sRGB. An untagged file gives cv2.imread's pixels; an embedded colour profile is "
        "converted to sRGB (Little CMS, relative colorimetric) with profiles=\"convert\" (the "
        "default), or ignored, the pixels taken as stored, with profiles=\"ignore\"; another "
        "value raises ValueError. A profile that cannot be used gives a UserWarning naming the "
        "file, and the pixels are taken as sRGB. A missing file raises ImageNotFoundError (a "
        "FileNotFoundError and a ValueError); damaged files (a JPEG cut short, a PNG failing its "
        "checks), unsupported formats, non-regular files and images above the pixel limit "
        "(TOOLKIT_MAX_MEGAPIXELS, default 250) raise ValueError.");
    m.def("image_facts", &imageFacts, py::arg("path"), py::arg("profiles") = "convert",
        "Reads a photograph as read_image does (same arguments and errors, but no warning: an "
        "unusable profile is in the warning field) and returns ImageFacts: what the file holds "
        "(format, width, height, bit_depth, grey, cmyk, alpha, non_opaque_share), its colour "
        "profile and what was done with it (profile, profile_action, reading, warning), and the "
        "top_lightness_share of the pixels as read. See help(photocolour.ImageFacts) for each "
        "field.");
    m.def("top_lightness_share", &topLightnessSharePy, py::arg("img"),
        "The share of a uint8 BGR image's pixels, 0 to 1, in the top lightness bin of "
        "perceptual_metrics (J of 99.5 or more, J relative to the image's brightest pixel after "
        "adaptation to D65): the pixels that set the white the image's Q and J are relative to. "
        "A small share says that a handful of pixels decide them.");
    m.def("perceptual_metrics", &perceptualMetrics, py::arg("first"), py::arg("second"),
        py::arg("debug_dir") = py::none(),
        "Compares two uint8 BGR photographs as perceptual-metrics does: both adapted to D65 "
        "(CAT02, each "
        "its own white), CIE CAM02 under LA = 20 cd/m^2, Yb = 20, dark surround; returns "
        "PerceptualFigures(Q, J, C, M, s), the Bhattacharyya coefficients (1 = identical, 0 = "
        "disjoint) "
        "of the brightness, lightness, chroma, colourfulness and saturation histograms (bins "
        "0..999). "
        "With debug_dir, writes the second image's A_before.jpg, t_before.jpg, mask.jpg and "
        "10_in.txt there.");
    m.def("lab_compare", &labCompare, py::arg("first"), py::arg("second"),
        "Compares two uint8 BGR photographs as lab-compare does: OpenCV's float BGR to CIE L*a*b* "
        "(D65); returns LabFigures(L, ab): the Bhattacharyya coefficient of the L* histograms and "
        "the "
        "mean of those of a* and b* (bins -128..127).");
    m.def("appearance", &appearance, py::arg("img"), py::arg("debug_dir") = py::none(),
        "The appearance attributes of every pixel of a BGR image (uint8, or float32 in [0, 1]), as "
        "perceptual-metrics computes them: a dict of float32 H x W planes Q (brightness), J "
        "(lightness, 0..100, relative to the image's brightest pixel), C (chroma), M "
        "(colourfulness), "
        "s (saturation) and h (hue angle in degrees). NaN marks undefined values. With debug_dir, "
        "writes the model's debug files there.");

    m.def(
        "srgb_to_xyz",
        [](const py::handle& img) {
            return convert(
                img, "img", 3, [](cv::Mat& s, cv::Mat& d) { color::convertBGRToXYZDirect(s, d); });
        },
        py::arg("img"),
        "Display sRGB (float32 BGR in [0, 1]) to CIE XYZ (channels X, Y, Z; white Y = 1) with the "
        "fixed sRGB/D65 matrix.");
    m.def(
        "xyz_to_srgb",
        [](const py::handle& xyz) {
            return convert(
                xyz, "xyz", 3, [](cv::Mat& s, cv::Mat& d) { color::convertXYZToBGRDirect(s, d); });
        },
        py::arg("xyz"),
        "CIE XYZ (X, Y, Z; white Y = 1) to display sRGB BGR, companded, not clipped.");
    m.def(
        "srgb_to_lms",
        [](const py::handle& img) {
            return convert(
                img, "img", 3, [](cv::Mat& s, cv::Mat& d) { color::convertBGRtoLMS(s, d); });
        },
        py::arg("img"),
        "Display sRGB (float32 BGR in [0, 1]) to log10 cone responses L, M, S (Reinhard et al.), "
        "values in [-6, about 0].");
    m.def(
        "lms_to_lalphabeta",
        [](const py::handle& lms) {
            return convert(
                lms, "lms", 3, [](cv::Mat& s, cv::Mat& d) { color::convertLMStoLab(s, d); });
        },
        py::arg("lms"), "Log LMS to l-alpha-beta (Ruderman et al.), channels l, alpha, beta.");
    m.def(
        "lalphabeta_to_lms",
        [](const py::handle& lab) {
            return convert(
                lab, "lab", 3, [](cv::Mat& s, cv::Mat& d) { color::convertLabtoLMS(s, d); });
        },
        py::arg("lab"), "l-alpha-beta to linear LMS (L, M, S), clipped to [0, 1].");
    m.def(
        "lms_to_srgb",
        [](const py::handle& lms) {
            return convert(
                lms, "lms", 3, [](cv::Mat& s, cv::Mat& d) { color::convertLMStoBGR(s, d); });
        },
        py::arg("lms"), "Linear LMS to display sRGB BGR (companded, not clipped).");
    m.def(
        "srgb_to_opponent",
        [](const py::handle& img) {
            return convert(img, "img", 2,
                [](cv::Mat& s, cv::Mat& d) { color::convertToSimpleOpponentSpace(s, d); });
        },
        py::arg("img"),
        "Display BGR in [0, 1] to the opponent image H x W x 2: R - G, (R + G) / 2 - B.");
    m.def(
        "srgb_to_yuv",
        [](const py::handle& img) {
            return convert(
                img, "img", 3, [](cv::Mat& s, cv::Mat& d) { color::convertBGRtoYUV(s, d); });
        },
        py::arg("img"), "Display BGR in [0, 1] to Y, U = B - Y, V = R - Y (no transfer curve).");
    m.def(
        "srgb_to_lab",
        [](const py::handle& img, std::array<float, 3> white) {
            return convert(img, "img", 3, [&](cv::Mat& s, cv::Mat& d) {
                color::convertBGRToLab(s, referenceWhite(white), d);
            });
        },
        py::arg("img"), py::arg("white") = std::array<float, 3> { 1.0f, 1.0f, 1.0f },
        "Display sRGB BGR in [0, 1] to CIE L*a*b* (L* 0..100, a*, b* signed) relative to the white "
        "derived from `white` (display B, G, R; (1, 1, 1) gives D50). Note: lab_compare uses "
        "OpenCV's D65 conversion instead.");
    m.def(
        "lab_to_srgb",
        [](const py::handle& lab, std::array<float, 3> white) {
            return convert(lab, "lab", 3, [&](cv::Mat& s, cv::Mat& d) {
                color::convertLabToBGR(s, referenceWhite(white), d);
            });
        },
        py::arg("lab"), py::arg("white") = std::array<float, 3> { 1.0f, 1.0f, 1.0f },
        "CIE L*a*b* to display sRGB BGR, companded and clipped to [0, 1]; the inverse of "
        "srgb_to_lab.");
    m.def(
        "xyz_to_sharpened",
        [](const py::handle& xyz) {
            return convert(xyz, "xyz", 3,
                [](cv::Mat& s, cv::Mat& d) { color::convertXYZtoSharpenedBGR(s, d); });
        },
        py::arg("xyz"),
        "CIE XYZ to CAT02 sharpened cone responses, channels S, M, L (reversed, like BGR).");
    m.def(
        "sharpened_to_xyz",
        [](const py::handle& sharpened) {
            return convert(sharpened, "sharpened", 3,
                [](cv::Mat& s, cv::Mat& d) { color::convertSharpenedBGRtoXYZ(s, d); });
        },
        py::arg("sharpened"), "CAT02 sharpened responses (S, M, L) to CIE XYZ.");
    m.def("icam_cat", &icamCat, py::arg("sharpened"), py::arg("white_src"), py::arg("white_dst"),
        py::arg("blend") = 1.0f,
        "CAT02 von Kries adaptation of a sharpened image (S, M, L) from white_src to white_dst, "
        "each "
        "a 3-tuple (S, M, L) or a per-pixel H x W x 3 white image; the degree of adaptation "
        "follows each "
        "pixel's source white. With a tuple white_dst, the destination is blend * white_dst + (1 - "
        "blend) * white_src.");
    m.def("inverse_cat", &inverseCat, py::arg("adapted"), py::arg("white_dst"),
        py::arg("white_src"), py::arg("luminance_from") = py::none(),
        "Undoes icam_cat: the sharpened image adapted to white_dst, back to white_src (3-tuples or "
        "per-pixel white images). The adapting luminance of each pixel is taken from "
        "luminance_from "
        "(default: the adapted image).");
    m.def("guided_filter", &guidedFilterPy, py::arg("p"), py::arg("guide"), py::arg("r"),
        py::arg("eps"),
        "Edge-preserving guided filter (He et al.) of p (float32 H x W or H x W x 3) under a grey "
        "(H x W) "
        "or colour (H x W x 3) guide, radius r in pixels, regularisation eps in the squared units "
        "of the guide.");
    m.def("optimal_transport", &optimalTransport, py::arg("src"), py::arg("target"),
        py::arg("t") = 1.0f, py::arg("dims") = 3, py::arg("debug_dir") = py::none(),
        "Colour transfer by the Monge-Kantorovich map between the Gaussian colour distributions of "
        "src "
        "and target (float32 H x W x 3, Lab-like order: channel 0 lightness, 1 and 2 chroma, e.g. "
        "Lab "
        "scaled to 0..255), t of the way along the geodesic. dims = 3 maps all channels (H x W x 3 "
        "out); dims = 2 maps channels 1 and 2 only (H x W x 2 out). NaN values are skipped by the "
        "statistics and passed through. With debug_dir, the progress lines are printed.");
    m.def("tonemap_durand", &tonemapDurand, py::arg("hdr"), py::arg("gamma") = 1.0f,
        py::arg("contrast") = 4.0f, py::arg("saturation") = 1.0f, py::arg("sigma_space") = 2.0f,
        py::arg("sigma_color") = 2.0f,
        "Durand-Dorsey tone mapping of a float32 H x W x 3 HDR image (BGR, any non-negative "
        "scale): "
        "the log-luminance base layer compressed to `contrast` (natural-log range), detail kept; "
        "output "
        "raised to 1 / gamma, roughly in [0, 1], not clipped. sigma_space in pixels, sigma_color "
        "in log-luminance units.");
}
