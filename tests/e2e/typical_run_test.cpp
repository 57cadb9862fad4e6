// The typical run, end to end: the computer sends two lines and a label and
// falls silent; the operator sees the page, saves it and quits. And the
// transcript of a session, byte for byte: chunks as the computer's pauses
// cut them, the record of an unknown instruction behind the chunk that held
// it, the operator's page markers, the OI reply kept out.

#include "plotter_harness.h"

#include "support/wait_until.h"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <thread>

namespace plotanix::testing {
namespace {

const std::string typicalStream = "SP1;PU100,100;PD200,100,200,200;LBHI\x03;";

constexpr uint32_t white = 0xFFFFFF;
constexpr uint32_t black = 0x000000;

// Plotter (100,100)-(200,100)-(200,200) is picture (180,440)-(280,440)-(280,340).
bool onLines(int x, int y) {
    return (y == 440 && x >= 180 && x <= 280) || (x == 280 && y >= 340 && y <= 440);
}

// "HI" from pen (200,200): a 20 x 19 cell, left edge on column 280, its
// vertical middle on row 340.
bool inLabelCell(int x, int y) {
    return x >= 280 && x < 300 && y >= 331 && y < 350;
}

void expectTypicalPage(const DecodedPng& png) {
    ASSERT_EQ(png.error, "");
    ASSERT_EQ(png.rgb.size(), 800u * 600u * 3u);

    long wrong = 0;
    int inkTop = 600, inkBottom = -1, inkLeft = 800, inkRight = -1;
    bool inkLeftHalf = false, inkRightHalf = false;
    for (int y = 0; y < 600; ++y) {
        for (int x = 0; x < 800; ++x) {
            const uint32_t colour = colourAt(png, x, y);
            if (onLines(x, y)) {
                wrong += colour != black;
            } else if (inLabelCell(x, y)) {
                if (colour == white) continue;
                inkTop = std::min(inkTop, y), inkBottom = std::max(inkBottom, y);
                inkLeft = std::min(inkLeft, x), inkRight = std::max(inkRight, x);
                (x < 290 ? inkLeftHalf : inkRightHalf) = true;
            } else {
                wrong += colour != white;
            }
        }
    }
    EXPECT_EQ(wrong, 0) << "pixels off the two lines that are not white, or line pixels not black";
    // Capitals sit inside the cell, clear of its top (ascent above them) and
    // of its bottom (descent below the baseline), around row 340.
    EXPECT_GT(inkTop, 331);
    EXPECT_LT(inkBottom, 349);
    EXPECT_NEAR((inkTop + inkBottom) / 2.0, 340, 3.0);
    EXPECT_LE(inkLeft, 283) << "the H does not start at the pen";
    EXPECT_GE(inkRight, 292);
    EXPECT_TRUE(inkLeftHalf) << "the first letter is drawn";
    EXPECT_TRUE(inkRightHalf) << "the second letter is drawn beside it";
}

TEST(TypicalRun, PlotsShowsSavesAndQuits) {
    PlotterSession plotter;
    ASSERT_TRUE(plotter.startPlotting()) << plotter.failure();
    ASSERT_TRUE(plotter.sendLine(typicalStream));
    ASSERT_TRUE(plotter.waitPageMenu(4)) << plotter.screen();

    const std::vector<std::string> menuScreen = {"Plotter ON LINE",
                                                 "",
                                                 "Instructions : 4  Ignored : 0",
                                                 "",
                                                 "The HP has stopped sending instructions",
                                                 "",
                                                 " 1: Save as PNG image",
                                                 " 2: Insert new page",
                                                 " 3: Continue Plotting",
                                                 " 4: Quit",
                                                 "",
                                                 "Command :"};
    auto rows = plotter.rows();
    EXPECT_EQ(std::vector<std::string>(rows.begin(), rows.begin() + 12), menuScreen);
    for (std::size_t row = 12; row < rows.size(); ++row)
        EXPECT_EQ(rows[row], "") << "row " << row;
    EXPECT_EQ(plotter.tmux().query("#{cursor_x},#{cursor_y}"), "10,11");
    // The whole run is on disk while the menu waits.
    EXPECT_EQ(plotter.transcript(), typicalStream);

    // Centred on the 1024 x 768 display.
    std::optional<WindowGeometry> window;
    ASSERT_TRUE(waitUntil([&] { return (window = findWindow("HP Plotter")).has_value(); }))
        << "no plot window";
    EXPECT_EQ(window->width, 800);
    EXPECT_EQ(window->height, 600);
    EXPECT_EQ(window->x, (1024 - 800) / 2);
    EXPECT_EQ(window->y, (768 - 600) / 2);

    ASSERT_TRUE(plotter.choose("1", 11, "Command : 1  Ok.")) << plotter.screen();
    const std::filesystem::path folder = std::filesystem::path(plotter.file(".")).parent_path();
    EXPECT_TRUE(plotter.waitRow(12, "   Written: PLOTTER_00001.PNG in " +
                                        std::filesystem::canonical(folder).string()))
        << plotter.screen();
    ASSERT_TRUE(plotter.waitRow(13, "Command : ")) << plotter.screen();
    const DecodedPng saved = plotter.savedPage(1);
    expectTypicalPage(saved);
    EXPECT_EQ(differingPixels(saved, *expectedPage({typicalStream})), 0)
        << "not the page the HP-86B model draws";

    expectCleanQuit(plotter);
    EXPECT_TRUE(plotter.terminalRestored());
    EXPECT_EQ(plotter.transcript(), typicalStream + marker("SAVE PAGE #1"));
    EXPECT_FALSE(plotter.hasFile(savedPageName(2)));
}

// The port (as the plain argument), the line and the folder from the
// command line, without PLOTANIX_COM1: the start screen and the wait show
// the line, the host's XON and XOFF are not data, and the transcript and
// the page go to that folder, nothing to the working one.
TEST(TypicalRun, PortLineAndFolderFromTheCommandLine) {
    TempDir folder;
    PlotterOptions options;
    options.arguments = {"--databits",           "8",    "--flow", "xonxoff", "--dir",
                         folder.path().string(), "@PTY@"};
    PlotterSession plotter(options);
    ASSERT_TRUE(plotter.start()) << plotter.failure();
    EXPECT_TRUE(plotter.waitScreen("HP-86B at 9600 8N1 xonxoff on serial line"))
        << plotter.screen();
    ASSERT_TRUE(plotter.startPlotting()) << plotter.failure();
    // While it waits, the line and the folder under "Waiting...".
    EXPECT_TRUE(plotter.waitRow(3, "Line: " + plotter.linePath() + " at 9600 8N1 xonxoff"))
        << plotter.screen();
    EXPECT_TRUE(plotter.waitRow(4, "Pages and PLOTTER.TXT go to " +
                                       folder.path().lexically_normal().string()))
        << plotter.screen();
    const std::string run = "SP1;PA100,100;PD200,100,200,200;";
    ASSERT_TRUE(plotter.sendLine("SP1;PA100,100;\x13\x11PD200,100,200,200;"));
    ASSERT_TRUE(plotter.waitPageMenu()) << plotter.screen();
    ASSERT_TRUE(plotter.choose("1", 11, "Command : 1  Ok.")) << plotter.screen();
    expectCleanQuit(plotter);
    EXPECT_EQ(readFile(folder.file("PLOTTER.TXT")), run + marker("SAVE PAGE #1"));
    const DecodedPng page = readPng(folder.file(savedPageName(1)));
    EXPECT_EQ(differingPixels(page, *expectedPage({run})), 0);
    EXPECT_FALSE(plotter.hasFile("PLOTTER.TXT"));
    EXPECT_FALSE(plotter.hasFile(savedPageName(1)));
}

// The computer pauses mid-plot, with the pen down and inside a coordinate
// pair, for longer than the silence that ends a run, then goes on: the page
// is the uninterrupted stream's, and plotanix-render draws the saved page
// again, pixel for pixel, from the transcript.
TEST(TypicalRun, APauseMidPlotChangesNothingAndTheTranscriptDrawsThePageAgain) {
    PlotterSession plotter;
    ASSERT_TRUE(plotter.startPlotting()) << plotter.failure();
    const std::string first = "SP2;PU;PA100,100;PD200,200;PA300,";
    const std::string second = "100;PU;";
    ASSERT_TRUE(plotter.sendLine(first));
    ASSERT_TRUE(plotter.waitPageMenu(5)) << plotter.screen();
    ASSERT_TRUE(plotter.sendLine(second));
    ASSERT_TRUE(plotter.waitPageMenu(1)) << plotter.screen(); // PA is not counted twice
    ASSERT_TRUE(plotter.choose("1", 11, "Command : 1  Ok.")) << plotter.screen();
    const DecodedPng saved = plotter.savedPage(1);
    EXPECT_EQ(differingPixels(saved, *expectedPage({first + second})), 0);
    expectCleanQuit(plotter);

    const std::string again = plotter.file("again.png");
    const std::string command = std::string(PLOTANIX_RENDER) + " " + plotter.file("PLOTTER.TXT") +
                                " -o " + again + " >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    const DecodedPng rendered = readPng(plotter.file("again-00001.png"));
    ASSERT_EQ(rendered.error, "");
    EXPECT_EQ(rendered.rgb, saved.rgb);
}

} // namespace
} // namespace plotanix::testing
