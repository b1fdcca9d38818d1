// The toolkit's codec module: OpenCV's cv::imdecode and cv::imencode behind
// the plain C entry points of CodecsModule.h. Nothing escapes as an
// exception; only those entry points are exported.
#include "toolkit/common/CodecsModule.h"

#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>
#include <vector>

#define TOOLKIT_CODECS_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

void copyCut(char* to, std::size_t room, const std::string& text)
{
    const std::size_t length = std::min(room - 1, text.size());
    std::memcpy(to, text.data(), length);
    to[length] = '\0';
}

// Runs the call, turning what it raises into a status and the error.
template <typename Call> int guarded(toolkit_codecs_error* error, Call call)
{
    try {
        call();
        return TOOLKIT_CODECS_OK;
    } catch (const cv::Exception& e) {
        error->code = e.code;
        error->line = e.line;
        copyCut(error->message, sizeof error->message, e.err);
        copyCut(error->function, sizeof error->function, e.func);
        copyCut(error->file, sizeof error->file, e.file);
        return TOOLKIT_CODECS_OPENCV_ERROR;
    } catch (const std::bad_alloc&) {
        return TOOLKIT_CODECS_NO_MEMORY;
    } catch (const std::exception& e) {
        error->code = cv::Error::StsError;
        error->line = 0;
        copyCut(error->message, sizeof error->message, e.what());
        error->function[0] = error->file[0] = '\0';
        return TOOLKIT_CODECS_OPENCV_ERROR;
    }
}

} // namespace

TOOLKIT_CODECS_EXPORT int toolkit_codecs_interface(void)
{
    return TOOLKIT_CODECS_INTERFACE;
}

TOOLKIT_CODECS_EXPORT int toolkit_codecs_initialise(toolkit_codecs_error* error)
{
    return guarded(error, [] { cv::imdecode(std::vector<uchar>(1, 0), cv::IMREAD_COLOR); });
}

TOOLKIT_CODECS_EXPORT int toolkit_codecs_decode(
    const unsigned char* bytes, size_t size, int flags, void* image, toolkit_codecs_error* error)
{
    return guarded(error, [&] {
        if (size > std::size_t(INT_MAX))
            CV_Error(cv::Error::StsOutOfRange, "more than 2 GiB of encoded data");
        // A one-row header over the caller's bytes: nothing is copied.
        const cv::Mat data(1, int(size), CV_8U, const_cast<unsigned char*>(bytes));
        *static_cast<cv::Mat*>(image) = cv::imdecode(data, flags);
    });
}

TOOLKIT_CODECS_EXPORT int toolkit_codecs_encode(const char* extension, const void* image,
    void (*sink)(void*, const unsigned char*, size_t), void* context, int* encoded,
    toolkit_codecs_error* error)
{
    return guarded(error, [&] {
        std::vector<uchar> buffer;
        *encoded = cv::imencode(extension, *static_cast<const cv::Mat*>(image), buffer) ? 1 : 0;
        if (*encoded)
            sink(context, buffer.data(), buffer.size());
    });
}
