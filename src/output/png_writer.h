#pragma once
// Writing the page as a PNG file: 8-bit RGB, not interlaced, no row filter,
// compression level 9, chunks IHDR, IDAT and IEND only.

#include "output/atomic_file.h"

#include <string>

namespace plotanix {

struct PageImage;

void enablePngEncoder();

// 1 on success, 0 on failure. The file appears complete or not at all: the
// image goes to a temporary file in the same directory that is renamed over
// the name only when everything has been written, so a failed save leaves
// no partial file and never harms an existing file of that name.
int savePng(const PageImage& image, const std::string& fileName,
            Durability durability = Durability::synced);

} // namespace plotanix
