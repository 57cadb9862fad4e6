#include "page/page_image.h"

#include <cstring>
#include <limits>
#include <new>

namespace plotanix {

namespace {

void paint(PageImage& image, int32_t top, int32_t bottom, Colour colour) {
    const uint8_t blue = (colour >> 16) & 0xFF, green = (colour >> 8) & 0xFF, red = colour & 0xFF;
    for (int32_t y = top; y < bottom; ++y) {
        uint8_t* p = image.row(y);
        if (blue == green && green == red) {
            std::memset(p, red, 3 * static_cast<size_t>(image.width));
            continue;
        }
        for (uint8_t* end = p + 3 * image.width; p < end; p += 3) {
            p[0] = blue;
            p[1] = green;
            p[2] = red;
        }
    }
}

} // namespace

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
    if (!grey) paint(*image, 0, height, paper);
    image->paper_ = paper;
    image->drawnTop_ = height;
    image->drawnBottom_ = 0;
    return image;
}

void PageImage::fill(Colour colour) {
    const auto [top, bottom] =
        colour == paper_ ? rowsDrawn() : std::pair<int32_t, int32_t>{0, height};
    paint(*this, top, bottom, colour);
    paper_ = colour;
    drawnTop_ = height;
    drawnBottom_ = 0;
}

bool samePixels(const PageImage& a, const PageImage& b) {
    if (a.width != b.width || a.height != b.height || a.stride != b.stride ||
        a.pixels.size() != b.pixels.size())
        return false;
    if (a.paper() != b.paper()) return a.pixels == b.pixels;
    const auto [aTop, aBottom] = a.rowsDrawn();
    const auto [bTop, bBottom] = b.rowsDrawn();
    const bool aBlank = aTop >= aBottom, bBlank = bTop >= bBottom;
    if (aBlank && bBlank) return true;
    const int32_t top = aBlank ? bTop : bBlank ? aTop : std::min(aTop, bTop);
    const int32_t bottom = aBlank ? bBottom : bBlank ? aBottom : std::max(aBottom, bBottom);
    // Stored bottom row first: the picture rows top..bottom are one block.
    const size_t from = static_cast<size_t>(a.height - bottom) * static_cast<size_t>(a.stride);
    const size_t length = static_cast<size_t>(bottom - top) * static_cast<size_t>(a.stride);
    return std::memcmp(a.pixels.data() + from, b.pixels.data() + from, length) == 0;
}

} // namespace plotanix
