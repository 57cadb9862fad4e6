// The operator's screens in process: a fake screen, the session on a fake
// line, pages saved into a temporary folder; the status rows and the
// journal's report of bytes that came with line errors.

#include "line_errors.h"
#include "logfile/transcript_format.h"
#include "menus.h"
#include "models/models.h"
#include "options_screen.h"
#include "output/png_writer.h"
#include "session/page_store.h"
#include "settings/settings.h"
#include "shell/page_writes.h"
#include "support/fake_screen.h"
#include "support/in_process_plot.h"
#include "support/started_settings.h"
#include "support/temp_dir.h"

#include <cerrno>
#include <filesystem>
#include <future>
#include <gtest/gtest.h>
#include <poll.h>

namespace plotanix {
namespace {

using testing::FakeScreen;
using testing::TempDir;

TEST(StartMenu, ShowsTheBannerMenuAndPromptAndTakesOnlyMenuKeys) {
    FakeScreen screen;
    StartMenu menu(screen, "information");
    menu.show();
    const std::string rule(27, '\xCD'), side = "\xBA" + std::string(27, ' ') + "\xBA\xB0\n";
    EXPECT_EQ(screen.text(), "\n\xC9" + rule + "\xBB\n" + side + "\xBA  Plotanix" +
                                 std::string(17, ' ') + "\xBA\xB0\n" + side + "\xC8" + rule +
                                 "\xBC\xB0\n " + std::string(29, '\xB0') +
                                 "\n\ninformation\n\n 1: Start plotting!\n 2: Set options\n 3: "
                                 "Quit\n\nYour choice : \n");
    using Choice = StartMenu::Choice;
    const std::pair<const char*, Choice> keys[] = {
        {"1", Choice::startPlotting}, {"2", Choice::options}, {"3", Choice::quit},
        {"\r", Choice::none},         {"4", Choice::none},    {"", Choice::none}};
    for (const auto& [key, choice] : keys)
        EXPECT_EQ(StartMenu::onKey(key), choice) << key;
}

// Each piece is what one row shows: nothing is cut, a name that fits on a
// row is never split, and a row never holds more than the width.
TEST(WrapText, BreaksAtSpacesMovesWholeWordsAndSplitsOnlyOverlongOnes) {
    using Pieces = std::vector<std::string_view>;
    const struct {
        std::string_view text;
        int column, width;
        Pieces pieces;
    } cases[] = {
        {"fits", 0, 10, {"fits"}},
        {"exactly10!", 0, 10, {"exactly10!"}},
        {"port: /dev/ttyUSB9", 0, 10, {"port:", "/dev/ttyUS", "B9"}},
        {"the port /dev/ttyUSB9", 0, 14, {"the port", "/dev/ttyUSB9"}},
        {"many   spaces here", 0, 8, {"many", "spaces", "here"}},
        {"/dev/ttyUSB9", 4, 14, {"", "/dev/ttyUSB9"}}, // after a prompt: on the next row whole
        {"/dev/serial/by-id/x", 4, 10, {"/dev/s", "erial/by-i", "d/x"}},
        {"trailing ", 2, 10, {"trailing", ""}},
        {"", 3, 10, {""}},
    };
    for (const auto& [text, column, width, pieces] : cases)
        EXPECT_EQ(wrapText(text, column, width), pieces) << text << " from " << column;
}

// A long value shown on the options screen, at the prompt and typed there:
// nothing is cut, no row is wider than the screen, and where the value fits
// on a row it is whole on a row of its own.
TEST(OptionsScreen, ShowsLongValuesWholeAndWrapsThem) {
    const TempDir base;
    const std::string folder = base.file(std::string(40, 'd'));
    std::filesystem::create_directories(folder);
    ASSERT_LT(folder.size(), 80u);
    ASSERT_GT(folder.size(), 50u);
    for (const int width : {80, 50}) {
        FakeScreen screen(width);
        Settings settings;
        ASSERT_EQ(setValue(settings, testing::row("dir"), folder, Source::commandLine), "");
        OptionsScreen options(screen, settings, "", [](auto, auto&) { return ""; });
        options.show();
        options.onKey("8");
        for (const char c : folder)
            options.onKey(std::string(1, c));
        std::string joined;
        for (const std::string& line : screen.lines) {
            EXPECT_LE(line.size(), size_t(width)) << line;
            joined += line;
        }
        EXPECT_NE(joined.find("Output folder" + folder), std::string::npos) << screen.text();
        EXPECT_NE(joined.find(folder + "): " + folder), std::string::npos) << screen.text();
        const bool ownRow =
            std::find(screen.lines.begin(), screen.lines.end(), folder) != screen.lines.end();
        EXPECT_EQ(ownRow, width == 80) << screen.text();
    }
}

// The options screen's message, its rows joined: between the empty row
// and the hint above the prompt.
std::string messageShown(const FakeScreen& screen) {
    std::string message;
    for (auto row = screen.lines.rbegin() + 2; row != screen.lines.rend() && !row->empty(); ++row)
        message = *row + (message.empty() ? "" : " ") + message;
    return message;
}

// A value typed at a prompt, one key at a time, then Enter.
OptionsScreen::Next typeValue(OptionsScreen& options, const std::string& value) {
    for (const char c : value)
        EXPECT_EQ(options.onKey(std::string(1, c)), OptionsScreen::Next::stay);
    return options.onKey("\r");
}

TEST(OptionsScreen, PicksTypesChecksSavesAndLeaves) {
    FakeScreen screen;
    Settings settings;
    std::vector<std::string> saved;
    OptionsScreen options(screen, settings, "/home/op/.config/plotanix/plotanix.conf",
                          [&](std::string_view key, const std::string& value) {
                              saved.push_back(std::string(key) + "=" + value);
                              return key == "dir" ? "disk full" : "";
                          });
    using Next = OptionsScreen::Next;
    options.show();
    EXPECT_EQ(screen.lines[2], "Config file: /home/op/.config/plotanix/plotanix.conf");
    EXPECT_EQ(screen.lines[5].substr(0, 24), " 2: Speed (baud)    9600");
    EXPECT_EQ(screen.lines[5].substr(screen.lines[5].size() - 7), "default");
    EXPECT_EQ(screen.lines.back(), "Option : ");
    const std::string speed = "Speed (baud) (Enter or Esc keeps 9600): ";
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
        {"3", "8", "Data bits (Enter or Esc keeps 7): ", "Data bits set to 8 and saved."},
        {"7", "31", "HP-IB (gpib) (Enter or Esc keeps off): ",
         "Refused: the HP-IB setting is an address from 1 to 30, listen or off."},
        {"7", "listen", "", "HP-IB (gpib) set to listen and saved."},
        {"b", "PDF", "Vector copy (Enter or Esc keeps off): ", "Vector copy set to pdf and saved."},
        {"d", "on", "Live window (Enter or Esc keeps off): ", "Live window set to on and saved."},
        {"e", "8470",
         "Web view (Enter or Esc keeps off): ", "Web view set to 127.0.0.1:8470 and saved."},
        {"g", "on",
         "Fit onto page (Enter or Esc keeps off): ", "Fit onto page set to on and saved."},
        {"8", folder.path(), "", "Output folder used now, but not saved: disk full"}};
    for (const auto& [key, line, prompt, shown] : steps) {
        ASSERT_EQ(options.onKey(key), Next::readLine);
        if (!prompt.empty()) {
            EXPECT_EQ(screen.lines.back(), prompt);
        }
        EXPECT_EQ(typeValue(options, line), Next::stay);
        EXPECT_EQ(messageShown(screen), shown);
    }
    EXPECT_EQ(saved, (std::vector<std::string>{"baud=300", "databits=8", "gpib=listen",
                                               "vector=pdf", "live=on", "web=127.0.0.1:8470",
                                               "fit=on", "dir=" + folder.path().string()}));
    EXPECT_EQ(sourceOf(settings, settingRows()[1]), Source::configFile);
    EXPECT_TRUE(settings.live);
    EXPECT_NE(screen.lines[5].find("300"), std::string::npos);
    EXPECT_NE(screen.lines[5].find("config file"), std::string::npos);
    // Past the ninth entry, letters.
    EXPECT_EQ(screen.lines[4 + 10].substr(0, 16), " b: Vector copy ");
    for (const std::string ignored : {"0", "h", "x", "A", "\b"})
        EXPECT_EQ(options.onKey(ignored), Next::stay);
    EXPECT_EQ(options.onKey("\r"), Next::leave);
    EXPECT_EQ(options.onKey("\x1b"), Next::leave);
}

// Esc at a value's prompt, whatever was typed (and taken back) before it:
// the value stays, nothing is saved, and the screen is back at its prompt.
TEST(OptionsScreen, EscAtAValuePromptKeepsTheValue) {
    FakeScreen screen;
    Settings settings;
    int saves = 0;
    OptionsScreen options(screen, settings, "", [&](auto, auto&) { return ++saves, ""; });
    options.show();
    for (const std::vector<std::string>& keys :
         {std::vector<std::string>{}, {"3", "0", "0"}, {"1", "2", "\b", "\b", "\b", "x"}}) {
        ASSERT_EQ(options.onKey("2"), OptionsScreen::Next::readLine);
        for (const std::string& key : keys)
            EXPECT_EQ(options.onKey(key), OptionsScreen::Next::stay);
        EXPECT_EQ(options.onKey("\x1b"), OptionsScreen::Next::stay) << "Esc left the screen";
        EXPECT_EQ(settings.line.baud, 9600);
        EXPECT_EQ(screen.lines[screen.lines.size() - 3], "Speed (baud) kept.");
        EXPECT_EQ(screen.lines.back(), "Option : ");
    }
    EXPECT_EQ(saves, 0);
    EXPECT_EQ(sourceOf(settings, settingRows()[1]), Source::defaults);
}

// Drawn or blank, saved or not: what "4" at the page menu and Esc at
// "Waiting..." do with the page.
class PageTest : public ::testing::Test {
  protected:
    explicit PageTest(const char* drawing = "SP2;PU100,100;PD300,100;") {
        plot.keepTranscript();
        plot.run(drawing);
    }
    bool saved(int number) const { return std::filesystem::exists(dir.file(pageFileName(number))); }
    // The row under "1  Ok.": the files and their folder.
    std::string written(const std::string& files) const {
        return "   Written: " + files + " in " + dir.path().lexically_normal().string();
    }

    TempDir dir;
    testing::InProcessPlot plot;
    bool failSaves = false;
    PageStore store{dir.path().string(), plot.log,
                    [this](const PageImage& page, const std::string& path) {
                        if (failSaves) errno = ENOSPC;
                        return !failSaves && savePng(page, path);
                    }};
    FakeScreen screen;
};

class PageMenuTest : public PageTest {
  protected:
    std::string reply(const char* key, PageMenu::Next expected = PageMenu::Next::stay) {
        screen.clearConsole();
        EXPECT_EQ(menu.onKey(key), expected) << key;
        return screen.lines.front();
    }
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
}

const std::string notSavedReply = "4  The page is not saved: 4 again to quit, 1 to save";

// A drawn page not saved is said once; a second "4" quits, and so does a
// "4" after saving it. The menu shown anew keeps the replies under it.
TEST_F(PageMenuTest, QuittingWithADrawnPageNotSavedAsksOnce) {
    EXPECT_EQ(reply("4"), notSavedReply);
    EXPECT_EQ(reply("4", PageMenu::Next::quit), "");
    EXPECT_FALSE(saved(1));

    PageMenu again(screen, plot.session, store);
    EXPECT_EQ(again.onKey("4"), PageMenu::Next::stay);
    EXPECT_EQ(again.onKey("1"), PageMenu::Next::stay);
    EXPECT_TRUE(saved(1));
    screen.clearConsole();
    again.show();
    const std::vector<std::string> tail(screen.lines.end() - 4, screen.lines.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"Command : " + notSavedReply, "Command : 1  Ok.",
                                              written("PLOTTER_00001.PNG"), "Command : "}));
    EXPECT_EQ(again.onKey("4"), PageMenu::Next::quit);
    // Saved, the same page quits at once.
    PageMenu saved(screen, plot.session, store);
    EXPECT_EQ(saved.onKey("4"), PageMenu::Next::quit);
}

// "Insert new page" loses nothing (the page goes only when the next run
// starts, and "1" saves it until then): marked at once, with a row on a page
// not saved; "2, then 1" saves the page and keeps the new page.
TEST_F(PageMenuTest, ANewPageIsMarkedAtOnceAndAPageNotSavedIsTold) {
    screen.clearConsole();
    EXPECT_EQ(menu.onKey("2"), PageMenu::Next::stay);
    EXPECT_EQ(screen.lines,
              (std::vector<std::string>{
                  "2  Ok.", "   The page is not saved: 1 still saves it before the next plot",
                  "Command : "}));
    EXPECT_EQ(plot.transcript(), "SP2;PU100,100;PD300,100;" + transcript::newPageMarker());
    EXPECT_EQ(reply("1"), "1  Ok.");
    EXPECT_TRUE(saved(1));
    EXPECT_EQ(plot.transcript(), "SP2;PU100,100;PD300,100;" + transcript::newPageMarker() +
                                     transcript::savePageMarker(1));
    screen.clearConsole();
    EXPECT_EQ(menu.onKey("2"), PageMenu::Next::stay);
    EXPECT_EQ(screen.lines, (std::vector<std::string>{"2  Ok.", "Command : "})) << "saved";
    plot.run("PU0,0;");
    EXPECT_EQ(testing::inkedPixels(plot.page()), 0);
}

// How a print went comes later, on a row of its own where the prompt
// waited, never after "Command : " as though typed; shown anew the same.
TEST_F(PageMenuTest, ALateOutcomeHasARowOfItsOwn) {
    screen.clearConsole();
    EXPECT_EQ(menu.onKey("1"), PageMenu::Next::stay);
    menu.lateReply("printed on plotq (job 2)");
    const std::vector<std::string> rows = {written("PLOTTER_00001.PNG"),
                                           "   printed on plotq (job 2)", "Command : "};
    EXPECT_EQ(std::vector(screen.lines.end() - 3, screen.lines.end()), rows);
    screen.clearConsole();
    menu.show();
    EXPECT_EQ(std::vector(screen.lines.end() - 3, screen.lines.end()), rows);
    EXPECT_EQ(*(screen.lines.end() - 4), "Command : 1  Ok.");
}

// The HP-86B is named; the other computers are not, and a printer is sent
// no instructions.
TEST(PageMenuTitle, NamesTheHostOnlyForTheHp86b) {
    for (const auto& [model, said] :
         {std::pair{PlotterModel::hp86b, "The HP has stopped sending instructions"},
          {PlotterModel::hp7470a, "The computer has stopped sending instructions"},
          {PlotterModel::hpgl2, "The computer has stopped sending instructions"},
          {PlotterModel::pcl, "The computer has stopped sending"},
          {PlotterModel::escp, "The computer has stopped sending"}})
        EXPECT_EQ(stoppedSending(model), said) << modelName(model);
}

// With vector copies the row names both files.
TEST_F(PageMenuTest, TheRowUnderOkNamesTheCopyToo) {
    store.writeCopies(".SVG", [](const std::string& path, std::string&) {
        testing::writeFile(path, "<svg/>");
        return true;
    });
    screen.clearConsole();
    EXPECT_EQ(menu.onKey("1"), PageMenu::Next::stay);
    EXPECT_EQ(screen.lines.at(1), written("PLOTTER_00001.PNG and PLOTTER_00001.SVG"));
}

// "1" with the page written on the background work, at the page menu and
// at "Waiting...": nothing is said or marked, and keys and the line wait,
// until the file is whole; the eventfd then wakes the loop, whose turn
// prints "1  Ok.". A failed write says why.
TEST_F(PageTest, APageWrittenApartIsOkOnlyOnceItsFileIsWhole) {
    std::promise<void> go;
    std::shared_future<void> gate = go.get_future().share();
    BackgroundWork work;
    const PageStore::Writer slowDisk = [&](const PageImage& page, const std::string& path) {
        gate.wait();
        return store.writer()(page, path);
    };
    const PageWriteApart writeApart = [&](std::shared_ptr<const PageImage> page,
                                          const std::string& path, PageWritten written) {
        writePageApart(work, slowDisk, std::move(page), path, std::move(written));
    };
    PageMenu menu(screen, plot.session, store, writeApart);
    const auto writtenTurn = [&work] {
        pollfd wake{work.descriptor(), POLLIN, 0};
        ASSERT_EQ(::poll(&wake, 1, 10'000), 1);
        work.service(Clock::now());
    };
    screen.clearConsole();
    EXPECT_EQ(menu.onKey("1"), PageMenu::Next::stay);
    EXPECT_EQ(menu.onKey("4"), PageMenu::Next::stay);
    EXPECT_TRUE(menu.saving());
    plot.run("PD300,300;"); // the page changes; the file is of the page as it was
    EXPECT_EQ(screen.lines, std::vector<std::string>{""});
    EXPECT_FALSE(saved(1));
    EXPECT_EQ(plot.transcript(), "SP2;PU100,100;PD300,100;PD300,300;");
    go.set_value();
    writtenTurn();
    EXPECT_FALSE(menu.saving());
    EXPECT_EQ(screen.lines,
              (std::vector<std::string>{"1  Ok.", written("PLOTTER_00001.PNG"), "Command : "}));
    EXPECT_EQ(plot.transcript(),
              "SP2;PU100,100;PD300,100;PD300,300;" + transcript::savePageMarker(1));
    EXPECT_FALSE(store.isSaved(plot.page()));

    failSaves = true;
    screen.clearConsole();
    menu.onKey("1");
    writtenTurn();
    EXPECT_EQ(screen.lines.front(),
              "1  Error, can't save PLOTTER_00002.PNG: No space left on device");
    EXPECT_FALSE(saved(2));

    failSaves = false;
    std::promise<void> goAgain;
    gate = goAgain.get_future().share();
    plot.run("PD100,300;");
    std::vector<std::string> notices;
    WaitingScreen waiting(
        screen, plot.session, store, [&](const std::string& text) { notices.push_back(text); },
        writeApart);
    EXPECT_EQ(waiting.onKey("\x1b"), WaitingScreen::Next::stay);
    EXPECT_EQ(waiting.onKey("1"), WaitingScreen::Next::stay);
    EXPECT_TRUE(waiting.saving());
    EXPECT_EQ(waiting.onKey("\x1b"), WaitingScreen::Next::stay) << "passed over while saving";
    EXPECT_EQ(notices.size(), 1u);
    EXPECT_FALSE(saved(2));
    goAgain.set_value();
    writtenTurn();
    EXPECT_FALSE(waiting.saving());
    EXPECT_EQ(notices.back(), "1  Ok.  " + written("PLOTTER_00002.PNG").substr(3));
    EXPECT_TRUE(plot.transcript().ends_with(transcript::savePageMarker(2)));
}

class BlankPageTest : public PageTest {
  protected:
    BlankPageTest() : PageTest("PU100,100;OI;") {}
};

TEST_F(BlankPageTest, QuitsAndLeavesAtOnce) {
    PageMenu menu(screen, plot.session, store);
    EXPECT_EQ(menu.onKey("4"), PageMenu::Next::quit);
    WaitingScreen waiting(screen, plot.session, store, [](const std::string&) { FAIL(); });
    EXPECT_EQ(waiting.onKey("\x1b"), WaitingScreen::Next::leave);
}

// Esc at "Waiting..." goes back to the start menu; with a drawing not saved
// it first says so on the notice row, then "1" saves and Esc leaves.
TEST_F(PageTest, EscWhileWaitingLeavesAfterSayingThePageIsNotSaved) {
    std::vector<std::string> notices;
    WaitingScreen waiting(screen, plot.session, store,
                          [&](const std::string& text) { notices.push_back(text); });
    waiting.show();
    EXPECT_EQ(screen.text(), "Plotter ON LINE\n\nWaiting...\n\n");
    using Next = WaitingScreen::Next;
    const std::pair<const char*, Next> keys[] = {{"1", Next::stay},    {"x", Next::stay},
                                                 {"\x1b", Next::stay}, {"1", Next::stay},
                                                 {"4", Next::stay},    {"\x1b", Next::leave}};
    for (const auto& [key, next] : keys)
        EXPECT_EQ(waiting.onKey(key), next) << key;
    EXPECT_EQ(notices, (std::vector<std::string>{
                           "The page is not saved: Esc again to leave it, 1 to save it",
                           "1  Ok.  " + written("PLOTTER_00001.PNG").substr(3)}));
    EXPECT_TRUE(saved(1));
    EXPECT_FALSE(saved(2));
}

// The line cannot be opened: why, then Enter or Esc goes back to the start menu.
TEST(StartFailure, SaysWhyAndGoesBackToTheStartMenu) {
    FakeScreen screen(40);
    StartFailure failure(screen, {"Error, can't open the serial port: /dev/ttyUSB9",
                                  "/dev/ttyUSB9: No such file or directory"});
    failure.show();
    EXPECT_EQ(screen.text(), "Error, can't open the serial port:\n/dev/ttyUSB9\n"
                             "/dev/ttyUSB9: No such file or directory\n\n"
                             "ENTER to go back to the start menu...\n");
    const std::pair<const char*, bool> keys[] = {
        {"\r", true}, {"\x1b", true}, {"1", false}, {"3", false}, {"", false}};
    for (const auto& [key, back] : keys)
        EXPECT_EQ(StartFailure::backToStart(key), back) << key;
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
    EXPECT_EQ(statusRows(5, 4, "", "the model's hint"),
              (Rows{"Instructions : 5  Ignored : 4", "the model's hint"}));
    EXPECT_EQ(statusRows(5, 4, "", "the model's hint", "the page's note"),
              (Rows{"Instructions : 5  Ignored : 4", "the model's hint", "the page's note"}));
}

// Once a run has ended, the status row says why a blank page is blank, or
// that the paper cut the drawing and what --fit does for it where it
// applies; a drawing on the paper says nothing.
TEST(PageNote, SaysWhyNothingShowsOrThatThePaperCutTheDrawing) {
    const std::string offPaper = "IN;SP1;PU0,0;PD20000,15000;";
    const struct {
        PlotterModel model;
        bool fit;
        std::string stream, note;
    } cases[] = {
        {PlotterModel::hp7470a, false, "IN;SP0;PA100,100;PD1000,1000;",
         "nothing drawn: no pen was selected (SP0 or no SP) while drawing"},
        {PlotterModel::hp7470a, false, offPaper, offPaperNote + " (--fit fits it)"},
        {PlotterModel::hpgl2, false, offPaper, offPaperNote + " (--fit fits it)"},
        {PlotterModel::hp7470a, true, offPaper, offPaperNote + "; fitted onto the page"},
        {PlotterModel::hpgl2, true, offPaper, offPaperNote + "; fitted onto the page"},
        // The HP-86B's page is not fitted.
        {PlotterModel::hp86b, true, "PA0,0;PD2000,2000;", offPaperNote},
        {PlotterModel::hp7470a, false, "IN;SP1;PA100,100;PD1000,1000;SP0;", ""},
        {PlotterModel::hp7470a, true, "IN;SP1;PA100,100;PD1000,1000;SP0;", ""},
    };
    for (const auto& c : cases) {
        testing::InProcessPlot plot(nullptr, c.model);
        plot.session.fitCopies(c.fit);
        plot.run(c.stream);
        EXPECT_EQ(pageNote(plot.session), c.note) << c.stream << " fit " << c.fit;
    }
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
