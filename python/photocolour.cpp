// The native part of the Python module photocolour, photocolour._photocolour:
// the toolkit's image reader (with what it found in a file), comparisons
// (one pair, or many through compare-pairs' rows), appearance model, colour
// spaces, adaptation, guided filter, colour transfer and tone mapping on numpy
// arrays. Every function copies its inputs, returns new arrays, releases the
// GIL while it computes and, unless given debug_dir, writes no file and
// prints nothing (read_image's warnings go through Python's warnings). The
// package (photocolour/__init__.py) gives each function its typed signature
// and docstring, and calls it with every argument in order.
#include "programs/compare-pairs/InProcess.hpp"
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

#include <opencv2/imgproc.hpp>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <fcntl.h>
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

// The order of the channels of the colour images a call takes and gives:
// OpenCV's B, G, R, or R, G, B as scikit-image, Pillow and matplotlib hold
// them. The toolkit works in B, G, R; an RGB image is reversed on the way in
// and its results on the way out.
enum class ChannelOrder { BGR, RGB };

ChannelOrder channelOrder(const std::string& text)
{
    if (text == "bgr")
        return ChannelOrder::BGR;
    if (text == "rgb")
        return ChannelOrder::RGB;
    throw py::value_error("channel_order: expected \"bgr\" or \"rgb\", got \"" + text + "\"");
}

// The channels of a three-channel image reversed in place for RGB; nothing
// for BGR or another number of channels.
void reorder(cv::Mat& image, ChannelOrder order)
{
    if (order == ChannelOrder::RGB && image.channels() == 3)
        cv::cvtColor(image, image, cv::COLOR_RGB2BGR);
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
// values must then be finite unless `rule` lets NaN through. A three-channel
// image given in RGB order is returned in B, G, R.
cv::Mat toMat(const py::handle& object, const char* name, int depth, int channels,
    NonFinite rule = NonFinite::Refuse, ChannelOrder order = ChannelOrder::BGR)
{
    if (!py::isinstance<py::array>(object))
        throw py::type_error(
            std::string(name) + ": expected a numpy array, got " + typeName(object));
    py::array array = py::reinterpret_borrow<py::array>(object);
    const bool wantsFloat = depth == CV_32F;
    if (wantsFloat) {
        if (!array.dtype().is(py::dtype::of<float>()) && !array.dtype().is(py::dtype::of<double>()))
            throw py::type_error(std::string(name) + ": expected a float32 or float64 array, got "
                + dtypeName(array));
    } else if (!array.dtype().is(py::dtype::of<std::uint8_t>())) {
        throw py::type_error(std::string(name)
            + ": expected a uint8 array (8-bit colour, as cv2.imread gives), got "
            + dtypeName(array));
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
    reorder(out, order);
    return out;
}

cv::Mat toImage8(const py::handle& object, const char* name, ChannelOrder order = ChannelOrder::BGR)
{
    return toMat(object, name, CV_8U, 3, NonFinite::Refuse, order);
}
cv::Mat toImage(const py::handle& object, const char* name, ChannelOrder order = ChannelOrder::BGR,
    NonFinite rule = NonFinite::Refuse)
{
    return toMat(object, name, CV_32F, 3, rule, order);
}

bool isUint8Array(const py::handle& object)
{
    return py::isinstance<py::array>(object)
        && py::reinterpret_borrow<py::array>(object).dtype().is(py::dtype::of<std::uint8_t>());
}

// A new numpy array of a matrix's values; a three-channel result is given in
// RGB order for ChannelOrder::RGB.
py::array fromMat(const cv::Mat& mat, ChannelOrder order = ChannelOrder::BGR)
{
    cv::Mat m = mat.isContinuous() ? mat : mat.clone();
    if (order == ChannelOrder::RGB && m.channels() == 3) {
        m = m.clone();
        reorder(m, order);
    }
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

// Three numbers in the toolkit's order: reversed for ChannelOrder::RGB.
std::array<float, 3> toTriple(const py::handle& object, const char* name, ChannelOrder order)
{
    std::array<float, 3> triple = toTriple(object, name);
    if (order == ChannelOrder::RGB)
        std::swap(triple[0], triple[2]);
    return triple;
}

// A white given as three numbers (filled over `size`) or as an H x W x 3
// image, in the channel order of the call.
cv::Mat toWhite(
    const py::handle& object, cv::Size size, const char* name, bool& perPixel, ChannelOrder order)
{
    if (py::isinstance<py::array>(object)
        && py::reinterpret_borrow<py::array>(object).ndim() != 1) {
        cv::Mat white = toImage(object, name, order);
        if (white.size() != size)
            throw py::value_error(std::string(name) + ": a white image must have the image's size");
        perPixel = true;
        return white;
    }
    const std::array<float, 3> triple = toTriple(object, name, order);
    perPixel = false;
    return cv::Mat(size, CV_32FC3,
        cv::Scalar(static_cast<double>(triple[0]), static_cast<double>(triple[1]),
            static_cast<double>(triple[2])));
}

py::object gPerceptualFigures, gLabFigures, gDistances;

py::object perceptualMetrics(const py::handle& first, const py::handle& second,
    const py::handle& debugDirArgument, const std::string& channelOrderText)
{
    const DebugDir debugDir = debugDirectory(debugDirArgument);
    const ChannelOrder order = channelOrder(channelOrderText);
    const cv::Mat a = toImage8(first, "first", order);
    const cv::Mat b = toImage8(second, "second", order);
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

// Two images given as arrays in the named channel order, each measured for
// the plan with the GIL released.
struct MeasuredPair {
    comparison::Measurement first, second;
};
MeasuredPair measurePair(const py::handle& first, const py::handle& second,
    const std::string& channelOrderText, const comparison::Plan& plan)
{
    const ChannelOrder order = channelOrder(channelOrderText);
    const cv::Mat a = toImage8(first, "first", order);
    const cv::Mat b = toImage8(second, "second", order);
    py::gil_scoped_release release;
    return { comparison::measureImage(a, plan), comparison::measureImage(b, plan) };
}

py::object labCompare(
    const py::handle& first, const py::handle& second, const std::string& channelOrderText)
{
    const comparison::Plan plan { false, true, false };
    const MeasuredPair measured = measurePair(first, second, channelOrderText, plan);
    const labcompare::LabFigures f = comparison::compare(measured.first, measured.second, plan).lab;
    return gLabFigures(f.L, f.ab);
}

py::object distances(
    const py::handle& first, const py::handle& second, const std::string& channelOrderText)
{
    const comparison::Plan plan { true, true, false, true };
    const MeasuredPair measured = measurePair(first, second, channelOrderText, plan);
    const comparison::Distances d = comparison::distances(measured.first, measured.second, plan);
    return gDistances(d.Q, d.J, d.C, d.M, d.s, d.L, d.a, d.b);
}

// A float32 H x W plane as a matrix that uses its memory.
cv::Mat planeOf(py::array_t<float>& plane)
{
    return cv::Mat(static_cast<int>(plane.shape(0)), static_cast<int>(plane.shape(1)), CV_32FC1,
        plane.mutable_data());
}

// The planes of an 8-bit image take the per-colour route, each distinct
// colour once through the model and its values spread over its pixels
// (metrics::spreadAttributes, bit for bit the per-pixel planes); those of a
// float image, whose values need not be 8-bit colours, the per-pixel route.
// The planes are computed into the arrays returned, with the GIL released
// from the input's copy on.
py::dict appearance(const py::handle& image, const py::handle& debugDirArgument,
    const std::string& channelOrderText)
{
    const DebugDir debugDir = debugDirectory(debugDirArgument);
    const ChannelOrder order = channelOrder(channelOrderText);
    const bool eightBit = isUint8Array(image);
    const cv::Mat img = eightBit ? toImage8(image, "img", order) : toImage(image, "img", order);
    const char* names[] = { "Q", "J", "C", "M", "s", "h" };
    std::vector<py::array_t<float>> arrays;
    for (std::size_t k = 0; k < std::size(names); ++k)
        arrays.emplace_back(std::vector<py::ssize_t> { img.rows, img.cols });
    metrics::PixelAttributes planes { planeOf(arrays[0]), planeOf(arrays[1]), planeOf(arrays[2]),
        planeOf(arrays[3]), planeOf(arrays[4]), planeOf(arrays[5]) };
    {
        py::gil_scoped_release release;
        const common::DebugOutputScope scope(debugOutput(debugDir));
        if (eightBit) {
            const common::DistinctColours colours = common::countDistinctColours(img);
            const metrics::ColourAttributes attributes = metrics::attributesOfColours(colours);
            metrics::spreadAttributes(img, colours, attributes, planes);
            if (debugDir)
                metrics::writeDebugFiles(*debugDir, img, colours, attributes);
        } else {
            const metrics::PixelAttributes computed
                = metrics::attributesOfPixels(img, debugDir.has_value());
            computed.Q.copyTo(planes.Q);
            computed.J.copyTo(planes.J);
            computed.C.copyTo(planes.C);
            computed.M.copyTo(planes.M);
            computed.s.copyTo(planes.s);
            computed.h.copyTo(planes.h);
        }
    }
    py::dict out;
    for (std::size_t k = 0; k < std::size(names); ++k)
        out[names[k]] = arrays[k];
    return out;
}

// A conversion of one float image into a new image of `channels` channels;
// `in` and `out` say whether the image and the result are in the call's
// channel order (colour images) or in a fixed one (X, Y, Z; L, M, S; ...).
enum class Ordered { Neither, In, Out, Both };

template <typename Convert>
py::array convert(const py::handle& image, const char* name, int channels,
    const std::string& channelOrderText, Ordered ordered, Convert convertOne)
{
    const ChannelOrder order = channelOrder(channelOrderText);
    const bool in = ordered == Ordered::In || ordered == Ordered::Both;
    const bool out = ordered == Ordered::Out || ordered == Ordered::Both;
    cv::Mat src = toImage(image, name, in ? order : ChannelOrder::BGR);
    cv::Mat dst(src.size(), CV_32FC(channels));
    {
        py::gil_scoped_release release;
        const common::DebugOutputScope scope(common::DebugOutput::off());
        convertOne(src, dst);
    }
    return fromMat(dst, out ? order : ChannelOrder::BGR);
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

py::object gImageError, gImageNotFoundError, gImagePermissionError;

// The errno of a file that cannot be opened for reading as such: ENOENT when
// nothing is at the path, EACCES or EPERM when it may not be read; 0 when it
// can be opened (the reader refused its content) or the path holds a NUL
// byte (it names no file).
int openingError(const std::string& path)
{
    if (path.find('\0') != std::string::npos)
        return 0;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        ::close(fd);
        return 0;
    }
    return errno == ENOENT || errno == EACCES || errno == EPERM ? errno : 0;
}

// Raises the error of a file the reader refused, an ImageError with the
// reader's message: ImageNotFoundError (also a FileNotFoundError) when
// nothing is at the path, ImagePermissionError (also a PermissionError) when
// it may not be read.
[[noreturn]] void raiseReadError(const std::string& path, const std::string& error)
{
    const int opening = openingError(path);
    if (opening != 0) {
        // OSError's arguments (errno, strerror, filename) give its attributes
        // and the text "[Errno 2] No such file or directory: 'path'".
        const py::object& kind = opening == ENOENT ? gImageNotFoundError : gImagePermissionError;
        PyErr_SetObject(kind.ptr(),
            py::make_tuple(opening, pathText(std::strerror(opening)), pathText(path)).ptr());
        throw py::error_already_set();
    }
    PyErr_SetObject(
        gImageError.ptr(), pathText("cannot read image \"" + path + "\": " + error).ptr());
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
    // Level 2 is the caller's line: a native function has no frame, and
    // level 1 is the package's function that called it.
    py::module_::import("warnings")
        .attr("warn")(pathText(notice), py::handle(PyExc_UserWarning), 2);
}

py::array readImage(
    const py::handle& pathObject, const std::string& profiles, const std::string& channelOrderText)
{
    const ChannelOrder order = channelOrder(channelOrderText);
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
    return fromMat(img, order);
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

double topLightnessSharePy(const py::handle& image, const std::string& channelOrderText)
{
    const cv::Mat img = toImage8(image, "img", channelOrder(channelOrderText));
    py::gil_scoped_release release;
    const common::DebugOutputScope scope(common::DebugOutput::off());
    return comparison::measureImage(img, kWhitePlan).white;
}

py::array icamCat(const py::handle& image, const py::handle& whiteSrc, const py::handle& whiteDst,
    float blend, const std::string& channelOrderText)
{
    finite(blend, "blend");
    const ChannelOrder order = channelOrder(channelOrderText);
    cv::Mat img = toImage(image, "sharpened", order);
    bool srcPerPixel = false, dstPerPixel = false;
    const cv::Mat src = toWhite(whiteSrc, img.size(), "white_src", srcPerPixel, order);
    const cv::Mat dst = toWhite(whiteDst, img.size(), "white_dst", dstPerPixel, order);
    {
        py::gil_scoped_release release;
        const common::DebugOutputScope scope(common::DebugOutput::off());
        color::iCAMCAT(img, src, dst, cv::Mat(), cv::Mat(), blend, dstPerPixel);
    }
    return fromMat(img, order);
}

py::array inverseCat(const py::handle& adapted, const py::handle& whiteDst,
    const py::handle& whiteSrc, const py::object& luminanceFrom,
    const std::string& channelOrderText)
{
    const ChannelOrder order = channelOrder(channelOrderText);
    const cv::Mat in = toImage(adapted, "adapted", order);
    bool perPixel = false;
    const cv::Mat dst = toWhite(whiteDst, in.size(), "white_dst", perPixel, order);
    cv::Mat src = toWhite(whiteSrc, in.size(), "white_src", perPixel, order);
    cv::Mat out
        = luminanceFrom.is_none() ? in.clone() : toImage(luminanceFrom, "luminance_from", order);
    if (out.size() != in.size())
        throw py::value_error("luminance_from: must have the adapted image's size");
    {
        py::gil_scoped_release release;
        const common::DebugOutputScope scope(common::DebugOutput::off());
        color::inverseCAT(in, dst, src, out);
    }
    return fromMat(out, order);
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
    const cv::Mat in = toImage(source, "src", ChannelOrder::BGR, NonFinite::AllowNaN);
    const cv::Mat tar = toImage(target, "target", ChannelOrder::BGR, NonFinite::AllowNaN);
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
    float sigmaSpace, float sigmaColor, const std::string& channelOrderText)
{
    const ChannelOrder order = channelOrder(channelOrderText);
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
    const cv::Mat src = toImage(hdr, "hdr", order);
    cv::Mat dst;
    {
        py::gil_scoped_release release;
        toolkit::exposure::createTonemapDurand(gamma, contrast, saturation, sigmaSpace, sigmaColor)
            ->process(src, dst);
    }
    return fromMat(dst, order);
}

// The most worker threads compare_pairs takes.
constexpr int kMostJobs = 1024;

// compare-pairs' rows of a list of pairs of paths (str, bytes or os.PathLike):
// (the table's columns, the cells of each row), each cell the table's text.
py::tuple comparePairs(const py::list& pairs, const py::handle& jobsArgument,
    const std::string& metricsText, const std::string& profiles)
{
    comparepairs::Comparisons comparisons;
    if (!comparepairs::parseComparisons(metricsText, comparisons))
        throw py::value_error(
            "metrics: expected \"perceptual\", \"lab\" or \"perceptual,lab\", with \",distance\" "
            "or not, got \""
            + metricsText + "\"");
    const common::ProfileHandling handling = profileHandling(profiles);
    const int jobs = integer(jobsArgument, "jobs", 1, kMostJobs);
    std::vector<comparepairs::PathPair> list;
    list.reserve(pairs.size());
    for (const py::handle pair : pairs) {
        const auto paths = py::reinterpret_borrow<py::tuple>(pair);
        list.push_back({ filePath(paths[0]), filePath(paths[1]) });
    }
    std::vector<std::vector<std::string>> rows;
    {
        py::gil_scoped_release release;
        const common::DebugOutputScope scope(common::DebugOutput::off());
        rows = comparepairs::pairRows(list, comparisons, handling, static_cast<unsigned>(jobs));
    }
    py::list cells;
    for (const std::vector<std::string>& row : rows)
        cells.append(py::cast(row));
    return py::make_tuple(py::cast(comparepairs::tableColumns(comparisons)), cells);
}

} // namespace

PYBIND11_MODULE(_photocolour, m)
{
    m.doc() = "The native functions of photocolour, each called by the package's function of the "
              "same name with every argument in order; see help(photocolour).";
    m.attr("__version__") = TOOLKIT_VERSION;

    py::object namedtuple = py::module_::import("collections").attr("namedtuple");
    gPerceptualFigures = namedtuple("PerceptualFigures", py::make_tuple("Q", "J", "C", "M", "s"));
    gLabFigures = namedtuple("LabFigures", py::make_tuple("L", "ab"));
    gDistances = namedtuple("Distances", py::make_tuple("Q", "J", "C", "M", "s", "L", "a", "b"));
    for (py::object* type : { &gPerceptualFigures, &gLabFigures, &gDistances })
        type->attr("__module__") = "photocolour";
    gPerceptualFigures.attr("__doc__")
        = "The five coefficients of perceptual_metrics: brightness Q, lightness J, chroma C, "
          "colourfulness M and saturation s, each 0 (disjoint) to 1 (identical).";
    gLabFigures.attr("__doc__")
        = "The coefficients of lab_compare: L* and the mean of those of a* and b*, each 0 "
          "(disjoint) to 1 (identical).";
    m.attr("PerceptualFigures") = gPerceptualFigures;
    gDistances.attr("__doc__")
        = "The earth mover's distances of distances: how far each attribute's distribution moved "
          "between two images, in the attribute's own units (Q, J, C, M, s, then L*, a*, b*).";
    m.attr("LabFigures") = gLabFigures;
    m.attr("Distances") = gDistances;
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
    const auto errorClass = [&](const char* name, py::tuple bases, const char* doc) {
        py::object kind = builtins.attr("type")(
            name, bases, py::dict(py::arg("__module__") = "photocolour", py::arg("__doc__") = doc));
        m.attr(name) = kind;
        return kind;
    };
    gImageError = errorClass("ImageError", py::make_tuple(builtins.attr("ValueError")),
        "Raised by read_image and image_facts for an image file the reader refuses, with the "
        "reader's message (compare_pairs puts it in the pair's status): damaged data (a JPEG "
        "cut short, a PNG "
        "failing its checks), an unsupported format, a file that is not a regular one or an "
        "image above the pixel limit. A ValueError.");
    gImageNotFoundError = errorClass("ImageNotFoundError",
        py::make_tuple(builtins.attr("FileNotFoundError"), gImageError),
        "Raised when nothing is at an image's path: a FileNotFoundError (errno, strerror and "
        "filename set) that is also an ImageError.");
    gImagePermissionError = errorClass("ImagePermissionError",
        py::make_tuple(builtins.attr("PermissionError"), gImageError),
        "Raised when an image file may not be read: a PermissionError (errno, strerror and "
        "filename set) that is also an ImageError.");

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

    m.def("read_image", &readImage, py::arg("path"), py::arg("profiles"), py::arg("channel_order"));
    m.def("image_facts", &imageFacts, py::arg("path"), py::arg("profiles"));
    m.def("top_lightness_share", &topLightnessSharePy, py::arg("img"), py::arg("channel_order"));
    m.def("perceptual_metrics", &perceptualMetrics, py::arg("first"), py::arg("second"),
        py::arg("debug_dir"), py::arg("channel_order"));
    m.def(
        "lab_compare", &labCompare, py::arg("first"), py::arg("second"), py::arg("channel_order"));
    m.def("distances", &distances, py::arg("first"), py::arg("second"), py::arg("channel_order"));
    m.def(
        "appearance", &appearance, py::arg("img"), py::arg("debug_dir"), py::arg("channel_order"));
    m.def("compare_pairs", &comparePairs, py::arg("pairs"), py::arg("jobs"), py::arg("metrics"),
        py::arg("profiles"));

    // The conversions: the toolkit's function, the number of channels of its
    // result, and which of its images are in the call's channel order.
    const auto conversion = [&](const char* name, const char* argument, int channels,
                                Ordered ordered, void (*convertOne)(cv::Mat&, cv::Mat&)) {
        m.def(
            name,
            [=](const py::handle& img, const std::string& channelOrderText) {
                return convert(img, argument, channels, channelOrderText, ordered, convertOne);
            },
            py::arg(argument), py::arg("channel_order"));
    };
    conversion("srgb_to_xyz", "img", 3, Ordered::In,
        [](cv::Mat& s, cv::Mat& d) { color::convertBGRToXYZDirect(s, d); });
    conversion("xyz_to_srgb", "xyz", 3, Ordered::Out,
        [](cv::Mat& s, cv::Mat& d) { color::convertXYZToBGRDirect(s, d); });
    conversion("srgb_to_lms", "img", 3, Ordered::In,
        [](cv::Mat& s, cv::Mat& d) { color::convertBGRtoLMS(s, d); });
    conversion("lms_to_lalphabeta", "lms", 3, Ordered::Neither,
        [](cv::Mat& s, cv::Mat& d) { color::convertLMStoLab(s, d); });
    conversion("lalphabeta_to_lms", "lab", 3, Ordered::Neither,
        [](cv::Mat& s, cv::Mat& d) { color::convertLabtoLMS(s, d); });
    conversion("lms_to_srgb", "lms", 3, Ordered::Out,
        [](cv::Mat& s, cv::Mat& d) { color::convertLMStoBGR(s, d); });
    conversion("srgb_to_opponent", "img", 2, Ordered::In,
        [](cv::Mat& s, cv::Mat& d) { color::convertToSimpleOpponentSpace(s, d); });
    conversion("srgb_to_yuv", "img", 3, Ordered::In,
        [](cv::Mat& s, cv::Mat& d) { color::convertBGRtoYUV(s, d); });
    conversion("xyz_to_sharpened", "xyz", 3, Ordered::Out,
        [](cv::Mat& s, cv::Mat& d) { color::convertXYZtoSharpenedBGR(s, d); });
    conversion("sharpened_to_xyz", "sharpened", 3, Ordered::In,
        [](cv::Mat& s, cv::Mat& d) { color::convertSharpenedBGRtoXYZ(s, d); });
    m.def(
        "srgb_to_lab",
        [](const py::handle& img, const py::handle& white, const std::string& channelOrderText) {
            const cv::Mat W
                = referenceWhite(toTriple(white, "white", channelOrder(channelOrderText)));
            return convert(img, "img", 3, channelOrderText, Ordered::In,
                [&](cv::Mat& s, cv::Mat& d) { color::convertBGRToLab(s, W, d); });
        },
        py::arg("img"), py::arg("white"), py::arg("channel_order"));
    m.def(
        "lab_to_srgb",
        [](const py::handle& lab, const py::handle& white, const std::string& channelOrderText) {
            const cv::Mat W
                = referenceWhite(toTriple(white, "white", channelOrder(channelOrderText)));
            return convert(lab, "lab", 3, channelOrderText, Ordered::Out,
                [&](cv::Mat& s, cv::Mat& d) { color::convertLabToBGR(s, W, d); });
        },
        py::arg("lab"), py::arg("white"), py::arg("channel_order"));
    m.def("icam_cat", &icamCat, py::arg("sharpened"), py::arg("white_src"), py::arg("white_dst"),
        py::arg("blend"), py::arg("channel_order"));
    m.def("inverse_cat", &inverseCat, py::arg("adapted"), py::arg("white_dst"),
        py::arg("white_src"), py::arg("luminance_from"), py::arg("channel_order"));
    m.def("guided_filter", &guidedFilterPy, py::arg("p"), py::arg("guide"), py::arg("r"),
        py::arg("eps"));
    m.def("optimal_transport", &optimalTransport, py::arg("src"), py::arg("target"), py::arg("t"),
        py::arg("dims"), py::arg("debug_dir"));
    m.def("tonemap_durand", &tonemapDurand, py::arg("hdr"), py::arg("gamma"), py::arg("contrast"),
        py::arg("saturation"), py::arg("sigma_space"), py::arg("sigma_color"),
        py::arg("channel_order"));
}
