#pragma once
// Pages for the output tests, and their pixels as a PNG file or a screen holds them.

#include "page/page_image.h"

#include <random>

namespace plotanix::testing {

// 800 x 600 in grey, or in noise that neither compresses nor survives a
// flip, a shift or a swapped channel unnoticed.
inline PageImage makePage(bool noise = false) {
    PageImage page{800, 600, 24, 2400, std::vector<uint8_t>(2400 * 600, 128)};
    std::mt19937 random(86);
    for (uint8_t& byte : page.pixels)
        byte = noise ? static_cast<uint8_t>(random()) : byte;
    return page;
}

// Top row first, bytes R, G, B (the page stores rows bottom up, B, G, R).
inline std::vector<uint8_t> rgbBytes(const PageImage& page) {
    std::vector<uint8_t> bytes;
    for (int y = 0; y < page.height; ++y) {
        for (const uint8_t* p = page.row(y); p < page.row(y) + 3 * page.width; p += 3)
            bytes.insert(bytes.end(), {p[2], p[1], p[0]});
    }
    return bytes;
}

} // namespace plotanix::testing
