#pragma once
// Writing the page as a PNG file: not interlaced, no row filter, chunks
// IHDR, IDAT and IEND only (and PLTE for a palette).

#include "output/atomic_file.h"

#include <cstdio>
#include <string>

namespace plotanix {

struct PageImage;

// plotter: 8-bit RGB at zlib level 9 with the default strategy, the bytes
// the plotter saves. fast: the same pixels, as palette indices of 1, 2, 4
// or 8 bits when the page has at most 2, 4, 16 or 256 colours (else RGB),
// with zlib's run-length strategy: a fraction of the bytes to compress, some
// 70 times faster than the plotter's on a busy page.
enum class PngCompression { plotter, fast };

// True on success. The file appears complete or not at all: the
// image goes to a temporary file in the same directory that is renamed over
// the name only when everything has been written, so a failed save leaves
// no partial file and never harms an existing file of that name.
bool savePng(const PageImage& image, const std::string& fileName,
             Durability durability = Durability::synced,
             PngCompression compression = PngCompression::plotter);
// The same PNG into an open file (standard output, a device); true when every
// byte was handed over.
bool writePng(FILE* file, const PageImage& image, PngCompression compression);

} // namespace plotanix
