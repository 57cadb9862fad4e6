// The start, page and options menus in process: a fake screen, the session on a fake
// line, pages saved into a temporary folder; the status rows and the journal's
// report of bytes that came with line errors.

#include "app/plotanix/line_errors.h"
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
        {"2", "12", speed,
         "Refused: the speed is one of 75 110 134 150 200 300 600 1200 1800 2400 4800 9600 19200 "
         "38400 57600 115200 230400."},
        {"2", "", speed, "Speed (baud) kept."},
        {"2", "300", speed, "Speed (baud) set to 300 and saved."},
        {"3", "8", "Data bits (Enter keeps 7): ", "Data bits set to 8 and saved."},
        {"7", "31", "HP-IB (gpib) (Enter keeps off): ",
         "Refused: the HP-IB setting is an address from 1 to 30, listen or off."},
        {"7", "listen", "", "HP-IB (gpib) set to listen and saved."},
        {"b", "PDF", "Vector copy (Enter keeps off): ", "Vector copy set to pdf and saved."},
        {"8", folder.path(), "", "Output folder used now, but not saved: disk full"}};
    for (const auto& [key, line, prompt, shown] : steps) {
        ASSERT_EQ(options.onKey(key), Next::readLine);
        if (!prompt.empty()) EXPECT_EQ(screen.lines.back(), prompt);
        EXPECT_EQ(options.onLine(line), Next::stay);
        EXPECT_EQ(screen.lines[screen.lines.size() - 3], shown);
    }
    EXPECT_EQ(saved, (std::vector<std::string>{"baud=300", "databits=8", "gpib=listen",
                                               "vector=pdf", "dir=" + folder.path().string()}));
    EXPECT_EQ(sourceOf(settings, settingRows()[1]), Source::configFile);
    EXPECT_NE(screen.lines[4].find("300"), std::string::npos);
    EXPECT_NE(screen.lines[4].find("config file"), std::string::npos);
    EXPECT_EQ(screen.lines[3 + 10].substr(0, 16), " b: Vector copy ");
    for (const std::string ignored : {"0", "x", "A", "\b"})
        EXPECT_EQ(options.onKey(ignored), Next::stay);
    EXPECT_EQ(options.onKey("\r"), Next::leave);
    EXPECT_EQ(options.onKey("\x1b"), Next::leave);
}

// Bytes with framing or parity errors: how many, and the framing the line
// is likeliest to need, on the row under the counters.
TEST(LineErrors, TheStatusSaysHowManyAndWhatFramingToTry) {
    const struct {
        int64_t errors;
        LineSettings line;
        std::string text;
    } cases[] = {
        {0, {}, ""},
        {37, {}, "37 framing errors: is the host sending 8N1? try --databits 8"},
        {1, {}, "1 framing error: is the host sending 8N1? try --databits 8"},
        {5,
         {9600, 7, Parity::even},
         "5 framing or parity errors: is the host sending 8N1? try --databits 8 --parity none"},
        {5,
         {9600, 8, Parity::odd},
         "5 framing or parity errors: is the host sending 8N1? try --parity none"},
        {2,
         {19200, 8},
         "2 framing errors: is the host sending at 19200 baud? check its speed and --baud"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(lineErrorsText(c.errors, c.line), c.text) << c.errors;
    using Rows = std::vector<std::string>;
    EXPECT_EQ(statusRows(12, 1, ""), Rows{"Instructions : 12  Ignored : 1"});
    EXPECT_EQ(statusRows(0, 0, lineErrorsText(37, {})),
              (Rows{"Instructions : 0  Ignored : 0",
                    "37 framing errors: is the host sending 8N1? try --databits 8"}));
}

// In the journal the count is said at once, then at most once a minute
// while it grows, and not again while it stands.
TEST(LineErrors, TheJournalSaysThemOnceAMinuteAtMost) {
    using namespace std::chrono_literals;
    int64_t errors = 0;
    std::vector<std::string> said;
    LineErrorReport report([&] { return errors; }, {},
                           [&](const std::string& text) { said.push_back(text); });
    const auto t0 = LineErrorReport::Clock::now();
    EXPECT_EQ(report.due(t0), std::nullopt);
    errors = 5;
    EXPECT_EQ(report.due(t0), t0);
    report.check(t0);
    errors = 9;
    report.check(t0 + 59s);
    EXPECT_EQ(report.due(t0 + 59s), t0 + 60s);
    report.check(t0 + 60s);
    report.check(t0 + 300s);
    EXPECT_EQ(report.due(t0 + 300s), std::nullopt);
    EXPECT_EQ(said, (std::vector<std::string>{
                        "5 framing errors: is the host sending 8N1? try --databits 8",
                        "9 framing errors: is the host sending 8N1? try --databits 8"}));
}

} // namespace
} // namespace plotanix
