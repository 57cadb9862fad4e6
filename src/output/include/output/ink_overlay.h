#pragma once
// Pages laid over each other: each inked pixel of a later page drawn over
// the earlier ones in that page's own colours (white is paper and hides
// nothing), and saved pages read back for it.

#include "page/page_image.h"

#include <array>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

namespace plotanix {

// The palette a page's pens are shifted along: the plotter's inks in the
// order they stand apart best on white paper (black, red, blue, green,
// magenta, cyan, grey, yellow), red in the low byte as the page keeps it.
inline constexpr std::array<Colour, 8> overlayPalette = {
    0x000000, 0x0000FF, 0xFF0000, 0x00FF00, 0xFF00FF, 0xFFFF00, 0x808080, 0x00FFFF,
};

// The colour page k (from 0) draws for one of its own: the colour k places
// on along the palette (one not in it: the palette's k-th); page 0 keeps its own.
Colour shiftedInk(size_t k, Colour colour);

// Each inked pixel of layer onto page, in the colour colour gives it; a
// printer's page (palette indices) takes none.
void layInk(PageImage& page, const PageImage& layer, const std::function<Colour(Colour)>& colour);

// A page saved as PNG, read back; nullptr with why in one line.
std::unique_ptr<PageImage> readPagePng(FILE* file, std::string& why);

} // namespace plotanix
