#include "page/drawing.h"
#include "page/page_image.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>

namespace plotanix {
namespace {

TEST(PageImage, NewPageIsBlackWithBottomUpRowsOf2400Bytes) {
    auto image = createPageImage(800, 600, 24);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->width, 800);
    EXPECT_EQ(image->height, 600);
    EXPECT_EQ(image->depth, 24);
    EXPECT_EQ(image->stride, 2400);
    ASSERT_EQ(image->pixels.size(), 2400u * 600u);
    EXPECT_TRUE(std::all_of(image->pixels.begin(), image->pixels.end(),
                            [](uint8_t byte) { return byte == 0; }));
    // Picture row 0 is the last stored row.
    EXPECT_EQ(image->row(0), image->pixels.data() + 599 * 2400);
    EXPECT_EQ(image->row(599), image->pixels.data());
}

TEST(PageImage, StrideRoundsThreeBytesPerPixelUpToFour) {
    EXPECT_EQ(createPageImage(1, 1, 24)->stride, 4);
    EXPECT_EQ(createPageImage(3, 1, 24)->stride, 12);
    EXPECT_EQ(createPageImage(5, 2, 24)->stride, 16);
    EXPECT_EQ(createPageImage(801, 2, 24)->stride, 2404);
}

TEST(PageImage, UnusableSizesAndDepthsFail) {
    EXPECT_FALSE(createPageImage(0, 600, 24));
    EXPECT_FALSE(createPageImage(800, -1, 24));
    EXPECT_FALSE(createPageImage(800, 600, 32));
    EXPECT_FALSE(createPageImage(800, 600, 0));
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

    auto image = createPageImage(800, 600, 24);
    EXPECT_NE(drawing.beginDrawing(*image), 0);
    EXPECT_TRUE(drawing.isOpen());
    EXPECT_EQ(drawing.frontColour(), 0xFFFFFFFFu);
    drawing.endDrawing();
    EXPECT_FALSE(drawing.isOpen());
}

} // namespace
} // namespace plotanix
