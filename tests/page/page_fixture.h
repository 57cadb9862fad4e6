#pragma once
// A page open for drawing, and ways to read back what was drawn.

#include "page/drawing.h"
#include "page/page_image.h"

#include <gtest/gtest.h>

#include <set>
#include <utility>

namespace plotanix::testing {

using Pixel = std::pair<int, int>; // (x, y)
using PixelSet = std::set<Pixel>;

// Every pixel of the image that holds the colour.
inline PixelSet pixelsOf(const PageImage& image, Colour colour) {
    PixelSet found;
    for (int y = 0; y < image.height; ++y) {
        for (int x = 0; x < image.width; ++x) {
            if (image.pixel(x, y) == (colour & 0xFFFFFF)) found.insert({x, y});
        }
    }
    return found;
}

// Every pixel where two images of one size differ.
inline PixelSet differences(const PageImage& a, const PageImage& b) {
    PixelSet found;
    for (int y = 0; y < a.height; ++y) {
        for (int x = 0; x < a.width; ++x) {
            if (a.pixel(x, y) != b.pixel(x, y)) found.insert({x, y});
        }
    }
    return found;
}

class OpenPage : public ::testing::Test {
  protected:
    void SetUp() override { open(800, 600); }
    void open(int width, int height) {
        drawing.endDrawing();
        image = createPageImage(width, height, 24);
        ASSERT_TRUE(image);
        ASSERT_NE(drawing.beginDrawing(*image), 0);
    }
    // The pixels one line writes on a fresh black page, in white.
    PixelSet lineOnFreshPage(int x1, int y1, int x2, int y2) {
        open(image->width, image->height);
        drawing.drawLine(x1, y1, x2, y2);
        return pixelsOf(*image, 0xFFFFFF);
    }

    std::unique_ptr<PageImage> image;
    Drawing drawing;
};

} // namespace plotanix::testing
