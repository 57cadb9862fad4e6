#pragma once
// Copies of the page drawn again from its display list: SVG (800 x 600
// user units), PDF (one page of 800 x 600 points) or PNG at 1 to 8 image
// pixels per page pixel; or SVG and PDF at the size the plotter draws, the
// page being the paper. The geometry is the raster's: row 0 at the top,
// lines one unit wide through the pixel centres with round ends, labels in
// the page's face at its size, direction and place.

#include "output/atomic_file.h"

#include <cstddef>
#include <cstdio>
#include <optional>
#include <span>
#include <string>

namespace plotanix {

class DisplayList;

enum class CopyFormat { svg, pdf, png };

inline constexpr int maxCopyScale = 8;
// No page's copy may be larger; a bigger one is refused, not cut short.
inline constexpr size_t maxCopyBytes = size_t{64} << 20;

// True size: the document's page is the paper, widthMm x heightMm; a picture
// pixel is pixelMm square and the picture's top-left corner lies leftMm and
// topMm from the paper's (either may be negative: rows the plotter never
// reaches may stick out). SVG gives its size in millimetres, PDF in points.
struct PaperPlacement {
    double widthMm = 0, heightMm = 0;
    double pixelMm = 0;
    double leftMm = 0, topMm = 0;
};

struct CopyOptions {
    CopyFormat format = CopyFormat::png;
    // PNG only: 1 draws lines without anti-aliasing, as the raster does;
    // above 1 everything is anti-aliased.
    int scale = 1;
    // SVG and PDF only; none gives the picture's own 800 x 600 page.
    std::optional<PaperPlacement> paper;
    // SVG and PDF drawn through cairo whatever the page holds (a page with
    // labels in the label face always is): the copies as they were made
    // before they were written directly, to compare.
    bool cairo = false;
};

// True when the file was written whole; otherwise no file is left and reason
// says why, in one line.
bool writePageCopy(const DisplayList& list, const std::string& fileName, const CopyOptions& options,
                   std::string& reason, Durability durability = Durability::synced);
inline bool writePageCopy(const DisplayList& list, const std::string& fileName, CopyFormat format,
                          int scale, std::string& reason,
                          Durability durability = Durability::synced) {
    return writePageCopy(list, fileName, {format, scale, std::nullopt}, reason, durability);
}

// The copy written into an open file (standard output, a device): true when
// every byte was handed over; otherwise reason says why (the file may then
// hold part of it).
bool writePageCopyTo(FILE* file, const DisplayList& list, const CopyOptions& options,
                     std::string& reason);

// Several pages as one PDF, in order, each on its own sheet (options: its
// paper), written into an open file as writePageCopyTo writes one.
struct PdfPage {
    const DisplayList* list = nullptr;
    std::optional<PaperPlacement> paper;
};
bool writePdfPagesTo(FILE* file, std::span<const PdfPage> pages, std::string& reason);

} // namespace plotanix
