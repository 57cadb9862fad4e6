// Raster rows decoded by each compression method, with the reference
// manuals' own examples and every edge case they give.

#include "pcl/raster_rows.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace plotanix;

namespace {

using Bytes = std::vector<uint8_t>;

struct RowCase {
    const char* fact;
    RasterMethod method;
    Bytes data;
    Bytes seed;
    size_t limit;
    Bytes row;
};

Bytes repeat(size_t times, uint8_t byte) {
    return Bytes(times, byte);
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

} // namespace

TEST(RasterRows, EachMethodDecodesAsTheManualsSay) {
    using enum RasterMethod;
    const RowCase cases[] = {
        {"unencoded bytes are the row", unencoded, {1, 2, 3}, {}, 100, {1, 2, 3}},
        {"bytes past the width are ignored", unencoded, {1, 2, 3}, {}, 2, {1, 2}},
        {"a run-length pair gives its byte count + 1 times",
         runLength,
         {2, 0xAA},
         {},
         100,
         {0xAA, 0xAA, 0xAA}},
        {"pairs follow one another", runLength, {0, 0xFF, 1, 0x0F}, {}, 100, {0xFF, 0x0F, 0x0F}},
        {"a count of 255 gives 256 bytes", runLength, {255, 7}, {}, 1000, repeat(256, 7)},
        {"a run-length run is cut at the width", runLength, {9, 5}, {}, 4, repeat(4, 5)},
        {"a lone last run-length byte is passed over",
         runLength,
         {1, 0xAA, 5},
         {},
         100,
         {0xAA, 0xAA}},
        {"TIFF 6.0's PackBits example",
         packBits,
         {0xFE, 0xAA, 0x02, 0x80, 0x00, 0x2A, 0xFD, 0xAA, 0x03, 0x80, 0x00, 0x2A, 0x22, 0xF7, 0xAA},
         {},
         100,
         concat(
             {{0xAA, 0xAA, 0xAA, 0x80, 0x00, 0x2A, 0xAA, 0xAA, 0xAA, 0xAA, 0x80, 0x00, 0x2A, 0x22},
              repeat(10, 0xAA)})},
        {"control 253 repeats the next byte 4 times", packBits, {253, 9}, {}, 100, repeat(4, 9)},
        {"control 128 does nothing", packBits, {0x80, 0x00, 7}, {}, 100, {7}},
        {"a literal run is cut at the end of the transfer", packBits, {5, 1, 2}, {}, 100, {1, 2}},
        {"a last control byte is ignored", packBits, {0, 1, 0xFE}, {}, 100, {1}},
        {"a PackBits repeat is cut at the width", packBits, {0x81, 3}, {}, 5, repeat(5, 3)},
        {"a delta command replaces count bytes at its offset",
         deltaRow,
         {0x21, 0xA, 0xB},
         repeat(4, 1),
         100,
         {1, 0xA, 0xB, 1}},
        {"a later offset counts from the byte after the last replaced",
         deltaRow,
         {0x00, 0xA, 0x01, 0xB},
         repeat(4, 0),
         100,
         {0xA, 0, 0xB, 0}},
        {"offset 31 goes on in the next bytes: 31 + 255 + 128 = 414",
         deltaRow,
         {0x1F, 0xFF, 0x80, 0x55},
         repeat(416, 0),
         1000,
         concat({repeat(414, 0), {0x55}, repeat(1, 0)})},
        {"eight bytes at most from one command", deltaRow, concat({{0xE0}, repeat(8, 9)}),
         repeat(10, 0), 100, concat({repeat(8, 9), repeat(2, 0)})},
        {"an empty delta row repeats the seed row", deltaRow, {}, {4, 5, 6}, 100, {4, 5, 6}},
        {"a delta row past the seed row grows it with zeros",
         deltaRow,
         {0x02, 7},
         {1},
         100,
         {1, 0, 7}},
        {"a delta row's replacements past the width are ignored",
         deltaRow,
         {0x20, 7, 8},
         repeat(1, 0),
         1,
         {7}},
    };
    for (const RowCase& c : cases)
        EXPECT_EQ(decodeRow(c.method, c.data, c.seed, c.limit), c.row) << c.fact;
}
