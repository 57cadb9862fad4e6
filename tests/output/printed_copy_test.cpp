// Copies of printed pages read back by other programs: the SVG is valid
// XML, the PDF opens in poppler, each at the page's true size with every
// dot where the picture has it; what is no printed page leaves no file.

#include "output/printed_copy.h"
#include "page/page_image.h"
#include "support/png_file.h"
#include "support/printer_plot.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace plotanix {
namespace {

using testing::PrinterPlot;
using testing::TempDir;

// A PCL block at this resolution and in these colours (ESC*r#U), of rows
// given as their transfers' letters and bytes ("W\xF0": a row's last plane).
std::string block(int dpi, int colours, const std::vector<std::string>& transfers) {
    std::string s =
        "\x1b*t" + std::to_string(dpi) + "R\x1b*r" + std::to_string(colours) + "U\x1b*r1A";
    for (const std::string& t : transfers)
        s += "\x1b*b" + std::to_string(t.size() - 1) + t;
    return s + "\x1b*rB";
}

int run(const TempDir& dir, const std::string& command) {
    return std::system(
        ("cd " + dir.path().string() + " && " + command + " >/dev/null 2>&1").c_str());
}

// The picture's colours as 0xRRGGBB, as the PNG reader gives them.
uint32_t shown(Colour colour) {
    return (colour & 0xFF) << 16 | (colour & 0xFF00) | (colour >> 16 & 0xFF);
}

// Every pixel of the rasterised copy, scale times the page's size, against
// the picture's (at the middle of its square); the first that differs.
std::string differs(const PageImage& page, const testing::DecodedPng& png, int scale = 1) {
    if (!png.error.empty()) return png.error;
    if (png.width != uint32_t(scale * page.width) || png.height != uint32_t(scale * page.height))
        return std::to_string(png.width) + " x " + std::to_string(png.height) + " pixels";
    for (int y = 0; y < page.height; ++y) {
        for (int x = 0; x < page.width; ++x) {
            const uint32_t copy = png.pixel(scale * x + scale / 2, scale * y + scale / 2);
            if (copy != shown(page.pixel(x, y))) {
                return "pixel " + std::to_string(x) + "," + std::to_string(y);
            }
        }
    }
    return {};
}

struct Printed {
    const char* what;
    std::string stream;
    int dpi, depth;
    std::string points; // the picture's width: its dots and margins at 72/dpi points
};

const Printed printedPages[] = {
    {"black and white at 300 dpi, a bit a pixel",
     block(300, 1, {"W\xF0\x0F\xAA", "W\x81\x00\xFF", "W\x55"}), 300, 1, "9.6"},
    {"colour planes at 150 dpi, four bits a pixel",
     block(150, 3, {"V\xF0", "V\xCC", "W\xAA", "V\x0F", "V\x33", "W\x55"}), 150, 4, "11.52"},
};

TEST(PrintedCopy, SvgAndPdfShowEveryDotAtTrueSize) {
    for (const Printed& printed : printedPages) {
        PrinterPlot plot(PlotterModel::pcl);
        plot.print(printed.stream);
        const PageImage& page = plot.page();
        ASSERT_EQ(page.dpi, printed.dpi) << printed.what;
        ASSERT_EQ(page.depth, printed.depth) << printed.what;
        TempDir dir;
        // The copy drawn at the picture's size (SVG) or four times it (PDF:
        // poppler smooths an image it enlarges less).
        const std::string four = std::to_string(4 * printed.dpi);
        const struct {
            CopyFormat format;
            const char* file;
            std::string check, rasterise;
            int scale;
        } formats[] = {
            {CopyFormat::svg, "page.svg", "xmllint --noout page.svg",
             "rsvg-convert -w " + std::to_string(page.width) + " -h " +
                 std::to_string(page.height) + " -o copy.png page.svg",
             1},
            {CopyFormat::pdf, "page.pdf", "pdfinfo page.pdf",
             "pdftoppm -r " + four + " -png -singlefile page.pdf copy", 4},
        };
        for (const auto& [format, file, check, rasterise, scale] : formats) {
            std::string reason;
            ASSERT_TRUE(writePrintedCopy(page, dir.file(file), format, reason))
                << printed.what << ": " << reason;
            EXPECT_EQ(run(dir, check), 0) << printed.what << ": " << check;
            ASSERT_EQ(run(dir, rasterise), 0) << printed.what << ": " << rasterise;
            EXPECT_EQ(differs(page, testing::readPng(dir.file("copy.png")), scale), "")
                << printed.what << ", " << file;
        }
        EXPECT_EQ(run(dir, "grep -q 'width=\"" + printed.points + "pt\"' page.svg"), 0)
            << printed.what << ": the SVG's size";
        EXPECT_EQ(run(dir, "pdfinfo page.pdf | grep -q 'Page size: *" + printed.points + " x'"), 0)
            << printed.what << ": the PDF's size";
    }
}

TEST(PrintedCopy, SeveralPagesAreOnePdfEachOfItsOwnSize) {
    PrinterPlot first(PlotterModel::pcl), second(PlotterModel::pcl);
    first.print(printedPages[0].stream);
    second.print(printedPages[1].stream);
    TempDir dir;
    FILE* file = std::fopen(dir.file("pages.pdf").c_str(), "wb");
    ASSERT_NE(file, nullptr);
    const PageImage* pages[] = {&first.page(), &second.page()};
    std::string reason;
    EXPECT_TRUE(writePrintedPdfTo(file, pages, reason)) << reason;
    std::fclose(file);
    for (const auto& [page, size] : {std::pair{"1", printedPages[0].points + " x 4.56"},
                                     std::pair{"2", printedPages[1].points + " x 8.64"}})
        EXPECT_EQ(run(dir, "pdfinfo -f 1 -l 2 pages.pdf | grep -q 'Page *" + std::string(page) +
                               " size: *" + size + " pts'"),
                  0)
            << "page " << page;
}

TEST(PrintedCopy, WhatIsNoPrintedPageIsRefusedAndLeavesNoFile) {
    const std::unique_ptr<PageImage> plotted = createPageImage(80, 60, 24, 0xFFFFFF);
    std::unique_ptr<PageImage> noResolution = createPageImage(80, 60, 1);
    const struct {
        const char* what;
        const PageImage& page;
        CopyFormat format;
        std::string reason;
    } cases[] = {
        {"a plotter's page", *plotted, CopyFormat::svg, "the page is not a printed page"},
        {"a plotter's page", *plotted, CopyFormat::pdf, "the page is not a printed page"},
        {"indices without a resolution", *noResolution, CopyFormat::pdf,
         "the page is not a printed page"},
        {"an enlarged PNG", *noResolution, CopyFormat::png,
         "a printed page is written as PNG at its own resolution"},
    };
    for (const auto& c : cases) {
        TempDir dir;
        std::string reason;
        EXPECT_FALSE(writePrintedCopy(c.page, dir.file("copy"), c.format, reason)) << c.what;
        EXPECT_EQ(reason, c.reason) << c.what;
        EXPECT_TRUE(std::filesystem::is_empty(dir.path())) << c.what;
    }
}

} // namespace
} // namespace plotanix
