// The PCL printer through the session: raster blocks and their edge cases,
// colour planes, text between blocks, page ends, and what it reads past.

#include "support/printer_plot.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace plotanix;
using plotanix::testing::PrinterPlot;

namespace {

std::string esc(std::string_view sequence) {
    return "\x1b" + std::string(sequence);
}

// One row's transfer: ESC*b#W and its bytes, the method first when given.
std::string row(std::vector<uint8_t> bytes, int method = -1, char letter = 'W') {
    std::string out = "\x1b*b";
    if (method >= 0) out += std::to_string(method) + "m";
    out += std::to_string(bytes.size()) + letter;
    return out + std::string(bytes.begin(), bytes.end());
}

const std::string start = esc("*t300R") + esc("*r0A");
const std::string twoFull = row({0xFF, 0xFF}, 0);

struct Case {
    const char* fact;
    std::string stream;
    std::vector<std::string> rows;
};

void expectRows(const Case& c) {
    PrinterPlot plot(PlotterModel::pcl);
    plot.print(c.stream);
    const int columns = static_cast<int>(c.rows.front().size());
    EXPECT_EQ(plot.rows(columns, static_cast<int>(c.rows.size())), c.rows) << c.fact;
}

} // namespace

TEST(PclRaster, RowsInEachMethodAndMixedGiveTheirDots) {
    const Case cases[] = {
        {"methods 0 to 3 in one block, combined sequences",
         start + row({0xF0}, 0) + row({0, 0x0F}, 1) + row({0, 0xAA}, 2) + row({0x00, 0x81}, 3) +
             row({}) + esc("*rC"),
         {"####....", "....####", "#.#.#.#.", "#......#", "#......#"}},
        {"start raster zeroes the seed row",
         start + twoFull + esc("*b3M") + esc("*rB") + esc("*r0A") + row({0x01, 0x0F}),
         {"################", "............####"}},
        {"ESC*rC sets method 0 again",
         start + twoFull + esc("*b3M") + esc("*rC") + esc("*r0A") + row({0x01, 0x0F}),
         {"################", ".......#....####"}},
        {"ESC*rB keeps the method",
         start + twoFull + esc("*b3M") + esc("*rB") + esc("*r0A") + row({0x01, 0x0F}),
         {"################", "............####"}},
        {"an implied end keeps the method, and a transfer starts raster again",
         start + twoFull + esc("*b3M") + esc("&k0G") + row({0x01, 0x0F}),
         {"################", "............####"}},
        {"the Y offset skips zero rows and zeroes the seed row",
         start + twoFull + esc("*b3M") + esc("*b2Y") + row({0x01, 0x0F}),
         {"################", "................", "................", "............####"}},
        {"the Y offset outside raster graphics is ignored",
         esc("*b5Y") + start + twoFull,
         {"################"}},
        {"data past the raster width is ignored",
         esc("*r8S") + start + twoFull,
         {"########........"}},
        {"short rows are zero-filled, and so is the seed row",
         esc("*r16S") + start + twoFull + row({0xF0}) + esc("*b3M") + row({}),
         {"################", "####............", "####............"}},
        {"start raster 1 is at the cursor, other values at 0",
         start + row({0x80}) + esc("*rB") + esc("*p8X") + esc("*r1A") + row({0xFF}) + esc("*rB") +
             esc("*r5A") + row({0xFF}),
         {"#...............", "........########", "########........"}},
        {"a transfer without a start takes the last start's values",
         start + row({0x80}) + esc("*rB") + esc("*p8X") + esc("*r1A") + row({0xFF}) + esc("*rB") +
             esc("*p4X") + row({0xFF}),
         {"#...............", "........########", "....########...."}},
        {"after ESC*rC a transfer without a start begins at X = 0",
         esc("*p8X") + esc("*t300R") + esc("*r1A") + row({0x80}) + esc("*rC") + esc("*p8X") +
             row({0xFF}),
         {"........#.......", "########........"}},
        {"the resolution is locked out in raster graphics; mixed ones drawn at the finest",
         start + row({0x80}) + esc("*t150R") + row({0xFF}) + esc("*rB") + esc("*t150R") +
             esc("*r0A") + row({0x80}),
         {"#.......", "########", "##......", "##......"}},
        {"a PCL job's PJL is read past",
         esc("%-12345X") + "@PJL JOB\r\n@PJL ENTER LANGUAGE=PCL\r\n" + start + row({0xC3}),
         {"##....##"}},
        {"an unknown command's data is read past",
         start + row({0x80}) + esc(")s5W") +
             "AB\x1b"
             "EC" +
             row({0x40}),
         {"#.......", ".#......"}},
    };
    for (const Case& c : cases)
        expectRows(c);
}

TEST(PclRaster, UnknownCommandsAreCountedAsIgnored) {
    PrinterPlot plot(PlotterModel::pcl);
    plot.print(esc("(s0p10h12V") + esc("&l1O") + esc("9") + start + row({0x80}));
    EXPECT_EQ(plot.result.ignored, 5) << "(s0p10h12V is three commands, &l1O and ESC 9 one each";
    EXPECT_EQ(plot.rows(1, 1), std::vector<std::string>{"#"}) << "the raster after them";
}

TEST(PclRaster, ColourPlanesIndexThePalette) {
    // Dot i has index i: the first plane is the lowest bit.
    const std::string planes = row({0x55}, -1, 'V') + row({0x33}, -1, 'V') + row({0x0F});
    const std::pair<const char*, std::vector<Colour>> palettes[] = {
        {"3", {0x000000, 0x0000FF, 0x00FF00, 0x00FFFF, 0xFF0000, 0xFF00FF, 0xFFFF00, 0xFFFFFF}},
        {"-3", {0xFFFFFF, 0xFFFF00, 0xFF00FF, 0xFF0000, 0x00FFFF, 0x00FF00, 0x0000FF, 0x000000}},
    };
    for (const auto& [u, colours] : palettes) {
        PrinterPlot plot(PlotterModel::pcl);
        plot.print(esc("*r" + std::string(u) + "U") + start + planes);
        for (int i = 0; i < 8; ++i)
            EXPECT_EQ(plot.dot(i, 0), colours[static_cast<size_t>(i)])
                << "ESC*r" << u << "U index " << i;
    }
}

TEST(PclText, TextBetweenRasterBlocksIsPrintedInTheFixedPitchFont) {
    PrinterPlot plot(PlotterModel::pcl);
    // At 300 dpi: a character cell 30 dots wide, a line 50 down.
    plot.print(start + row({0xFF}) + "\r\nHI\r\n" + start + row({0xFF}));
    const PageImage& page = plot.page();
    int inkedBetween = 0, widest = 0;
    for (int y = 0; y < page.height; ++y) {
        for (int x = 0; x < page.width; ++x) {
            if (page.pixel(x, y) == penColours[0]) continue;
            if (y > PrintedSheet::marginPixels + 1) ++inkedBetween;
            widest = std::max(widest, x);
        }
    }
    EXPECT_GT(inkedBetween, 50) << "the text's glyphs lie between the two blocks";
    EXPECT_GT(widest, 40) << "two characters at 10 an inch reach past the 8 raster dots";
    EXPECT_LE(widest, 60 + PrintedSheet::marginPixels) << "and no further than two cells";
}

TEST(PclText, OverprintedCharactersLeaveTheDarkerInkOfEach) {
    // Text alone is drawn in greys: a character printed over another leaves,
    // at every pixel, the darker of the two, whichever came first; on white
    // and over ink alike, in either phase of a byte's two pixels.
    const std::pair<std::string, std::string> pairs[] = {
        {"A", "V"}, {"_", "|"}, {"O", "X"}, {"M", "W"}, {"il", "li"}, {"#", "@"}};
    for (const auto& [first, second] : pairs) {
        PrinterPlot a(PlotterModel::pcl), b(PlotterModel::pcl), ab(PlotterModel::pcl),
            ba(PlotterModel::pcl);
        a.print(first);
        b.print(second);
        ab.print(first + "\r" + second);
        ba.print(second + "\r" + first);
        const PageImage& page = ab.page();
        ASSERT_EQ(page.width, a.page().width);
        ASSERT_EQ(page.height, b.page().height);
        ASSERT_TRUE(samePixels(page, ba.page())) << first << " and " << second;
        int differing = 0, inked = 0;
        for (int y = 0; y < page.height; ++y) {
            for (int x = 0; x < page.width; ++x) {
                // Greys, black and white: the darker has the lower value.
                const Colour darker = std::min(a.page().pixel(x, y), b.page().pixel(x, y));
                differing += page.pixel(x, y) != darker;
                inked += darker != penColours[0];
            }
        }
        EXPECT_EQ(differing, 0) << first << " over " << second;
        EXPECT_GT(inked, 20) << first << " over " << second;
    }
}

TEST(PclPage, PagesEndAtFormFeedPaperSourceZeroAndResetAfterInk) {
    const std::pair<std::string, int> cases[] = {
        {start + row({0x80}) + "\f", 1},
        {start + row({0x80}) + esc("&l0H"), 1},
        {start + row({0x80}) + esc("E"), 1},
        {esc("E") + esc("E") + "\f", 0},
        {start + row({0x80}) + esc("&l1H"), 0},
        {start + row({0x80}) + "\f" + start + row({0x80}) + "\f", 2},
    };
    for (const auto& [stream, pages] : cases) {
        PrinterPlot plot(PlotterModel::pcl);
        plot.print(stream);
        EXPECT_EQ(plot.pagesEnded, pages) << ::testing::PrintToString(stream);
        for (const int ink : plot.inkWhenTaken)
            EXPECT_GT(ink, 0) << "drawn when taken: " << ::testing::PrintToString(stream);
    }
}

// Where nobody takes the pages (the live program saves at the line's
// silence), a page's end prints the next below it: none is lost.
TEST(PclPage, PagesNobodyTakesArePrintedBelowEachOther) {
    PrinterPlot plot(PlotterModel::pcl, false);
    plot.print(start + row({0x80}) + "\f" + start + row({0x40}) + "\f");
    const PageImage& page = plot.page();
    int inkedRows = 0;
    for (int y = 0; y < page.height; ++y) {
        for (int x = 0; x < page.width; ++x) {
            if (page.pixel(x, y) != penColours[0]) {
                ++inkedRows;
                break;
            }
        }
    }
    EXPECT_EQ(inkedRows, 2) << "both pages' rows are on the picture";
    EXPECT_EQ(plot.rows(2, 1), std::vector<std::string>{"#."}) << "the first page on top";
}

TEST(PclBounds, RowsAndPagesAreCutAtWhatAPrinterTakes) {
    PrinterPlot wide(PlotterModel::pcl);
    wide.print(esc("*t75R") + esc("*r100000S") + esc("*r0A") +
               row(std::vector<uint8_t>(200, 0xFF), 0));
    EXPECT_LE(wide.page().width, 640 + 2 * PrintedSheet::marginPixels + 1)
        << "a row is cut at 8.5 inches";
    PrinterPlot tall(PlotterModel::pcl);
    tall.print(esc("*t75R") + esc("*r0A") + row({0x80}) + esc("*b32767Y") + esc("*b32767Y") +
               row({0x80}));
    EXPECT_LE(tall.page().height, 14 * 75 + 2 * PrintedSheet::marginPixels + 1)
        << "a page is cut at 14 inches";
}

// The picture a page makes: a bit a dot in black and white, however fine;
// four bits in colour or for text alone, whose edges are grey; a colour
// page too large for the picture's bytes drawn coarser, losing no row.
TEST(PclBounds, ThePictureKeepsEveryDotInBoundedBytes) {
    const std::vector<uint8_t> fullRow(638, 0xFF); // 5,104 dots: cut at 8.5 inches
    std::string letter600 = esc("*t600R") + esc("*r5100S") + esc("*r0A");
    for (int y = 0; y < 6600; ++y)
        letter600 += y % 2 == 0 ? row(fullRow, 0) : row({0x80});
    std::string colour600 = esc("*t600R") + esc("*r-3U") + esc("*r0A");
    for (int y = 0; y < 6600; ++y)
        colour600 += row(std::vector<uint8_t>(638, y == 100 ? 0xFF : 0), -1, 'V') + row({});
    const struct {
        const char* what;
        std::string stream;
        int dpi, depth, width, height;
    } cases[] = {
        {"a Letter page at 600 dpi, a dot a pixel", letter600, 600, 1, 5100, 6600},
        {"black and white raster with text", start + row({0xFF}) + "\r\nHI", 300, 1, 60, 64},
        {"text alone, at a screen's resolution", "HI", 100, 4, 20, 17},
        {"a Letter page in colour at 600 dpi, at half", colour600, 300, 4, 2552, 3300},
    };
    for (const auto& c : cases) {
        PrinterPlot plot(PlotterModel::pcl);
        plot.print(c.stream);
        const PageImage& page = plot.page();
        constexpr int margins = 2 * PrintedSheet::marginPixels;
        EXPECT_EQ(page.dpi, c.dpi) << c.what;
        EXPECT_EQ(page.depth, c.depth) << c.what;
        EXPECT_EQ(page.width, c.width + margins) << c.what;
        EXPECT_EQ(page.height, c.height + margins) << c.what;
        EXPECT_LE(int64_t{page.stride} * page.height, PrintedSheet::pictureBytesMost) << c.what;
    }
    PrinterPlot fine(PlotterModel::pcl);
    fine.print(letter600);
    EXPECT_EQ(fine.rows(3, 3), (std::vector<std::string>{"###", "#..", "###"}));
    EXPECT_EQ(fine.dot(5099, 6598), penColours[1]) << "the last dot of the last full row";
    PrinterPlot halved(PlotterModel::pcl);
    halved.print(colour600);
    EXPECT_EQ(halved.dot(7, 50), 0xFFFF00u) << "row 100's cyan, in the pixel row it shares";
    EXPECT_EQ(halved.dot(7, 49), penColours[0]) << "CMY's index 0 is white";
    PrinterPlot text(PlotterModel::pcl);
    text.print("HI");
    const PageImage& page = text.page();
    int greys = 0;
    for (int y = 0; y < page.height; ++y)
        for (int x = 0; x < page.width; ++x)
            greys += page.pixel(x, y) != penColours[0] && page.pixel(x, y) != penColours[1];
    EXPECT_GT(greys, 0) << "text alone has grey edges";
}

// The page depends on the bytes, not on how often it is looked at: split
// into runs (each run's end a look at the picture, which then grows within
// its room) it is the page drawn whole, pixel for pixel and in size.
TEST(PclPage, LookingBetweenRunsChangesNoPixel) {
    std::string tall = start;
    for (int y = 0; y < 1500; ++y)
        tall += row({static_cast<uint8_t>(y), 0x81});
    const std::pair<const char*, std::string> streams[] = {
        {"a block growing past its room", tall},
        {"blank RGB rows before longer ones",
         esc("*r3U") + start + row({}) + row({}, -1, 'V') + row({0xF0}, -1, 'V') + row({0, 0x0F})},
        {"text, raster, then text above", "AB\r\n" + start + row({0xFF}) + esc("*p0Y") + "CD"},
    };
    for (const auto& [what, stream] : streams) {
        PrinterPlot whole(PlotterModel::pcl, false), split(PlotterModel::pcl, false);
        whole.print(stream);
        for (size_t at = 0; at < stream.size(); at += 7)
            split.run(stream.substr(at, 7));
        split.end();
        EXPECT_EQ(split.page().width, whole.page().width) << what;
        EXPECT_EQ(split.page().height, whole.page().height) << what;
        EXPECT_TRUE(samePixels(split.page(), whole.page())) << what;
    }
}
