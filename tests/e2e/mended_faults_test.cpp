// Where the plotter must do better than report success or lose data: saves
// that cannot be written, pages saved earlier, a missing serial port, and
// endings by signal in the middle of a run.

#include "plotter_harness.h"

#include "support/wait_until.h"

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <poll.h>
#include <set>
#include <sys/mount.h>

namespace plotanix::testing {
namespace {

const std::string runA = "SP1;PU100,100;PD300,100,300,300;";

std::set<std::string> filesIn(const std::string& directory) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory))
        names.insert(entry.path().filename().string());
    return names;
}

// A tiny tmpfs to fill up, so that a save runs out of room half way.
class SmallFileSystem {
  public:
    SmallFileSystem() { mounted_ = ::mount("tmpfs", path().c_str(), "tmpfs", 0, "size=1m") == 0; }
    ~SmallFileSystem() {
        if (mounted_) ::umount2(path().c_str(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }
    std::string path() const { return directory_.path().string(); }

  private:
    TempDir directory_;
    bool mounted_ = false;
};

void startAndPlot(PlotterSession& plotter) {
    ASSERT_TRUE(plotter.startPlotting()) << plotter.failure();
    ASSERT_TRUE(plotter.sendLine(runA));
    ASSERT_TRUE(plotter.waitPageMenu(3)) << plotter.screen();
}

TEST(MendedFaults, ASaveOnAFullDiskLeavesNoPartialFile) {
    SmallFileSystem disk;
    if (!disk.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here";
    PlotterOptions options;
    options.workingDirectory = disk.path();
    PlotterSession plotter(options);
    ASSERT_NO_FATAL_FAILURE(startAndPlot(plotter));

    writeFile(plotter.file("filler"), std::string(2 << 20, 'f')); // as much as fits
    ASSERT_TRUE(plotter.choose(
        "1", 11, "Command : 1  Error, can't save PLOTTER_00001.PNG: No space left on device"))
        << plotter.screen();
    const std::set<std::string> expected = {"PLOTTER.TXT", "filler"};
    EXPECT_EQ(filesIn(disk.path()), expected) << "a partial file was left";
    EXPECT_EQ(plotter.transcript(), runA) << "a marker for a page that was not saved";

    // The number is kept for the next save that succeeds.
    std::filesystem::remove(plotter.file("filler"));
    ASSERT_TRUE(plotter.choose("1", 12, "Command : 1  Ok.")) << plotter.screen();
    EXPECT_EQ(differingPixels(plotter.savedPage(1), *expectedPage({runA})), 0);
    expectCleanQuit(plotter);
    EXPECT_EQ(plotter.transcript(), runA + marker("SAVE PAGE #1"));
}

// A port that cannot be opened is reported with its reason; Enter goes back
// to the start menu, where the options name another. Esc at "Waiting..."
// goes back there too, once the page that is not saved has been said, and
// the transcript keeps what came. Quitting there ends with status 0.
TEST(MendedFaults, AMissingPortLeadsBackToTheStartMenuWhereTheOptionsMendIt) {
    PlotterOptions options;
    options.portPath = "/nonexistent/plotanix-serial";
    PlotterSession plotter(options);
    ASSERT_TRUE(plotter.start()) << plotter.failure();
    ASSERT_TRUE(plotter.pressKey("1"));
    ASSERT_TRUE(plotter.waitScreen("ENTER to go back to the start menu...")) << plotter.screen();
    auto rows = plotter.rows();
    const auto error = std::find(rows.begin(), rows.end(),
                                 "Your choice : Error, can't open the serial port: COM1");
    ASSERT_LT(error + 1, rows.end()) << plotter.screen();
    // The serial devices present (or none) follow on the same line.
    EXPECT_TRUE(error[1].starts_with("/nonexistent/plotanix-serial: No such file or directory; "))
        << plotter.screen();
    EXPECT_EQ(plotter.screen().find("opened with success"), std::string::npos);
    EXPECT_FALSE(plotter.hasFile("PLOTTER.TXT"));

    const auto leftFor = [&](const std::string& gone, const std::string& shown) {
        return plotter.tmux().waitForScreen([&](const std::string& screen) {
            return screen.find(gone) == screen.npos && screen.find(shown) != screen.npos;
        });
    };
    ASSERT_TRUE(plotter.pressNamed("Enter"));
    ASSERT_TRUE(leftFor("ENTER to go back", "Your choice :")) << plotter.screen();
    ASSERT_TRUE(plotter.pressKey("2"));
    ASSERT_TRUE(plotter.waitScreen("Option :")) << plotter.screen();
    ASSERT_TRUE(plotter.pressKey("1"));
    ASSERT_TRUE(plotter.waitScreen("(Enter or Esc keeps COM1):")) << plotter.screen();
    ASSERT_TRUE(plotter.pressKey(plotter.linePath()));
    ASSERT_TRUE(plotter.pressNamed("Enter"));
    ASSERT_TRUE(plotter.waitScreen("Serial device set to " + plotter.linePath() + " and saved."))
        << plotter.screen();
    ASSERT_TRUE(plotter.pressNamed("Escape"));
    ASSERT_TRUE(leftFor("Option :", "Your choice :")) << plotter.screen();
    ASSERT_TRUE(plotter.startPlotting()) << plotter.failure();

    ASSERT_TRUE(plotter.sendLine(runA));
    ASSERT_TRUE(plotter.waitPageMenu(3)) << plotter.screen();
    ASSERT_TRUE(plotter.choose("3", 2, "Waiting...")) << plotter.screen();
    ASSERT_TRUE(plotter.pressNamed("Escape"));
    ASSERT_TRUE(plotter.waitRow(24, "The page is not saved: Esc again to leave it, 1 to save it"))
        << plotter.screen();
    ASSERT_TRUE(plotter.pressNamed("Escape"));
    ASSERT_TRUE(leftFor("Waiting...", "Your choice :")) << plotter.screen();
    EXPECT_EQ(plotter.transcript(), runA);
    EXPECT_FALSE(findWindow("HP Plotter")) << "the window outlived the plotting";

    ASSERT_TRUE(plotter.pressKey("3"));
    EXPECT_EQ(plotter.waitForExit(), 0) << plotter.screen() << plotter.sanitizerReport();
    EXPECT_TRUE(plotter.terminalRestored());
    EXPECT_EQ(plotter.sanitizerReport(), "");
}

// Pen moves over the page, about size bytes of them.
std::string moves(size_t size) {
    std::string stream;
    for (int i = 0; stream.size() < size; ++i)
        stream += "PA" + std::to_string(i % 700) + "," + std::to_string(i % 500) + ";";
    return stream;
}

// Ended in the middle of a run, while the plotter still waits for more:
// every byte received is in the transcript, however little of it the
// transcript's buffer had passed on, and an earlier, longer transcript
// leaves nothing behind in it: it is kept under a name of its own, which
// the waiting screen gives.
TEST(MendedFaults, CtrlCCtrlBackslashOrAHangUpInTheMiddleOfARunKeepEveryByte) {
    const std::string stream = moves(40000);
    // The keys Ctrl+C and Ctrl+\, or none: the terminal hangs up.
    for (const std::string key : {"C-c", "C-\\", ""}) {
        SCOPED_TRACE(key.empty() ? "hang-up" : key);
        const bool hangUp = key.empty();
        PlotterSession plotter;
        writeFile(plotter.file("PLOTTER.TXT"), std::string(50000, 'x'));
        ASSERT_TRUE(plotter.startPlotting()) << plotter.failure();
        const std::vector<std::string> kept = keptTranscripts(plotter.file(""));
        ASSERT_EQ(kept.size(), 1u);
        EXPECT_EQ(readFile(kept[0]), std::string(50000, 'x'));
        const std::string keptName = std::filesystem::path(kept[0]).filename().string();
        EXPECT_TRUE(plotter.waitScreen("The previous transcript is kept as " + keptName))
            << plotter.screen();
        ASSERT_TRUE(plotter.sendLine(stream));
        ASSERT_TRUE(plotter.waitInstructionsAtLeast(
            static_cast<int>(std::count(stream.begin(), stream.end(), ';'))))
            << plotter.screen();
        ASSERT_EQ(plotter.screen().find("The HP has stopped"), std::string::npos);

        if (hangUp) {
            ASSERT_TRUE(plotter.tmux().killPane());
            EXPECT_TRUE(waitUntil([&] { return !plotter.running(); }, 5s)) << "still running";
        } else {
            ASSERT_TRUE(plotter.pressNamed(key));
            EXPECT_GE(plotter.waitForExit(), 0) << "not ended by itself\n" << plotter.screen();
            EXPECT_TRUE(plotter.terminalRestored());
        }
        EXPECT_TRUE(plotter.transcript() == stream)
            << plotter.transcript().size() << " bytes of " << stream.size();
        EXPECT_EQ(plotter.sanitizerReport(), "");
    }
}

// Ctrl+S at the terminal is a key, not a stop of its output: a stopped
// terminal would stop the screen's writes and with them the loop, and the
// line's bytes would wait unread. The plot is read, shown and kept.
TEST(MendedFaults, CtrlSStopsNeitherTheScreenNorTheLine) {
    const std::string stream = moves(20000);
    const int instructions = static_cast<int>(std::count(stream.begin(), stream.end(), ';'));
    PlotterSession plotter;
    ASSERT_TRUE(plotter.startPlotting()) << plotter.failure();
    ASSERT_TRUE(plotter.pressNamed("C-s"));
    ASSERT_TRUE(plotter.sendLine(stream));
    EXPECT_TRUE(plotter.waitPageMenu(instructions)) << plotter.screen();
    EXPECT_TRUE(plotter.transcript() == stream)
        << plotter.transcript().size() << " bytes of " << stream.size();
    expectCleanQuit(plotter);
}

// A terminal that takes nothing (its tmux server stopped, the pane's
// buffer full) delays the screen, never the line: the plot is read and
// kept meanwhile, and the screen is right once the terminal goes on.
TEST(MendedFaults, AFullTerminalHoldsNeitherTheLineNorTheScreen) {
    const std::string stream = moves(20000);
    const int instructions = static_cast<int>(std::count(stream.begin(), stream.end(), ';'));
    PlotterSession plotter;
    ASSERT_TRUE(plotter.startPlotting()) << plotter.failure();
    const pid_t server = std::stoi(plotter.tmux().query("#{pid}"));
    const UniqueFd pane(
        ::open(plotter.tmux().query("#{pane_tty}").c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK));
    ASSERT_TRUE(pane.valid());
    struct Stopped {
        explicit Stopped(pid_t pid) : pid(pid) { ::kill(pid, SIGSTOP); }
        ~Stopped() { ::kill(pid, SIGCONT); }
        pid_t pid;
    };
    {
        const Stopped terminal(server);
        // NULs, which a terminal shows as nothing, until it takes no more
        // (a write cut short says little: the next may still go).
        const std::string nothing(4096, '\0');
        for (int refused = 0; refused < 5;) {
            pollfd room{pane.get(), POLLOUT, 0};
            if (::write(pane.get(), nothing.data(), nothing.size()) > 0) {
                refused = 0;
            } else {
                ++refused;
                ::poll(&room, 1, 20);
            }
        }
        // Paced, so that the screen is written to between the line's reads.
        EXPECT_TRUE(plotter.sendLine(stream, 10000)) << "the line was not read";
        EXPECT_TRUE(waitUntil([&] { return plotter.transcript() == stream; }))
            << plotter.transcript().size() << " bytes of " << stream.size()
            << " read while the terminal was full";
    }
    EXPECT_TRUE(plotter.waitPageMenu(instructions)) << plotter.screen();
    expectCleanQuit(plotter);
}

} // namespace
} // namespace plotanix::testing
