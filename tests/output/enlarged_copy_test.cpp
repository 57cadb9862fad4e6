// The enlarged PNG's way: drawn again from the list while that costs
// little, else made from the page's pixels, each a square of the scale.

#include "output/enlarged_copy.h"
#include "page/display_list.h"
#include "page/page_image.h"
#include "support/png_file.h"
#include "support/temp_dir.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <string>

namespace plotanix {
namespace {

// n lines, each the page's height (the last beyond the bound: overflowed).
DisplayList fullHeightLines(size_t n) {
    DisplayList list;
    for (size_t i = 0; i < n; ++i)
        list.addLine({float(i % 800), 0}, {float(i % 800), 599}, 0);
    return list;
}

TEST(EnlargedCopy, TheListsCostAtTheScaleChoosesTheWay) {
    DisplayList covered;
    const PathPoint corners[] = {{0, 0}, {800, 0}, {800, 600}, {0, 600}};
    const uint32_t rings[] = {4};
    covered.addPath({corners, rings, FillRule::evenOdd}, 0xFF);
    const DisplayList few = fullHeightLines(2000), many = fullHeightLines(100000),
                      past = fullHeightLines(DisplayList::maxItems + 1);
    const struct {
        const char* what;
        const DisplayList& list;
        int scale;
        bool fromPixels;
    } cases[] = {
        {"nothing drawn", DisplayList(), 8, false},
        {"a few thousand lines", few, 4, false},
        {"a page covered whole", covered, 8, false},
        {"lines by the hundred thousand", many, 2, true},
        {"the same at the page's size", many, 1, false},
        {"a list past its bound", past, 2, true},
        {"the same at the page's size", past, 1, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(enlargedFromPixels(c.list, c.scale), c.fromPixels) << c.what << " x" << c.scale;
}

TEST(EnlargedCopy, EachPixelBecomesASquareOfTheScale) {
    const std::unique_ptr<PageImage> page = createPageImage(800, 600, 24, 0xFFFFFF);
    const struct {
        uint32_t x, y, rgb;
    } drawn[] = {{0, 0, 0xFF0000}, {799, 599, 0x0000FF}, {400, 300, 0x00FF00}, {401, 300, 0}};
    for (const auto& d : drawn) {
        uint8_t* p = page->row(int(d.y)) + 3 * d.x;
        p[0] = uint8_t(d.rgb), p[1] = uint8_t(d.rgb >> 8), p[2] = uint8_t(d.rgb >> 16);
    }
    testing::TempDir dir;
    FILE* file = std::fopen(dir.file("big.png").c_str(), "wb");
    std::string reason;
    ASSERT_TRUE(writeEnlargedPixels(file, *page, 3, reason)) << reason;
    std::fclose(file);
    const testing::DecodedPng png = testing::readPng(dir.file("big.png"));
    ASSERT_EQ(std::make_pair(png.width, png.height), std::make_pair(2400u, 1800u)) << png.error;
    for (const auto& d : drawn) {
        for (uint32_t k = 0; k < 9; ++k)
            EXPECT_EQ(png.pixel(3 * d.x + k % 3, 3 * d.y + k / 3), d.rgb) << d.x << "," << d.y;
    }
    // Paper beside them, and in the rows never drawn on.
    for (const auto& [x, y] : {std::pair{3u, 0u}, {1203u, 899u}, {1200u, 3u}})
        EXPECT_EQ(png.pixel(x, y), 0xFFFFFFu) << x << "," << y;
}

} // namespace
} // namespace plotanix
