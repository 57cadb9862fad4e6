// The enlarged PNG's way: drawn again from the list while that costs
// little, else made from the page's pixels, each a square of the scale.

#include "output/enlarged_copy.h"
#include "page/display_list.h"
#include "page/page_image.h"

#include "support/png_file.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>

namespace plotanix {
namespace {

// n vertical lines, each the page's height.
DisplayList fullHeightLines(int n) {
    DisplayList list;
    for (int i = 0; i < n; ++i)
        list.addLine({float(i % 800), 0}, {float(i % 800), 599}, 0);
    return list;
}

DisplayList wholePageArea() {
    DisplayList list;
    const PathPoint corners[] = {{0, 0}, {800, 0}, {800, 600}, {0, 600}};
    const uint32_t rings[] = {4};
    list.addPath({corners, rings, FillRule::evenOdd}, 0xFF);
    return list;
}

DisplayList overflowed() {
    DisplayList list;
    for (size_t i = 0; i <= DisplayList::maxItems; ++i)
        list.addLine({float(i % 800), 5}, {float(i % 800 + 1), 5}, 0);
    return list;
}

TEST(EnlargedCopy, TheListsCostAtTheScaleChoosesTheWay) {
    const struct {
        const char* what;
        std::function<DisplayList()> list;
        int scale;
        bool fromPixels;
    } cases[] = {
        {"nothing drawn", [] { return DisplayList(); }, 8, false},
        {"a few thousand lines", [] { return fullHeightLines(2000); }, 4, false},
        {"a page covered whole", wholePageArea, 8, false},
        {"lines by the hundred thousand", [] { return fullHeightLines(100000); }, 2, true},
        {"the same at the page's size", [] { return fullHeightLines(100000); }, 1, false},
        {"a list past its bound", overflowed, 2, true},
        {"the same at the page's size", overflowed, 1, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(enlargedFromPixels(c.list(), c.scale), c.fromPixels) << c.what << " x" << c.scale;
}

TEST(EnlargedCopy, TheCostGrowsWithTheScaleAndWhatIsDrawn) {
    const DisplayList few = fullHeightLines(10), more = fullHeightLines(1000);
    EXPECT_LT(replayCost(few, 2), replayCost(few, 4));
    EXPECT_LT(replayCost(few, 4), replayCost(more, 4));
    EXPECT_LT(replayCost(DisplayList(), 4), replayCost(wholePageArea(), 4));
}

TEST(EnlargedCopy, EachPixelBecomesASquareOfTheScale) {
    const std::unique_ptr<PageImage> page = createPageImage(800, 600, 24, 0xFFFFFF);
    const struct {
        int x, y;
        Colour colour; // red in the low byte
    } drawn[] = {{0, 0, 0x0000FF}, {799, 599, 0xFF0000}, {400, 300, 0x00FF00}, {401, 300, 0}};
    for (const auto& d : drawn) {
        uint8_t* p = page->row(d.y) + 3 * d.x;
        p[0] = uint8_t(d.colour >> 16), p[1] = uint8_t(d.colour >> 8), p[2] = uint8_t(d.colour);
    }
    testing::TempDir dir;
    const std::string path = dir.file("big.png");
    FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::string reason;
    ASSERT_TRUE(writeEnlargedPixels(file, *page, 3, reason)) << reason;
    std::fclose(file);
    const testing::DecodedPng png = testing::readPng(path);
    ASSERT_EQ(png.error, "");
    ASSERT_EQ(png.width, 2400u);
    ASSERT_EQ(png.height, 1800u);
    const auto rgb = [](Colour c) { return (c & 0xFF) << 16 | (c & 0xFF00) | (c >> 16 & 0xFF); };
    for (const auto& d : drawn) {
        for (int k = 0; k < 9; ++k)
            EXPECT_EQ(png.pixel(3 * d.x + k % 3, 3 * d.y + k / 3), rgb(d.colour))
                << d.x << "," << d.y << " part " << k;
    }
    // Paper beside them, and in the rows never drawn on.
    EXPECT_EQ(png.pixel(3, 0), 0xFFFFFFu);
    EXPECT_EQ(png.pixel(1203, 899), 0xFFFFFFu);
    EXPECT_EQ(png.pixel(1200, 3), 0xFFFFFFu);
}

} // namespace
} // namespace plotanix
