// The page fitted to a resized window: where it goes, and what each pixel
// shown is made of.

#include "output/page_scaler.h"
#include "page/page_image.h"

#include <gtest/gtest.h>

#include <tuple>

namespace plotanix {
namespace {

TEST(FitPage, LargestSizeWithTheAspectKeptCentred) {
    const struct {
        int width, height;
        ViewRect view;
    } areas[] = {
        {800, 600, {0, 0, 800, 600}},     // as opened: one pixel per pixel
        {1600, 1200, {0, 0, 1600, 1200}}, // twice
        {1000, 600, {100, 0, 800, 600}},  // wider: margins left and right
        {1001, 600, {101, 0, 800, 600}},  // an odd margin: the larger one on the right
        {400, 400, {0, 50, 400, 300}},    // taller: margins above and below
        {1003, 751, {1, 0, 1001, 751}},   // the aspect, to the nearest pixel
        {1, 1, {0, 0, 1, 1}},
        {0, 600, {}},
    };
    for (const auto& [width, height, view] : areas) {
        const ViewRect fitted = fitPage(800, 600, width, height);
        EXPECT_EQ(std::make_tuple(fitted.x, fitted.y, fitted.width, fitted.height),
                  std::make_tuple(view.x, view.y, view.width, view.height))
            << width << " x " << height;
    }
}

// A page of grey levels, one a pixel (the level in all three bytes).
PageImage greyPage(int width, int height, const std::vector<uint8_t>& levels) {
    PageImage page = *createPageImage(width, height, 24);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            uint8_t* pixel = page.row(y) + 3 * x;
            pixel[0] = pixel[1] = pixel[2] = levels[size_t(y * width + x)];
        }
    }
    return page;
}

// The resampled page's grey levels, row by row (blue, green and red agree).
std::vector<uint8_t> scaled(const PageImage& page, int width, int height) {
    std::vector<uint8_t> levels;
    PageScaler scaler;
    scaler.scale(page, width, height, [&](int y, const uint8_t* bgr) {
        EXPECT_EQ(y, int(levels.size()) / width);
        for (int x = 0; x < width; ++x) {
            EXPECT_EQ(bgr[3 * x], bgr[3 * x + 2]);
            levels.push_back(bgr[3 * x + 1]);
        }
    });
    return levels;
}

// Whole multiples enlarge pixel for pixel; otherwise each pixel shown is
// the mean of the page it covers, so a thin line shown smaller stays.
TEST(PageScaler, EnlargesPixelForPixelAtWholeMultiplesAndAveragesOtherwise) {
    const PageImage twoByTwo = greyPage(2, 2, {0, 100, 200, 255});
    const PageImage line = greyPage(4, 2, {255, 0, 255, 255, 255, 0, 255, 255});
    const PageImage edge = greyPage(2, 1, {0, 255});
    const struct {
        const char* name;
        const PageImage& page;
        int width, height;
        std::vector<uint8_t> levels;
    } cases[] = {
        {"as it is", twoByTwo, 2, 2, {0, 100, 200, 255}},
        {"twice",
         twoByTwo,
         4,
         4,
         {0, 0, 100, 100, 0, 0, 100, 100, 200, 200, 255, 255, 200, 200, 255, 255}},
        {"three times across", edge, 6, 1, {0, 0, 0, 255, 255, 255}},
        {"half: the line grey", line, 2, 1, {128, 255}},
        {"one and a half", edge, 3, 1, {0, 128, 255}},
        {"all in one", twoByTwo, 1, 1, {139}},
    };
    for (const auto& [name, page, width, height, levels] : cases)
        EXPECT_EQ(scaled(page, width, height), levels) << name;
}

// A printer's page of indices shows as the same page in colours would,
// however much taller than the window it is.
TEST(PageScaler, APrintersIndicesShowAsTheirColours) {
    PageImage dots = *createPageImage(37, 301, 1);
    for (int y = 0; y < dots.height; ++y)
        for (int x = (y * 7) % 5; x < dots.width; x += 3 + y % 4)
            dots.row(y)[x >> 3] |= static_cast<uint8_t>(0x80 >> (x & 7));
    std::vector<uint8_t> levels;
    for (int y = 0; y < dots.height; ++y)
        for (int x = 0; x < dots.width; ++x)
            levels.push_back(dots.pixel(x, y) == 0 ? 0 : 255);
    const PageImage colours = greyPage(dots.width, dots.height, levels);
    for (const auto& [width, height] :
         {std::pair{37, 301}, {20, 60}, {74, 602}, {11, 7}, {50, 400}})
        EXPECT_EQ(scaled(dots, width, height), scaled(colours, width, height))
            << width << " x " << height;
}

} // namespace
} // namespace plotanix
