#include "page_fixture.h"

#include <climits>
#include <cstdlib>
#include <random>

namespace plotanix {
namespace {

using testing::Pixel;
using testing::PixelSet;
using testing::pixelsOf;

class Lines : public testing::OpenPage {};
class Boxes : public testing::OpenPage {};

PixelSet row(int y, int fromX, int toX) {
    PixelSet pixels;
    for (int x = fromX; x <= toX; ++x)
        pixels.insert({x, y});
    return pixels;
}

PixelSet column(int x, int fromY, int toY) {
    PixelSet pixels;
    for (int y = fromY; y <= toY; ++y)
        pixels.insert({x, y});
    return pixels;
}

TEST_F(Lines, ShortLinesGiveTheWalkedPixelsInEitherOrder) {
    EXPECT_EQ(lineOnFreshPage(0, 0, 3, 1), (PixelSet{{0, 0}, {1, 0}, {2, 1}, {3, 1}}));
    EXPECT_EQ(lineOnFreshPage(3, 1, 0, 0), (PixelSet{{0, 0}, {1, 0}, {2, 1}, {3, 1}}));
    // A decision value of 0 takes the diagonal step.
    EXPECT_EQ(lineOnFreshPage(0, 0, 2, 1), (PixelSet{{0, 0}, {1, 1}, {2, 1}}));
    EXPECT_EQ(lineOnFreshPage(2, 1, 0, 0), (PixelSet{{0, 0}, {1, 1}, {2, 1}}));
    // y-major, and a minor step toward smaller x.
    EXPECT_EQ(lineOnFreshPage(10, 10, 9, 12), (PixelSet{{10, 10}, {9, 11}, {9, 12}}));
    EXPECT_EQ(lineOnFreshPage(9, 12, 10, 10), (PixelSet{{10, 10}, {9, 11}, {9, 12}}));
    EXPECT_EQ(lineOnFreshPage(5, 5, 5, 5), (PixelSet{{5, 5}}));
}

TEST_F(Lines, EveryLineIsTheSameWhicheverEndComesFirst) {
    std::mt19937 random(7);
    std::uniform_int_distribution<int> coordinate(-200, 1000);
    for (int i = 0; i < 60; ++i) {
        const int x1 = coordinate(random), y1 = coordinate(random);
        const int x2 = coordinate(random), y2 = coordinate(random);
        const PixelSet forward = lineOnFreshPage(x1, y1, x2, y2);
        EXPECT_EQ(forward, lineOnFreshPage(x2, y2, x1, y1))
            << "(" << x1 << "," << y1 << ")-(" << x2 << "," << y2 << ")";
    }
}

TEST_F(Lines, AnInsideLineHasOnePixelPerMajorStepAndNoGaps) {
    const PixelSet pixels = lineOnFreshPage(17, 580, 790, 3);
    ASSERT_EQ(pixels.size(), 790u - 17u + 1u);
    int previousY = 580;
    for (const auto& [x, y] : pixels) { // ordered by x
        EXPECT_LE(std::abs(y - previousY), 1) << x;
        previousY = y;
    }
    EXPECT_TRUE(pixels.count({17, 580}) && pixels.count({790, 3}));
}

TEST_F(Lines, HorizontalAndVerticalRunsAreClippedToThePage) {
    EXPECT_EQ(lineOnFreshPage(-10, 300, 900, 300), row(300, 0, 799));
    EXPECT_EQ(lineOnFreshPage(900, 300, -10, 300), row(300, 0, 799));
    EXPECT_EQ(lineOnFreshPage(100, -50, 100, 700), column(100, 0, 599));
    EXPECT_EQ(lineOnFreshPage(100, 700, 100, -50), column(100, 0, 599));
    EXPECT_TRUE(lineOnFreshPage(0, 600, 799, 600).empty());
    EXPECT_TRUE(lineOnFreshPage(-1, 0, -1, 599).empty());
    EXPECT_TRUE(lineOnFreshPage(800, -5, 900, -5).empty());
}

TEST_F(Lines, SlantedLinesAreClippedBeforeTheWalk) {
    const PixelSet clipped = lineOnFreshPage(-10, -10, 810, 10);
    EXPECT_EQ(clipped.size(), 401u);
    EXPECT_EQ(*clipped.begin(), (Pixel{399, 0}));
    EXPECT_EQ(*clipped.rbegin(), (Pixel{799, 9}));
    EXPECT_EQ(clipped, lineOnFreshPage(810, 10, -10, -10));

    PixelSet diagonal;
    for (int i = 0; i <= 5; ++i)
        diagonal.insert({i, i});
    EXPECT_EQ(lineOnFreshPage(-5, -5, 5, 5), diagonal);
}

TEST_F(Lines, LinesWhollyOutsideDrawNothing) {
    EXPECT_TRUE(lineOnFreshPage(-10, 700, 10, 1000).empty());
    EXPECT_TRUE(lineOnFreshPage(-10, -1, -1, -10).empty());
    EXPECT_TRUE(lineOnFreshPage(810, 10, 900, 500).empty());
    EXPECT_TRUE(lineOnFreshPage(100, 601, 700, 900).empty());
    // Crosses the corner's x and y ranges but never the page.
    EXPECT_TRUE(lineOnFreshPage(-100, 50, 50, -100).empty());
}

TEST_F(Lines, FarApartCoordinatesNeitherOverflowNorLeaveThePage) {
    PixelSet diagonal;
    for (int i = 0; i < 600; ++i)
        diagonal.insert({i, i});
    EXPECT_EQ(lineOnFreshPage(INT_MIN, INT_MIN, INT_MAX, INT_MAX), diagonal);
    EXPECT_EQ(lineOnFreshPage(INT_MAX, INT_MAX, INT_MIN, INT_MIN), diagonal);
    EXPECT_EQ(lineOnFreshPage(INT_MIN, 0, INT_MAX, 1), row(0, 0, 799));
    EXPECT_EQ(lineOnFreshPage(INT_MIN, 300, INT_MAX, 300), row(300, 0, 799));
    EXPECT_EQ(lineOnFreshPage(5, INT_MIN, 5, INT_MAX), column(5, 0, 599));
    EXPECT_TRUE(lineOnFreshPage(INT_MIN, INT_MAX, INT_MAX, INT_MIN).size() <= 800u);
    EXPECT_TRUE(lineOnFreshPage(INT_MIN, INT_MIN, INT_MIN + 1, INT_MAX).empty());
    EXPECT_TRUE(lineOnFreshPage(INT_MAX, INT_MIN, INT_MIN, INT_MIN + 1).empty());
}

TEST_F(Lines, ColourBytesAreBlueGreenRedAndAlphaIsIgnored) {
    drawing.setFrontColour(0xFF0000);
    drawing.drawLine(10, 20, 10, 20);
    const uint8_t* pixel = image->row(20) + 30;
    EXPECT_EQ(pixel[0], 255);
    EXPECT_EQ(pixel[1], 0);
    EXPECT_EQ(pixel[2], 0);

    drawing.setFrontColour(0xAB123456);
    drawing.drawLine(11, 20, 11, 20);
    EXPECT_EQ(pixel[3], 0x12);
    EXPECT_EQ(pixel[4], 0x34);
    EXPECT_EQ(pixel[5], 0x56);
    EXPECT_EQ(image->pixel(11, 20), 0x123456u);
}

TEST_F(Lines, FrontColourStartsWhiteAndSurvivesABox) {
    drawing.drawLine(0, 0, 0, 0);
    EXPECT_EQ(image->pixel(0, 0), 0xFFFFFFu);

    drawing.setFrontColour(0x000000);
    drawing.fillBox(0, 0, 800, 640, 0xFFFFFF);
    drawing.drawLine(1, 1, 100, 50);
    EXPECT_EQ(image->pixel(1, 1), 0x000000u);
    EXPECT_EQ(image->pixel(100, 50), 0x000000u);
    EXPECT_EQ(drawing.frontColour(), 0x000000u);

    // A new run starts white again.
    drawing.endDrawing();
    ASSERT_NE(drawing.beginDrawing(*image), 0);
    EXPECT_EQ(drawing.frontColour(), 0xFFFFFFFFu);
}

TEST_F(Boxes, PageClearWhitensEveryPixelAndNothingElse) {
    drawing.fillBox(0, 0, 800, 640, 0xFFFFFF);
    EXPECT_EQ(pixelsOf(*image, 0xFFFFFF).size(), 800u * 600u);
    EXPECT_EQ(image->pixels.size(), 2400u * 600u);
}

TEST_F(Boxes, NegativeSizesFillFromTheOtherCorner) {
    drawing.fillBox(10, 10, -5, 3, 0x00FF00);
    PixelSet expected;
    for (int y = 10; y <= 12; ++y) {
        for (int x = 5; x <= 9; ++x)
            expected.insert({x, y});
    }
    EXPECT_EQ(pixelsOf(*image, 0x00FF00), expected);

    open(800, 600);
    drawing.fillBox(10, 10, 3, -2, 0x00FF00);
    EXPECT_EQ(pixelsOf(*image, 0x00FF00),
              (PixelSet{{10, 8}, {11, 8}, {12, 8}, {10, 9}, {11, 9}, {12, 9}}));
}

TEST_F(Boxes, BoxesAreClippedToThePage) {
    drawing.fillBox(-5, -5, 8, 7, 0x0000FF);
    EXPECT_EQ(pixelsOf(*image, 0x0000FF).size(), 3u * 2u);
    EXPECT_EQ(image->pixel(2, 1), 0x0000FFu);

    open(800, 600);
    drawing.fillBox(798, 598, 10, 10, 0x0000FF);
    EXPECT_EQ(pixelsOf(*image, 0x0000FF),
              (PixelSet{{798, 598}, {799, 598}, {798, 599}, {799, 599}}));

    open(800, 600);
    drawing.fillBox(INT_MIN, INT_MIN, INT_MAX, INT_MAX, 0x0000FF); // ends at (-2, -2)
    drawing.fillBox(INT_MIN, INT_MIN, -1, -1, 0x0000FF);
    drawing.fillBox(800, 0, 5, 5, 0x0000FF);
    drawing.fillBox(0, 0, 0, 600, 0x0000FF);
    EXPECT_TRUE(pixelsOf(*image, 0x0000FF).empty());

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
