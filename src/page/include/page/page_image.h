#pragma once
// The page: one 800 x 600 image, 24 bits per pixel, rows stored bottom row
// first, each pixel as the bytes blue, green, red.

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

namespace plotanix {

// Red in bits 0-7, green 8-15, blue 16-23; bits 24-31 are ignored.
using Colour = uint32_t;

struct PageImage {
    PageImage() = default;
    // An image put together by hand: every row counts as drawn on.
    PageImage(int16_t width, int16_t height, uint8_t depth, int32_t stride,
              std::vector<uint8_t> pixels)
        : width(width), height(height), depth(depth), stride(stride), pixels(std::move(pixels)) {}

    int16_t width = 0;
    int16_t height = 0;
    uint8_t depth = 0;
    int32_t stride = 0; // 3 * width rounded up to a multiple of 4
    std::vector<uint8_t> pixels;

    // Start of picture row y (0 = top row as shown and saved). Writing goes
    // through here, so the row counts as drawn on.
    [[gnu::always_inline]] uint8_t* row(int y) {
        drawnTop_ = std::min(drawnTop_, y);
        drawnBottom_ = std::max(drawnBottom_, y + 1);
        return pixels.data() + static_cast<size_t>(height - 1 - y) * stride;
    }
    const uint8_t* row(int y) const {
        return pixels.data() + static_cast<size_t>(height - 1 - y) * stride;
    }
    // The colour at picture pixel (x, y), as a Colour value.
    Colour pixel(int x, int y) const {
        const uint8_t* p = row(y) + 3 * x;
        return static_cast<Colour>(p[2]) | static_cast<Colour>(p[1]) << 8 |
               static_cast<Colour>(p[0]) << 16;
    }

    // The whole image in one colour. Only the rows drawn on since the last
    // fill are written when the colour is the same: a page that is blanked
    // often and drawn on little (the fuzzer's) costs what was drawn.
    void fill(Colour colour);
    // The picture rows written since the image was last filled whole, top
    // included, bottom not (empty when top >= bottom); outside them every
    // pixel is paper(). Unknown for an image put together by hand: all.
    std::pair<int32_t, int32_t> rowsDrawn() const {
        return {std::max(drawnTop_, 0), std::min<int32_t>(drawnBottom_, height)};
    }
    Colour paper() const { return paper_; }

  private:
    friend std::unique_ptr<PageImage> createPageImage(int32_t, int32_t, int32_t, Colour);
    int32_t drawnTop_ = 0;
    int32_t drawnBottom_ = std::numeric_limits<int32_t>::max();
    Colour paper_ = 0;
};

// An image all in the paper colour (black unless given), or nullptr when
// the sizes are unusable or memory is short. Born in its colour: the pixels
// are written once, not cleared and then painted.
std::unique_ptr<PageImage> createPageImage(int32_t width, int32_t height, int32_t depth,
                                           Colour paper = 0);

// Whether two images have the same size and pixels; rows neither has drawn
// on since a fill in the same colour are known alike and not compared.
bool samePixels(const PageImage& a, const PageImage& b);

} // namespace plotanix
