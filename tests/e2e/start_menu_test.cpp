// The start screen and its menu, and what each way through it leaves of
// PLOTTER.TXT.

#include "plotter_harness.h"

#include "support/wait_until.h"

#include <gtest/gtest.h>

namespace plotanix::testing {
namespace {

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

std::string repeated(const std::string& piece, int count) {
    std::string text;
    for (int i = 0; i < count; ++i)
        text += piece;
    return text;
}

// Everything the program writes to its terminal from now on, through tmux's
// pipe-pane: a redrawn start screen shows there even though the screen
// itself looks the same afterwards.
class TerminalOutput {
  public:
    explicit TerminalOutput(PlotterSession& plotter) : plotter_(plotter) {
        plotter_.tmux().tmux({"pipe-pane", "-o", "-t", "main", "cat >> " + shellQuote(path())});
    }
    std::string path() const { return directory_.file("output"); }
    std::size_t startScreensDrawn() const { return occurrences(readFile(path()), "Your choice"); }
    bool waitStartScreens(std::size_t count) const {
        return waitUntil([&] { return startScreensDrawn() >= count; });
    }

  private:
    PlotterSession& plotter_;
    TempDir directory_;
};

TEST(StartMenu, ShowsTheBannerAndTheMenu) {
    PlotterSession plotter;
    ASSERT_TRUE(plotter.start()) << plotter.failure();
    const auto rows = plotter.rows();
    const std::string rule = repeated("═", 27);
    EXPECT_EQ(rows[0], "");
    EXPECT_EQ(rows[1], "╔" + rule + "╗");
    EXPECT_EQ(rows[2], "║" + std::string(27, ' ') + "║░");
    EXPECT_EQ(rows[3], "║  Plotanix" + std::string(17, ' ') + "║░");
    EXPECT_EQ(rows[4], rows[2]);
    EXPECT_EQ(rows[5], "╚" + rule + "╝░");
    EXPECT_EQ(rows[6], " " + repeated("░", 29));
    EXPECT_EQ(rows[7], "");
    EXPECT_NE(rows[8], "") << "the information line";
    EXPECT_EQ(rows[9], "");
    EXPECT_EQ(rows[10], " 1: Start plotting!");
    EXPECT_EQ(rows[11], " 2: Set options");
    EXPECT_EQ(rows[12], " 3: Quit");
    EXPECT_EQ(rows[13], "");
    EXPECT_EQ(rows[14], "Your choice :");
    EXPECT_EQ(plotter.tmux().query("#{cursor_x},#{cursor_y}"), "14,14");
    EXPECT_EQ(plotter.tmux().query("#{pane_title}"), "Plotanix");
}

// Keys are handled in the order typed, so once the start screen has been
// drawn again for a "2" typed after them, the keys before it have been
// taken, and they did not start plotting.
TEST(StartMenu, OnlyMenuKeysCountAndTwoRedrawsTheScreen) {
    PlotterSession plotter;
    ASSERT_TRUE(plotter.start()) << plotter.failure();
    TerminalOutput output(plotter);

    ASSERT_TRUE(plotter.pressKey("x9 "));
    ASSERT_TRUE(plotter.pressNamed("Enter"));
    ASSERT_TRUE(plotter.pressKey("2"));
    ASSERT_TRUE(output.waitStartScreens(1)) << plotter.screen();
    EXPECT_EQ(output.startScreensDrawn(), 1u) << "a key other than 2 redrew the screen";

    // Keys typed together: the first counts, the others are dropped.
    ASSERT_TRUE(plotter.pressKey("21"));
    ASSERT_TRUE(output.waitStartScreens(2)) << plotter.screen();
    ASSERT_TRUE(plotter.pressKey("2"));
    ASSERT_TRUE(output.waitStartScreens(3)) << plotter.screen();
    EXPECT_EQ(output.startScreensDrawn(), 3u);
    EXPECT_TRUE(plotter.running());
    EXPECT_EQ(plotter.rows()[14], "Your choice :") << plotter.screen();
    EXPECT_FALSE(plotter.hasFile("PLOTTER.TXT")) << "plotting started";

    ASSERT_TRUE(plotter.startPlotting()) << plotter.screen();
    EXPECT_TRUE(plotter.hasFile("PLOTTER.TXT"));
}

TEST(StartMenu, QuitEndsAtOnceWithoutATranscript) {
    PlotterSession plotter;
    ASSERT_TRUE(plotter.start()) << plotter.failure();
    ASSERT_TRUE(plotter.pressKey("3"));
    EXPECT_EQ(plotter.waitForExit(), 0) << plotter.screen() << plotter.sanitizerReport();
    EXPECT_TRUE(plotter.terminalRestored());
    EXPECT_FALSE(plotter.hasFile("PLOTTER.TXT"));
    EXPECT_EQ(plotter.sanitizerReport(), "");
}

TEST(StartMenu, QuitLeavesAnEarlierTranscriptAsItWas) {
    PlotterSession plotter;
    const std::string earlier = "SP1;PA1,1;\r\n**** SAVE PAGE #1 ****\r\n\r\n";
    writeFile(plotter.file("PLOTTER.TXT"), earlier);
    ASSERT_TRUE(plotter.start()) << plotter.failure();
    ASSERT_TRUE(plotter.pressKey("3"));
    EXPECT_EQ(plotter.waitForExit(), 0) << plotter.screen();
    EXPECT_EQ(plotter.transcript(), earlier);
}

TEST(StartMenu, AnEarlierLongerTranscriptIsCutToWhatThisStartWrote) {
    PlotterSession plotter;
    writeFile(plotter.file("PLOTTER.TXT"), std::string(10000, 'x'));
    ASSERT_TRUE(plotter.start()) << plotter.failure();
    ASSERT_TRUE(plotter.startPlotting()) << plotter.screen();
    std::string stream;
    for (int i = 0; stream.size() < 100; ++i)
        stream += "PA" + std::to_string(i) + ",0;";
    ASSERT_TRUE(plotter.sendLine(stream));
    ASSERT_TRUE(plotter.waitPageMenu()) << plotter.screen();
    EXPECT_EQ(plotter.quit(), 0) << plotter.screen() << plotter.sanitizerReport();
    EXPECT_EQ(plotter.transcript(), stream);
}

} // namespace
} // namespace plotanix::testing
