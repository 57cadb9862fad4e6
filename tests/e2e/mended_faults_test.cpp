// Where the plotter must do better than report success or lose data: saves
// that cannot be written, pages saved earlier, a missing serial port, and
// endings by signal in the middle of a run.

#include "plotter_harness.h"

#include "support/wait_until.h"

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <set>
#include <thread>
#include <unistd.h>

namespace plotanix::testing {
namespace {

const std::string runA = "SP1;PU100,100;PD300,100,300,300;";
constexpr int countA = 3;

std::string marker(const std::string& text) {
    return "\r\n**** " + text + " ****\r\n\r\n";
}

std::set<std::string> filesIn(const std::string& directory) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory))
        names.insert(entry.path().filename().string());
    return names;
}

// Root ignores permissions, but not the immutable attribute: no file can
// be made in such a directory, while files already open can still grow.
class ImmutableDirectory {
  public:
    explicit ImmutableDirectory(std::string path) : path_(std::move(path)) {
        set_ = runCommand({"chattr", "+i", path_}, true).status == 0;
    }
    ~ImmutableDirectory() { release(); }
    bool set() const { return set_; }
    void release() {
        if (set_) runCommand({"chattr", "-i", path_}, true);
        set_ = false;
    }

  private:
    std::string path_;
    bool set_ = false;
};

// A tiny tmpfs to fill up, so that a save runs out of room half way.
class SmallFileSystem {
  public:
    SmallFileSystem() {
        mounted_ = runCommand({"mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs",
                               directory_.path().string()},
                              true)
                       .status == 0;
    }
    ~SmallFileSystem() {
        if (mounted_) runCommand({"umount", "-l", directory_.path().string()}, true);
    }
    bool mounted() const { return mounted_; }
    std::string path() const { return directory_.path().string(); }
    // Writes a file until the file system refuses more.
    void fill(const std::string& name) const {
        const int fd = ::open(directory_.file(name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0) return;
        const std::string block(4096, 'f');
        while (::write(fd, block.data(), block.size()) > 0) {
        }
        while (::write(fd, block.data(), 1) > 0) {
        }
        ::close(fd);
    }

  private:
    TempDir directory_;
    bool mounted_ = false;
};

// The computer plotting a long drawing at 9600 baud on its own thread, so
// that the test can end the program in the middle of the run.
class PacedComputer {
  public:
    explicit PacedComputer(PtyPair& line) : line_(line) {
        for (int i = 0; stream_.size() < 40000; ++i)
            stream_ += "PA" + std::to_string(i % 700) + "," + std::to_string(i % 500) + ";";
        thread_ = std::thread([this] { run(); });
    }
    ~PacedComputer() { stop(); }
    void stop() {
        stopping_ = true;
        if (thread_.joinable()) thread_.join();
    }
    std::size_t sent() const { return sent_; }
    const std::string& stream() const { return stream_; }

  private:
    void run() {
        auto next = std::chrono::steady_clock::now();
        for (std::size_t at = 0; at < stream_.size() && !stopping_; at += slice) {
            if (!line_.writeMaster(std::string_view(stream_).substr(at, slice), 1s)) return;
            sent_ = std::min(at + slice, stream_.size());
            next += 10ms; // ten bytes every 10 ms: about 9600 baud
            std::this_thread::sleep_until(next);
        }
    }

    static constexpr std::size_t slice = 10;
    PtyPair& line_;
    std::string stream_;
    std::atomic<std::size_t> sent_{0};
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

// Everything sent before the ending is in the transcript, nothing else,
// in order, and an earlier, longer transcript left nothing behind.
void expectWholeTranscript(const PlotterSession& plotter, const PacedComputer& computer,
                           std::size_t sentBeforeEnding) {
    const std::string transcript = plotter.transcript();
    EXPECT_GE(transcript.size(), sentBeforeEnding) << "bytes received before the ending are lost";
    EXPECT_LE(transcript.size(), computer.sent());
    EXPECT_EQ(transcript, computer.stream().substr(0, transcript.size()))
        << "the transcript is not what the computer sent";
}

class MendedFaults : public ::testing::Test {
  protected:
    void startAndPlot(PlotterSession& plotter) {
        ASSERT_TRUE(plotter.start()) << plotter.failure();
        ASSERT_TRUE(plotter.startPlotting()) << plotter.screen();
        ASSERT_TRUE(plotter.sendLine(runA));
        ASSERT_TRUE(plotter.waitPageMenu(countA)) << plotter.screen();
    }
};

TEST_F(MendedFaults, ASaveThatCannotBeWrittenIsReportedAndKeepsTheNumber) {
    PlotterSession plotter;
    ASSERT_NO_FATAL_FAILURE(startAndPlot(plotter));
    ImmutableDirectory immutable(plotter.directory());
    if (!immutable.set()) GTEST_SKIP() << "chattr +i is not available here";

    ASSERT_TRUE(plotter.pressKey("1"));
    ASSERT_TRUE(plotter.waitRow(11, "Command : 1  Error, can't save the page: PLOTTER_00001.PNG"))
        << plotter.screen();
    ASSERT_TRUE(plotter.waitRow(12, "Command : ")) << plotter.screen();
    EXPECT_EQ(filesIn(plotter.directory()), std::set<std::string>{"PLOTTER.TXT"});
    EXPECT_EQ(plotter.transcript(), runA) << "a marker for a page that was not saved";

    immutable.release();
    ASSERT_TRUE(plotter.pressKey("1"));
    ASSERT_TRUE(plotter.waitRow(12, "Command : 1  Ok.")) << plotter.screen();
    EXPECT_EQ(differingPixels(plotter.savedPage(1), *expectedPage({runA})), 0);
    EXPECT_EQ(plotter.quit(), 0) << plotter.screen() << plotter.sanitizerReport();
    EXPECT_EQ(plotter.transcript(), runA + marker("SAVE PAGE #1"));
}

TEST_F(MendedFaults, ASaveOnAFullDiskLeavesNoPartialFile) {
    SmallFileSystem disk;
    if (!disk.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here";
    PlotterOptions options;
    options.workingDirectory = disk.path();
    PlotterSession plotter(options);
    ASSERT_NO_FATAL_FAILURE(startAndPlot(plotter));

    disk.fill("filler");
    ASSERT_TRUE(plotter.pressKey("1"));
    ASSERT_TRUE(plotter.waitRow(11, "Command : 1  Error, can't save the page: PLOTTER_00001.PNG"))
        << plotter.screen();
    const std::set<std::string> expected = {"PLOTTER.TXT", "filler"};
    EXPECT_EQ(filesIn(disk.path()), expected);

    std::filesystem::remove(plotter.file("filler"));
    ASSERT_TRUE(plotter.pressKey("1"));
    ASSERT_TRUE(plotter.waitRow(12, "Command : 1  Ok.")) << plotter.screen();
    EXPECT_EQ(differingPixels(plotter.savedPage(1), *expectedPage({runA})), 0);
    EXPECT_EQ(plotter.quit(), 0) << plotter.screen() << plotter.sanitizerReport();
    EXPECT_EQ(plotter.transcript(), runA + marker("SAVE PAGE #1"));
}

TEST_F(MendedFaults, PagesSavedEarlierAreNeverOverwritten) {
    PlotterSession plotter;
    const std::string yesterday = "yesterday's page 1";
    const std::string dayBefore = "an older page 3";
    writeFile(plotter.file(savedPageName(1)), yesterday);
    writeFile(plotter.file(savedPageName(3)), dayBefore);
    ASSERT_NO_FATAL_FAILURE(startAndPlot(plotter));

    ASSERT_TRUE(plotter.pressKey("1"));
    ASSERT_TRUE(plotter.waitRow(11, "Command : 1  Ok.")) << plotter.screen();
    ASSERT_TRUE(plotter.pressKey("1"));
    ASSERT_TRUE(plotter.waitRow(12, "Command : 1  Ok.")) << plotter.screen();

    EXPECT_EQ(readFile(plotter.file(savedPageName(1))), yesterday);
    EXPECT_EQ(readFile(plotter.file(savedPageName(3))), dayBefore);
    const auto expected = expectedPage({runA});
    EXPECT_EQ(differingPixels(plotter.savedPage(2), *expected), 0);
    EXPECT_EQ(differingPixels(plotter.savedPage(4), *expected), 0);
    EXPECT_EQ(plotter.quit(), 0) << plotter.screen() << plotter.sanitizerReport();
    EXPECT_EQ(plotter.transcript(), runA + marker("SAVE PAGE #2") + marker("SAVE PAGE #4"));
}

TEST_F(MendedFaults, AMissingPortIsReportedAndTheProgramEnds) {
    PlotterOptions options;
    options.portPath = "/nonexistent/plotanix-serial";
    PlotterSession plotter(options);
    ASSERT_TRUE(plotter.start()) << plotter.failure();
    ASSERT_TRUE(plotter.pressKey("1"));
    ASSERT_TRUE(plotter.waitScreen("ENTER to quit...")) << plotter.screen();

    const auto rows = plotter.rows();
    std::size_t error = 0;
    while (error < rows.size() &&
           rows[error].find("Error, can't open the serial port: COM1") == std::string::npos)
        ++error;
    ASSERT_LT(error + 1, rows.size()) << plotter.screen();
    EXPECT_NE(rows[error + 1].find("/nonexistent/plotanix-serial"), std::string::npos);
    EXPECT_NE(rows[error + 1].find("PLOTANIX_COM1"), std::string::npos);
    EXPECT_EQ(plotter.screen().find("opened with success"), std::string::npos);

    EXPECT_EQ(plotter.confirmQuit(), 0) << plotter.screen() << plotter.sanitizerReport();
    EXPECT_TRUE(plotter.terminalRestored());
    EXPECT_FALSE(plotter.hasFile("PLOTTER.TXT"));
    EXPECT_EQ(plotter.sanitizerReport(), "");
}

TEST_F(MendedFaults, CtrlCInTheMiddleOfARunKeepsEveryByte) {
    PlotterSession plotter;
    writeFile(plotter.file("PLOTTER.TXT"), std::string(10000, 'x'));
    ASSERT_TRUE(plotter.start()) << plotter.failure();
    ASSERT_TRUE(plotter.startPlotting()) << plotter.screen();
    PacedComputer computer(plotter.line());
    ASSERT_TRUE(plotter.waitInstructionsAtLeast(100)) << plotter.screen();

    const std::size_t sentBefore = computer.sent();
    ASSERT_TRUE(plotter.pressNamed("C-c"));
    const int status = plotter.waitForExit();
    computer.stop();
    EXPECT_GE(status, 0) << "not ended by the program itself\n" << plotter.screen();
    EXPECT_LT(computer.sent(), computer.stream().size()) << "the run was over before the signal";
    EXPECT_TRUE(plotter.terminalRestored());
    expectWholeTranscript(plotter, computer, sentBefore);
    EXPECT_EQ(plotter.sanitizerReport(), "");
}

TEST_F(MendedFaults, AHangUpInTheMiddleOfARunKeepsEveryByte) {
    PlotterSession plotter;
    ASSERT_TRUE(plotter.start()) << plotter.failure();
    ASSERT_TRUE(plotter.startPlotting()) << plotter.screen();
    PacedComputer computer(plotter.line());
    ASSERT_TRUE(plotter.waitInstructionsAtLeast(100)) << plotter.screen();

    const std::size_t sentBefore = computer.sent();
    ASSERT_TRUE(plotter.tmux().tmux({"kill-session", "-t", "main"}).status == 0);
    EXPECT_TRUE(waitUntil([&] { return !plotter.running(); }, 5s)) << "still running";
    computer.stop();
    expectWholeTranscript(plotter, computer, sentBefore);
    EXPECT_EQ(plotter.sanitizerReport(), "");
}

TEST_F(MendedFaults, TerminationWhileTheMenuWaitsKeepsTheTranscript) {
    PlotterSession plotter;
    ASSERT_NO_FATAL_FAILURE(startAndPlot(plotter));
    ASSERT_TRUE(plotter.pressKey("2"));
    ASSERT_TRUE(plotter.waitRow(11, "Command : 2  Ok.")) << plotter.screen();

    ASSERT_EQ(::kill(plotter.pid(), SIGTERM), 0);
    EXPECT_GE(plotter.waitForExit(), 0) << "not ended by the program itself\n" << plotter.screen();
    EXPECT_TRUE(plotter.terminalRestored());
    EXPECT_EQ(plotter.transcript(), runA + marker("NEW PAGE"));
    EXPECT_EQ(plotter.sanitizerReport(), "");
}

} // namespace
} // namespace plotanix::testing
