// What the drawing records for copies of the page: polylines, clipping, the
// clear, the bound, and labels cut to the part that can reach the page.

#include "page/display_list.h"
#include "page/drawing.h"
#include "page/label_font.h"
#include "page/page_fit.h"

#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <vector>

namespace plotanix {
namespace {

// An open drawing on a fresh page.
class Recording : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(drawing.beginDrawing(*image)); }
    std::unique_ptr<PageImage> image = createPageImage(800, 600, 24);
    Drawing drawing;
};

struct Op {
    char kind; // 'L' line, 'B' box, 'C' colour
    int32_t a, b, c, d;
};

// Separate lines of one colour in a row share an item; each stays a
// polyline of its own.
TEST_F(Recording, ConnectedLinesOfOneColourShareAPolylineAndOffPageLinesAreDropped) {
    const struct {
        const char* what;
        std::vector<Op> ops;
        size_t items, points, polylines;
    } cases[] = {
        {"chain", {{'L', 0, 0, 10, 0}, {'L', 10, 0, 10, 9}, {'L', 10, 9, 3, 40}}, 1, 4, 1},
        {"colour change", {{'L', 0, 0, 10, 0}, {'C', 2, 0, 0, 0}, {'L', 10, 0, 10, 9}}, 2, 4, 2},
        {"gap", {{'L', 0, 0, 10, 0}, {'L', 11, 0, 20, 0}}, 1, 4, 2},
        {"gaps, then a chain",
         {{'L', 0, 0, 10, 0}, {'L', 11, 0, 20, 0}, {'L', 30, 0, 40, 0}, {'L', 40, 0, 40, 9}},
         2,
         7,
         3},
        {"repeated point", {{'L', 5, 5, 9, 9}, {'L', 9, 9, 9, 9}}, 1, 2, 1},
        {"off the page",
         {{'L', -9, -9, -1, -20}, {'L', 900, 0, 990, 500}, {'L', 0, 600, 9, 600}},
         0,
         0,
         0},
        {"int32 limits",
         {{'L', INT_MIN, INT_MIN, INT_MAX, INT_MAX}, {'L', INT_MIN, 7, INT_MAX, 7}},
         1,
         4,
         2},
        {"box between", {{'L', 0, 0, 10, 0}, {'B', 2, 2, 5, 5}, {'L', 10, 0, 10, 9}}, 3, 4, 2},
        {"whole-page clear", {{'L', 0, 0, 10, 0}, {'B', -5, -5, 900, 900}}, 1, 0, 0},
    };
    DisplayList list;
    drawing.recordInto(&list);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        list.clear();
        drawing.setFrontColour(0xFFFFFF);
        for (const Op& op : c.ops) {
            if (op.kind == 'L') drawing.drawLine(op.a, op.b, op.c, op.d);
            if (op.kind == 'B') drawing.fillBox(op.a, op.b, op.c, op.d, 0x00FF00);
            if (op.kind == 'C') drawing.setFrontColour(op.a);
        }
        EXPECT_EQ(list.items().size(), c.items);
        EXPECT_EQ(list.points().size(), c.points);
        EXPECT_EQ(list.polylines(), c.polylines);
        for (const ListPoint& p : list.points()) {
            EXPECT_GE(p.x, 0) << p.x << ", " << p.y;
            EXPECT_LT(p.x, 800) << p.x << ", " << p.y;
            EXPECT_GE(p.y, 0) << p.x << ", " << p.y;
            EXPECT_LT(p.y, 600) << p.x << ", " << p.y;
        }
    }
    drawing.recordInto(nullptr);
    drawing.drawLine(0, 0, 5, 5);
    EXPECT_EQ(list.items().size(), 1u);
}

// A spill counting what it is handed, and the spills made from it.
struct CountingSpill : ListSpill {
    void take(const DisplayList& part) override {
        for (const ListItem& item : part.items())
            points += item.count;
        ++parts;
    }
    std::shared_ptr<ListSpill> fresh() const override {
        ++*made;
        return std::make_shared<CountingSpill>();
    }
    uint32_t points = 0, parts = 0;
    std::shared_ptr<int> made = std::make_shared<int>(0);
};

// A list that spills keeps only its tail: no bound on what is drawn, the
// polyline going on kept going, and a copy made before a clear keeps what
// was spilled while the list starts a spill of its own.
TEST(Spilling, AListHandsOverWhatItHoldsAndKeepsItsTail) {
    DisplayList list;
    auto spill = std::make_shared<CountingSpill>();
    list.spillInto(spill);
    const uint32_t lines = 3 * DisplayList::maxItems; // past the bound of a list that keeps all
    for (uint32_t i = 0; i < lines; ++i)
        ASSERT_TRUE(list.addLine({float(i % 800), 5}, {float((i + 1) % 800), 5}, 0)) << i;
    EXPECT_FALSE(list.overflowed());
    EXPECT_EQ(list.spilled(), spill.get());
    EXPECT_LE(list.points().size(), DisplayList::spillPoints + 1);
    // One polyline throughout: each part after the first begins where the last ended.
    EXPECT_EQ(spill->points + list.points().size(), lines + spill->parts + 1);
    ASSERT_EQ(list.items().size(), 1u);
    EXPECT_EQ(list.items()[0].kind, ItemKind::polyline);

    const DisplayList kept = list;
    list.clear();
    EXPECT_EQ(kept.spilled(), spill.get());
    EXPECT_EQ(list.spilled(), nullptr);
    EXPECT_EQ(*spill->made, 1);
    list.addLine({0, 0}, {1, 1}, 0);
    EXPECT_EQ(spill->points + kept.points().size(), lines + spill->parts + 1); // untouched
}

// Past its bound the list is thrown away (its copy is made from the pixels):
// the drawing stops recording and reckoning for it, and draws as a page
// alone does, until a box over the whole image clears the list.
TEST_F(Recording, AnOverflowedListIsNoLongerRecordedInto) {
    DisplayList list;
    drawing.recordInto(&list);
    drawing.setCopyScale(4);
    drawing.setFrontColour(0);
    ASSERT_FALSE(drawing.pixelsOnly());
    ASSERT_EQ(drawing.copyScale(), 4);
    for (size_t i = 0; i <= DisplayList::maxItems; ++i)
        drawing.drawLine(int32_t(i % 800), 10, int32_t((i + 1) % 800), 10);
    ASSERT_TRUE(list.overflowed());
    const size_t items = list.items().size();
    EXPECT_TRUE(drawing.pixelsOnly());
    EXPECT_EQ(drawing.copyScale(), 1);
    drawing.drawLine(0, 20, 700, 20);
    drawing.fillBox(5, 5, 10, 10, 0xFF);
    EXPECT_EQ(list.items().size(), items);
    EXPECT_EQ(image->pixel(350, 20), 0u) << "the page is drawn as before";
    EXPECT_EQ(image->pixel(7, 7), 0xFFu);

    drawing.fillBox(0, 0, 800, 600, 0xFFFFFF);
    EXPECT_FALSE(list.overflowed());
    EXPECT_FALSE(drawing.pixelsOnly());
    EXPECT_EQ(drawing.copyScale(), 4);
    EXPECT_EQ(list.items().size(), 1u) << "the clearing box";
}

TEST_F(Recording, AMegabyteLabelKeepsOnlyTheGlyphsNearThePage) {
    const auto font = loadFont("Courier New", 12);
    ASSERT_TRUE(font);
    DisplayList list;
    drawing.recordInto(&list);
    drawing.selectFont(font.get());
    drawing.drawRotatedText(-5'000'000, 100, std::string(1 << 20, 'W'), 0);
    ASSERT_EQ(list.labels().size(), 1u);
    const ListLabel& label = list.labels()[0];
    EXPECT_LT(label.textLength, 120u);
    EXPECT_EQ(list.faces()[label.face].emHeight, 16);
    const int64_t start = label.cell.x + label.penStart;
    EXPECT_GT(start, -40);
    EXPECT_LE(start, 0);
}

// A drawing's extent scaled to span the picture's centres one way and
// centred the other; an empty one stays put.
TEST(Fitted, ScalesAndCentresTheExtentWithItsAspectKept) {
    const struct {
        Drawing::Extent drawn;
        Drawing::Placement placement;
    } cases[] = {
        {{0, 0, 1598, 1198, false}, {0.5, 0, 0}},     {{-799, 0, 0, 599, false}, {1, 799, 0}},
        {{0, 0, 0, 299.5, false}, {2, 399.5, 0}},  // a vertical line: its height tells
        {{0, 0, 1598, 0, false}, {0.5, 0, 299.5}}, // and a level one its width
        {{0, 0, 799, 1198, false}, {0.5, 199.75, 0}}, {{}, {1, 0, 0}},
    };
    for (const auto& c : cases) {
        const Drawing::Placement p = fitted(c.drawn, 800, 600);
        EXPECT_DOUBLE_EQ(p.scale, c.placement.scale) << c.drawn.right;
        EXPECT_DOUBLE_EQ(p.dx, c.placement.dx) << c.drawn.right;
        EXPECT_DOUBLE_EQ(p.dy, c.placement.dy) << c.drawn.right;
    }
}

// A list recorded whole keeps what runs off the picture; drawn again fitted
// it gives the page the same calls give drawn placed, and its own list is
// cut to the picture.
TEST_F(Recording, AListRecordedWholeDrawsTheFittedPageAsPlacedDrawingDoes) {
    const auto draw = [](Drawing& d) {
        d.fillBox(0, 0, 800, 600, 0xFFFFFF);
        d.setFrontColour(0x0000FF);
        d.drawLine(-400, -300, 1199, 899, {-399.5, -299.5}, {1199.5, 899.5});
        d.drawLine(1199, 899, 1199, 0, {1199.5, 899.5}, {1199.5, 0.5});
        d.setFrontColour(0xFF0000);
        Path area;
        area.points = {{1000, 100}, {1200, 100}, {1200, 300}, {1000, 300}};
        area.rings = {4};
        d.fillPath(area.view(), {-100000, -100000, 100000, 100000});
    };
    DisplayList whole;
    drawing.recordInto(&whole);
    drawing.recordWhole(true);
    draw(drawing);
    ASSERT_GT(whole.points().size(), 2u);
    EXPECT_EQ(whole.points().front().x, -400) << "kept beyond the picture";
    EXPECT_EQ(whole.paths().size(), 1u) << "an area wholly off the picture is kept";
    const Drawing::Placement placement = fitted(drawing.extent(), 800, 600);

    const FittedPage page = drawFitted(whole, placement);
    ASSERT_NE(page.image, nullptr);
    const std::unique_ptr<PageImage> placed = createPageImage(800, 600, 24);
    Drawing direct;
    ASSERT_TRUE(direct.beginDrawing(*placed));
    direct.place(placement);
    draw(direct);
    EXPECT_EQ(page.image->pixels, placed->pixels);
    EXPECT_EQ(page.list.paths().size(), 1u);
    for (const ListPoint& p : page.list.points()) {
        EXPECT_GE(p.x, 0);
        EXPECT_LE(p.x, 799);
        EXPECT_GE(p.y, 0);
        EXPECT_LE(p.y, 599);
    }
}

} // namespace
} // namespace plotanix
