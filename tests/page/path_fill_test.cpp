// Filled areas on the page: the two rules, the clip, points far off the
// page, and the path the display list keeps of what was filled.

#include "page/display_list.h"
#include "page/drawing.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

namespace plotanix {
namespace {

using Ring = std::vector<PathPoint>;

// Five points round (400, 300), every second one joined: a star whose
// middle is wound twice.
Ring pentagram() {
    Ring star;
    for (int i = 0; i < 5; ++i) {
        const double angle = std::numbers::pi / 2 + i * 4 * std::numbers::pi / 5;
        star.push_back({400 + 200 * std::cos(angle), 300 - 200 * std::sin(angle)});
    }
    return star;
}

Ring box(double left, double top, double right, double bottom) {
    return {{left, top}, {right, top}, {right, bottom}, {left, bottom}};
}

TEST(PathFill, RulesClipsAndFarPoints) {
    constexpr PixelRect page{0, 0, 800, 600};
    const double far = 1e12;
    struct Case {
        const char* what;
        std::vector<Ring> rings;
        FillRule rule;
        PixelRect clip;
        int filled; // pixels
        std::vector<std::pair<int, int>> inked, clear;
    };
    const Case cases[] = {
        {"square",
         {box(10, 10, 20, 20)},
         FillRule::evenOdd,
         page,
         100,
         {{10, 10}, {19, 19}},
         {{20, 20}, {9, 9}}},
        {"half pixels",
         {box(10.4, 10.6, 20.4, 20.6)},
         FillRule::evenOdd,
         page,
         100,
         {{10, 11}, {19, 20}},
         {{20, 11}, {10, 10}}},
        {"star, even-odd", {pentagram()}, FillRule::evenOdd, page, -1, {{400, 150}}, {{400, 300}}},
        {"star, nonzero", {pentagram()}, FillRule::nonzero, page, -1, {{400, 150}, {400, 300}}, {}},
        {"hole, even-odd",
         {box(100, 100, 200, 200), box(120, 120, 180, 180)},
         FillRule::evenOdd,
         page,
         10000 - 3600,
         {{110, 110}},
         {{150, 150}}},
        {"hole, nonzero",
         {box(100, 100, 200, 200), box(120, 120, 180, 180)},
         FillRule::nonzero,
         page,
         10000,
         {{150, 150}},
         {}},
        {"clipped",
         {box(-5, -5, 900, 900)},
         FillRule::evenOdd,
         {10, 20, 30, 25},
         100,
         {{10, 20}},
         {{30, 20}, {10, 25}}},
        {"far points",
         {{{-far, -far}, {far, -far}, {0, far}}},
         FillRule::nonzero,
         page,
         480000,
         {},
         {}},
        {"not a number", {{{0, 0}, {NAN, 5}, {600, 500}}}, FillRule::evenOdd, page, 0, {}, {}},
        {"a line has no area",
         {{{0, 0}, {300, 300}, {600, 600}}},
         FillRule::evenOdd,
         page,
         0,
         {},
         {}},
    };
    auto image = createPageImage(800, 600, 24);
    Drawing drawing;
    ASSERT_TRUE(drawing.beginDrawing(*image));
    DisplayList list;
    drawing.recordInto(&list);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        drawing.fillBox(0, 0, 800, 600, 0xFFFFFF);
        drawing.setFrontColour(0x0000FF);
        std::vector<PathPoint> points;
        std::vector<uint32_t> rings;
        for (const Ring& ring : c.rings) {
            points.insert(points.end(), ring.begin(), ring.end());
            rings.push_back(static_cast<uint32_t>(ring.size()));
        }
        drawing.fillPath({points, rings, c.rule}, c.clip);
        int filled = 0;
        for (int y = 0; y < 600; ++y)
            for (int x = 0; x < 800; ++x)
                filled += image->pixel(x, y) == 0x0000FF;
        if (c.filled >= 0) EXPECT_EQ(filled, c.filled);
        for (const auto& [x, y] : c.inked)
            EXPECT_EQ(image->pixel(x, y), 0x0000FFu) << x << "," << y;
        for (const auto& [x, y] : c.clear)
            EXPECT_EQ(image->pixel(x, y), 0xFFFFFFu) << x << "," << y;
        // What the list keeps lies within the clip, with the rule.
        for (const ListPath& path : list.paths())
            EXPECT_EQ(path.rule, c.rule);
        for (const ListPathPoint& p : list.pathPoints()) {
            EXPECT_GE(p.x, c.clip.left);
            EXPECT_LE(p.x, c.clip.right);
            EXPECT_GE(p.y, c.clip.top);
            EXPECT_LE(p.y, c.clip.bottom);
        }
    }
}

TEST(PathFill, APathCountsItsPointsAgainstTheListsBound) {
    DisplayList list;
    const Ring square = box(0, 0, 10, 10);
    const uint32_t four = 4;
    EXPECT_TRUE(list.addPath({square, {&four, 1}, FillRule::nonzero}, 0));
    EXPECT_EQ(list.recorded(), 4u);
    std::vector<PathPoint> many(DisplayList::maxItems, PathPoint{1, 1});
    const auto count = static_cast<uint32_t>(many.size());
    EXPECT_FALSE(list.addPath({many, {&count, 1}, FillRule::nonzero}, 0));
    EXPECT_TRUE(list.overflowed());
    EXPECT_EQ(list.items().size(), 1u);
}

} // namespace
} // namespace plotanix
