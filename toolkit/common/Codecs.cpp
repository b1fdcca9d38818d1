#include "toolkit/common/Codecs.hpp"

#include <opencv2/imgcodecs.hpp> // flags only

#include <mutex>

#include <dlfcn.h>

namespace {

using Imread = cv::Mat (*)(const cv::String&, int);
using Imdecode = cv::Mat (*)(cv::InputArray, int);
using Imencode
    = bool (*)(const cv::String&, cv::InputArray, std::vector<uchar>&, const std::vector<int>&);

struct Library {
    Imread imread = nullptr;
    Imdecode imdecode = nullptr;
    Imencode imencode = nullptr;
    std::string error;
};

template <typename Function> Function symbol(void* handle, const char* name, std::string& error)
{
    void* address = ::dlsym(handle, name);
    if (address == nullptr && error.empty())
        error = std::string("no ") + name + " in " TOOLKIT_IMGCODECS_LIBRARY;
    return reinterpret_cast<Function>(address);
}

const Library& library()
{
    static Library lib;
    static std::once_flag once;
    std::call_once(once, [] {
        void* handle = ::dlopen(TOOLKIT_IMGCODECS_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) {
            const char* reason = ::dlerror();
            lib.error = std::string("cannot load OpenCV's image codecs: ")
                + (reason != nullptr ? reason : TOOLKIT_IMGCODECS_LIBRARY);
            return;
        }
        // The C++ names of cv::imread, cv::imdecode and cv::imencode in
        // OpenCV 4.6 (see docs/opencv-internals.md).
        lib.imread = symbol<Imread>(handle,
            "_ZN2cv6imreadERKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEEi", lib.error);
        lib.imdecode = symbol<Imdecode>(handle, "_ZN2cv8imdecodeERKNS_11_InputArrayEi", lib.error);
        lib.imencode = symbol<Imencode>(handle,
            "_ZN2cv8imencodeERKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEERKNS_11_"
            "InputArrayERSt6vectorIhSaIhEERKSB_IiSaIiEE",
            lib.error);
        if (!lib.error.empty())
            return;
        // The decoder list is made on the first call; made here, once, it is
        // never made by two threads at a time.
        lib.imdecode(std::vector<uchar>(1, 0), cv::IMREAD_COLOR);
    });
    if (!lib.error.empty())
        CV_Error(cv::Error::StsError, lib.error);
    return lib;
}

} // namespace

void toolkit::common::codecs::load()
{
    library();
}

cv::Mat toolkit::common::codecs::imread(const std::string& path, int flags)
{
    return library().imread(path, flags);
}

cv::Mat toolkit::common::codecs::imdecode(const std::vector<uchar>& bytes, int flags)
{
    return library().imdecode(bytes, flags);
}

bool toolkit::common::codecs::imencode(const std::string& ext, const cv::Mat& img,
    std::vector<uchar>& buffer, const std::vector<int>& params)
{
    return library().imencode(ext, img, buffer, params);
}
