#pragma once
// SVG, PDF and enlarged PNG copies for the renderer. cairo, and the X11
// libraries it brings, take longer to load than a small file takes to draw:
// they live in a module loaded on the first copy, so that a PNG never waits
// for them.

#include "output/vector_copy.h"

#include <cstdio>
#include <span>
#include <string>

namespace plotanix {

// A module of the renderer's, beside the program or in its library folder;
// nullptr with error saying why when it cannot be loaded.
void* openModule(const char* name, std::string& error);

// writePageCopyTo, through the module; false with reason saying why when
// the module cannot be loaded.
bool writeCopy(FILE* file, const DisplayList& list, const CopyOptions& options,
               std::string& reason);

// writePdfPagesTo, through the module.
bool writePdfPages(FILE* file, std::span<const PdfPage> pages, std::string& reason);

} // namespace plotanix
