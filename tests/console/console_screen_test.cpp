// The console's screen as a user sees it in a real terminal: the driver
// draws the start screen and more (see console_driver.cpp for the rows) in a
// tmux pane, and the tests read the pane back.

#include "driver_session.h"

#include <gtest/gtest.h>

namespace plotanix::testing {
namespace {

const std::string boxTop = "╔" + repeated("═", 27) + "╗";
const std::string boxSide = "║" + std::string(27, ' ') + "║░";
const std::string boxTitle = "║  Plotanix" + std::string(17, ' ') + "║░";
const std::string boxBottom = "╚" + repeated("═", 27) + "╝░";
const std::string boxShadow = " " + repeated("░", 29);

bool brightWhiteOnBlack(const StyledCell& cell) {
    return (cell.foreground == 15 || (cell.foreground == 7 && cell.bold)) && cell.background == 0;
}

bool greyOnBlack(const StyledCell& cell) {
    return cell.foreground == 7 && !cell.bold && cell.background == 0;
}

std::string rowText(const StyledScreen& screen, std::size_t row) {
    std::string text;
    if (row < screen.size()) {
        for (const auto& cell : screen[row])
            text += cell.glyph;
    }
    return text;
}

class ConsoleScreen : public ::testing::Test {
  protected:
    void startScreen(std::vector<std::string> environment = {"LC_ALL=C.UTF-8"}) {
        ASSERT_TRUE(startDriver(tmux, {"screen"}, std::move(environment)));
        ASSERT_TRUE(tmux.waitForText("stage 1")) << tmux.lastScreen();
    }
    // The next stage: a key, then the text that stage shows.
    void nextStage(const std::function<bool(const std::string&)>& shown) {
        ASSERT_TRUE(tmux.sendKeys({"n"}));
        ASSERT_TRUE(tmux.waitForScreen(shown)) << tmux.lastScreen();
    }

    TmuxSession tmux;
};

TEST_F(ConsoleScreen, StartScreenBannerMenuAndColours) {
    startScreen();
    const auto lines = tmux.captureLines();
    ASSERT_GE(lines.size(), 14u);
    EXPECT_EQ(lines[0], "");
    EXPECT_EQ(lines[1], boxTop);
    EXPECT_EQ(lines[2], boxSide);
    EXPECT_EQ(lines[3], boxTitle);
    EXPECT_EQ(lines[4], boxSide);
    EXPECT_EQ(lines[5], boxBottom);
    EXPECT_EQ(lines[6], boxShadow);
    EXPECT_EQ(lines[8], "Console check");
    EXPECT_EQ(lines[10], " 1: Start plotting!");
    EXPECT_EQ(lines[12], " 3: Quit");
    EXPECT_EQ(tmux.query("#{pane_title}"), "Plotanix");

    const StyledScreen screen = tmux.captureStyled();
    ASSERT_GE(screen.size(), 14u);
    for (std::size_t row = 1; row <= 6; ++row) {
        for (const auto& cell : screen[row]) {
            if (cell.glyph != " ") {
                EXPECT_TRUE(brightWhiteOnBlack(cell)) << "row " << row;
            }
        }
    }
    EXPECT_TRUE(greyOnBlack(screen[8][0])); // "Console check"
    EXPECT_TRUE(brightWhiteOnBlack(screen[10][1])) << "the entry number";
    EXPECT_TRUE(greyOnBlack(screen[10][4])) << "the entry text";
    EXPECT_TRUE(greyOnBlack(screen[13][0])) << "colour 16 must change nothing";
}

TEST_F(ConsoleScreen, TextIsCutAtTheWidthKeepsTheOldTailAndNeverWraps) {
    startScreen();
    const auto lines = tmux.captureLines();
    ASSERT_GE(lines.size(), 19u);
    EXPECT_EQ(lines[14], repeated("0123456789", 8)) << "cut to the 80 columns";
    EXPECT_EQ(lines[15], "xyzDEFGHIJKLMNOP") << "a shorter text leaves the old tail";
    // From column 70, "abcdefghijklmnop": the bytes past the last column
    // overwrite it, so it shows the last one written.
    EXPECT_EQ(lines[16], std::string(70, ' ') + "abcdefghip");
    EXPECT_EQ(lines[17], "") << "nothing wrapped onto the next row";
    EXPECT_EQ(lines[18], "stage 1");
}

TEST_F(ConsoleScreen, LineEndOnTheLastRowScrollsAndClearGoesTopLeft) {
    startScreen();
    nextStage(
        [](const std::string& screen) { return screen.find("stage 2") != std::string::npos; });
    auto lines = tmux.captureLines();
    ASSERT_EQ(lines.size(), 25u);
    EXPECT_EQ(lines[0], boxTop) << "everything moved up one row";
    EXPECT_EQ(lines[17], "stage 1");
    EXPECT_EQ(lines[23], "bottom row");
    EXPECT_EQ(lines[24], "stage 2");

    nextStage([](const std::string& screen) {
        return screen.find_first_not_of(" \n") == std::string::npos;
    });
    EXPECT_EQ(tmux.query("#{cursor_x},#{cursor_y}"), "0,0");

    nextStage([](const std::string& screen) { return screen.rfind("after clear", 0) == 0; });
    const StyledScreen screen = tmux.captureStyled();
    ASSERT_FALSE(screen.empty());
    EXPECT_EQ(rowText(screen, 0), "after clear");
    EXPECT_TRUE(brightWhiteOnBlack(screen[0][0]));

    ASSERT_TRUE(tmux.sendKeys({"n"}));
    ASSERT_TRUE(tmux.waitForExit());
    EXPECT_EQ(tmux.paneExitStatus(), 0);
}

TEST_F(ConsoleScreen, OutsideUtf8TheBoxIsDrawnWithAsciiLookalikes) {
    startScreen({"LC_ALL=C", "TERM=screen"}); // and a terminal of 8 colours
    const auto lines = tmux.captureLines();
    ASSERT_GE(lines.size(), 7u);
    EXPECT_EQ(lines[1], "+" + std::string(27, '=') + "+");
    EXPECT_EQ(lines[2], "|" + std::string(27, ' ') + "|#");
    EXPECT_EQ(lines[5], "+" + std::string(27, '=') + "+#");
    EXPECT_EQ(lines[6], " " + std::string(29, '#'));

    const StyledScreen screen = tmux.captureStyled();
    ASSERT_GE(screen.size(), 11u);
    EXPECT_TRUE(screen[1][0].bold && screen[1][0].foreground == 7) << "bright white as bold";
    EXPECT_TRUE(greyOnBlack(screen[10][4]));
}

} // namespace
} // namespace plotanix::testing
