// Filled areas on the page: the two rules, the clip, points far off the
// page, and the path the display list keeps of what was filled.

#include "page/display_list.h"
#include "page/drawing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>
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
        if (c.filled >= 0) {
            EXPECT_EQ(filled, c.filled);
        }
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

// The pixels of clip, row by row: 1 where filled.
struct Picture : SpanSink {
    explicit Picture(PixelRect clip)
        : clip(clip), inked(size_t(clip.right - clip.left) * size_t(clip.bottom - clip.top)) {}
    void span(int32_t row, int32_t first, int32_t end) override {
        for (int32_t column = first; column < end; ++column)
            inked[size_t((row - clip.top) * (clip.right - clip.left) + column - clip.left)] = 1;
    }
    PixelRect clip;
    std::vector<uint8_t> inked;
};

// The fill done the slow way: every edge's crossing of every row, and
// each pixel's winding number summed from them.
Picture slowFill(PathView path, PixelRect clip) {
    const auto whole = [](double v, int32_t lo, int32_t hi) {
        return static_cast<int32_t>(std::clamp(std::ceil(v - 0.5), double(lo), double(hi)));
    };
    Picture picture(clip);
    for (int32_t row = clip.top; row < clip.bottom; ++row) {
        std::vector<int32_t> crossed(size_t(clip.right - clip.left + 1));
        size_t first = 0;
        for (const uint32_t count : path.rings) {
            for (size_t i = 0; i < count; ++i) {
                const PathPoint a = path.points[first + i],
                                b = path.points[first + (i + 1) % count];
                const PathPoint& high = a.y < b.y ? a : b;
                const PathPoint& low = a.y < b.y ? b : a;
                if (a.y == b.y || row < whole(high.y, clip.top, clip.bottom) ||
                    row >= whole(low.y, clip.top, clip.bottom))
                    continue;
                const double x =
                    high.x + (row + 0.5 - high.y) * ((low.x - high.x) / (low.y - high.y));
                crossed[size_t(whole(x, clip.left, clip.right) - clip.left)] += b.y > a.y ? 1 : -1;
            }
            first += count;
        }
        for (int32_t column = clip.left, winding = 0; column < clip.right; ++column) {
            winding += crossed[size_t(column - clip.left)];
            if (path.rule == FillRule::evenOdd ? (winding & 1) != 0 : winding != 0)
                picture.span(row, column, column + 1);
        }
    }
    return picture;
}

// Random rings, from a few wide ones to many thin teeth, partly off the
// clip, filled by both rules: the same spans as the slow way.
TEST(PathFill, TheSweepFillsWhatEveryCrossingSortedWould) {
    std::mt19937 random(45);
    std::uniform_real_distribution<double> unit(0, 1);
    const PixelRect clip{20, 10, 300, 200};
    for (int round = 0; round < 100; ++round) {
        SCOPED_TRACE(round);
        Path drawn;
        const int rings = 1 + round % 3;
        const double reach = round % 4 == 0 ? 400 : 150; // some go well off the clip
        for (int r = 0; r < rings; ++r) {
            const int points = 3 + static_cast<int>(unit(random) * (round % 5 == 0 ? 150 : 12));
            for (int i = 0; i < points; ++i) {
                // Every tenth round snaps to half pixels: crossings on pixel centres.
                double x = 160 + (unit(random) - 0.5) * reach,
                       y = 105 + (unit(random) - 0.5) * reach;
                if (round % 10 == 0) x = std::round(x * 2) / 2, y = std::round(y * 2) / 2;
                drawn.points.push_back({x, y});
            }
            drawn.rings.push_back(static_cast<uint32_t>(points));
        }
        for (const FillRule rule : {FillRule::evenOdd, FillRule::nonzero}) {
            drawn.rule = rule;
            Path clipped;
            FillWork work;
            clipPath(drawn.view(), clip, clipped, work);
            Picture fast(clip);
            fillSpans(clipped.view(), clip, work, fast);
            ASSERT_EQ(fast.inked, slowFill(clipped.view(), clip).inked);
        }
    }
}

} // namespace
} // namespace plotanix
