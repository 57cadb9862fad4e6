// Lines, boxes and labels pixel for pixel on the page, and never beyond it.

#include "page/drawing.h"
#include "page/label_font.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <numbers>
#include <random>
#include <set>
#include <tuple>

namespace plotanix {
namespace {

using PixelSet = std::set<std::pair<int, int>>; // (x, y)

PixelSet rect(int x1, int y1, int x2, int y2) {
    PixelSet pixels;
    for (int y = y1; y <= y2; ++y)
        for (int x = x1; x <= x2; ++x)
            pixels.insert({x, y});
    return pixels;
}

PixelSet diagonal(int from, int to) {
    PixelSet pixels;
    for (int i = from; i <= to; ++i)
        pixels.insert({i, i});
    return pixels;
}

// A fresh page open for drawing, and the pixels changed on it since.
class Page : public ::testing::Test {
  protected:
    void SetUp() override { open(800, 600); }
    void open(int width, int height, Colour background = 0) {
        image = createPageImage(width, height, 24);
        ASSERT_TRUE(image);
        ASSERT_TRUE(drawing.beginDrawing(*image));
        drawing.fillBox(0, 0, width, height, background);
        blank = *image;
    }
    PixelSet changed() const {
        PixelSet found;
        for (int y = 0; y < image->height; ++y) {
            const uint8_t *was = blank.row(y), *now = image->row(y);
            if (std::memcmp(was, now, size_t(image->stride)) == 0) continue;
            for (int x = 0; x < image->width; ++x)
                if (std::memcmp(was + 3 * x, now + 3 * x, 3) != 0) found.insert({x, y});
        }
        return found;
    }
    // On the black page that SetUp opened.
    PixelSet line(int x1, int y1, int x2, int y2) {
        std::memset(image->pixels.data(), 0, image->pixels.size());
        drawing.drawLine(x1, y1, x2, y2);
        return changed();
    }

    std::unique_ptr<PageImage> image;
    PageImage blank;
    Drawing drawing;
};

TEST(PageImage, UnusableSizesFailAndAClosedDrawingDoesNothing) {
    for (const auto& [width, height, depth] :
         {std::tuple(0, 600, 24), {800, -1, 24}, {800, 600, 32}, {INT_MAX, INT_MAX, 24}})
        EXPECT_FALSE(createPageImage(width, height, depth)) << width << "x" << height;
    Drawing drawing;
    PageImage empty;
    EXPECT_EQ(drawing.beginDrawing(empty), 0);
    drawing.drawLine(0, 0, 10, 10);
    drawing.fillBox(0, 0, 10, 10, 0xFFFFFF);
}

TEST(PageImage, IsBornInItsPaperColour) {
    for (const Colour paper : {0x000000u, 0xFFFFFFu, 0x123456u}) {
        const std::unique_ptr<PageImage> image = createPageImage(3, 2, 24, paper);
        ASSERT_TRUE(image);
        for (int y = 0; y < 2; ++y)
            for (int x = 0; x < 3; ++x)
                EXPECT_EQ(image->pixel(x, y), paper) << x << "," << y;
    }
}

// Blanking touches only the rows drawn on, and comparing skips the rows
// neither page drew on: both must still see every pixel that differs.
TEST(PageImage, BlankingAndComparingSeeEveryRowDrawnOn) {
    const auto page = [] { return createPageImage(8, 6, 24, 0xFFFFFF); };
    const std::unique_ptr<PageImage> a = page(), b = page();
    Drawing drawing;
    drawing.beginDrawing(*a);
    drawing.fillBox(1, 4, 2, 1, 0x0000FF);
    EXPECT_EQ(a->rowsDrawn(), std::pair(4, 5));
    EXPECT_FALSE(samePixels(*a, *b));
    EXPECT_FALSE(samePixels(*b, *a));
    drawing.fillBox(0, 0, 8, 6, 0xFFFFFF); // blank paper again
    EXPECT_EQ(a->pixel(1, 4), 0xFFFFFFu);
    EXPECT_TRUE(samePixels(*a, *b));
    // Rows are made when drawn on: those between, drawn on before the
    // blanking, come back as paper.
    drawing.fillBox(6, 2, 1, 1, 0x0000FF);
    drawing.fillBox(6, 5, 1, 1, 0x0000FF);
    EXPECT_EQ(a->rowsDrawn(), std::pair(2, 6));
    EXPECT_EQ(a->pixel(1, 4), 0xFFFFFFu);
    const PageImage copy = *a;
    EXPECT_TRUE(samePixels(copy, *a));
    EXPECT_TRUE(copy.pixels == std::vector<uint8_t>(a->pixels));
    // Another paper colour repaints every row.
    drawing.fillBox(0, 0, 8, 6, 0x123456);
    for (int y = 0; y < 6; ++y)
        EXPECT_EQ(a->pixel(7, y), 0x123456u) << y;
    EXPECT_FALSE(samePixels(*a, *b));
    // A page put together by hand has every row compared.
    const PageImage handMade(8, 6, 24, a->stride, b->pixels);
    EXPECT_TRUE(samePixels(handMade, *b));
    PageImage changed(8, 6, 24, a->stride, b->pixels);
    changed.pixels[0] = 0;
    EXPECT_FALSE(samePixels(changed, *b));
}

// A page made again at another size and depth keeps its bytes when they
// are enough: its rows, made as writing makes them, are still paper, not
// what was drawn before.
TEST(PageImage, MadeAgainAtAnotherSizeItIsBlank) {
    const std::unique_ptr<PageImage> image = createPageImage(40, 30, 24, 0x123456);
    ASSERT_TRUE(image);
    const struct {
        int width, height, depth;
        Colour paper;
    } sizes[] = {{64, 20, 4, 0xFFFFFF}, {17, 9, 1, 0xFFFFFF}, {40, 30, 24, 0x00FF00},
                 {400, 300, 24, 0xFFFFFF}, {64, 20, 4, 0xFFFFFF}};
    for (const auto& size : sizes) {
        // Ink everywhere for the next size to find.
        for (int y = 0; y < image->height; ++y)
            std::memset(image->row(y), 0x5A, static_cast<size_t>(image->stride));
        image->dpi = 300;
        ASSERT_TRUE(remakePageImage(*image, size.width, size.height, size.depth, size.paper));
        EXPECT_EQ(image->width, size.width);
        EXPECT_EQ(image->dpi, 0);
        int unlike = 0;
        for (int y = 0; y < size.height; ++y)
            (void)image->row(y); // made
        for (int y = 0; y < size.height; ++y)
            for (int x = 0; x < size.width; ++x)
                unlike += image->pixel(x, y) != size.paper;
        EXPECT_EQ(unlike, 0) << size.width << "x" << size.height << "x" << size.depth;
    }
    EXPECT_FALSE(remakePageImage(*image, 0, 10, 24));
    EXPECT_EQ(image->width, 64) << "an unusable size leaves the image as it was";
}

// A printer's page keeps palette indices packed from each byte's high
// bits: read back as the palette's colours, born white, and never the
// same pixels as a page of another depth holding the same bytes.
TEST(PageImage, IndicesReadAsThePrintPalettesColours) {
    const struct {
        int depth;
        std::vector<uint8_t> firstRow; // its bytes
        std::vector<Colour> colours;   // of its first pixels
    } cases[] = {
        {1, {0xA0}, {0x000000, 0xFFFFFF, 0x000000, 0xFFFFFF}},
        {4, {0x12, 0x8F}, {0x000000, 0x0000FF, 0xE3E3E3, 0x1C1C1C}},
    };
    for (const auto& c : cases) {
        std::unique_ptr<PageImage> image = createPageImage(9, 2, c.depth);
        ASSERT_TRUE(image) << c.depth;
        EXPECT_EQ(image->stride, 4 * ((9 * c.depth + 31) / 32)) << c.depth;
        for (int x = 0; x < 9; ++x)
            EXPECT_EQ(image->pixel(x, 1), 0xFFFFFFu) << c.depth << ": born white at " << x;
        std::copy(c.firstRow.begin(), c.firstRow.end(), image->row(0));
        std::vector<uint8_t> expanded(3 * 9);
        const uint8_t* colours = image->colourRow(0, expanded.data());
        for (size_t x = 0; x < c.colours.size(); ++x) {
            EXPECT_EQ(image->pixel(static_cast<int>(x), 0), c.colours[x]) << c.depth << ": " << x;
            const Colour shown =
                colours[3 * x + 2] | colours[3 * x + 1] << 8 | colours[3 * x] << 16;
            EXPECT_EQ(shown, c.colours[x]) << c.depth << ": expanded " << x;
        }
        image->fill(0x000000); // the paper of a printer's page is index 0, white
        EXPECT_EQ(image->pixel(0, 0), 0xFFFFFFu) << c.depth;
    }
    const std::unique_ptr<PageImage> one = createPageImage(32, 2, 1),
                                     four = createPageImage(8, 2, 4);
    EXPECT_EQ(one->stride, four->stride);
    EXPECT_FALSE(samePixels(*one, *four)) << "same bytes, other pixels";
    EXPECT_FALSE(createPageImage(8, 2, 8)) << "no other depth";
}

// A printer's picture may be smaller than the room its rows have, its top
// row the last stored: it compares with a picture of its own size by its
// own pixels, whatever lies beyond them.
TEST(PageImage, APictureWithinItsRoomComparesItsOwnPixels) {
    std::unique_ptr<PageImage> roomy = createPageImage(40, 9, 1), exact = createPageImage(10, 3, 1);
    roomy->width = 10, roomy->height = 3;
    for (PageImage* image : {roomy.get(), exact.get()})
        image->row(2)[1] = 0x40; // pixel 9 of the bottom row
    EXPECT_EQ(roomy->pixel(9, 2), 0x000000u);
    EXPECT_TRUE(samePixels(*roomy, *exact));
    roomy->row(2)[1] |= 0x20; // past the picture's width, in its last byte
    roomy->row(3)[0] = 0xFF;  // below it
    EXPECT_TRUE(samePixels(*roomy, *exact)) << "beyond the picture";
    roomy->row(0)[0] = 0x01;
    EXPECT_FALSE(samePixels(*roomy, *exact)) << "within it";
    EXPECT_EQ(roomy->rowsDrawn(), std::pair(0, 3)) << "the rows drawn, cut at the picture";
}

TEST_F(Page, LinesAreTheWalkedPixelsWhicheverEndComesFirst) {
    const std::tuple<int, int, int, int, PixelSet> cases[] = {
        {0, 0, 3, 1, {{0, 0}, {1, 0}, {2, 1}, {3, 1}}},
        {0, 0, 2, 1, {{0, 0}, {1, 1}, {2, 1}}},        // a decision value of 0 steps diagonally
        {10, 10, 9, 12, {{10, 10}, {9, 11}, {9, 12}}}, // y-major, toward smaller x
        {5, 5, 5, 5, {{5, 5}}},
        {-10, 300, 900, 300, rect(0, 300, 799, 300)},
        {-5, -5, 5, 5, diagonal(0, 5)},
        // Far-apart ends neither overflow nor leave the page.
        {INT_MIN, INT_MIN, INT_MAX, INT_MAX, diagonal(0, 599)},
        {INT_MIN, 0, INT_MAX, 1, rect(0, 0, 799, 0)},
        {5, INT_MIN, 5, INT_MAX, rect(5, 0, 5, 599)},
        {0, 600, 799, 600, {}},
        {-100, 50, 50, -100, {}}, // crosses the corner's x and y ranges, never the page
        {INT_MAX, INT_MIN, INT_MIN, INT_MIN + 1, {}},
    };
    for (const auto& [x1, y1, x2, y2, pixels] : cases) {
        const Drawing::LineTally before = drawing.lineTally();
        EXPECT_EQ(line(x1, y1, x2, y2), pixels) << x1 << "," << y1;
        EXPECT_EQ(line(x2, y2, x1, y1), pixels) << x2 << "," << y2;
        // The tally tells a page left blank by lines that all fell off it.
        EXPECT_EQ(drawing.lineTally().asked - before.asked, 2);
        EXPECT_EQ(drawing.lineTally().onPage - before.onPage, pixels.empty() ? 0 : 2);
    }
    const PixelSet slanted = line(-10, -10, 810, 10); // clipped before the walk
    EXPECT_EQ(std::tuple(slanted.size(), *slanted.begin(), *slanted.rbegin()),
              std::tuple(401u, std::pair(399, 0), std::pair(799, 9)));
    std::mt19937 random(7);
    std::uniform_int_distribution<int> coordinate(-200, 1000);
    for (int i = 0; i < 60; ++i) {
        const int x1 = coordinate(random), y1 = coordinate(random), x2 = coordinate(random),
                  y2 = coordinate(random);
        EXPECT_EQ(line(x1, y1, x2, y2), line(x2, y2, x1, y1)) << x1 << "," << y1 << " " << x2;
    }
}

TEST_F(Page, BoxesFillFromEitherCornerAndAreClipped) {
    const std::tuple<int, int, int, int, PixelSet> cases[] = {
        {10, 10, -5, 3, rect(5, 10, 9, 12)},
        {10, 10, 3, -2, rect(10, 8, 12, 9)},
        {-5, -5, 8, 7, rect(0, 0, 2, 1)},
        {78, 58, 10, 10, rect(78, 58, 79, 59)},
        {10, 10, INT_MAX, INT_MAX, rect(10, 10, 79, 59)},
        {INT_MAX, INT_MAX, INT_MIN, INT_MIN, rect(0, 0, 79, 59)}, // from (-1, -1)
        {INT_MIN, INT_MIN, INT_MAX, INT_MAX, {}},                 // ends at (-2, -2)
        {80, 0, 5, 5, {}},
    };
    for (const auto& [x, y, width, height, pixels] : cases) {
        open(80, 60);
        drawing.fillBox(x, y, width, height, 0x00FF00);
        EXPECT_EQ(changed(), pixels) << x << "," << y;
    }
    open(5, 3); // rows of 15 bytes stored in 16: the padding is never written
    drawing.fillBox(-10, -10, 100, 100, 0xFFFFFF);
    drawing.drawLine(-50, -40, 60, 70);
    for (int y = 0; y < 3; ++y)
        EXPECT_EQ(image->row(y)[15], 0) << y;
}

constexpr Colour blue = 0xFF0000;

class Labels : public Page {
  protected:
    static void SetUpTestSuite() { font = loadFont("Courier New", 12).release(); }
    static void TearDownTestSuite() { delete font; }
    void SetUp() override {
        ASSERT_TRUE(font) << "no monospaced outline font on this machine";
        openPage(800, 600);
        width = drawing.textWidth("X");
        height = drawing.textHeight("X");
    }
    void openPage(int pageWidth, int pageHeight) {
        open(pageWidth, pageHeight, 0x204060);
        drawing.selectFont(font);
        drawing.setFrontColour(blue);
    }
    // The pixels a text changes on a fresh page of the present size.
    PixelSet text(int x, int y, const std::string& label, float angle) {
        openPage(image->width, image->height);
        drawing.drawRotatedText(x, y, label, angle);
        return changed();
    }
    static std::pair<double, double> centroid(const PixelSet& pixels) {
        double sx = 0, sy = 0;
        for (const auto& [x, y] : pixels)
            sx += x, sy += y;
        return {sx / double(pixels.size()), sy / double(pixels.size())};
    }

    static inline PageFont* font = nullptr;
    int32_t width = 0, height = 0;
};

TEST_F(Labels, EveryByteHasACellOfOneSize) {
    EXPECT_EQ(font->emHeight(), 16);
    EXPECT_FALSE(loadFont("Courier New", 0));
    EXPECT_FALSE(loadFont("Courier New", INT_MAX));
    EXPECT_TRUE(loadFont("No Such Face Anywhere", 12)) << "no substitute";
    EXPECT_GE(width, 8);
    EXPECT_LE(width, 12);
    EXPECT_GE(height, 16);
    EXPECT_LE(height, 21);
    std::string all(1, '\0');
    for (int byte = 1; byte < 256; ++byte)
        all += static_cast<char>(byte);
    EXPECT_EQ(std::tuple(drawing.textWidth(all), drawing.textHeight("gjpq"),
                         drawing.textWidth("") + drawing.textHeight("")),
              std::tuple(256 * width, height, 0));
    EXPECT_FALSE(text(0, 300, all, 45).empty());
}

TEST_F(Labels, WithoutAFontTextIsMeasuredInAFixedCellAndNotDrawn) {
    drawing.selectFont(nullptr);
    EXPECT_EQ(std::pair(drawing.textWidth("ABC"), drawing.textHeight("ABC")), std::pair(24, 16));
    drawing.drawRotatedText(100, 100, "ABC", 45);
    EXPECT_TRUE(changed().empty());
}

// Counter-clockwise: (x + u, y + v) goes to (x + v, y - u), and a later
// character sits further along the turned baseline.
TEST_F(Labels, RotatedTextTurnsAboutTheAnchor) {
    const int x = 400, y = 300;
    const auto [ux, uy] = centroid(text(x, y, "L", 0));
    const PixelSet turned = text(x, y, "L", 90);
    ASSERT_FALSE(turned.empty());
    for (const auto& [px, py] : turned) {
        EXPECT_GE(px, x) << px << "," << py;
        EXPECT_LE(px, x + height) << px << "," << py;
        EXPECT_GE(py, y - width) << px << "," << py;
        EXPECT_LE(py, y) << px << "," << py;
    }
    const auto [tx, ty] = centroid(turned);
    EXPECT_NEAR(tx - x, uy - y, 1.5);
    EXPECT_NEAR(ty - y, -(ux - x), 1.5);
    const auto [ax, ay] = centroid(text(200, 400, "X", 30));
    const auto [bx, by] = centroid(text(200, 400, "          X", 30));
    EXPECT_NEAR(bx - ax, 10 * width * std::cos(std::numbers::pi / 6), 1.0);
    EXPECT_NEAR(by - ay, -10 * width * std::sin(std::numbers::pi / 6), 1.0);
    EXPECT_EQ(text(300, 300, "Turn", 450), text(300, 300, "Turn", 90));
    EXPECT_EQ(text(300, 300, "Turn", -330), text(300, 300, "Turn", 30));
    for (float unusable : {NAN, INFINITY, -INFINITY})
        EXPECT_TRUE(text(300, 300, "Text", unusable).empty());
    text(300, 300, "Text", 3.0e38f); // finite, far beyond one turn: no crash
}

// Off the page nothing; a small page showing part of a big one gets the same pixels there.
TEST_F(Labels, TextOffThePageDrawsOnlyItsVisiblePart) {
    for (float angle : {0.0f, 90.0f, 200.0f, -45.0f})
        for (auto [x, y] : {std::pair{-5000, 300}, {400, -300}, {900, 300}, {400, 5000}})
            EXPECT_TRUE(text(x, y, "Far away", angle).empty()) << angle << " " << x;
    for (float angle : {0.0f, 30.0f, 135.0f}) {
        openPage(800, 600);
        PixelSet expected;
        for (const auto& [px, py] : text(300, 250, "Clipped label text", angle))
            if (px >= 250 && px < 351 && py >= 230 && py < 290)
                expected.insert({px - 250, py - 230});
        openPage(101, 60); // odd width: rows carry padding
        EXPECT_FALSE(expected.empty());
        EXPECT_EQ(text(50, 20, "Clipped label text", angle), expected) << angle;
        for (int row = 0; row < 60; ++row)
            EXPECT_EQ(image->row(row)[303], 0) << row;
    }
}

TEST_F(Labels, VeryLongLabelsCostNoMoreThanThePage) {
    for (float angle : {0.0f, 30.0f, 180.0f}) {
        const PixelSet expected = text(400, 300, std::string(120, 'M'), angle);
        EXPECT_EQ(text(400, 300, std::string(200000, 'M'), angle), expected) << angle;
    }
    const std::string million(1000000, 'x');
    drawing.drawRotatedText(INT32_MIN, 300, million, 0);
    drawing.drawRotatedText(INT32_MAX, 300, million, 180);
    drawing.drawRotatedText(0, INT32_MAX, million, 90);
}

} // namespace
} // namespace plotanix
