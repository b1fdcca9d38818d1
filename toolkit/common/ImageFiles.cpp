#include "toolkit/common/ImageFiles.hpp"

#include "toolkit/common/Codecs.hpp"
#include "toolkit/common/FileReplacement.hpp"

#include <cstdio>
#include <new>
#include <vector>

bool toolkit::common::writeImage(const std::string& name, const cv::Mat& img)
{
    std::string error;
    return writeImage(name, img, error);
}

bool toolkit::common::writeImage(const std::string& name, const cv::Mat& img, std::string& error)
{
    error.clear();
    if (img.empty()) {
        error = "cannot write \"" + name + "\": the image is empty";
        return false;
    }
    const std::size_t dot = name.rfind('.');
    const std::size_t slash = name.rfind('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
        error = "cannot write \"" + name + "\": no file extension to choose a format";
        return false;
    }
    // Encoded as cv::imwrite encodes it, then written whole under another name.
    std::vector<uchar> encoded;
    try {
        if (!toolkit::common::codecs::imencode(name.substr(dot), img, encoded)) {
            error = "cannot write \"" + name + "\": the encoder failed";
            return false;
        }
    } catch (const cv::Exception& e) {
        error = "cannot write \"" + name + "\": " + e.what();
        return false;
    } catch (const std::bad_alloc&) {
        error = "cannot write \"" + name + "\": out of memory";
        return false;
    }
    FileReplacement file(name);
    if (file.file() != nullptr)
        std::fwrite(encoded.data(), 1, encoded.size(), file.file());
    return file.commit(error);
}
