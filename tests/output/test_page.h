#pragma once
// Pages for the output tests, built by hand in the page's stored layout:
// 800 x 600, rows of 2400 bytes stored bottom row first, pixels as B, G, R.

#include "page/page_image.h"

#include <cstdint>
#include <random>

namespace plotanix::testing {

inline PageImage makePage(uint8_t grey = 255) {
    PageImage page;
    page.width = 800;
    page.height = 600;
    page.depth = 24;
    page.stride = 2400;
    page.pixels.assign(static_cast<size_t>(page.stride) * page.height, grey);
    return page;
}

// colour as 0xRRGGBB, (x, y) in picture coordinates (y = 0 the top row).
inline void setPixel(PageImage& page, int x, int y, uint32_t rgb) {
    uint8_t* p = page.row(y) + 3 * x;
    p[0] = static_cast<uint8_t>(rgb);
    p[1] = static_cast<uint8_t>(rgb >> 8);
    p[2] = static_cast<uint8_t>(rgb >> 16);
}

inline uint32_t getPixel(const PageImage& page, int x, int y) {
    const uint8_t* p = page.row(y) + 3 * x;
    return static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[1]) << 8 | p[0];
}

// No two neighbouring pixels alike and every row different, so a flip, a
// shift or a swapped channel all show.
inline PageImage makePatternPage() {
    PageImage page = makePage();
    for (int y = 0; y < page.height; ++y) {
        for (int x = 0; x < page.width; ++x) {
            setPixel(page, x, y,
                     static_cast<uint32_t>((x * 7 + y) & 0xFF) << 16 |
                         static_cast<uint32_t>((y * 5 + x / 3) & 0xFF) << 8 |
                         static_cast<uint32_t>((x ^ y) & 0xFF));
        }
    }
    return page;
}

// Pixels that do not compress, for filling a small file system.
inline PageImage makeNoisePage() {
    PageImage page = makePage();
    std::mt19937 random(86);
    for (uint8_t& byte : page.pixels)
        byte = static_cast<uint8_t>(random());
    return page;
}

} // namespace plotanix::testing
