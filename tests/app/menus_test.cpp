// The start and page menus in process: a fake screen, the session on a fake
// line, pages saved into a temporary folder.

#include "app/menus.h"
#include "output/png_writer.h"
#include "session/page_store.h"
#include "support/in_process_plot.h"
#include "support/temp_dir.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace plotanix {
namespace {

using testing::TempDir;

// The text printed, one entry per line; colours and positions are dropped.
struct FakeScreen : Screen {
    void clearConsole() override { lines = {""}; }
    void setConsoleColour(int, int) override {}
    void moveCursor(int, int) override {}
    void printText(std::string_view text) override { lines.back() += text; }
    void printLine(std::string_view text) override { printText(text), lines.emplace_back(); }
    int bufferWidth() const override { return 80; }
    int bufferHeight() const override { return 25; }
    int cursorRow() const override { return 0; }
    int cursorColumn() const override { return 0; }
    std::vector<std::string> lines{""};
};

TEST(StartMenu, ShowsTheBannerMenuAndPromptAndTakesOnlyMenuKeys) {
    FakeScreen screen;
    StartMenu menu(screen, "information");
    menu.show();
    const std::string rule(27, '\xCD'), side = "\xBA" + std::string(27, ' ') + "\xBA\xB0\n";
    std::string shown;
    for (const std::string& line : screen.lines)
        shown += line + "\n";
    EXPECT_EQ(shown, "\n\xC9" + rule + "\xBB\n" + side + "\xBA  Plotanix" + std::string(17, ' ') +
                         "\xBA\xB0\n" + side + "\xC8" + rule + "\xBC\xB0\n " +
                         std::string(29, '\xB0') +
                         "\n\ninformation\n\n 1: Start plotting!\n 2: Set options\n 3: Quit\n\n"
                         "Your choice : \n");
    using Choice = StartMenu::Choice;
    const std::pair<const char*, Choice> keys[] = {
        {"1", Choice::startPlotting}, {"2", Choice::options}, {"3", Choice::quit},
        {"\r", Choice::none},         {"4", Choice::none},    {"", Choice::none}};
    for (const auto& [key, choice] : keys)
        EXPECT_EQ(StartMenu::onKey(key), choice) << key;
}

class PageMenuTest : public ::testing::Test {
  protected:
    PageMenuTest() {
        plot.keepTranscript();
        plot.run("SP2;PU100,100;PD300,100;");
    }
    std::string reply(const char* key, PageMenu::Next expected = PageMenu::Next::stay) {
        screen.lines = {""};
        EXPECT_EQ(menu.onKey(key), expected) << key;
        return screen.lines.front();
    }
    bool saved(int number) const { return std::filesystem::exists(dir.file(pageFileName(number))); }

    TempDir dir;
    testing::InProcessPlot plot;
    bool failSaves = false;
    PageStore store{dir.path().string(), plot.log,
                    [this](const PageImage& page, const std::string& path) {
                        return !failSaves && savePng(page, path);
                    }};
    FakeScreen screen;
    PageMenu menu{screen, plot.session, store};
};

// The menu's screen is checked on the real program (TypicalRun). A failed save
// says so, marks nothing and keeps its number.
TEST_F(PageMenuTest, KeysSaveMarkContinueAndQuit) {
    failSaves = true;
    EXPECT_EQ(reply("1"), "1  Error, can't save the page: PLOTTER_00001.PNG");
    EXPECT_EQ(plot.transcript(), "SP2;PU100,100;PD300,100;");
    failSaves = false;
    EXPECT_EQ(reply("1"), "1  Ok.");
    EXPECT_EQ(reply("1"), "1  Ok."); // the same picture under the next number
    EXPECT_TRUE(saved(1) && saved(2));
    EXPECT_EQ(reply("2"), "2  Ok.");
    EXPECT_EQ(reply("x"), "");
    EXPECT_EQ(reply("3", PageMenu::Next::plot), "");
    EXPECT_EQ(reply("4", PageMenu::Next::quit), "");
    EXPECT_EQ(plot.transcript(), "SP2;PU100,100;PD300,100;" + transcript::savePageMarker(1) +
                                     transcript::savePageMarker(2) + transcript::newPageMarker());
    // "Insert new page" clears the page when the next run starts.
    EXPECT_GT(testing::inkedPixels(plot.page()), 0);
    plot.run("PU0,0;");
    EXPECT_EQ(testing::inkedPixels(plot.page()), 0);
}

} // namespace
} // namespace plotanix
