#include "png_file.h"

#include <png.h>

namespace plotanix::testing {

DecodedPng readPng(const std::string& path) {
    DecodedPng png;
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (png_image_begin_read_from_file(&image, path.c_str()) != 0) {
        image.format = PNG_FORMAT_RGB;
        png.rgb.resize(PNG_IMAGE_SIZE(image));
        if (png_image_finish_read(&image, nullptr, png.rgb.data(), 0, nullptr) != 0) {
            png.width = image.width;
            png.height = image.height;
            return png;
        }
    }
    png.error = image.message;
    png.rgb.clear();
    png_image_free(&image);
    return png;
}

} // namespace plotanix::testing
