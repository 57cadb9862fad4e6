// plotanix-render --overlay run as a program: several inputs on one page,
// each wholly in a colour of its own, with a legend naming them in it.

#include "support/png_file.h"
#include "support/temp_dir.h"
#include "support/tmux_session.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <sys/wait.h>

namespace plotanix {
namespace {

using testing::readFile;
using testing::readPng;
using testing::shellQuote;
using testing::TempDir;
using testing::writeFile;

constexpr uint32_t white = 0xFFFFFF, black = 0x000000, red = 0xFF0000, blue = 0x0000FF;

// A 7470A file (black, blue), an HP-GL/2 file (black, red: PW makes it
// HP-GL/2) and another 7470A file (black).
const std::vector<std::pair<std::string, std::string>> inputs = {
    {"before.hpgl", "IN;SP1;PA500,500;PD9800,7000;SP2;PA500,3000;PD9800,3000;"},
    {"after.plt", "IN;PW0;SP1;PA500,7000;PD9800,500;SP2;PA5000,500;PD5000,7000;"},
    {"third.hpgl", "IN;SP1;PA500,6000;PD9800,6000;"},
};

int render(const TempDir& dir, const std::string& words) {
    const int status = std::system(("cd " + shellQuote(dir.path()) + " && " +
                                    shellQuote(PLOTANIX_RENDER) + " -q " + words + " 2>err.txt")
                                       .c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class Overlay : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const auto& [name, plot] : inputs) {
            writeFile(dir.file(name), plot);
            ASSERT_EQ(render(dir, "-o " + name + ".png " + name), 0) << name;
            alone.push_back(readPng(dir.file(name + ".png")));
        }
    }
    // Each overlay pixel is the last input's that inked it, in that input's
    // colour; white where none did.
    void expectUnion(const testing::DecodedPng& overlay, const std::vector<uint32_t>& colours) {
        ASSERT_EQ(overlay.error, "");
        int mismatches = 0;
        for (uint32_t y = 0; y < overlay.height; ++y)
            for (uint32_t x = 0; x < overlay.width; ++x) {
                uint32_t expected = white;
                for (size_t k = 0; k < alone.size(); ++k)
                    if (const uint32_t ink = alone[k].pixel(x, y); ink != white)
                        expected = colours[k];
                mismatches += overlay.pixel(x, y) != expected;
            }
        EXPECT_EQ(mismatches, 0);
    }
    TempDir dir;
    std::vector<testing::DecodedPng> alone;
};

// Every pen of an input in its one colour: by default the palette's in
// turn (black, red, blue), or as given, the inputs left out taking the
// palette's colours not taken.
TEST_F(Overlay, InkIsTheUnionOfTheInputsEachInItsOwnColour) {
    struct Case {
        std::string colours;
        std::vector<uint32_t> expected;
    };
    for (const Case& c : {Case{"", {black, red, blue}},
                          Case{"--overlay-colours '#00aa00,magenta'", {black, 0x00AA00, 0xFF00FF}},
                          Case{"--overlay-colours black", {red, black, blue}}}) {
        SCOPED_TRACE(c.colours);
        ASSERT_EQ(render(dir, "--overlay --no-legend " + c.colours +
                                  " -o overlay.png before.hpgl after.plt third.hpgl"),
                  0)
            << readFile(dir.file("err.txt"));
        expectUnion(readPng(dir.file("overlay.png")), c.expected);
    }
}

// The legend adds ink only in the page's top-left corner: a row for each
// input, in the very colour of its lines.
TEST_F(Overlay, TheLegendNamesEachInputInItsColour) {
    ASSERT_EQ(render(dir, "--overlay -o legend.png before.hpgl after.plt"), 0);
    ASSERT_EQ(render(dir, "--overlay --no-legend -o plain.png before.hpgl after.plt"), 0);
    const testing::DecodedPng legend = readPng(dir.file("legend.png")),
                              plain = readPng(dir.file("plain.png"));
    std::map<uint32_t, int> added; // colour -> pixels
    uint32_t right = 0, bottom = 0;
    for (uint32_t y = 0; y < legend.height; ++y)
        for (uint32_t x = 0; x < legend.width; ++x)
            if (legend.pixel(x, y) != plain.pixel(x, y)) {
                ++added[legend.pixel(x, y)];
                right = std::max(right, x), bottom = std::max(bottom, y);
            }
    std::map<uint32_t, int> lines; // colour -> pixels of the inputs' own
    for (uint32_t y = 0; y < plain.height; ++y)
        for (uint32_t x = 0; x < plain.width; ++x)
            ++lines[plain.pixel(x, y)];
    lines.erase(white);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(added.size(), 2u);
    for (const auto& [colour, pixels] : lines)
        EXPECT_GT(added[colour], 20) << std::hex << colour;
    EXPECT_LT(right, 200u);
    EXPECT_LT(bottom, 100u);
}

// SVG and PDF draw the same page as vectors on the first input's paper.
TEST_F(Overlay, EveryFormat) {
    ASSERT_EQ(render(dir, "--overlay --no-legend -o overlay.pdf before.hpgl after.plt"), 0);
    ASSERT_EQ(std::system(("cd " + shellQuote(dir.path()) +
                           " && pdftoppm -r 72 -png -singlefile overlay.pdf printed")
                              .c_str()),
              0);
    const testing::DecodedPng printed = readPng(dir.file("printed.png"));
    EXPECT_EQ(std::make_pair(printed.width, printed.height), std::make_pair(792u, 612u));
    std::map<uint32_t, int> colours;
    for (uint32_t y = 0; y < printed.height; ++y)
        for (uint32_t x = 0; x < printed.width; ++x)
            ++colours[printed.pixel(x, y)];
    EXPECT_GT(colours[white], int(printed.width * printed.height * 9 / 10));
    for (const uint32_t ink : {black, red})
        EXPECT_GT(colours[ink], 100) << std::hex << ink;
    EXPECT_EQ(colours[blue], 0) << "the first input's blue pen is drawn black";

    ASSERT_EQ(render(dir, "--overlay -o overlay.svg before.hpgl after.plt"), 0);
    const std::string svg = readFile(dir.file("overlay.svg"));
    EXPECT_NE(svg.find("width=\"279.4mm\""), std::string::npos);
    EXPECT_NE(svg.find("stroke=\"#ff0000\""), std::string::npos); // the second input's red
}

TEST_F(Overlay, UsageErrorsAreOneLine) {
    for (const std::string words :
         {"--overlay -o one.png before.hpgl", "--overlay before.hpgl after.plt",
          "--overlay -o o.png --overlay-colours purple before.hpgl after.plt",
          "--overlay-colours red -o o.png before.hpgl", "--overlay -o o.png - before.hpgl"}) {
        EXPECT_EQ(render(dir, words), 2) << words;
        const std::string err = readFile(dir.file("err.txt"));
        EXPECT_EQ(err.rfind("plotanix-render: ", 0), 0u) << err;
        EXPECT_FALSE(std::filesystem::exists(dir.file("o.png"))) << words;
    }
}

} // namespace
} // namespace plotanix
