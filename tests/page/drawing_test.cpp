// The page's layout, and lines and boxes pixel for pixel on it.

#include "page_fixture.h"

#include <algorithm>
#include <climits>
#include <random>

namespace plotanix {
namespace {

using testing::Pixel;
using testing::PixelSet;
using testing::pixelsOf;

class Lines : public testing::OpenPage {};
class Boxes : public testing::OpenPage {};

PixelSet rect(int x1, int y1, int x2, int y2) {
    PixelSet pixels;
    for (int y = y1; y <= y2; ++y) {
        for (int x = x1; x <= x2; ++x)
            pixels.insert({x, y});
    }
    return pixels;
}

PixelSet diagonal(int from, int to) {
    PixelSet pixels;
    for (int i = from; i <= to; ++i)
        pixels.insert({i, i});
    return pixels;
}

TEST(PageImage, NewPageIsBlackWithBottomUpRowsPaddedToFourBytes) {
    auto image = createPageImage(800, 600, 24);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->stride, 2400);
    ASSERT_EQ(image->pixels.size(), 2400u * 600u);
    EXPECT_TRUE(std::all_of(image->pixels.begin(), image->pixels.end(),
                            [](uint8_t byte) { return byte == 0; }));
    // Picture row 0 is the last stored row.
    EXPECT_EQ(image->row(0), image->pixels.data() + 599 * 2400);
    EXPECT_EQ(image->row(599), image->pixels.data());
    EXPECT_EQ(createPageImage(1, 1, 24)->stride, 4);
    EXPECT_EQ(createPageImage(801, 2, 24)->stride, 2404);
}

TEST(PageImage, UnusableSizesAndDepthsFail) {
    EXPECT_FALSE(createPageImage(0, 600, 24));
    EXPECT_FALSE(createPageImage(800, -1, 24));
    EXPECT_FALSE(createPageImage(800, 600, 32));
    EXPECT_FALSE(createPageImage(INT_MAX, INT_MAX, 24));
    EXPECT_FALSE(createPageImage(40000, 10, 24));
}

TEST(PageImage, DrawingNeedsAPixelStore) {
    Drawing drawing;
    PageImage empty;
    EXPECT_EQ(drawing.beginDrawing(empty), 0);
    EXPECT_FALSE(drawing.isOpen());
    // Closed drawing does nothing and does not crash.
    drawing.drawLine(0, 0, 10, 10);
    drawing.fillBox(0, 0, 10, 10, 0xFFFFFF);
    drawing.drawRotatedText(0, 0, "X", 0);
}

TEST_F(Lines, AreTheWalkedPixelsWhicheverEndComesFirst) {
    struct Case {
        int x1, y1, x2, y2;
        PixelSet pixels;
    };
    const Case cases[] = {
        {0, 0, 3, 1, {{0, 0}, {1, 0}, {2, 1}, {3, 1}}},
        {0, 0, 2, 1, {{0, 0}, {1, 1}, {2, 1}}},        // a decision value of 0 steps diagonally
        {10, 10, 9, 12, {{10, 10}, {9, 11}, {9, 12}}}, // y-major, toward smaller x
        {5, 5, 5, 5, {{5, 5}}},
        {-10, 300, 900, 300, rect(0, 300, 799, 300)}, // runs, clipped
        {100, -50, 100, 700, rect(100, 0, 100, 599)},
        {-5, -5, 5, 5, diagonal(0, 5)},
        // Far-apart ends neither overflow nor leave the page.
        {INT_MIN, INT_MIN, INT_MAX, INT_MAX, diagonal(0, 599)},
        {INT_MIN, 0, INT_MAX, 1, rect(0, 0, 799, 0)},
        {INT_MIN, 300, INT_MAX, 300, rect(0, 300, 799, 300)},
        {5, INT_MIN, 5, INT_MAX, rect(5, 0, 5, 599)},
        // Wholly outside.
        {0, 600, 799, 600, {}},
        {-1, 0, -1, 599, {}},
        {-10, 700, 10, 1000, {}},
        {-10, -1, -1, -10, {}},
        {810, 10, 900, 500, {}},
        {-100, 50, 50, -100, {}}, // crosses the corner's x and y ranges, never the page
        {INT_MIN, INT_MIN, INT_MIN + 1, INT_MAX, {}},
        {INT_MAX, INT_MIN, INT_MIN, INT_MIN + 1, {}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(lineOnFreshPage(c.x1, c.y1, c.x2, c.y2), c.pixels) << c.x1 << "," << c.y1;
        EXPECT_EQ(lineOnFreshPage(c.x2, c.y2, c.x1, c.y1), c.pixels) << c.x2 << "," << c.y2;
    }
    EXPECT_LE(lineOnFreshPage(INT_MIN, INT_MAX, INT_MAX, INT_MIN).size(), 800u);

    std::mt19937 random(7);
    std::uniform_int_distribution<int> coordinate(-200, 1000);
    for (int i = 0; i < 60; ++i) {
        const int x1 = coordinate(random), y1 = coordinate(random);
        const int x2 = coordinate(random), y2 = coordinate(random);
        EXPECT_EQ(lineOnFreshPage(x1, y1, x2, y2), lineOnFreshPage(x2, y2, x1, y1))
            << "(" << x1 << "," << y1 << ")-(" << x2 << "," << y2 << ")";
    }
}

TEST_F(Lines, SlantedLinesAreClippedBeforeTheWalk) {
    const PixelSet clipped = lineOnFreshPage(-10, -10, 810, 10);
    EXPECT_EQ(clipped.size(), 401u);
    EXPECT_EQ(*clipped.begin(), (Pixel{399, 0}));
    EXPECT_EQ(*clipped.rbegin(), (Pixel{799, 9}));
    EXPECT_EQ(clipped, lineOnFreshPage(810, 10, -10, -10));
}

TEST_F(Lines, ColourBytesAreBlueGreenRedAndAlphaIsIgnored) {
    drawing.setFrontColour(0xAB123456);
    drawing.drawLine(10, 20, 10, 20);
    const uint8_t* pixel = image->row(20) + 30;
    EXPECT_EQ(pixel[0], 0x12);
    EXPECT_EQ(pixel[1], 0x34);
    EXPECT_EQ(pixel[2], 0x56);
    EXPECT_EQ(image->pixel(10, 20), 0x123456u);
}

TEST_F(Lines, FrontColourStartsWhiteAndSurvivesABox) {
    drawing.drawLine(0, 0, 0, 0);
    EXPECT_EQ(image->pixel(0, 0), 0xFFFFFFu);

    drawing.setFrontColour(0x000000);
    drawing.fillBox(0, 0, 800, 640, 0xFFFFFF);
    EXPECT_EQ(pixelsOf(*image, 0xFFFFFF).size(), 800u * 600u);
    drawing.drawLine(1, 1, 100, 50);
    EXPECT_EQ(image->pixel(1, 1), 0x000000u);
    EXPECT_EQ(image->pixel(100, 50), 0x000000u);

    // A new run starts white again.
    ASSERT_NE(drawing.beginDrawing(*image), 0);
    EXPECT_EQ(drawing.frontColour(), 0xFFFFFFFFu);
}

TEST_F(Boxes, NegativeSizesFillFromTheOtherCornerAndBoxesAreClipped) {
    struct Case {
        int x, y, width, height;
        PixelSet pixels;
    };
    const Case cases[] = {
        {10, 10, -5, 3, rect(5, 10, 9, 12)},
        {10, 10, 3, -2, rect(10, 8, 12, 9)},
        {-5, -5, 8, 7, rect(0, 0, 2, 1)},
        {798, 598, 10, 10, rect(798, 598, 799, 599)},
        {INT_MIN, INT_MIN, INT_MAX, INT_MAX, {}}, // ends at (-2, -2)
        {INT_MIN, INT_MIN, -1, -1, {}},
        {800, 0, 5, 5, {}},
        {0, 0, 0, 600, {}},
    };
    for (const Case& c : cases) {
        open(800, 600);
        drawing.fillBox(c.x, c.y, c.width, c.height, 0x00FF00);
        EXPECT_EQ(pixelsOf(*image, 0x00FF00), c.pixels) << c.x << "," << c.y;
    }
    drawing.fillBox(100, 100, INT_MAX, INT_MAX, 0x0000FF);
    EXPECT_EQ(pixelsOf(*image, 0x0000FF).size(), 700u * 500u);
    // From (-1, -1) to beyond the far corner: the whole page.
    drawing.fillBox(INT_MAX, INT_MAX, INT_MIN, INT_MIN, 0x00FF00);
    EXPECT_EQ(pixelsOf(*image, 0x00FF00).size(), 800u * 600u);
}

TEST_F(Boxes, PaddingBeyondTheLastPixelIsNeverWritten) {
    open(5, 3); // rows of 15 bytes stored in 16
    drawing.fillBox(-10, -10, 100, 100, 0xFFFFFF);
    drawing.drawLine(-50, 1, 50, 1);
    drawing.drawLine(-50, -40, 60, 70);
    for (int y = 0; y < 3; ++y) {
        EXPECT_EQ(image->row(y)[15], 0) << y;
        EXPECT_EQ(image->pixel(4, y), 0xFFFFFFu);
    }
}

} // namespace
} // namespace plotanix
