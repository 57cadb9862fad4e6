#include "png_decoder.h"

#include <cstring>
#include <zlib.h>

namespace plotanix::testing {

namespace {

const uint8_t signature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};

uint32_t bigEndian(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

void readHeader(const uint8_t* data, uint32_t length, DecodedPng& png) {
    if (length != 13) {
        png.error = "IHDR is not 13 bytes";
        return;
    }
    png.width = bigEndian(data);
    png.height = bigEndian(data + 4);
    png.bitDepth = data[8];
    png.colourType = data[9];
    png.compression = data[10];
    png.filter = data[11];
    png.interlace = data[12];
}

// Collects the chunk types and the IDAT bytes; false on a damaged file.
bool walkChunks(const std::string& bytes, DecodedPng& png, std::string& idat) {
    const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
    size_t at = sizeof signature;
    while (at + 12 <= bytes.size()) {
        const uint32_t length = bigEndian(data + at);
        if (length > bytes.size() - at - 12) break;
        const uint8_t* type = data + at + 4;
        const uint8_t* body = type + 4;
        const uint32_t crc = static_cast<uint32_t>(crc32(0L, type, length + 4));
        if (crc != bigEndian(body + length)) {
            png.error = "bad CRC";
            return false;
        }
        const std::string name(reinterpret_cast<const char*>(type), 4);
        png.chunkTypes.push_back(name);
        if (name == "IHDR") readHeader(body, length, png);
        if (name == "IDAT") idat.append(reinterpret_cast<const char*>(body), length);
        at += 12 + length;
        if (name == "IEND") {
            if (at != bytes.size()) png.error = "bytes after IEND";
            return at == bytes.size();
        }
    }
    png.error = "file ends inside a chunk or before IEND";
    return false;
}

bool inflateAll(const std::string& compressed, std::vector<uint8_t>& raw) {
    z_stream stream{};
    if (inflateInit(&stream) != Z_OK) return false;
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data()));
    stream.avail_in = static_cast<uInt>(compressed.size());
    stream.next_out = raw.data();
    stream.avail_out = static_cast<uInt>(raw.size());
    const int result = inflate(&stream, Z_FINISH);
    const bool complete = result == Z_STREAM_END && stream.avail_out == 0 && stream.avail_in == 0;
    inflateEnd(&stream);
    return complete;
}

void unpackRows(const std::vector<uint8_t>& raw, DecodedPng& png) {
    const size_t rowBytes = static_cast<size_t>(png.width) * 3;
    png.rgb.resize(rowBytes * png.height);
    for (uint32_t y = 0; y < png.height; ++y) {
        const uint8_t* row = raw.data() + y * (rowBytes + 1);
        png.rowFilters.push_back(row[0]);
        if (row[0] != 0) png.error = "a row uses a filter";
        std::memcpy(png.rgb.data() + y * rowBytes, row + 1, rowBytes);
    }
}

} // namespace

DecodedPng decodePng(const std::string& bytes) {
    DecodedPng png;
    png.signatureOk = bytes.size() >= sizeof signature &&
                      std::memcmp(bytes.data(), signature, sizeof signature) == 0;
    std::string idat;
    if (!png.signatureOk) {
        png.error = "no PNG signature";
        return png;
    }
    if (!walkChunks(bytes, png, idat) || !png.error.empty()) return png;
    if (png.bitDepth != 8 || png.colourType != 2 || png.interlace != 0 || idat.size() < 2) {
        png.error = "not 8-bit RGB without interlacing";
        return png;
    }
    png.zlibHeader[0] = static_cast<uint8_t>(idat[0]);
    png.zlibHeader[1] = static_cast<uint8_t>(idat[1]);
    std::vector<uint8_t> raw((static_cast<size_t>(png.width) * 3 + 1) * png.height);
    if (!inflateAll(idat, raw)) {
        png.error = "IDAT does not inflate to exactly the image's rows";
        return png;
    }
    unpackRows(raw, png);
    return png;
}

} // namespace plotanix::testing
