// The Python module photocolour: the toolkit's image reader (with what it
// found in a file), comparisons, appearance model, colour spaces, adaptation,
// guided filter, colour transfer and tone mapping on numpy arrays. Every
// function copies its inputs, returns new arrays, releases the GIL while it
// computes and, unless given debug_dir, writes no file and prints nothing
// (read_image's warnings go through Python's warnings).
#include "programs/comparison/Comparison.hpp"
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
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>
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

std::string typeName(const py::handle& object)
{
    return py::str(py::type::of(object).attr("__name__")).cast<std::string>();
}

// Raises the OSError of `error` for `path` (errno, strerror and filename
// set) as the class Python gives that errno, or as `kind` when given.
[[noreturn]] void raiseOSError(int error, const std::string& path, PyObject* kind = PyExc_OSError)
{
    const py::object text = py::module_::import("os").attr("fsdecode")(py::bytes(path));
    const py::object exception = py::handle(kind)(error, std::strerror(error), text);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.ptr())), exception.ptr());
    throw py::error_already_set();
}

// The directory named by debug_dir (None, str, bytes or os.PathLike), checked
// before any work so that debug files are never lost without a word:
// FileNotFoundError when it is missing, NotADirectoryError for another kind
// of file, PermissionError when it cannot be written into.
DebugDir debugDirectory(const py::handle& dir)
{
    if (dir.is_none())
        return std::nullopt;
    if (!py::isinstance<py::str>(dir) && !py::isinstance<py::bytes>(dir)
        && !py::hasattr(dir, "__fspath__"))
        throw py::type_error(
            "debug_dir: expected a path (str, bytes or os.PathLike) or None, got " + typeName(dir));
    const std::string path = py::module_::import("os").attr("fsencode")(dir).cast<std::string>();
    if (path.find('\0') != std::string::npos)
        throw py::value_error("debug_dir: a path holding a NUL byte");
    struct stat status { };
    if (::stat(path.c_str(), &status) != 0)
        raiseOSError(errno, path);
    if (!S_ISDIR(status.st_mode))
        raiseOSError(ENOTDIR, path);
    if (::access(path.c_str(), W_OK | X_OK) != 0) {
        const int error = errno;
        raiseOSError(error, path, error == EROFS ? PyExc_PermissionError : PyExc_OSError);
    }
    return path;
}

// A number in a message: six significant digits, "nan", "inf" or "-inf".
std::string numberText(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

// A number argument that must be finite. A float argument is checked as the
// float it became, where 1e300 is infinite.
double finite(double value, const char* name)
{
    if (!std::isfinite(value))
        throw py::value_error(
            std::string(name) + ": expected a finite number, got " + numberText(value));
    return value;
}
float finite(float value, const char* name)
{
    return static_cast<float>(finite(static_cast<double>(value), name));
}

// An integer argument (int, or anything with __index__) in [lowest, highest].
int integer(const py::handle& object, const char* name, int lowest, int highest)
{
    if (py::isinstance<py::bool_>(object) || !PyIndex_Check(object.ptr()))
        throw py::type_error(std::string(name) + ": expected an int, got " + typeName(object));
    const auto value = py::reinterpret_steal<py::int_>(PyNumber_Index(object.ptr()));
    if (!value)
        throw py::error_already_set();
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (overflow != 0 || n < lowest || n > highest)
        throw py::value_error(std::string(name) + ": expected an int from " + std::to_string(lowest)
            + " to " + std::to_string(highest) + ", got " + py::repr(value).cast<std::string>());
    return static_cast<int>(n);
}

std::string dtypeName(const py::array& array)
{
    return py::str(array.dtype()).cast<std::string>();
}

// What a float argument may hold besides finite values.
enum class NonFinite {
    Refuse, // nothing: NaN and infinities raise ValueError
    AllowNaN // NaN, which the function skips and passes through
};

// Raises ValueError, naming the argument and the first offending element, when
// a continuous float matrix holds an infinity, or a NaN that `rule` refuses;
// `converted` says that it was float64 (1e300 is an infinity as float32). One
// pass over the values; nothing is changed.
void requireFinite(const cv::Mat& m, const char* name, NonFinite rule, bool converted)
{
    const float* values = m.ptr<float>();
    const std::size_t count = m.total() * static_cast<std::size_t>(m.channels());
    const bool allowNaN = rule == NonFinite::AllowNaN;
    for (std::size_t k = 0; k < count; ++k) {
        const float magnitude = std::fabs(values[k]);
        // False for NaN and infinities alike.
        if (magnitude <= FLT_MAX || (allowNaN && std::isnan(magnitude)))
            continue;
        const std::size_t channels = static_cast<std::size_t>(m.channels());
        const std::size_t pixel = k / channels;
        std::string at = "(" + std::to_string(pixel / static_cast<std::size_t>(m.cols)) + ", "
            + std::to_string(pixel % static_cast<std::size_t>(m.cols));
        if (channels > 1)
            at += ", " + std::to_string(k % channels);
        throw py::value_error(std::string(name) + ": expected finite values"
            + (allowNaN ? " or NaN" : "") + ", got " + numberText(static_cast<double>(values[k]))
            + (converted ? " (as float32)" : "") + " at index " + at + ")");
    }
}

// A copy of a numpy array as a cv::Mat of `depth` with `channels` channels (0:
// a plane, H x W): uint8, or float32 (float64 is converted to float32), whose
// values must then be finite unless `rule` lets NaN through.
cv::Mat toMat(const py::handle& object, const char* name, int depth, int channels,
    NonFinite rule = NonFinite::Refuse)
{
    if (!py::isinstance<py::array>(object))
        throw py::type_error(
            std::string(name) + ": expected a numpy array, got " + typeName(object));
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
    if (array.shape(0) > INT_MAX || array.shape(1) > INT_MAX)
        throw py::value_error(
            std::string(name) + ": more than " + std::to_string(INT_MAX) + " rows or columns");
    const int rows = static_cast<int>(array.shape(0));
    const int cols = static_cast<int>(array.shape(1));
    const int type = CV_MAKETYPE(depth, channels == 0 ? 1 : channels);
    cv::Mat out(rows, cols, type);
    // The converting constructors raise what numpy raised (a warning of the
    // float64 cast made an error by the warnings filter, ...), where ensure()
    // would hand back no array.
    if (wantsFloat) {
        const py::array_t<float, py::array::c_style | py::array::forcecast> contiguous(array);
        std::memcpy(out.data, contiguous.data(), out.total() * out.elemSize());
        requireFinite(out, name, rule, !array.dtype().is(py::dtype::of<float>()));
    } else {
        const py::array_t<std::uint8_t, py::array::c_style | py::array::forcecast> contiguous(
            array);
        std::memcpy(out.data, contiguous.data(), out.total() * out.elemSize());
    }
    return out;
}

cv::Mat toImage8(const py::handle& object, const char* name)
{
    return toMat(object, name, CV_8U, 3);
}
cv::Mat toImage(const py::handle& object, const char* name, NonFinite rule = NonFinite::Refuse)
{
    return toMat(object, name, CV_32F, 3, rule);
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

// A white given as three finite numbers: a tuple, a list, a 1-D array, any
// sequence of three. TypeError for another kind of argument or element,
// ValueError for another length or a value that is not finite.
std::array<float, 3> toTriple(const py::handle& object, const char* name)
{
    const bool array = py::isinstance<py::array>(object);
    if (py::isinstance<py::str>(object) || py::isinstance<py::bytes>(object)
        || !PySequence_Check(object.ptr()))
        throw py::type_error(
            std::string(name) + ": expected three numbers (a tuple), got " + typeName(object));
    if (array && py::reinterpret_borrow<py::array>(object).ndim() != 1)
        throw py::value_error(std::string(name) + ": expected three numbers, got an array of "
            + std::to_string(py::reinterpret_borrow<py::array>(object).ndim()) + " dimensions");
    const auto sequence = py::reinterpret_borrow<py::sequence>(object);
    const py::ssize_t length = PySequence_Size(object.ptr());
    if (length < 0)
        throw py::error_already_set();
    if (length != 3)
        throw py::value_error(
            std::string(name) + ": expected three numbers, got " + std::to_string(length));
    std::array<float, 3> triple {};
    for (std::size_t k = 0; k < 3; ++k) {
        const py::object item = sequence[k];
        const double value = PyFloat_AsDouble(item.ptr());
        if (value == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            throw py::type_error(std::string(name) + ": expected numbers, got " + typeName(item)
                + " at position " + std::to_string(k));
        }
        triple[k] = finite(static_cast<float>(value), name);
    }
    return triple;
}

// A white given as three numbers (filled over `size`) or as an H x W x 3 image.
cv::Mat toWhite(const py::handle& object, cv::Size size, const char* name, bool& perPixel)
{
    if (py::isinstance<py::array>(object)
        && py::reinterpret_borrow<py::array>(object).ndim() != 1) {
        cv::Mat white = toImage(object, name);
        if (white.size() != size)
            throw py::value_error(std::string(name) + ": a white image must have the image's size");
        perPixel = true;
        return white;
    }
    const std::array<float, 3> triple = toTriple(object, name);
    perPixel = false;
    return cv::Mat(size, CV_32FC3,
        cv::Scalar(static_cast<double>(triple[0]), static_cast<double>(triple[1]),
            static_cast<double>(triple[2])));
}

py::object gPerceptualFigures, gLabFigures;

py::object perceptualMetrics(
    const py::handle& first, const py::handle& second, const py::handle& debugDirArgument)
{
    const DebugDir debugDir = debugDirectory(debugDirArgument);
    const cv::Mat a = toImage8(first, "first");
    const cv::Mat b = toImage8(second, "second");
    metrics::Figures f {};
    {
        py::gil_scoped_release release;
        const common::DebugOutputScope scope(debugOutput(debugDir));
        const comparison::Plan plan { true, false, false };
        const comparison::Measurement measuredA = comparison::measureImage(a, plan);
        const comparison::Measurement measuredB
            = comparison::measureImage(b, { true, false, static_cast<bool>(debugDir) });
        f = comparison::compare(measuredA, measuredB, plan).perceptual;
        if (debugDir)
            comparison::writeDebugFiles(*debugDir, measuredB);
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
        const comparison::Plan plan { false, true, false };
        f = comparison::compare(
            comparison::measureImage(a, plan), comparison::measureImage(b, plan), plan)
                .lab;
    }
    return gLabFigures(f.L, f.ab);
}

py::dict appearance(const py::handle& image, const py::handle& debugDirArgument)
{
    const DebugDir debugDir = debugDirectory(debugDirArgument);
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
// Measured for the perceptual comparison only, for the share at its white.
constexpr comparison::Plan kWhitePlan { true, false, false };

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
        const common::DebugOutputScope scope(common::DebugOutput::off());
        comparison::Measurement measured;
        read = comparison::measureFile(path, kWhitePlan, handling, measured, error);
        facts = measured.facts;
        topShare = measured.white;
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
    const common::DebugOutputScope scope(common::DebugOutput::off());
    return comparison::measureImage(img, kWhitePlan).white;
}

py::array icamCat(
    const py::handle& image, const py::handle& whiteSrc, const py::handle& whiteDst, float blend)
{
    finite(blend, "blend");
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

py::array guidedFilterPy(
    const py::handle& p, const py::handle& guide, const py::handle& radius, double eps)
{
    // The window, 2 r + 1 pixels wide, is an int.
    const int r = integer(radius, "r", 1, (INT_MAX - 1) / 2);
    finite(eps, "eps");
    const cv::Mat input = toPlaneOrImage(p, "p");
    const cv::Mat I = toPlaneOrImage(guide, "guide");
    if (input.size() != I.size())
        throw py::value_error("guided_filter: p and guide must have the same height and width");
    cv::Mat out;
    {
        py::gil_scoped_release release;
        const common::DebugOutputScope scope(common::DebugOutput::off());
        out = toolkit::guidedfilter::guidedFilter(I, input, r, eps);
    }
    return fromMat(out);
}

// Raises ValueError when one of the channels first .. 2 of an image holds
// nothing but NaN: the statistics of the transport would have no value.
void requireValuesInChannels(const cv::Mat& image, const char* name, int first)
{
    for (int c = first; c < 3; ++c) {
        bool found = false;
        for (int i = 0; i < image.rows && !found; ++i) {
            const float* row = image.ptr<float>(i);
            for (int j = 0; j < image.cols && !found; ++j)
                found = !std::isnan(row[3 * j + c]);
        }
        if (!found)
            throw py::value_error(std::string(name) + ": channel " + std::to_string(c)
                + " holds only NaN, which leaves its statistics without a value");
    }
}

py::array optimalTransport(const py::handle& source, const py::handle& target, float t,
    const py::handle& dimensions, const py::handle& debugDirArgument)
{
    const int dims = integer(dimensions, "dims", 2, 3);
    finite(t, "t");
    const DebugDir debugDir = debugDirectory(debugDirArgument);
    // NaN marks values the statistics skip and the map passes through.
    const cv::Mat in = toImage(source, "src", NonFinite::AllowNaN);
    const cv::Mat tar = toImage(target, "target", NonFinite::AllowNaN);
    requireValuesInChannels(in, "src", 3 - dims);
    requireValuesInChannels(tar, "target", 3 - dims);
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
    finite(gamma, "gamma");
    finite(contrast, "contrast");
    finite(saturation, "saturation");
    finite(sigmaSpace, "sigma_space");
    finite(sigmaColor, "sigma_color");
    // The bilateral filter's window radius, 1.5 sigma_space rounded, and its
    // width are ints: beyond that the radius would wrap round.
    constexpr double kLargestSigmaSpace = (INT_MAX - 1) / 2 / 1.5;
    if (static_cast<double>(sigmaSpace) > kLargestSigmaSpace)
        throw py::value_error("sigma_space: expected at most "
            + std::to_string(static_cast<long long>(kLargestSigmaSpace)) + ", got "
            + numberText(static_cast<double>(sigmaSpace)));
    // An image of infinities would leave the bilateral filter without a range
    // of values, and make it read outside its tables.
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
          "other shapes ValueError; non-contiguous arrays are copied. Float images must hold "
          "finite values: NaN or an infinity raises ValueError naming the argument and the "
          "element (optimal_transport alone takes NaN, which it skips and passes through). "
          "Whites are three finite numbers (a tuple or any sequence): another length raises "
          "ValueError, anything else TypeError. Number arguments that are NaN, infinite or out of "
          "range (r, dims, ...) raise ValueError, those of another type TypeError; no argument "
          "gives RuntimeError. No function changes its "
          "arguments; results are new arrays. The GIL is released while computing. Nothing is "
          "written or printed unless a function is given debug_dir, a directory that must exist "
          "and be writable: FileNotFoundError, NotADirectoryError or PermissionError is raised "
          "before any work otherwise.\n\n"
          "read_image reads photographs as these functions measure them, converted to sRGB "
          "through their embedded colour profiles; image_facts says what a file holds and how it "
          "was read.";

    py::object namedtuple = py::module_::import("collections").attr("namedtuple");
    gPerceptualFigures = namedtuple("PerceptualFigures", py::make_tuple("Q", "J", "C", "M", "s"));
    gLabFigures = namedtuple("LabFigures", py::make_tuple("L", "ab"));
    m.attr("PerceptualFigures") = gPerceptualFigures;
    m.attr("LabFigures") = gLabFigures;

    // The OpenCV errors left after the module's own checks come from values
    // OpenCV cannot work with (a filter window too large to allocate, ...):
    // ValueError, or MemoryError, rather than pybind11's RuntimeError. For
    // this module's functions only.
    py::register_local_exception_translator([](std::exception_ptr raised) {
        try {
            if (raised)
                std::rethrow_exception(raised);
        } catch (const cv::Exception& e) {
            const bool memory = e.code == cv::Error::StsNoMem;
            const std::string what = memory ? "OpenCV ran out of memory for these arguments ("
                                            : "OpenCV cannot work with these arguments (";
            const std::string text = what + e.err + " in " + e.func + ")";
            PyErr_SetString(memory ? PyExc_MemoryError : PyExc_ValueError, text.c_str());
        }
    });

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
        "10_in.txt there; a debug_dir that is missing raises FileNotFoundError, a file "
        "NotADirectoryError, one that cannot be written PermissionError.");
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
        "s (saturation) and h (hue angle in degrees). NaN marks undefined values. A float image "
        "holding NaN or an infinity raises ValueError. With debug_dir, writes the model's debug "
        "files there (errors as for perceptual_metrics).");

    m.def(
        "srgb_to_xyz",
        [](const py::handle& img) {
            return convert(
                img, "img", 3, [](cv::Mat& s, cv::Mat& d) { color::convertBGRToXYZDirect(s, d); });
        },
        py::arg("img"),
        "Display sRGB (float32 BGR in [0, 1]) to CIE XYZ (channels X, Y, Z; white Y = 1) with the "
        "fixed sRGB/D65 matrix. NaN or an infinity in the image raises ValueError.");
    m.def(
        "xyz_to_srgb",
        [](const py::handle& xyz) {
            return convert(
                xyz, "xyz", 3, [](cv::Mat& s, cv::Mat& d) { color::convertXYZToBGRDirect(s, d); });
        },
        py::arg("xyz"),
        "CIE XYZ (X, Y, Z; white Y = 1) to display sRGB BGR, companded, not clipped. NaN or an "
        "infinity in the image raises ValueError.");
    m.def(
        "srgb_to_lms",
        [](const py::handle& img) {
            return convert(
                img, "img", 3, [](cv::Mat& s, cv::Mat& d) { color::convertBGRtoLMS(s, d); });
        },
        py::arg("img"),
        "Display sRGB (float32 BGR in [0, 1]) to log10 cone responses L, M, S (Reinhard et al.), "
        "values in [-6, about 0]. NaN or an infinity in the image raises ValueError.");
    m.def(
        "lms_to_lalphabeta",
        [](const py::handle& lms) {
            return convert(
                lms, "lms", 3, [](cv::Mat& s, cv::Mat& d) { color::convertLMStoLab(s, d); });
        },
        py::arg("lms"),
        "Log LMS to l-alpha-beta (Ruderman et al.), channels l, alpha, beta. NaN or an infinity in "
        "the image raises ValueError.");
    m.def(
        "lalphabeta_to_lms",
        [](const py::handle& lab) {
            return convert(
                lab, "lab", 3, [](cv::Mat& s, cv::Mat& d) { color::convertLabtoLMS(s, d); });
        },
        py::arg("lab"),
        "l-alpha-beta to linear LMS (L, M, S), clipped to [0, 1]. NaN or an infinity in the image "
        "raises ValueError.");
    m.def(
        "lms_to_srgb",
        [](const py::handle& lms) {
            return convert(
                lms, "lms", 3, [](cv::Mat& s, cv::Mat& d) { color::convertLMStoBGR(s, d); });
        },
        py::arg("lms"),
        "Linear LMS to display sRGB BGR (companded, not clipped). NaN or an infinity in the image "
        "raises ValueError.");
    m.def(
        "srgb_to_opponent",
        [](const py::handle& img) {
            return convert(img, "img", 2,
                [](cv::Mat& s, cv::Mat& d) { color::convertToSimpleOpponentSpace(s, d); });
        },
        py::arg("img"),
        "Display BGR in [0, 1] to the opponent image H x W x 2: R - G, (R + G) / 2 - B. NaN or an "
        "infinity in the image raises ValueError.");
    m.def(
        "srgb_to_yuv",
        [](const py::handle& img) {
            return convert(
                img, "img", 3, [](cv::Mat& s, cv::Mat& d) { color::convertBGRtoYUV(s, d); });
        },
        py::arg("img"),
        "Display BGR in [0, 1] to Y, U = B - Y, V = R - Y (no transfer curve). NaN or an infinity "
        "in the image raises ValueError.");
    m.def(
        "srgb_to_lab",
        [](const py::handle& img, const py::handle& white) {
            const cv::Mat W = referenceWhite(toTriple(white, "white"));
            return convert(
                img, "img", 3, [&](cv::Mat& s, cv::Mat& d) { color::convertBGRToLab(s, W, d); });
        },
        py::arg("img"), py::arg("white") = py::make_tuple(1.0, 1.0, 1.0),
        "Display sRGB BGR in [0, 1] to CIE L*a*b* (L* 0..100, a*, b* signed) relative to the white "
        "derived from `white` (display B, G, R; (1, 1, 1) gives D50). Note: lab_compare uses "
        "OpenCV's D65 conversion instead. NaN or an infinity in the image or white raises "
        "ValueError, a white of another length too; a white that is not three numbers TypeError.");
    m.def(
        "lab_to_srgb",
        [](const py::handle& lab, const py::handle& white) {
            const cv::Mat W = referenceWhite(toTriple(white, "white"));
            return convert(
                lab, "lab", 3, [&](cv::Mat& s, cv::Mat& d) { color::convertLabToBGR(s, W, d); });
        },
        py::arg("lab"), py::arg("white") = py::make_tuple(1.0, 1.0, 1.0),
        "CIE L*a*b* to display sRGB BGR, companded and clipped to [0, 1]; the inverse of "
        "srgb_to_lab. NaN or an infinity in the image or white raises ValueError, a white of "
        "another length too; a white that is not three numbers TypeError.");
    m.def(
        "xyz_to_sharpened",
        [](const py::handle& xyz) {
            return convert(xyz, "xyz", 3,
                [](cv::Mat& s, cv::Mat& d) { color::convertXYZtoSharpenedBGR(s, d); });
        },
        py::arg("xyz"),
        "CIE XYZ to CAT02 sharpened cone responses, channels S, M, L (reversed, like BGR). NaN or "
        "an infinity in the image raises ValueError.");
    m.def(
        "sharpened_to_xyz",
        [](const py::handle& sharpened) {
            return convert(sharpened, "sharpened", 3,
                [](cv::Mat& s, cv::Mat& d) { color::convertSharpenedBGRtoXYZ(s, d); });
        },
        py::arg("sharpened"),
        "CAT02 sharpened responses (S, M, L) to CIE XYZ. NaN or an infinity in the image raises "
        "ValueError.");
    m.def("icam_cat", &icamCat, py::arg("sharpened"), py::arg("white_src"), py::arg("white_dst"),
        py::arg("blend") = 1.0f,
        "CAT02 von Kries adaptation of a sharpened image (S, M, L) from white_src to white_dst, "
        "each "
        "a 3-tuple (S, M, L) or a per-pixel H x W x 3 white image; the degree of adaptation "
        "follows each "
        "pixel's source white. With a tuple white_dst, the destination is blend * white_dst + (1 - "
        "blend) * white_src. A tuple white of another length raises ValueError, one that is not "
        "a sequence of numbers TypeError; NaN or an infinity, in the image, a white or blend, "
        "ValueError.");
    m.def("inverse_cat", &inverseCat, py::arg("adapted"), py::arg("white_dst"),
        py::arg("white_src"), py::arg("luminance_from") = py::none(),
        "Undoes icam_cat: the sharpened image adapted to white_dst, back to white_src (3-tuples or "
        "per-pixel white images). The adapting luminance of each pixel is taken from "
        "luminance_from "
        "(default: the adapted image). Errors as for icam_cat.");
    m.def("guided_filter", &guidedFilterPy, py::arg("p"), py::arg("guide"), py::arg("r"),
        py::arg("eps"),
        "Edge-preserving guided filter (He et al.) of p (float32 H x W or H x W x 3) under a grey "
        "(H x W) "
        "or colour (H x W x 3) guide, radius r in pixels, regularisation eps in the squared units "
        "of the guide. r is an int of at least 1 (a float raises TypeError, a smaller or huge r "
        "ValueError); NaN or an infinity in p, the guide or eps raises ValueError.");
    m.def("optimal_transport", &optimalTransport, py::arg("src"), py::arg("target"),
        py::arg("t") = 1.0f, py::arg("dims") = 3, py::arg("debug_dir") = py::none(),
        "Colour transfer by the Monge-Kantorovich map between the Gaussian colour distributions of "
        "src "
        "and target (float32 H x W x 3, Lab-like order: channel 0 lightness, 1 and 2 chroma, e.g. "
        "Lab "
        "scaled to 0..255), t of the way along the geodesic. dims = 3 maps all channels (H x W x 3 "
        "out); dims = 2 maps channels 1 and 2 only (H x W x 2 out). NaN values are skipped by the "
        "statistics and passed through, but an infinity raises ValueError, and so does a "
        "channel that the statistics use holding only NaN, or a t that is not finite. With "
        "debug_dir (which must be a writable directory, as for perceptual_metrics), the progress "
        "lines are printed.");
    m.def("tonemap_durand", &tonemapDurand, py::arg("hdr"), py::arg("gamma") = 1.0f,
        py::arg("contrast") = 4.0f, py::arg("saturation") = 1.0f, py::arg("sigma_space") = 2.0f,
        py::arg("sigma_color") = 2.0f,
        "Durand-Dorsey tone mapping of a float32 H x W x 3 HDR image (BGR, any non-negative "
        "scale): "
        "the log-luminance base layer compressed to `contrast` (natural-log range), detail kept; "
        "output "
        "raised to 1 / gamma, roughly in [0, 1], not clipped. sigma_space in pixels, sigma_color "
        "in log-luminance units. NaN or an infinity, in the image or an argument, raises "
        "ValueError, and so does a sigma_space whose filter window is past an int's range.");
}
