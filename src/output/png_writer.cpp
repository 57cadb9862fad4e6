#include "output/png_writer.h"

#include "page/page_image.h"

#include <cstdio>
#include <png.h>
#include <zlib.h>

namespace plotanix {

namespace {

// The encoder's errors end the save quietly: nothing may reach the console.
[[noreturn]] void failEncoding(png_structp png, png_const_charp) {
    png_longjmp(png, 1);
}
void ignoreWarning(png_structp, png_const_charp) {}

bool usableImage(const PageImage& image) {
    return image.depth == 24 && image.width > 0 && image.height > 0 &&
           image.stride >= 3 * image.width &&
           image.pixels.size() >= static_cast<size_t>(image.stride) * image.height;
}

// Kept free of objects with destructors: an encoder error leaves through
// longjmp, which would skip them.
bool encodeImage(FILE* file, const PageImage& image, PngCompression compression) {
    png_structp png =
        png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, failEncoding, ignoreWarning);
    if (png == nullptr) return false;
    png_infop info = png_create_info_struct(png);
    if (info == nullptr) {
        png_destroy_write_struct(&png, nullptr);
        return false;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_init_io(png, file);
    png_set_filter(png, 0, PNG_FILTER_NONE);
    if (compression == PngCompression::fast) {
        png_set_compression_level(png, 1);
        png_set_compression_strategy(png, Z_RLE);
    } else {
        png_set_compression_level(png, 9);
    }
    png_set_IHDR(png, info, image.width, image.height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    png_set_bgr(png);
    for (int y = 0; y < image.height; ++y)
        png_write_row(png, image.row(y));
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return true;
}

} // namespace

bool savePng(const PageImage& image, const std::string& fileName, Durability durability,
             PngCompression compression) {
    if (fileName.empty() || !usableImage(image)) return false;
    return writeFileAtomically(fileName, durability, [&image, compression](FILE* file) {
        return encodeImage(file, image, compression);
    });
}

bool writePng(FILE* file, const PageImage& image, PngCompression compression) {
    return usableImage(image) && encodeImage(file, image, compression) && std::fflush(file) == 0;
}

} // namespace plotanix
