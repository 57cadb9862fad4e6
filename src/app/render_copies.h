#pragma once
// SVG, PDF and enlarged PNG copies for the renderer.

#include "output/vector_copy.h"

#include <cstdio>
#include <string>

namespace plotanix {

// writePageCopyTo.
bool writeCopy(FILE* file, const DisplayList& list, const CopyOptions& options,
               std::string& reason);

} // namespace plotanix
