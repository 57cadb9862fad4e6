// The label font and rotated text, read back from the page's pixels.

#include "page/label_font.h"
#include "page_fixture.h"

#include <cmath>
#include <limits>
#include <numbers>
#include <string>

namespace plotanix {
namespace {

using testing::differences;
using testing::PixelSet;

constexpr Colour background = 0x204060;
constexpr Colour blue = 0xFF0000;

class Labels : public testing::OpenPage {
  protected:
    static void SetUpTestSuite() { font = loadFont("Courier New", 12).release(); }
    static void TearDownTestSuite() {
        delete font;
        font = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(font) << "no monospaced outline font on this machine";
        openPage(800, 600);
    }
    void openPage(int width, int height) {
        open(width, height);
        drawing.selectFont(font);
        drawing.fillBox(0, 0, width, height, background);
        drawing.setFrontColour(blue);
    }
    // The pixels a text changes on a fresh page; the page before it in before.
    PixelSet textPixels(int x, int y, const std::string& text, float angle) {
        openPage(image->width, image->height);
        before = createPageImage(image->width, image->height, 24);
        before->pixels = image->pixels;
        drawing.drawRotatedText(x, y, text, angle);
        return differences(*before, *image);
    }
    // Mean position of the changed pixels.
    static std::pair<double, double> centroid(const PixelSet& pixels) {
        double sx = 0, sy = 0;
        for (const auto& [x, y] : pixels)
            sx += x, sy += y;
        return {sx / pixels.size(), sy / pixels.size()};
    }

    static PageFont* font;
    std::unique_ptr<PageImage> before;
};
PageFont* Labels::font = nullptr;

TEST(LabelFont, CourierNewIsLiberationMonoWithA16PixelEmAndOthersFallBack) {
    auto font = loadFont("Courier New", 12);
    ASSERT_TRUE(font);
    EXPECT_EQ(font->emHeight(), 16);
    // fonts-liberation is among the packages the build installs.
    EXPECT_NE(font->filePath().find("LiberationMono"), std::string::npos) << font->filePath();
    EXPECT_EQ(loadFont("Courier New", 10)->emHeight(), 13); // 13.33
    EXPECT_FALSE(loadFont("Courier New", 0));
    EXPECT_FALSE(loadFont("Courier New", std::numeric_limits<int>::max()));

    auto image = createPageImage(8, 8, 24);
    for (const char* face : {"Liberation Sans", "No Such Face Anywhere", ""}) {
        auto other = loadFont(face, 12);
        ASSERT_TRUE(other) << face;
        Drawing drawing;
        drawing.beginDrawing(*image);
        drawing.selectFont(other.get());
        EXPECT_EQ(drawing.textWidth("i"), drawing.textWidth("W")) << face << " is not monospaced";
    }
}

TEST(BlendCoverage, NoneKeepsFullGivesFrontAndBetweenMixes) {
    EXPECT_EQ(blendCoverage(100, 200, 0), 100);
    EXPECT_EQ(blendCoverage(255, 0, 0), 255);
    EXPECT_EQ(blendCoverage(100, 200, 255), 200);
    EXPECT_EQ(blendCoverage(255, 0, 255), 0);
    EXPECT_EQ(blendCoverage(100, 200, 128), 150); // 38300 / 255, rounded down
    EXPECT_EQ(blendCoverage(0, 255, 128), 128);
}

TEST_F(Labels, MetricsFollowTheCell) {
    const int32_t width = drawing.textWidth("X"), height = drawing.textHeight("X");
    EXPECT_GE(width, 8);
    EXPECT_LE(width, 12);
    EXPECT_GE(height, 16);
    EXPECT_LE(height, 21);
    EXPECT_EQ(drawing.textWidth("XX"), 2 * width);
    EXPECT_EQ(drawing.textHeight("gjpq"), height);
    EXPECT_EQ(drawing.textWidth(""), 0);
    EXPECT_EQ(drawing.textHeight(""), 0);
    // Every byte value has a cell, NUL included.
    std::string all(1, '\0');
    for (int byte = 1; byte < 256; ++byte)
        all += static_cast<char>(byte);
    EXPECT_EQ(drawing.textWidth(all), 256 * width);
    for (float angle : {0.0f, 45.0f})
        EXPECT_FALSE(textPixels(0, 300, all, angle).empty());
}

TEST_F(Labels, WithoutAFontTextIsMeasuredInAFixedCellAndNotDrawn) {
    drawing.selectFont(nullptr);
    EXPECT_EQ(drawing.textWidth("ABC"), 24);
    EXPECT_EQ(drawing.textHeight("ABC"), 16);
    auto unchanged = createPageImage(800, 600, 24);
    unchanged->pixels = image->pixels;
    drawing.drawRotatedText(100, 100, "ABC", 0);
    drawing.drawRotatedText(100, 100, "ABC", 45);
    EXPECT_TRUE(differences(*unchanged, *image).empty());
}

TEST_F(Labels, UprightTextStaysInItsCellAndOnlyMovesTowardTheFront) {
    const std::string text = "Hgj|\xC5\xE7_";
    const int x = 100, y = 200;
    const int32_t w = drawing.textWidth(text), h = drawing.textHeight(text);
    const PixelSet changed = textPixels(x, y, text, 0);
    ASSERT_FALSE(changed.empty());
    bool someFull = false;
    for (const auto& [px, py] : changed) {
        EXPECT_TRUE(px >= x && px < x + w && py >= y && py < y + h) << px << "," << py;
        const Colour was = before->pixel(px, py), now = image->pixel(px, py);
        for (int shift : {0, 8, 16}) {
            const int old = (was >> shift) & 0xFF, front = (blue >> shift) & 0xFF;
            const int channel = (now >> shift) & 0xFF;
            EXPECT_TRUE((channel - old) * (front - old) >= 0 &&
                        std::abs(channel - old) <= std::abs(front - old));
        }
        someFull = someFull || now == blue;
    }
    EXPECT_TRUE(someFull);
    // The background between the letters is left alone.
    EXPECT_LT(changed.size(), static_cast<size_t>(w) * h / 2);
}

TEST_F(Labels, RotatedTextTurnsAboutTheAnchor) {
    const int x = 400, y = 300;
    const int32_t w = drawing.textWidth("L"), h = drawing.textHeight("L");
    const auto [ux, uy] = centroid(textPixels(x, y, "L", 0));
    const PixelSet turned = textPixels(x, y, "L", 90);
    ASSERT_FALSE(turned.empty());
    for (const auto& [px, py] : turned)
        EXPECT_TRUE(px >= x && px <= x + h && py >= y - w && py <= y) << px << "," << py;
    // Turning counter-clockwise takes (x + u, y + v) to (x + v, y - u), and
    // a later character sits higher up the page.
    const auto [tx, ty] = centroid(turned);
    EXPECT_NEAR(tx - x, uy - y, 1.5);
    EXPECT_NEAR(ty - y, -(ux - x), 1.5);
    const auto [lx, ly] = centroid(textPixels(x, y, "   L", 90));
    EXPECT_NEAR(lx, tx, 0.5);
    EXPECT_NEAR(ly, ty - 3 * w, 0.5);

    const auto [ax, ay] = centroid(textPixels(200, 400, "X", 30));
    const auto [bx, by] = centroid(textPixels(200, 400, "          X", 30));
    EXPECT_NEAR(bx - ax, 10 * w * std::cos(std::numbers::pi / 6), 1.0);
    EXPECT_NEAR(by - ay, -10 * w * std::sin(std::numbers::pi / 6), 1.0);

    EXPECT_EQ(textPixels(300, 300, "Turn", 450), textPixels(300, 300, "Turn", 90));
    EXPECT_EQ(textPixels(300, 300, "Turn", 720), textPixels(300, 300, "Turn", 0));
    for (float unusable :
         {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
          -std::numeric_limits<float>::infinity()})
        EXPECT_TRUE(textPixels(300, 300, "Text", unusable).empty());
    textPixels(300, 300, "Text", 3.0e38f); // finite, far beyond one turn: no crash
}

TEST_F(Labels, TextOffThePageDrawsOnlyItsVisiblePart) {
    for (float angle : {0.0f, 30.0f, 90.0f, 200.0f, -45.0f}) {
        for (auto [x, y] : {std::pair{-5000, 300}, {400, -300}, {900, 300}, {400, 5000}})
            EXPECT_TRUE(textPixels(x, y, "Far away", angle).empty()) << angle << " " << x;
    }
    // A small page showing part of a big one gets the same pixels there.
    for (float angle : {0.0f, 30.0f, 135.0f}) {
        openPage(800, 600);
        const PixelSet full = textPixels(300, 250, "Clipped label text", angle);
        openPage(101, 60); // odd width: rows carry padding
        const PixelSet part = textPixels(300 - 250, 250 - 230, "Clipped label text", angle);
        PixelSet expected;
        for (const auto& [px, py] : full) {
            if (px >= 250 && px < 351 && py >= 230 && py < 290)
                expected.insert({px - 250, py - 230});
        }
        EXPECT_FALSE(expected.empty());
        EXPECT_EQ(part, expected) << angle;
        for (int row = 0; row < 60; ++row)
            EXPECT_EQ(image->row(row)[303], 0) << row;
    }
}

TEST_F(Labels, DerivedFontsAreKeptForTheLastEightAngles) {
    // -330 keeps its sign (not 30); 1..8 push both out; 2 is used again, so
    // 30 pushes 1 out rather than 2.
    const std::pair<float, int> draws[] = {{30, 1}, {390, 1}, {-330, 2}, {30, 2}, {1, 3}, {2, 4},
                                           {3, 5},  {4, 6},   {5, 7},    {6, 8},  {7, 9}, {8, 10},
                                           {2, 10}, {30, 11}, {1, 12},   {2, 12}};
    for (const auto& [angle, made] : draws) {
        drawing.drawRotatedText(300, 300, "A", angle);
        EXPECT_EQ(drawing.derivedFontsMade(), made) << angle;
    }
    drawing.drawRotatedText(300, 300, "", 45); // empty: nothing happens
    drawing.selectFont(font);                  // the same font keeps them
    drawing.drawRotatedText(300, 300, "F", 30);
    EXPECT_EQ(drawing.derivedFontsMade(), 12);
}

TEST_F(Labels, VeryLongLabelsCostNoMoreThanThePage) {
    for (float angle : {0.0f, 30.0f, 180.0f}) {
        const PixelSet expected = textPixels(400, 300, std::string(120, 'M'), angle);
        EXPECT_EQ(textPixels(400, 300, std::string(200000, 'M'), angle), expected) << angle;
        EXPECT_LE(drawing.workMaskBytes(), 800u * 600u);
    }
    const std::string millionLabel(1000000, 'x');
    drawing.drawRotatedText(std::numeric_limits<int32_t>::min(), 300, millionLabel, 0);
    drawing.drawRotatedText(std::numeric_limits<int32_t>::max(), 300, millionLabel, 180);
    drawing.drawRotatedText(0, std::numeric_limits<int32_t>::max(), millionLabel, 90);
    EXPECT_LE(drawing.workMaskBytes(), 800u * 600u);
}

} // namespace
} // namespace plotanix
