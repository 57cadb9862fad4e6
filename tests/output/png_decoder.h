#pragma once
// A small PNG reader for checking saved pages: it walks the chunks (checking
// each CRC), reads IHDR and inflates the IDAT data. Only 8-bit RGB without
// interlacing is turned into pixels, and only filter type 0 is undone.

#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

namespace plotanix::testing {

struct DecodedPng {
    std::string error; // empty when the file could be read as far as needed
    bool signatureOk = false;
    std::vector<std::string> chunkTypes;
    uint32_t width = 0, height = 0;
    int bitDepth = -1, colourType = -1, compression = -1, filter = -1, interlace = -1;
    uint8_t zlibHeader[2] = {0, 0};
    std::vector<uint8_t> rowFilters; // the filter byte of each row
    std::vector<uint8_t> rgb;        // width * height * 3, top row first

    // The pixel at (x, y) as 0xRRGGBB.
    uint32_t pixel(uint32_t x, uint32_t y) const {
        const uint8_t* p = rgb.data() + (static_cast<size_t>(y) * width + x) * 3;
        return static_cast<uint32_t>(p[0]) << 16 | static_cast<uint32_t>(p[1]) << 8 | p[2];
    }
};

DecodedPng decodePng(const std::string& bytes);

} // namespace plotanix::testing
