// The start screen and its menu, and what each way through it leaves of
// PLOTTER.TXT.

#include "plotter_harness.h"

#include "support/wait_until.h"

#include <gtest/gtest.h>

namespace plotanix::testing {
namespace {

TEST(StartMenu, ShowsTheBannerAndTheMenu) {
    PlotterSession plotter;
    ASSERT_TRUE(plotter.start()) << plotter.failure();
    const auto rows = plotter.rows();
    const std::string rule = repeated("═", 27), side = "║" + std::string(27, ' ') + "║░";
    const std::vector<std::string> banner = {"╔" + rule + "╗",
                                             side,
                                             "║  Plotanix" + std::string(17, ' ') + "║░",
                                             side,
                                             "╚" + rule + "╝░",
                                             " " + repeated("░", 29)};
    EXPECT_EQ(std::vector<std::string>(rows.begin() + 1, rows.begin() + 7), banner);
    EXPECT_EQ(rows[0] + rows[7], "");
    EXPECT_NE(rows[8], "") << "the information line";
    const std::vector<std::string> menu = {"", " 1: Start plotting!", " 2: Set options", " 3: Quit",
                                           "", "Your choice :"};
    EXPECT_EQ(std::vector<std::string>(rows.begin() + 9, rows.begin() + 15), menu);
    EXPECT_EQ(plotter.tmux().query("#{cursor_x},#{cursor_y}"), "14,14");
    EXPECT_EQ(plotter.tmux().query("#{pane_title}"), "Plotanix");
}

// Keys are handled in the order typed: once the options screen is up for a
// "2" typed after them, the keys before it have been taken, and they neither
// started plotting nor redrew the start screen. Leaving the options screen
// draws the start screen anew; keys typed with a menu key are dropped. Every
// drawing shows in what the program writes to its terminal (tmux's
// pipe-pane), even when the screen itself looks the same afterwards.
TEST(StartMenu, OnlyMenuKeysCountAndOptionsReturnToAFreshScreen) {
    PlotterSession plotter;
    ASSERT_TRUE(plotter.start()) << plotter.failure();
    TempDir output;
    const std::string path = output.file("output");
    plotter.tmux().tmux({"pipe-pane", "-o", "-t", "main", "cat >> " + shellQuote(path)});
    auto count = [&](const std::string& what) {
        const std::string text = readFile(path);
        std::size_t found = 0;
        for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            ++found;
        return found;
    };
    auto waitDrawn = [&](const std::string& what, std::size_t times) {
        return waitUntil([&] { return count(what) >= times; });
    };

    ASSERT_TRUE(plotter.pressKey("x9 "));
    ASSERT_TRUE(plotter.pressNamed("Enter"));
    ASSERT_TRUE(plotter.pressKey("21")); // the 1 is dropped, not an option picked
    ASSERT_TRUE(waitDrawn("Option :", 1)) << plotter.screen();
    EXPECT_EQ(count("Your choice"), 0u) << "a key other than 2 redrew the screen";
    ASSERT_TRUE(plotter.pressNamed("Escape"));
    ASSERT_TRUE(waitDrawn("Your choice", 1)) << plotter.screen();
    ASSERT_TRUE(plotter.pressKey("2"));
    ASSERT_TRUE(waitDrawn("Option :", 2)) << plotter.screen();
    ASSERT_TRUE(plotter.pressNamed("Enter"));
    ASSERT_TRUE(waitDrawn("Your choice", 2)) << plotter.screen();
    EXPECT_EQ(count("Option :"), 2u);
    EXPECT_EQ(plotter.rows()[14], "Your choice :") << plotter.screen();
    EXPECT_FALSE(plotter.hasFile("PLOTTER.TXT")) << "plotting started";

    ASSERT_TRUE(plotter.startPlotting()) << plotter.failure();
    EXPECT_TRUE(plotter.hasFile("PLOTTER.TXT"));
}

// The port and the folder from the command line, without PLOTANIX_COM1: the
// transcript and the page go to that folder, nothing to the working one.
TEST(StartMenu, PortAndFolderFromTheCommandLine) {
    TempDir folder;
    PlotterOptions options;
    options.arguments = {"--port", "@PTY@", "--dir", folder.path().string()};
    PlotterSession plotter(options);
    ASSERT_TRUE(plotter.startPlotting()) << plotter.failure();
    const std::string run = "SP1;PA100,100;PD200,100,200,200;";
    ASSERT_TRUE(plotter.sendLine(run));
    ASSERT_TRUE(plotter.waitPageMenu()) << plotter.screen();
    ASSERT_TRUE(plotter.choose("1", 11, "Command : 1  Ok.")) << plotter.screen();
    expectCleanQuit(plotter);
    EXPECT_EQ(readFile(folder.file("PLOTTER.TXT")), run + marker("SAVE PAGE #1"));
    const DecodedPng page = decodePng(readFile(folder.file(savedPageName(1))));
    EXPECT_EQ(differingPixels(page, *expectedPage({run})), 0);
    EXPECT_FALSE(plotter.hasFile("PLOTTER.TXT"));
    EXPECT_FALSE(plotter.hasFile(savedPageName(1)));
}

// "3" ends at once: no transcript is made, and an earlier one is left as it was.
TEST(StartMenu, QuitEndsAtOnceAndLeavesTheTranscriptAlone) {
    for (const std::string earlier : {"", "SP1;PA1,1;\r\n**** SAVE PAGE #1 ****\r\n\r\n"}) {
        PlotterSession plotter;
        if (!earlier.empty()) writeFile(plotter.file("PLOTTER.TXT"), earlier);
        ASSERT_TRUE(plotter.start()) << plotter.failure();
        ASSERT_TRUE(plotter.pressKey("3"));
        EXPECT_EQ(plotter.waitForExit(), 0) << plotter.screen() << plotter.sanitizerReport();
        EXPECT_TRUE(plotter.terminalRestored());
        EXPECT_EQ(plotter.hasFile("PLOTTER.TXT"), !earlier.empty());
        EXPECT_EQ(plotter.transcript(), earlier);
        EXPECT_EQ(plotter.sanitizerReport(), "");
    }
}

TEST(StartMenu, AnEarlierLongerTranscriptIsCutToWhatThisStartWrote) {
    PlotterSession plotter;
    writeFile(plotter.file("PLOTTER.TXT"), std::string(10000, 'x'));
    ASSERT_TRUE(plotter.startPlotting()) << plotter.failure();
    std::string stream;
    for (int i = 0; stream.size() < 100; ++i)
        stream += "PA" + std::to_string(i) + ",0;";
    ASSERT_TRUE(plotter.sendLine(stream));
    ASSERT_TRUE(plotter.waitPageMenu()) << plotter.screen();
    expectCleanQuit(plotter);
    EXPECT_EQ(plotter.transcript(), stream);
}

} // namespace
} // namespace plotanix::testing
