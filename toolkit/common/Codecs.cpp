#include "toolkit/common/Codecs.hpp"

#include "toolkit/common/CodecsModule.h"

#include <mutex>
#include <new>

#include <dlfcn.h>
#include <unistd.h>

// The folders of the module, relative to the folder of an installed program
// and absolute; set by the build.
#ifndef TOOLKIT_CODECS_RELATIVE_DIR
#define TOOLKIT_CODECS_RELATIVE_DIR "../lib/toolkit"
#endif
#ifndef TOOLKIT_CODECS_INSTALL_DIR
#define TOOLKIT_CODECS_INSTALL_DIR "/usr/local/lib/toolkit"
#endif

namespace {

struct Module {
    int (*interface)() = nullptr;
    int (*initialise)(toolkit_codecs_error*) = nullptr;
    int (*decode)(const unsigned char*, size_t, int, void*, toolkit_codecs_error*) = nullptr;
    int (*encode)(const char*, const void*, void (*)(void*, const unsigned char*, size_t), void*,
        int*, toolkit_codecs_error*)
        = nullptr;
    std::string error;
};

// Raises what the module's call reported.
void raise(int status, const toolkit_codecs_error& error)
{
    if (status == TOOLKIT_CODECS_NO_MEMORY)
        throw std::bad_alloc();
    if (status != TOOLKIT_CODECS_OK)
        throw cv::Exception(error.code, error.message, error.function, error.file, error.line);
}

// The folder of the program or shared object this code is linked into.
std::string ownFolder()
{
    Dl_info info {};
    if (::dladdr(reinterpret_cast<void*>(&ownFolder), &info) == 0 || info.dli_fname == nullptr)
        return std::string();
    const std::string path = info.dli_fname;
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

template <typename Function> void find(void* handle, const char* name, Function& function)
{
    function = reinterpret_cast<Function>(::dlsym(handle, name));
}

void load(Module& module)
{
    const std::string own = ownFolder();
    std::vector<std::string> candidates;
    if (!own.empty()) {
        candidates.push_back(own + "/" + toolkit::common::codecs::kModuleName);
        candidates.push_back(
            own + "/" TOOLKIT_CODECS_RELATIVE_DIR "/" + toolkit::common::codecs::kModuleName);
    }
    candidates.push_back(
        std::string(TOOLKIT_CODECS_INSTALL_DIR "/") + toolkit::common::codecs::kModuleName);

    void* handle = nullptr;
    std::string reasons;
    for (const std::string& path : candidates) {
        if (::access(path.c_str(), F_OK) != 0)
            continue;
        handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle != nullptr)
            break;
        const char* reason = ::dlerror();
        reasons += std::string("; ") + (reason != nullptr ? reason : path.c_str());
    }
    if (handle == nullptr) {
        module.error = std::string("cannot load OpenCV's image codecs: ")
            + (reasons.empty() ? std::string("no ") + toolkit::common::codecs::kModuleName
                        + " beside the program or in " TOOLKIT_CODECS_INSTALL_DIR
                               : reasons.substr(2));
        return;
    }
    find(handle, "toolkit_codecs_interface", module.interface);
    find(handle, "toolkit_codecs_initialise", module.initialise);
    find(handle, "toolkit_codecs_decode", module.decode);
    find(handle, "toolkit_codecs_encode", module.encode);
    if (module.interface == nullptr || module.initialise == nullptr || module.decode == nullptr
        || module.encode == nullptr || module.interface() != TOOLKIT_CODECS_INTERFACE) {
        module.error = std::string("cannot load OpenCV's image codecs: ")
            + toolkit::common::codecs::kModuleName + " is of another version of the toolkit";
        ::dlclose(handle);
        return;
    }
    toolkit_codecs_error error {};
    if (const int status = module.initialise(&error); status != TOOLKIT_CODECS_OK) {
        module.error = std::string("cannot load OpenCV's image codecs: ")
            + (status == TOOLKIT_CODECS_NO_MEMORY ? "out of memory" : error.message);
    }
}

const Module& module()
{
    static Module loaded;
    static std::once_flag once;
    std::call_once(once, [] { load(loaded); });
    if (!loaded.error.empty())
        CV_Error(cv::Error::StsError, loaded.error);
    return loaded;
}

void takeBytes(void* context, const unsigned char* bytes, size_t size)
{
    static_cast<std::vector<uchar>*>(context)->assign(bytes, bytes + size);
}

} // namespace

cv::Mat toolkit::common::codecs::imdecode(const std::vector<uchar>& bytes, int flags)
{
    const Module& codecs = module();
    cv::Mat image;
    toolkit_codecs_error error {};
    raise(codecs.decode(bytes.data(), bytes.size(), flags, &image, &error), error);
    return image;
}

bool toolkit::common::codecs::imencode(
    const std::string& extension, const cv::Mat& img, std::vector<uchar>& encoded)
{
    const Module& codecs = module();
    int done = 0;
    toolkit_codecs_error error {};
    encoded.clear();
    raise(codecs.encode(extension.c_str(), &img, takeBytes, &encoded, &done, &error), error);
    return done != 0;
}
