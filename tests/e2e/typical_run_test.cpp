// The typical run, end to end: the computer sends two lines and a label and
// falls silent; the operator sees the page, saves it and quits. And a
// computer that pauses mid-plot while the page menu waits.

#include "plotter_harness.h"

#include "support/wait_until.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace plotanix::testing {
namespace {

const std::string typicalStream = "SP1;PU100,100;PD200,100,200,200;LBHI\x03;";

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
    // The pixels are the model's own (the model's tests check its drawing).
    EXPECT_EQ(differingPixels(plotter.savedPage(1), *expectedPage({typicalStream})), 0);

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
// pair, for longer than the silence that ends a run, then goes on while the
// page menu waits: plotting resumes and the page is the uninterrupted
// stream's.
TEST(TypicalRun, APauseMidPlotAtThePageMenuChangesNothing) {
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
}

} // namespace
} // namespace plotanix::testing
