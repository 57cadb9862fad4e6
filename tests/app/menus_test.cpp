// The start, page and options menus in process: a fake screen, the session on a fake
// line, pages saved into a temporary folder.

#include "app/plotanix/menus.h"
#include "app/plotanix/options_screen.h"
#include "output/png_writer.h"
#include "session/page_store.h"
#include "settings/settings.h"
#include "support/in_process_plot.h"
#include "support/temp_dir.h"

#include <cerrno>
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
                        if (failSaves) errno = ENOSPC;
                        return !failSaves && savePng(page, path);
                    }};
    FakeScreen screen;
    PageMenu menu{screen, plot.session, store};
};

// The menu's screen is checked on the real program (TypicalRun). A failed save
// says so, marks nothing and keeps its number.
TEST_F(PageMenuTest, KeysSaveMarkContinueAndQuit) {
    failSaves = true;
    EXPECT_EQ(reply("1"), "1  Error, can't save PLOTTER_00001.PNG: No space left on device");
    EXPECT_EQ(plot.transcript(), "SP2;PU100,100;PD300,100;");
    failSaves = false;
    EXPECT_EQ(reply("1"), "1  Ok.");
    EXPECT_EQ(reply("1"), "1  Ok."); // the same picture under the next number
    EXPECT_TRUE(saved(1));
    EXPECT_TRUE(saved(2));
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

TEST(OptionsScreen, PicksTypesChecksSavesAndLeaves) {
    FakeScreen screen;
    Settings settings;
    std::vector<std::string> saved;
    OptionsScreen options(screen, settings, [&](std::string_view key, const std::string& value) {
        saved.push_back(std::string(key) + "=" + value);
        return key == "dir" ? "disk full" : "";
    });
    using Next = OptionsScreen::Next;
    options.show();
    EXPECT_EQ(screen.lines[4].substr(0, 24), " 2: Speed (baud)    9600");
    EXPECT_EQ(screen.lines[4].substr(screen.lines[4].size() - 7), "default");
    EXPECT_EQ(screen.lines.back(), "Option : ");
    const std::string speed = "Speed (baud) (Enter keeps 9600): ";
    const TempDir folder;
    const struct {
        std::string key, line; // the key at the prompt, then the line typed
        std::string prompt, shown;
    } steps[] = {
        {"2", "12", speed, "Refused: the speed is one of 75 110 150 300 600 1200 2400 4800 9600."},
        {"2", "", speed, "Speed (baud) kept."},
        {"2", "300", speed, "Speed (baud) set to 300 and saved."},
        {"6", "PDF", "Vector copy (Enter keeps off): ", "Vector copy set to pdf and saved."},
        {"3", folder.path(), "", "Output folder used now, but not saved: disk full"}};
    for (const auto& [key, line, prompt, shown] : steps) {
        ASSERT_EQ(options.onKey(key), Next::readLine);
        if (!prompt.empty()) EXPECT_EQ(screen.lines.back(), prompt);
        EXPECT_EQ(options.onLine(line), Next::stay);
        EXPECT_EQ(screen.lines[screen.lines.size() - 3], shown);
    }
    EXPECT_EQ(saved, (std::vector<std::string>{"baud=300", "vector=pdf",
                                               "dir=" + folder.path().string()}));
    EXPECT_EQ(sourceOf(settings, settingRows()[1]), Source::configFile);
    EXPECT_NE(screen.lines[4].find("300"), std::string::npos);
    EXPECT_NE(screen.lines[4].find("config file"), std::string::npos);
    for (const std::string ignored : {"0", "9", "x", "\b"})
        EXPECT_EQ(options.onKey(ignored), Next::stay);
    EXPECT_EQ(options.onKey("\r"), Next::leave);
    EXPECT_EQ(options.onKey("\x1b"), Next::leave);
}

} // namespace
} // namespace plotanix
