// The console's screen as a user sees it in a real terminal: the driver
// draws box-drawing bytes, colours, cut and overwritten text (see
// console_driver.cpp for the rows) in a tmux pane, and the tests read the
// pane back.

#include "driver_session.h"

#include <gtest/gtest.h>

namespace plotanix::testing {
namespace {

bool brightWhiteOnBlack(const StyledCell& cell) {
    return (cell.foreground == 15 || (cell.foreground == 7 && cell.bold)) && cell.background == 0;
}

bool greyOnBlack(const StyledCell& cell) {
    return cell.foreground == 7 && !cell.bold && cell.background == 0;
}

class ConsoleScreen : public ::testing::Test {
  protected:
    void startScreen(std::vector<std::string> environment = {"LC_ALL=C.UTF-8"}) {
        ASSERT_TRUE(startDriver(tmux, {"screen"}, std::move(environment)));
        ASSERT_TRUE(tmux.waitForText("stage 1")) << tmux.lastScreen();
        lines = tmux.captureLines();
        ASSERT_GE(lines.size(), 8u);
        styled = tmux.captureStyled();
        ASSERT_GE(styled.size(), 3u);
    }
    // The next stage: a key, then the text that stage shows.
    void nextStage(const std::function<bool(const std::string&)>& shown) {
        ASSERT_TRUE(tmux.sendKeys({"n"}));
        ASSERT_TRUE(tmux.waitForScreen(shown)) << tmux.lastScreen();
    }

    TmuxSession tmux;
    std::vector<std::string> lines;
    StyledScreen styled;
};

TEST_F(ConsoleScreen, BoxDrawingCharactersInTheTwoColours) {
    ASSERT_NO_FATAL_FAILURE(startScreen());
    EXPECT_EQ(lines[0], "╔═╗║╚╝░");
    EXPECT_EQ(tmux.query("#{pane_title}"), "Plotanix");
    for (const auto& cell : styled[0])
        EXPECT_TRUE(brightWhiteOnBlack(cell)) << cell.glyph;
    EXPECT_TRUE(greyOnBlack(styled[1][0]));
    EXPECT_TRUE(greyOnBlack(styled[2][0])) << "colour 16 must change nothing";
}

TEST_F(ConsoleScreen, TextIsCutAtTheWidthKeepsTheOldTailAndNeverWraps) {
    ASSERT_NO_FATAL_FAILURE(startScreen());
    EXPECT_EQ(lines[3], std::string(80, '0')) << "cut to the 80 columns";
    EXPECT_EQ(lines[4], "xyzDEFGHIJKLMNOP") << "a shorter text leaves the old tail";
    // From column 70, "abcdefghijklmnop": the bytes past the last column
    // overwrite it, so it shows the last one written.
    EXPECT_EQ(lines[5], std::string(70, ' ') + "abcdefghip");
    EXPECT_EQ(lines[6], "") << "nothing wrapped onto the next row";
}

TEST_F(ConsoleScreen, LineEndOnTheLastRowScrollsAndClearGoesTopLeft) {
    ASSERT_NO_FATAL_FAILURE(startScreen());
    nextStage(
        [](const std::string& screen) { return screen.find("stage 2") != std::string::npos; });
    lines = tmux.captureLines();
    ASSERT_EQ(lines.size(), 25u);
    EXPECT_EQ(lines[0], "grey text") << "everything moved up one row";
    EXPECT_EQ(lines[6], "stage 1");
    EXPECT_EQ(lines[23], "bottom row");
    EXPECT_EQ(lines[24], "stage 2");

    nextStage([](const std::string& screen) {
        return screen.find_first_not_of(" \n") == std::string::npos;
    });
    EXPECT_EQ(tmux.query("#{cursor_x},#{cursor_y}"), "0,0");
    nextStage([](const std::string& screen) { return screen.rfind("after clear", 0) == 0; });
    EXPECT_TRUE(brightWhiteOnBlack(tmux.captureStyled().at(0).at(0)));

    ASSERT_TRUE(tmux.sendKeys({"n"}));
    ASSERT_TRUE(tmux.waitForExit());
    EXPECT_EQ(tmux.paneExitStatus(), 0);
}

TEST_F(ConsoleScreen, OutsideUtf8BoxDrawingHasAsciiLookalikes) {
    ASSERT_NO_FATAL_FAILURE(startScreen({"LC_ALL=C", "TERM=screen"})); // 8 colours
    EXPECT_EQ(lines[0], "+=+|++#");
    EXPECT_TRUE(styled[0][0].bold && styled[0][0].foreground == 7) << "bright white as bold";
    EXPECT_TRUE(greyOnBlack(styled[1][0]));
}

} // namespace
} // namespace plotanix::testing
