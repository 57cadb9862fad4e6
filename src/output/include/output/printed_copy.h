#pragma once
// SVG and PDF copies of a printer's page (palette indices, see
// page/page_image.h) at its true size, a dot 1/dpi inch, the document's
// page the printed area with its margin. The page is one image: in SVG a
// PNG in a data URI, in PDF an image of one bit a pixel (black and white)
// or four (its palette), compressed as it is written.

#include "output/atomic_file.h"
#include "output/vector_copy.h"

#include <cstdio>
#include <span>
#include <string>

namespace plotanix {

struct PageImage;

// Whether the page is a printer's, with a resolution: one these copy.
bool printedPage(const PageImage& page);

// The copy (SVG or PDF) into an open file: true when every byte was handed
// over; otherwise reason says why, in one line.
bool writePrintedCopyTo(FILE* file, const PageImage& page, CopyFormat format, std::string& reason);
// Several printed pages as one PDF, each on a page of its own size.
bool writePrintedPdfTo(FILE* file, std::span<const PageImage* const> pages, std::string& reason);
// The copy as a file, whole or not at all.
bool writePrintedCopy(const PageImage& page, const std::string& fileName, CopyFormat format,
                      std::string& reason, Durability durability = Durability::synced);

} // namespace plotanix
