// Copies of the demo page in every format, rasterised by other programs and
// laid over the page's own raster; refused and failed copies leave no file.

#include "output/direct_copy.h"
#include "output/vector_copy.h"
#include "page/display_list.h"
#include "support/in_process_plot.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <cairo.h>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <sys/resource.h>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>

namespace plotanix {
namespace {

using Ink = std::vector<bool>; // the inked pixels of an 800 x 600 page, row by row

// Pictures are 800 x 600 unless a copy's paper makes them otherwise.
struct Size {
    int width = 800, height = 600;
};

void mark(Ink& ink, int x, int y, Colour rgb, int width = 800) { // any channel clearly below white
    if ((rgb & 0xFF) < 0xE0 || (rgb >> 8 & 0xFF) < 0xE0 || (rgb >> 16 & 0xFF) < 0xE0)
        ink[size_t(y) * size_t(width) + size_t(x)] = true;
}

// A copy read back with cairo: a page pixel is inked when any of its image
// pixels is. Of the size expected, or when none is, of its own (told there).
Ink inkOfPng(const std::string& file, int scale, Size* own = nullptr) {
    cairo_surface_t* png = cairo_image_surface_create_from_png(file.c_str());
    Size size{cairo_image_surface_get_width(png) / scale,
              cairo_image_surface_get_height(png) / scale};
    if (own) {
        *own = size;
    } else {
        EXPECT_EQ(size.width, 800);
        EXPECT_EQ(size.height, 600);
        size = {};
    }
    const unsigned char* data = cairo_image_surface_get_data(png);
    Ink ink(size_t(size.width) * size_t(size.height));
    for (int y = 0; data && y < size.height * scale; ++y) {
        const auto* row = reinterpret_cast<const uint32_t*>(
            data + size_t(y) * size_t(cairo_image_surface_get_stride(png)));
        for (int x = 0; x < size.width * scale; ++x) // opaque pages: no premultiplying to undo
            mark(ink, x / scale, y / scale,
                 (row[x] >> 16 & 0xFF) | (row[x] & 0xFF00) | (row[x] & 0xFF) << 16, size.width);
    }
    cairo_surface_destroy(png);
    return ink;
}

// Pixels inked in one with no ink within one pixel in the other.
int strays(const Ink& one, const Ink& other, Size size = {}) {
    const int w = size.width, h = size.height;
    const auto near = [&](int x, int y) {
        for (int j = std::max(0, y - 1); j <= std::min(h - 1, y + 1); ++j)
            for (int i = std::max(0, x - 1); i <= std::min(w - 1, x + 1); ++i)
                if (other[size_t(j) * size_t(w) + size_t(i)]) return true;
        return false;
    };
    int count = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            if (one[size_t(y) * size_t(w) + size_t(x)] && !near(x, y) && ++count <= 5)
                ADD_FAILURE() << "pixel (" << x << ", " << y << ")";
    return count;
}

// Every format of the list's copy, rasterised again by other programs,
// lands on the page's raster within one pixel.
void expectCopiesOnTheRaster(const PageImage& page, const DisplayList& list,
                             const testing::TempDir& dir) {
    Ink raster(800 * 600);
    for (int y = 0; y < 600; ++y)
        for (int x = 0; x < 800; ++x)
            mark(raster, x, y, page.pixel(x, y));
    const std::tuple<CopyFormat, int, std::string, std::string> cases[] = {
        // format, scale, file, command rasterising it into copy.png
        {CopyFormat::svg, 1, "page.svg", "rsvg-convert -o copy.png page.svg"},
        {CopyFormat::pdf, 1, "page.pdf",
         "pdfinfo page.pdf | grep -Ec '^(Pages: +1|Page size: +800 x 600 pts)$' | grep -q 2 && "
         "pdftoppm -r 72 -png -singlefile page.pdf copy"},
        {CopyFormat::png, 1, "copy.png", "true"},
        {CopyFormat::png, 4, "copy.png", "true"},
    };
    for (const auto& [format, scale, name, rasterise] : cases) {
        SCOPED_TRACE(name + std::to_string(scale));
        std::string reason;
        ASSERT_TRUE(writePageCopy(list, dir.file(name), format, scale, reason)) << reason;
        ASSERT_EQ(std::system(("cd " + dir.path().string() + " && " + rasterise).c_str()), 0);
        const Ink copy = inkOfPng(dir.file("copy.png"), scale);
        EXPECT_EQ(strays(raster, copy) + strays(copy, raster), 0);
    }
}

class DemoPage : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(testing::labelFont());
        plot.session.keepDisplayList(true);
        plot.session.blankPage();
        plot.run(testing::readFile(PLOTANIX_SOURCE_DIR "/tools/demo_drawing.hpgl"));
    }
    bool write(const std::string& name, CopyFormat format, int scale = 1) {
        return writePageCopy(list(), dir.file(name), format, scale, reason);
    }
    const DisplayList& list() { return *plot.session.displayList(); }

    testing::InProcessPlot plot;
    testing::TempDir dir;
    std::string reason;
};

TEST_F(DemoPage, EveryFormatLandsOnTheRasterWithinOnePixel) {
    expectCopiesOnTheRaster(plot.page(), list(), dir);
}

TEST(FilledPage, FillsAndWideLinesLandOnTheRasterWithinOnePixel) {
    testing::InProcessPlot plot(nullptr, PlotterModel::hpgl2);
    plot.session.keepDisplayList(true);
    plot.session.blankPage();
    // Squares with holes by either rule, a wedge, and a wide path with round ends.
    const std::string holed =
        "PR;PD4000,0,0,4000,-4000,0,0,-4000;PU1000,1000;PD2000,0,0,2000,-2000,0,0,-2000;PM2;PU;";
    plot.run("PA500,500;PM0;" + holed + "FP;PA5000,500;PM0;" + holed + "FP1;" +
             "PA8000,6000;WG1500,30,270;PW3;LA1,4,2,4;PA500,6000;PD4000,7000,6000,5000;");
    testing::TempDir dir;
    expectCopiesOnTheRaster(plot.page(), *plot.session.displayList(), dir);
}

// Separate lines of one colour in a row are one path of the SVG, on a page
// of few lines as on one of many; either way on the raster.
TEST(ManyLines, PagesOfManyLinesJoinTheirStrokesAndStillLandOnTheRaster) {
    const std::pair<int, size_t> cases[] = {{30, 1}, {60000, 60}}; // lines, SVG paths
    for (const auto& [lines, paths] : cases) {
        SCOPED_TRACE(lines);
        testing::InProcessPlot plot(nullptr, PlotterModel::hp7470a);
        plot.session.keepDisplayList(true);
        plot.session.blankPage();
        std::string hpgl = "IN;";
        for (int i = 0; i < lines; ++i) {
            const int x = 100 + i * 37 % 9800, y = 100 + i * 101 % 7400;
            if (i % 1000 == 0) hpgl += "SP" + std::to_string(1 + i / 1000 % 6) + ";";
            hpgl += "PU" + std::to_string(x) + "," + std::to_string(y) + ";PD" +
                    std::to_string(x + 50) + "," + std::to_string(y + 20) + ";";
        }
        plot.run(hpgl);
        testing::TempDir dir;
        expectCopiesOnTheRaster(plot.page(), *plot.session.displayList(), dir);
        const std::string svg = testing::readFile(dir.file("page.svg"));
        size_t found = 0;
        for (size_t at = svg.find("<path"); at != std::string::npos; at = svg.find("<path", at + 1))
            ++found;
        EXPECT_EQ(found, paths);
    }
}

// SVG and PDF copies are written directly, not through cairo, unless a
// label in the label face asks for its glyphs: rasterised, they show what
// cairo's copies showed, within anti-aliasing, on the picture's own page
// and on paper at true size.
TEST(DirectCopies, ShowWhatCairosCopiesShowed) {
    testing::InProcessPlot lines(nullptr, PlotterModel::hp7470a);
    std::string hpgl = "IN;";
    for (int i = 0; i < 300; ++i) { // separate lines and polylines, six pens
        if (i % 50 == 0) hpgl += "SP" + std::to_string(1 + i / 50) + ";";
        const int x = 100 + i * 37 % 9800, y = 100 + i * 101 % 7400;
        hpgl += "PU" + std::to_string(x) + "," + std::to_string(y) + ";PD" +
                std::to_string(x + 300) + "," + std::to_string(y + 120) +
                (i % 3 == 0 ? "," + std::to_string(x + 500) + "," + std::to_string(y) : "") + ";";
    }
    testing::InProcessPlot areas(nullptr, PlotterModel::hpgl2);
    const std::string holed =
        "PR;PD4000,0,0,4000,-4000,0,0,-4000;PU1000,1000;PD2000,0,0,2000,-2000,0,0,-2000;PM2;PU;";
    const std::pair<testing::InProcessPlot*, std::string> pages[] = {
        {&lines, hpgl},
        {&areas, "PA500,500;PM0;" + holed + "FP;PA5000,500;PM0;" + holed + "FP1;" +
                     "PA8000,6000;WG1500,30,270;PW3;LA1,4,2,4;PA500,6000;PD4000,7000,6000,5000;"},
    };
    const std::optional<PaperPlacement> sheets[] = {
        std::nullopt, PaperPlacement{279.4, 215.9, 0.321875, 10.789, 10.611}};
    const std::pair<CopyFormat, std::string> formats[] = {
        {CopyFormat::svg, "rsvg-convert -o FILE.png FILE.svg"},
        {CopyFormat::pdf, "pdftoppm -r 72 -png -singlefile FILE.pdf FILE"},
    };
    for (const auto& [plot, stream] : pages) {
        plot->session.keepDisplayList(true);
        plot->session.blankPage();
        plot->run(stream);
        const DisplayList& list = *plot->session.displayList();
        ASSERT_TRUE(list.labels().empty());
        for (const auto& sheet : sheets) {
            for (const auto& [format, rasterise] : formats) {
                SCOPED_TRACE(stream.substr(0, 20) + (sheet ? " on paper" : "") + " " +
                             rasterise.substr(0, 5));
                testing::TempDir dir;
                Ink ink[2];
                Size size[2];
                for (const bool cairo : {false, true}) {
                    const std::string name = cairo ? "cairo" : "direct";
                    const std::string file =
                        dir.file(name + (format == CopyFormat::svg ? ".svg" : ".pdf"));
                    std::string reason;
                    ASSERT_TRUE(writePageCopy(list, file, {format, 1, sheet, cairo}, reason))
                        << reason;
                    std::string command = rasterise;
                    for (size_t at; (at = command.find("FILE")) != std::string::npos;)
                        command.replace(at, 4, name);
                    ASSERT_EQ(std::system(("cd " + dir.path().string() + " && " + command).c_str()),
                              0);
                    ink[cairo] = inkOfPng(dir.file(name + ".png"), 1, &size[cairo]);
                }
                ASSERT_EQ(size[0].width, size[1].width);
                ASSERT_EQ(size[0].height, size[1].height);
                EXPECT_EQ(strays(ink[0], ink[1], size[0]) + strays(ink[1], ink[0], size[0]), 0);
            }
        }
    }
}

// A list that spilled most of what it held into its copy's own text gives
// the copy the whole list gives, rasterised, within anti-aliasing.
TEST(DirectCopies, SpilledListsShowWhatWholeListsShow) {
    DisplayList whole;
    const auto lines = [](DisplayList& list) {
        for (int i = 0; i < 60000; ++i) { // polylines and separate lines in three colours
            const float x = float(i * 37 % 780), y = float(i * 101 % 580);
            const Colour colour = i / 7000 % 3 == 0 ? 0xFF0000 : i / 7000 % 3 == 1 ? 0xFF00 : 0;
            list.addLine({x, y}, {x + 9, y + 4}, colour);
            if (i % 5 == 0) list.addLine({x + 9, y + 4}, {x + 15, y}, colour);
        }
        list.addBox({{10, 10}, 30, 20}, 0xFF);
    };
    lines(whole);
    for (const auto& [format, rasterise] :
         {std::pair{CopyFormat::svg, std::string("rsvg-convert -o FILE.png FILE.svg")},
          std::pair{CopyFormat::pdf,
                    std::string("pdftoppm -r 72 -png -singlefile FILE.pdf FILE")}}) {
        SCOPED_TRACE(rasterise.substr(0, 5));
        DisplayList spilled;
        spilled.spillInto(copySpill(format));
        lines(spilled);
        ASSERT_NE(spilled.spilled(), nullptr);
        testing::TempDir dir;
        Ink ink[2];
        for (int i = 0; i < 2; ++i) {
            const std::string name = i == 0 ? "whole" : "spilled";
            std::string reason;
            ASSERT_TRUE(writePageCopy(
                i == 0 ? whole : spilled,
                dir.file(name + (format == CopyFormat::svg ? ".svg" : ".pdf")), format, 1, reason))
                << reason;
            std::string command = rasterise;
            for (size_t at; (at = command.find("FILE")) != std::string::npos;)
                command.replace(at, 4, name);
            ASSERT_EQ(std::system(("cd " + dir.path().string() + " && " + command).c_str()), 0);
            ink[i] = inkOfPng(dir.file(name + ".png"), 1);
        }
        EXPECT_EQ(strays(ink[0], ink[1]) + strays(ink[1], ink[0]), 0);
    }
}

// writePageCopy's result in a child (so the file size limit stays there); -1 if it failed.
int writeUnderSizeLimit(const DisplayList& list, const std::string& name, rlim_t limit) {
    const pid_t child = ::fork();
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit fileSize{limit, limit};
        ::setrlimit(RLIMIT_FSIZE, &fileSize);
        std::string reason;
        ::_exit(writePageCopy(list, name, CopyFormat::pdf, 1, reason) ? 1 : 0);
    }
    int status = 0;
    const bool ended = child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status);
    return ended ? WEXITSTATUS(status) : -1;
}

TEST_F(DemoPage, FailedOrRefusedCopiesLeaveNoFileAndSayWhy) {
    const std::string existing = dir.file("page.pdf");
    testing::writeFile(existing, "an older copy");
    EXPECT_EQ(writeUnderSizeLimit(list(), existing, 4096), 0);
    EXPECT_EQ(testing::readFile(existing), "an older copy");

    EXPECT_FALSE(write("missing/page.svg", CopyFormat::svg));
    EXPECT_TRUE(reason.ends_with("directory")) << reason;
    EXPECT_FALSE(write("page.png", CopyFormat::png, 9));
    EXPECT_EQ(reason, "the scale must be 1 to 8");

    DisplayList full;
    for (size_t i = 0; i <= DisplayList::maxItems; ++i)
        full.addLine({float(i & 1), 0}, {float(~i & 1), 0}, 0);
    EXPECT_EQ(full.recorded(), DisplayList::maxItems);
    EXPECT_FALSE(writePageCopy(full, dir.file("full.svg"), CopyFormat::svg, 1, reason));
    EXPECT_TRUE(reason.starts_with("the page holds more than 2097152 drawn items")) << reason;
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

} // namespace
} // namespace plotanix
