#include "page/page_image.h"

#include <limits>
#include <new>

namespace plotanix {

std::unique_ptr<PageImage> createPageImage(int32_t width, int32_t height, int32_t depth,
                                           Colour paper) {
    // The fields are 16-bit, and only 24-bit pixels are ever drawn.
    constexpr int32_t largest = std::numeric_limits<int16_t>::max();
    if (depth != 24 || width <= 0 || height <= 0 || width > largest || height > largest) {
        return nullptr;
    }
    std::unique_ptr<PageImage> image(new (std::nothrow) PageImage);
    if (!image) return nullptr;
    image->width = static_cast<int16_t>(width);
    image->height = static_cast<int16_t>(height);
    image->depth = static_cast<uint8_t>(depth);
    image->stride = 4 * ((3 * width + 3) / 4);
    const uint8_t blue = (paper >> 16) & 0xFF, green = (paper >> 8) & 0xFF, red = paper & 0xFF;
    const bool grey = blue == green && green == red;
    try {
        image->pixels.assign(static_cast<size_t>(image->stride) * static_cast<size_t>(height),
                             grey ? red : 0);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    for (int y = 0; !grey && y < height; ++y) {
        for (uint8_t* p = image->row(y); p < image->row(y) + 3 * width; p += 3) {
            p[0] = blue;
            p[1] = green;
            p[2] = red;
        }
    }
    return image;
}

} // namespace plotanix
