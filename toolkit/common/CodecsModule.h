/* Internal to toolkit/common. The entry points of the toolkit's codec module
 * (libtoolkit-opencv-codecs.so), which holds OpenCV's image codecs for the
 * library: the library loads it with dlopen when it first needs a codec, so
 * that a program reading only what the toolkit decodes itself never loads
 * OpenCV's codec library and the hundred and more libraries it brings in.
 * Plain C names, so that finding them depends on no C++ ABI. Images are
 * OpenCV's own cv::Mat (the module and the library link the same OpenCV
 * core); encoded bytes are handed back through a callback. */
#ifndef TOOLKIT_COMMON_CODECS_MODULE_H
#define TOOLKIT_COMMON_CODECS_MODULE_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The version of these entry points; the library refuses a module of another. */
#define TOOLKIT_CODECS_INTERFACE 1

/* What a call gives. */
enum toolkit_codecs_status {
    TOOLKIT_CODECS_OK = 0,
    TOOLKIT_CODECS_OPENCV_ERROR = 1, /* a cv::Exception, described in the error */
    TOOLKIT_CODECS_NO_MEMORY = 2 /* std::bad_alloc */
};

/* A cv::Exception's fields, cut to fit. */
struct toolkit_codecs_error {
    int code;
    int line;
    char message[1024];
    char function[256];
    char file[256];
};

/* TOOLKIT_CODECS_INTERFACE of the module, for the library's check. */
int toolkit_codecs_interface(void);

/* Fills OpenCV's list of decoders, which cv::imdecode otherwise fills on its
 * first call, so that two threads never fill it at once. */
int toolkit_codecs_initialise(struct toolkit_codecs_error* error);

/* cv::imdecode of size bytes with the flags, into *image (a cv::Mat*). */
int toolkit_codecs_decode(const unsigned char* bytes, size_t size, int flags, void* image,
    struct toolkit_codecs_error* error);

/* cv::imencode of *image (a const cv::Mat*) for the extension (".png"), with
 * OpenCV's default settings; *encoded is set to 1 and the bytes are given to
 * sink(context, bytes, size) once when the encoder succeeds, else 0. */
int toolkit_codecs_encode(const char* extension, const void* image,
    void (*sink)(void* context, const unsigned char* bytes, size_t size), void* context,
    int* encoded, struct toolkit_codecs_error* error);

#ifdef __cplusplus
}
#endif

#endif
