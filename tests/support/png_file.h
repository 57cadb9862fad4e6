#pragma once
// A PNG file read back as 8-bit RGB through libpng.

#include <cstdint>
#include <string>
#include <vector>

namespace plotanix::testing {

struct DecodedPng {
    std::string error; // empty when the file was read
    uint32_t width = 0, height = 0;
    std::vector<uint8_t> rgb; // width * height * 3, top row first

    // The pixel at (x, y) as 0xRRGGBB.
    uint32_t pixel(uint32_t x, uint32_t y) const {
        const uint8_t* p = rgb.data() + (static_cast<size_t>(y) * width + x) * 3;
        return static_cast<uint32_t>(p[0]) << 16 | static_cast<uint32_t>(p[1]) << 8 | p[2];
    }
};

DecodedPng readPng(const std::string& path);

} // namespace plotanix::testing
