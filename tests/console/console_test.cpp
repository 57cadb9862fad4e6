// The console in a real terminal: the driver (console_driver.cpp) runs in a
// tmux pane, and the tests type into it and read the screen back.

#include "support/process.h"
#include "support/temp_dir.h"
#include "support/tmux_session.h"
#include "support/wait_until.h"

#include <csignal>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <sstream>

namespace plotanix::testing {
namespace {

using namespace std::chrono_literals;

bool startDriver(TmuxSession& tmux, std::vector<std::string> command,
                 std::vector<std::string> environment = {"LC_ALL=C.UTF-8"}) {
    command.insert(command.begin(), CONSOLE_DRIVER);
    return tmux.start(command, {std::move(environment), ""});
}

// Rows 0-6 with their colours, as tmux reports them (capture-pane -e).
TEST(ConsoleTest, BoxDrawingColoursAndTextWrappedAtTheWidth) {
    // Colour 16 changes nothing; the line of 100 goes on on the next row
    // (split, having no space); "xyz" over "ABCDEF" keeps the old tail; from
    // column 75, "abc defgh" breaks at its space instead of being cut.
    const std::string rest = std::string(80, '0') + "\n" + std::string(20, '0') +
                             "\nxyzDEF\n\x1B[39m\x1B[49m" + std::string(75, ' ') +
                             "\x1B[37m\x1B[40mabc\ndefgh\n\n";
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"LC_ALL=C.UTF-8", "TERM=screen-256color"},
         "\x1B[97m\x1B[40m╔═╗║╚╝░\n\x1B[37mgrey\n" + rest},
        {{"LC_ALL=C", "TERM=screen"}, // 8 colours and no UTF-8: look-alikes, bold for bright
         "\x1B[1m\x1B[37m\x1B[40m+=+|++#\n\x1B[0m\x1B[37m\x1B[40mgrey\n" + rest},
    };
    for (const auto& [environment, rows] : cases) {
        TmuxSession tmux;
        ASSERT_TRUE(startDriver(tmux, {"screen"}, environment));
        ASSERT_TRUE(tmux.waitForText("defgh")) << tmux.lastScreen();
        EXPECT_EQ(tmux.capture(true).substr(0, rows.size()), rows);
        EXPECT_EQ(tmux.query("#{pane_title}"), "Plotanix");
    }
}

// Each press, and the bytes of the readKey calls it brings (- for a wake-up
// with nothing): an arrow gives nothing once and leaves nothing behind;
// several keys at once come one per call, whatever the wake-ups; Ctrl+S and
// Ctrl+Q are keys, not a stop of the terminal's output.
TEST(ConsoleTest, ReadKeyGivesOneCharacterPerCallAndNothingForOtherKeys) {
    TmuxSession tmux;
    ASSERT_TRUE(startDriver(tmux, {"keys"}));
    ASSERT_TRUE(tmux.waitForText("keys ready")) << tmux.lastScreen();
    const std::pair<std::vector<std::string>, std::string> presses[] = {
        {{"a"}, "97"},  {{"Enter"}, "13"},  {{"BSpace"}, "8"},           {{"Up"}, "-"},
        {{"x"}, "120"}, {{"Escape"}, "27"}, {{"-l", "abc"}, "97 98 99"}, {{"C-s"}, "19"},
        {{"y"}, "121"}, {{"C-q"}, "17"}};
    const auto calls = [](const std::string& screen) {
        std::istringstream words(screen.substr(screen.find("keys ready") + 10));
        std::string all;
        for (std::string word; words >> word;)
            all += word == "wake:" ? "" : (all.empty() ? "" : " ") + word;
        return all;
    };
    std::string expected;
    for (const auto& [keys, codes] : presses) {
        expected += (expected.empty() ? "" : " ") + codes;
        ASSERT_TRUE(tmux.sendKeys(keys));
        EXPECT_TRUE(tmux.waitForScreen([&](const std::string& s) { return calls(s) == expected; }))
            << expected << "\n"
            << tmux.lastScreen();
    }
}

// A terminal that takes nothing (its tmux server stopped) holds the
// program for no write; once it takes bytes again, the screen is the
// latest one, drawn whole (more was written meanwhile than is kept).
TEST(ConsoleTest, AFullTerminalHoldsNothingAndIsDrawnWholeAfter) {
    TempDir folder;
    const std::string done = (folder.path() / "done").string();
    TmuxSession tmux;
    ASSERT_TRUE(startDriver(tmux, {"flood", done}));
    ASSERT_TRUE(tmux.waitForText("flood ready")) << tmux.lastScreen();
    const pid_t server = std::stoi(tmux.query("#{pid}"));
    const pid_t driver = tmux.panePid();
    struct Stopped {
        explicit Stopped(pid_t pid) : pid(pid) { ::kill(pid, SIGSTOP); }
        ~Stopped() { ::kill(pid, SIGCONT); }
        pid_t pid;
    };
    {
        const Stopped terminal(server);
        ::kill(driver, SIGUSR1);
        EXPECT_TRUE(waitUntil([&] { return std::filesystem::exists(done); }))
            << "the full terminal held the program's writes";
    }
    const auto latest = [](const std::string& screen) {
        for (int row = 1; row <= 20; ++row)
            if (screen.find("row " + std::to_string(row) + ": 2000") == std::string::npos)
                return false;
        return screen.find("flood done") != std::string::npos;
    };
    EXPECT_TRUE(tmux.waitForScreen(latest)) << tmux.lastScreen();
}

} // namespace
} // namespace plotanix::testing
