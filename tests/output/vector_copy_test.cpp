// Copies of the demo page in every format, rasterised by other programs and
// laid over the page's own raster; refused and failed copies leave no file.

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
#include <unistd.h>

namespace plotanix {
namespace {

using testing::TempDir;

// Any channel clearly below paper white.
bool inked(Colour rgb) {
    return (rgb & 0xFF) < 0xE0 || (rgb >> 8 & 0xFF) < 0xE0 || (rgb >> 16 & 0xFF) < 0xE0;
}

// Inked page pixels, row by row: from the raster, or from a copy read back
// with cairo where a page pixel is inked when any of its image pixels is.
struct Ink {
    std::vector<bool> at = std::vector<bool>(800 * 600);
    bool near(int x, int y) const { // within one pixel
        for (int j = std::max(0, y - 1); j <= std::min(599, y + 1); ++j) {
            for (int i = std::max(0, x - 1); i <= std::min(799, x + 1); ++i)
                if (at[size_t(j) * 800 + i]) return true;
        }
        return false;
    }
};

Ink inkOfPage(const PageImage& page) {
    Ink ink;
    for (int y = 0; y < 600; ++y) {
        for (int x = 0; x < 800; ++x)
            ink.at[size_t(y) * 800 + x] = inked(page.pixel(x, y));
    }
    return ink;
}

Ink inkOfPng(const std::string& file, int scale) {
    cairo_surface_t* png = cairo_image_surface_create_from_png(file.c_str());
    EXPECT_EQ(cairo_image_surface_get_width(png), 800 * scale);
    EXPECT_EQ(cairo_image_surface_get_height(png), 600 * scale);
    const unsigned char* data = cairo_image_surface_get_data(png);
    const int stride = cairo_image_surface_get_stride(png);
    Ink ink;
    for (int y = 0; data && y < 600 * scale; ++y) {
        const auto* row = reinterpret_cast<const uint32_t*>(data + size_t(y) * stride);
        for (int x = 0; x < 800 * scale; ++x) {
            const uint32_t argb = row[x]; // opaque pages: no premultiplying to undo
            const Colour rgb = (argb >> 16 & 0xFF) | (argb & 0xFF00) | (argb & 0xFF) << 16;
            if (inked(rgb)) ink.at[size_t(y / scale) * 800 + x / scale] = true;
        }
    }
    cairo_surface_destroy(png);
    return ink;
}

// Pixels inked on one side with no ink within one pixel on the other.
int strays(const Ink& raster, const Ink& copy) {
    int count = 0;
    for (int y = 0; y < 600; ++y) {
        for (int x = 0; x < 800; ++x) {
            const bool unmatched = raster.at[size_t(y) * 800 + x]
                                       ? !copy.near(x, y)
                                       : copy.at[size_t(y) * 800 + x] && !raster.near(x, y);
            if (unmatched && ++count <= 5) ADD_FAILURE() << "pixel (" << x << ", " << y << ")";
        }
    }
    return count;
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
    bool run(const std::string& command) {
        return std::system(("cd " + dir.path().string() + " && " + command).c_str()) == 0;
    }

    const DisplayList& list() { return *plot.session.displayList(); }
    testing::InProcessPlot plot;
    TempDir dir;
    std::string reason;
};

TEST_F(DemoPage, EveryFormatLandsOnTheRasterWithinOnePixel) {
    EXPECT_FALSE(list().overflowed());
    EXPECT_EQ(list().boxes().size(), 1u) << "the clear";
    EXPECT_EQ(list().labels().size(), 21u);
    const struct {
        CopyFormat format;
        int scale;
        const char* name;
        const char* rasterise; // into copy.png
    } cases[] = {
        {CopyFormat::svg, 1, "page.svg", "rsvg-convert -o copy.png page.svg"},
        {CopyFormat::pdf, 1, "page.pdf", "pdftoppm -r 72 -png -singlefile page.pdf copy"},
        {CopyFormat::png, 1, "copy.png", "true"},
        {CopyFormat::png, 4, "copy.png", "true"},
    };
    const Ink raster = inkOfPage(plot.page());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name + std::to_string(c.scale));
        ASSERT_TRUE(write(c.name, c.format, c.scale)) << reason;
        ASSERT_TRUE(run(c.rasterise));
        EXPECT_EQ(strays(raster,
                         inkOfPng(dir.file("copy.png"), c.format == CopyFormat::png ? c.scale : 1)),
                  0);
    }
    EXPECT_TRUE(run("xmllint --noout page.svg"));
    EXPECT_TRUE(
        run("pdfinfo page.pdf | grep -Ec '^(Pages: +1|Page size: +800 x 600 pts)$' | grep -q 2"));
}

// writePageCopy's result in a child process whose files may not grow past
// limit bytes (so the limit stays in the child); -1 if the child failed.
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
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

TEST_F(DemoPage, FailedOrRefusedCopiesLeaveNoFileAndSayWhy) {
    const std::string existing = dir.file("page.pdf");
    testing::writeFile(existing, "an older copy");
    EXPECT_EQ(writeUnderSizeLimit(list(), existing, 4096), 0);
    EXPECT_EQ(testing::readFile(existing), "an older copy");

    EXPECT_FALSE(write("missing/page.svg", CopyFormat::svg));
    EXPECT_NE(reason.find("No such file or directory"), std::string::npos) << reason;
    EXPECT_FALSE(write("page.png", CopyFormat::png, 9));
    EXPECT_EQ(reason, "the scale must be 1 to 8");

    DisplayList full;
    for (size_t i = 0; i <= DisplayList::maxItems; ++i)
        full.addLine({int32_t(i & 1), 0}, {int32_t(~i & 1), 0}, 0);
    EXPECT_TRUE(full.overflowed());
    EXPECT_EQ(full.recorded(), DisplayList::maxItems);
    EXPECT_FALSE(writePageCopy(full, dir.file("full.svg"), CopyFormat::svg, 1, reason));
    EXPECT_NE(reason.find("more than 2097152 drawn items"), std::string::npos) << reason;
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

} // namespace
} // namespace plotanix
