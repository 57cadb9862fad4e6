#pragma once
// SVG and PDF copies of a page written as they are made, without cairo:
// runs of lines of one colour as one path, numbers written as integers
// are, a PDF's content compressed as it goes. Every page qualifies but one
// holding labels in the label face, whose glyphs only cairo draws; those
// are vector_copy.h's.

#include "output/vector_copy.h"

#include <cstdio>
#include <memory>
#include <span>
#include <string>

namespace plotanix {

class DisplayList;
class ListSpill;

// A spill (see page/display_list.h) for a list whose copy in this format
// is written here: what the list hands over is written at once, as the
// copy's text, into a file of its own that goes with the spill.
std::shared_ptr<ListSpill> copySpill(CopyFormat format);
// Why no copy of the list can be made (reason set), or false.
bool copyRefused(const DisplayList& list, const CopyOptions& options, std::string& reason);
// Whether the copy is one of these.
bool directCopy(const DisplayList& list, const CopyOptions& options);
bool directPdf(std::span<const PdfPage> pages);
// As writePageCopyTo and writePdfPagesTo, for the copies above.
bool writeDirectCopyTo(FILE* file, const DisplayList& list, const CopyOptions& options,
                       std::string& reason);
bool writeDirectPdfPagesTo(FILE* file, std::span<const PdfPage> pages, std::string& reason);

} // namespace plotanix
