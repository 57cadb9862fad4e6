#pragma once
// One raster row as a PCL printer decodes it from the bytes of a transfer
// (ESC*b#W or #V): unencoded, run-length, TIFF PackBits or delta row. Pure
// functions, so that each method's rules are tested on their own.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace plotanix {

enum class RasterMethod : uint8_t { unencoded = 0, runLength = 1, packBits = 2, deltaRow = 3 };

// The row the data gives, at most limit bytes long (bytes past it are
// ignored, as data past the raster width is). Methods 0 to 2 give the bytes
// they decode; the delta row starts from the seed row (the last row
// transferred) and replaces bytes in it, and an empty transfer repeats the
// seed row. Bytes the row does not reach are zero: the caller pads it to
// the raster width.
std::vector<uint8_t> decodeRow(RasterMethod method, std::span<const uint8_t> data,
                               std::span<const uint8_t> seed, size_t limit);

} // namespace plotanix
