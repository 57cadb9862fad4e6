#include "output/ink_overlay.h"

#include <algorithm>
#include <optional>
#include <png.h>

namespace plotanix {

namespace {

constexpr Colour paperColour = 0xFFFFFF;

} // namespace

std::vector<Colour> overlayInks(size_t count, std::span<const Colour> given) {
    std::vector<std::optional<Colour>> chosen(count);
    for (size_t k = 1; k < count && k - 1 < given.size(); ++k)
        chosen[k] = given[k - 1] & 0xFFFFFF;
    const auto taken = [&chosen](Colour c) {
        return std::find(chosen.begin(), chosen.end(), c) != chosen.end();
    };
    size_t next = 0; // the palette's next colour to offer
    for (std::optional<Colour>& ink : chosen) {
        if (ink) continue;
        // One already taken is passed over while the palette has others.
        for (size_t tried = 0;
             tried < overlayPalette.size() && taken(overlayPalette[next % overlayPalette.size()]);
             ++tried)
            ++next;
        ink = overlayPalette[next++ % overlayPalette.size()];
    }
    std::vector<Colour> inks;
    for (const std::optional<Colour>& ink : chosen)
        inks.push_back(*ink);
    return inks;
}

void layInk(PageImage& page, const PageImage& layer, const std::function<Colour(Colour)>& colour) {
    if (page.indexed()) return; // a printer's indices hold no other colours
    const int width = std::min(page.width, layer.width);
    const int height = std::min(page.height, layer.height);
    for (int y = 0; y < height; ++y) {
        uint8_t* row = page.row(y);
        for (int x = 0; x < width; ++x) {
            const Colour ink = layer.pixel(x, y);
            if (ink == paperColour) continue;
            const Colour c = colour(ink);
            row[3 * x] = uint8_t(c >> 16);
            row[3 * x + 1] = uint8_t(c >> 8);
            row[3 * x + 2] = uint8_t(c);
        }
    }
}

std::unique_ptr<PageImage> readPagePng(FILE* file, std::string& why) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    std::unique_ptr<PageImage> page;
    if (png_image_begin_read_from_stdio(&image, file) != 0) {
        image.format = PNG_FORMAT_BGR; // the page's byte order
        // A page, not any picture: a few thousand pixels a side at most.
        if (image.width > 8192 || image.height > 8192) {
            png_image_free(&image);
            why = "not a page: " + std::to_string(image.width) + " x " +
                  std::to_string(image.height) + " pixels";
            return nullptr;
        }
        page = createPageImage(int32_t(image.width), int32_t(image.height), 24, paperColour);
        // Rows bottom up, as the page keeps them.
        if (page && png_image_finish_read(&image, nullptr, page->pixels.data(), -page->stride,
                                          nullptr) != 0)
            return page;
    }
    why = image.message[0] != '\0' ? image.message : "not enough memory";
    png_image_free(&image);
    return nullptr;
}

} // namespace plotanix
