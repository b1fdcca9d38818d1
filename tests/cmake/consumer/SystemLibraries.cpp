#include "SystemLibraries.hpp"

#include <opencv2/core.hpp>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <vector>

// libjpeg's headers need FILE and size_t declared first.
#include <jpeglib.h>

#include <jerror.h>
#include <png.h>

namespace {

// An 8 x 8 RGB gradient.
std::vector<unsigned char> gradient()
{
    std::vector<unsigned char> rgb(8 * 8 * 3);
    for (std::size_t k = 0; k < rgb.size(); ++k)
        rgb[k] = static_cast<unsigned char>((k * 37) % 256);
    return rgb;
}

std::uint64_t checksum(const std::vector<unsigned char>& bytes)
{
    std::uint64_t sum = 0;
    for (const unsigned char b : bytes)
        sum = sum * 31 + b;
    return sum;
}

std::string jpegFigures()
{
    jpeg_error_mgr errors;
    jpeg_std_error(&errors);
    std::ostringstream out;
    out << "libjpeg " << errors.jpeg_message_table[JMSG_VERSION] << ", last message "
        << errors.last_jpeg_message;

    const std::vector<unsigned char> rgb = gradient();
    jpeg_compress_struct c;
    c.err = jpeg_std_error(&errors);
    jpeg_create_compress(&c);
    unsigned char* encoded = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &encoded, &size);
    c.image_width = c.image_height = 8;
    c.input_components = 3;
    c.in_color_space = JCS_RGB;
    jpeg_set_defaults(&c);
    jpeg_start_compress(&c, TRUE);
    while (c.next_scanline < c.image_height) {
        JSAMPROW row = const_cast<unsigned char*>(&rgb[c.next_scanline * 24]);
        jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);

    jpeg_decompress_struct d;
    d.err = jpeg_std_error(&errors);
    jpeg_create_decompress(&d);
    jpeg_mem_src(&d, encoded, size);
    jpeg_read_header(&d, TRUE);
    jpeg_start_decompress(&d);
    std::vector<unsigned char> decoded(8 * 8 * 3);
    while (d.output_scanline < d.output_height) {
        JSAMPROW row = &decoded[d.output_scanline * 24];
        jpeg_read_scanlines(&d, &row, 1);
    }
    jpeg_finish_decompress(&d);
    jpeg_destroy_decompress(&d);
    std::free(encoded);
    out << ", " << size << " bytes, decoded " << checksum(decoded);
    return out.str();
}

std::string pngFigures()
{
    std::ostringstream out;
    out << "libpng " << png_get_libpng_ver(nullptr);
    const std::vector<unsigned char> rgb = gradient();
    png_image image {};
    image.version = PNG_IMAGE_VERSION;
    image.width = image.height = 8;
    image.format = PNG_FORMAT_RGB;
    png_alloc_size_t size = 0;
    png_image_write_to_memory(&image, nullptr, &size, 0, rgb.data(), 0, nullptr);
    std::vector<unsigned char> encoded(size);
    if (!png_image_write_to_memory(&image, encoded.data(), &size, 0, rgb.data(), 0, nullptr))
        return out.str() + ", cannot encode";
    png_image read {};
    read.version = PNG_IMAGE_VERSION;
    std::vector<unsigned char> decoded(8 * 8 * 3);
    if (!png_image_begin_read_from_memory(&read, encoded.data(), size))
        return out.str() + ", cannot decode";
    read.format = PNG_FORMAT_RGB;
    png_image_finish_read(&read, nullptr, decoded.data(), 0, nullptr);
    out << ", " << size << " bytes, decoded " << checksum(decoded);
    return out.str();
}

std::string matrixFigures()
{
    cv::Mat a(6, 5, CV_32F), b(5, 4, CV_32F);
    for (int i = 0; i < a.rows; ++i)
        for (int j = 0; j < a.cols; ++j)
            a.at<float>(i, j) = 1.0f / float(i + j + 1) + 0.1f * float(i % 3);
    for (int i = 0; i < b.rows; ++i)
        for (int j = 0; j < b.cols; ++j)
            b.at<float>(i, j) = float((i * 7 + j * 3) % 5) - 1.5f;
    cv::Mat product;
    cv::gemm(a, b, 1.0, cv::noArray(), 0.0, product);
    cv::Mat values;
    cv::SVD::compute(a, values, cv::SVD::NO_UV);
    std::ostringstream out;
    char number[32];
    out << "gemm";
    for (int k = 0; k < int(product.total()); ++k) {
        std::snprintf(number, sizeof number, " %a", double(product.ptr<float>(0)[k]));
        out << number;
    }
    out << "\nsvd";
    for (int k = 0; k < int(values.total()); ++k) {
        std::snprintf(number, sizeof number, " %a", double(values.ptr<float>(0)[k]));
        out << number;
    }
    return out.str();
}

} // namespace

std::string systemLibraryFigures()
{
    return jpegFigures() + "\n" + pngFigures() + "\n" + matrixFigures() + "\n";
}
