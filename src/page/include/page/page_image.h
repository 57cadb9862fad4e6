#pragma once
// The page: one 800 x 600 image, 24 bits per pixel, rows stored bottom row
// first, each pixel as the bytes blue, green, red.

#include <cstdint>
#include <memory>
#include <vector>

namespace plotanix {

// Red in bits 0-7, green 8-15, blue 16-23; bits 24-31 are ignored.
using Colour = uint32_t;

struct PageImage {
    int16_t width = 0;
    int16_t height = 0;
    uint8_t depth = 0;
    int32_t stride = 0; // 3 * width rounded up to a multiple of 4
    std::vector<uint8_t> pixels;

    // Start of picture row y (0 = top row as shown and saved).
    uint8_t* row(int y) { return pixels.data() + static_cast<size_t>(height - 1 - y) * stride; }
    const uint8_t* row(int y) const {
        return pixels.data() + static_cast<size_t>(height - 1 - y) * stride;
    }
    // The colour at picture pixel (x, y), as a Colour value.
    Colour pixel(int x, int y) const {
        const uint8_t* p = row(y) + 3 * x;
        return static_cast<Colour>(p[2]) | static_cast<Colour>(p[1]) << 8 |
               static_cast<Colour>(p[0]) << 16;
    }
};

// An image all in the paper colour (black unless given), or nullptr when
// the sizes are unusable or memory is short. Born in its colour: the pixels
// are written once, not cleared and then painted.
std::unique_ptr<PageImage> createPageImage(int32_t width, int32_t height, int32_t depth,
                                           Colour paper = 0);

} // namespace plotanix
