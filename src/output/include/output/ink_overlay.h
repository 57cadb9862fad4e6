#pragma once
// Pages laid over each other: each page drawn wholly in one colour of its
// own, a later page's inked pixels over the earlier ones (white is paper
// and hides nothing), and saved pages read back for it.

#include "page/page_image.h"

#include <array>
#include <cstdio>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace plotanix {

// The pages' colours: the plotter's inks in the order they stand apart best
// on white paper (black, red, blue, green, magenta, cyan, grey, yellow),
// red in the low byte as the page keeps it.
inline constexpr std::array<Colour, 8> overlayPalette = {
    0x000000, 0x0000FF, 0xFF0000, 0x00FF00, 0xFF00FF, 0xFFFF00, 0x808080, 0x00FFFF,
};

// The colour each of count pages is drawn in: page k >= 1 in given[k - 1]
// where one is given; the others take the palette's colours in order,
// passing over those already taken, so that no two pages share a colour
// (the palette's eight go round again only past eight pages).
std::vector<Colour> overlayInks(size_t count, std::span<const Colour> given = {});

// Each inked pixel of layer onto page, in the colour colour gives it; a
// printer's page (palette indices) takes none.
void layInk(PageImage& page, const PageImage& layer, const std::function<Colour(Colour)>& colour);

// A page saved as PNG, read back; nullptr with why in one line.
std::unique_ptr<PageImage> readPagePng(FILE* file, std::string& why);

} // namespace plotanix
