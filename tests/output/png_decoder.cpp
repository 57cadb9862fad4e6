#include "png_decoder.h"

#include <cstring>
#include <zlib.h>

namespace plotanix::testing {

namespace {

uint32_t bigEndian(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

// Collects the chunk types, the header fields and the IDAT bytes; an
// error for a damaged file.
std::string walkChunks(const std::string& bytes, DecodedPng& png, std::string& idat) {
    const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
    for (size_t at = 8; at + 12 <= bytes.size();) {
        const uint32_t length = bigEndian(data + at);
        if (length > bytes.size() - at - 12) break;
        const uint8_t* type = data + at + 4;
        const uint8_t* body = type + 4;
        if (crc32(0L, type, length + 4) != bigEndian(body + length)) return "bad CRC";
        const std::string name(reinterpret_cast<const char*>(type), 4);
        png.chunkTypes.push_back(name);
        if (name == "IHDR" && length == 13) {
            png.width = bigEndian(body);
            png.height = bigEndian(body + 4);
            std::tie(png.bitDepth, png.colourType, png.compression, png.filter, png.interlace) =
                std::tuple(body[8], body[9], body[10], body[11], body[12]);
        }
        if (name == "IDAT") idat.append(reinterpret_cast<const char*>(body), length);
        at += 12 + length;
        if (name == "IEND") return at == bytes.size() ? "" : "bytes after IEND";
    }
    return "file ends inside a chunk or before IEND";
}

} // namespace

DecodedPng decodePng(const std::string& bytes) {
    DecodedPng png;
    auto fail = [&png](const char* why) {
        png.error = why;
        return png;
    };
    std::string idat;
    png.signatureOk = bytes.compare(0, 8, "\x89PNG\r\n\x1A\n") == 0;
    png.error = png.signatureOk ? walkChunks(bytes, png, idat) : "no PNG signature";
    if (!png.error.empty()) return png;
    if (png.bitDepth != 8 || png.colourType != 2 || png.interlace != 0 || idat.size() < 2)
        return fail("not 8-bit RGB without interlacing");
    png.zlibHeader[0] = static_cast<uint8_t>(idat[0]);
    png.zlibHeader[1] = static_cast<uint8_t>(idat[1]);
    const size_t rowBytes = static_cast<size_t>(png.width) * 3;
    std::vector<uint8_t> raw((rowBytes + 1) * png.height);
    uLongf size = raw.size();
    if (uncompress(raw.data(), &size, reinterpret_cast<const Bytef*>(idat.data()), idat.size()) !=
            Z_OK ||
        size != raw.size())
        return fail("IDAT does not inflate to exactly the image's rows");
    png.rgb.resize(rowBytes * png.height);
    for (uint32_t y = 0; y < png.height; ++y) {
        const uint8_t* row = raw.data() + y * (rowBytes + 1);
        png.rowFilters.push_back(row[0]);
        if (row[0] != 0) png.error = "a row uses a filter";
        std::memcpy(png.rgb.data() + y * rowBytes, row + 1, rowBytes);
    }
    return png;
}

} // namespace plotanix::testing
