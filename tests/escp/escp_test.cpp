// The Epson printer through the session: bit-image modes and densities,
// the shorthands, bands a line feed apart, text and page ends.

#include "escp/escp_printer.h"
#include "support/printer_plot.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace plotanix;
using plotanix::testing::PrinterPlot;

namespace {

// An image command with its column count and data.
std::string image(std::string head, std::vector<uint8_t> data, int bytesPerColumn = 1) {
    const size_t columns = data.size() / static_cast<size_t>(bytesPerColumn);
    head = "\x1b" + head + static_cast<char>(columns & 0xFF) + static_cast<char>(columns >> 8);
    return head + std::string(data.begin(), data.end());
}

} // namespace

TEST(EscpModes, EachModeHasItsDensities) {
    const struct {
        int m;
        int dpiX, dotsDown, dpiY;
    } modes[] = {{0, 60, 8, 72},    {1, 120, 8, 72},    {2, 120, 8, 72},   {3, 240, 8, 72},
                 {4, 80, 8, 72},    {5, 72, 8, 72},     {6, 90, 8, 72},    {7, 144, 8, 72},
                 {32, 60, 24, 180}, {33, 120, 24, 180}, {38, 90, 24, 180}, {39, 180, 24, 180},
                 {40, 360, 24, 180}};
    for (const auto& mode : modes) {
        const std::optional<BitImageMode> got = bitImageMode(mode.m);
        ASSERT_TRUE(got) << "ESC * " << mode.m;
        EXPECT_EQ(got->dpiX, mode.dpiX) << "ESC * " << mode.m << " across";
        EXPECT_EQ(got->dotsDown, mode.dotsDown) << "ESC * " << mode.m << " dots a column";
        EXPECT_EQ(got->dpiY, mode.dpiY) << "ESC * " << mode.m << " down";
    }
    EXPECT_FALSE(bitImageMode(8)) << "no mode 8";
}

TEST(EscpImages, ColumnsAreDotsTopBitFirst) {
    const struct {
        const char* fact;
        std::string stream;
        std::vector<std::string> rows;
    } cases[] = {
        {"an 8-dot column's top bit is its top dot",
         image("*\x05", {0x80, 0x01, 0xFF}),
         {"#.#", "..#", "..#", "..#", "..#", "..#", "..#", ".##"}},
        {"a 24-dot column's bytes go top to bottom",
         image("*\x27", {0x80, 0x00, 0x01}, 3),
         {"#", ".", ".", ".", ".", ".", ".", ".", ".", ".", ".", ".",
          ".", ".", ".", ".", ".", ".", ".", ".", ".", ".", ".", "#"}},
        {"ESC K is 60 dpi: dots 1.2 pixels wide beside 72 dpi",
         image("*\x05", {0x80}) + "\r" + image("K", {0x80, 0x80}),
         {"##.", "...", "..."}},
        {"ESC ? reassigns K to another mode", "\x1b?K\x05" + image("K", {0x80, 0x80}), {"##"}},
        {"bands a line feed apart meet",
         image("*\x05", {0xFF}) + "\r\n" + image("*\x05", {0x01}),
         {"#", "#", "#", "#", "#", "#", "#", "#", ".", ".", ".", ".", ".", ".", ".", "#"}},
        {"an image goes on after the last on its line",
         image("*\x05", {0x80}) + image("*\x05", {0x80}),
         {"##"}},
    };
    for (const auto& c : cases) {
        PrinterPlot plot(PlotterModel::escp);
        plot.print(c.stream);
        EXPECT_EQ(
            plot.rows(static_cast<int>(c.rows.front().size()), static_cast<int>(c.rows.size())),
            c.rows)
            << c.fact;
    }
}

TEST(EscpText, TextAndImagesShareTheSheetAndPagesEndAtFormFeed) {
    PrinterPlot plot(PlotterModel::escp);
    plot.print("FREQ 10 MHz\r\n" + image("*\x05", {0xFF, 0xFF}) + "\r\n\f" +
               image("*\x05", {0xFF}) + "\f");
    EXPECT_EQ(plot.pagesEnded, 2) << "each form feed after ink ends a page";
    for (const int ink : plot.inkWhenTaken)
        EXPECT_GT(ink, 0) << "each page is drawn when taken";
    PrinterPlot text(PlotterModel::escp);
    text.print("AB\x1b"
               "3A"
               "C");
    EXPECT_EQ(text.result.ignored, 1) << "ESC 3 is read with its parameter";
    // Text alone is drawn at 100 dpi: three cells of 10 pixels, not four.
    EXPECT_EQ(text.page().width, 3 * 10 + 2 * PrintedSheet::marginPixels)
        << "ESC 3's parameter byte is no character";
}
