#pragma once
// Copies of the page drawn again from its display list: SVG (800 x 600
// user units), PDF (one page of 800 x 600 points) or PNG at 1 to 8 image
// pixels per page pixel. The geometry is the raster's: row 0 at the top,
// lines one unit wide through the pixel centres with round ends, labels in
// the page's face at its size, direction and place.

#include "output/atomic_file.h"

#include <cstddef>
#include <string>

namespace plotanix {

class DisplayList;

enum class CopyFormat { svg, pdf, png };

inline constexpr int maxCopyScale = 8;
// No page's copy may be larger; a bigger one is refused, not cut short.
inline constexpr size_t maxCopyBytes = size_t{64} << 20;

// scale counts for PNG only: 1 draws lines without anti-aliasing, as the
// raster does; above 1 everything is anti-aliased. True when the file was
// written whole; otherwise no file is left and reason says why, in one line.
bool writePageCopy(const DisplayList& list, const std::string& fileName, CopyFormat format,
                   int scale, std::string& reason, Durability durability = Durability::synced);

} // namespace plotanix
