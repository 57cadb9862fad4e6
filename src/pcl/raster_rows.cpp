#include "pcl/raster_rows.h"

#include <algorithm>

namespace plotanix {

namespace {

// Pairs of a repeat count and a byte, the byte count + 1 times. A lone
// last byte has no pair: it is passed over.
void runLength(std::span<const uint8_t> data, std::vector<uint8_t>& row, size_t limit) {
    for (size_t at = 0; at + 1 < data.size() && row.size() < limit; at += 2) {
        const size_t times = std::min<size_t>(data[at] + 1u, limit - row.size());
        row.insert(row.end(), times, data[at + 1]);
    }
}

// A control byte n: 0..127 copies the next n + 1 bytes, -127..-1 repeats
// the next byte 1 - n times, -128 does nothing. The transfer's byte count
// wins: a literal run is cut at the end of the data, a last control byte
// is ignored.
void packBits(std::span<const uint8_t> data, std::vector<uint8_t>& row, size_t limit) {
    size_t at = 0;
    while (at < data.size() && row.size() < limit) {
        const int control = static_cast<int8_t>(data[at++]);
        if (control == -128) continue;
        if (control >= 0) {
            const size_t count =
                std::min({size_t(control) + 1, data.size() - at, limit - row.size()});
            row.insert(row.end(), data.begin() + at, data.begin() + at + count);
            at += size_t(control) + 1;
        } else if (at < data.size()) {
            row.insert(row.end(), std::min<size_t>(1 - control, limit - row.size()), data[at++]);
        }
    }
}

// Command bytes: the top three bits the bytes to replace less one, the
// low five an offset from the first byte not yet treated; an offset of 31
// goes on in the bytes after the command, each added, until one below 255.
void deltaRow(std::span<const uint8_t> data, std::vector<uint8_t>& row, size_t limit) {
    size_t at = 0, next = 0;
    while (at < data.size()) {
        const uint8_t command = data[at++];
        const size_t count = (command >> 5) + 1u;
        size_t offset = command & 0x1F;
        if (offset == 31) {
            while (at < data.size()) {
                const uint8_t more = data[at++];
                offset += more;
                if (more < 255) break;
            }
        }
        next += offset;
        for (size_t i = 0; i < count && at < data.size(); ++i, ++next, ++at) {
            if (next >= limit) continue;
            if (next >= row.size()) row.resize(next + 1, 0);
            row[next] = data[at];
        }
        if (next >= limit) next = limit; // nothing further can land
    }
}

} // namespace

std::vector<uint8_t> decodeRow(RasterMethod method, std::span<const uint8_t> data,
                               std::span<const uint8_t> seed, size_t limit) {
    std::vector<uint8_t> row;
    switch (method) {
    case RasterMethod::unencoded:
        row.assign(data.begin(), data.begin() + std::min(data.size(), limit));
        break;
    case RasterMethod::runLength:
        runLength(data, row, limit);
        break;
    case RasterMethod::packBits:
        packBits(data, row, limit);
        break;
    case RasterMethod::deltaRow:
        row.assign(seed.begin(), seed.begin() + std::min(seed.size(), limit));
        deltaRow(data, row, limit);
        break;
    }
    return row;
}

} // namespace plotanix
