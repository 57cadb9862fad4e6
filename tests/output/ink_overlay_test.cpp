// The colours pages laid over each other are drawn in: one a page, no two
// alike, none white, those given kept.

#include "output/ink_overlay.h"

#include <gtest/gtest.h>

#include <set>

namespace plotanix {
namespace {

constexpr Colour black = 0x000000, red = 0x0000FF, blue = 0xFF0000, white = 0xFFFFFF;

TEST(OverlayInks, EveryPageAColourOfItsOwn) {
    struct Case {
        const char* what;
        std::vector<Colour> given;
        std::vector<Colour> expectedStart; // the first three pages'
    };
    for (const Case& c :
         {Case{"none given", {}, {black, red, blue}},
          Case{"the second's given", {0x00AA00}, {black, 0x00AA00, red}},
          Case{"a palette colour given", {red}, {black, red, blue}},
          Case{"the palette's third given", {blue}, {black, blue, red}},
          Case{"black given the third", {0x123456, black}, {red, 0x123456, black}}}) {
        SCOPED_TRACE(c.what);
        for (size_t count = 1; count <= 8; ++count) {
            const std::vector<Colour> inks = overlayInks(count, c.given);
            ASSERT_EQ(inks.size(), count);
            if (count >= c.expectedStart.size()) {
                EXPECT_EQ(std::vector(inks.begin(), inks.begin() + 3), c.expectedStart) << count;
            }
            for (size_t k = 1; k < count && k - 1 < c.given.size(); ++k)
                EXPECT_EQ(inks[k], c.given[k - 1]) << "page " << k << " keeps its colour";
            EXPECT_EQ(std::set<Colour>(inks.begin(), inks.end()).size(), count) << count;
            EXPECT_EQ(std::count(inks.begin(), inks.end(), white), 0);
        }
    }
    // Past the palette's eight, it goes round again.
    EXPECT_EQ(overlayInks(9)[8], black);
}

} // namespace
} // namespace plotanix
