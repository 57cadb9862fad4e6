// Endings in a real terminal: Ctrl+C, a closed terminal (hang-up) and
// termination run the driver's clean-up once, in its main flow, never in
// the middle of a log write; the process ends promptly and gives the
// terminal back.

#include "driver_session.h"

#include "support/wait_until.h"

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>

namespace plotanix::testing {
namespace {

using namespace std::chrono_literals;

bool processEnded(int pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!stat || !std::getline(stat, text)) return true;
    const auto close = text.rfind(')');
    // A zombie has ended too: only its parent's wait is missing.
    return close == std::string::npos || close + 2 >= text.size() || text[close + 2] == 'Z' ||
           text[close + 2] == 'X';
}

class ConsoleEndings : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/plotanix-console-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        directory_ = pattern;
        file_ = directory_ + "/endings.txt";
    }
    void TearDown() override {
        tmux.killServer();
        std::filesystem::remove_all(directory_);
    }

    std::vector<std::string> fileLines() const {
        std::ifstream in(file_);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }
    std::vector<std::string> linesStartingWith(const std::string& prefix) const {
        std::vector<std::string> found;
        for (const auto& line : fileLines()) {
            if (line.rfind(prefix, 0) == 0) found.push_back(line);
        }
        return found;
    }
    // Starts the driver and returns its process id once it is running.
    int startAndGetPid(const std::string& scenario, const std::string& shown) {
        EXPECT_TRUE(startDriver(tmux, {scenario, file_}));
        EXPECT_TRUE(tmux.waitForText(shown)) << tmux.lastScreen();
        const auto lines = fileLines();
        if (lines.empty() || lines[0].rfind("pid ", 0) != 0) return -1;
        return std::atoi(lines[0].c_str() + 4);
    }

    TmuxSession tmux;
    std::string directory_;
    std::string file_;
};

TEST_F(ConsoleEndings, CtrlCRunsTheCleanUpOnceAndGivesTheTerminalBack) {
    const int pid = startAndGetPid("wait", "waiting");
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(tmux.sendKeys({"k"}));
    ASSERT_TRUE(tmux.waitForText("key 6b")) << tmux.lastScreen();

    ASSERT_TRUE(tmux.sendKeys({"C-c"}));
    EXPECT_TRUE(waitUntil([pid] { return processEnded(pid); }, 1s)) << "still running after 1 s";
    ASSERT_TRUE(tmux.waitForExit());
    EXPECT_EQ(tmux.paneExitStatus(), 0);
    const std::vector<std::string> expected = {"pid " + std::to_string(pid), "cleanup 2",
                                               "terminal echo=1 icanon=1"};
    EXPECT_EQ(fileLines(), expected);
}

TEST_F(ConsoleEndings, HangUpRunsTheCleanUpOnceAndEnds) {
    const int pid = startAndGetPid("wait", "waiting");
    ASSERT_GT(pid, 0);

    ASSERT_TRUE(tmux.killPane()); // the terminal goes away under the program
    EXPECT_TRUE(waitUntil([pid] { return processEnded(pid); }, 1s)) << "still running after 1 s";
    EXPECT_EQ(linesStartingWith("cleanup"), std::vector<std::string>{"cleanup 1"});
}

TEST_F(ConsoleEndings, SeveralSignalsStillMeanOneCleanUp) {
    const int pid = startAndGetPid("wait", "waiting");
    ASSERT_GT(pid, 0);

    ASSERT_EQ(kill(pid, SIGTERM), 0);
    kill(pid, SIGHUP); // may find the process gone already
    ASSERT_TRUE(tmux.waitForExit());
    EXPECT_EQ(tmux.paneExitStatus(), 0);
    const auto cleanups = linesStartingWith("cleanup");
    ASSERT_EQ(cleanups.size(), 1u);
    EXPECT_TRUE(cleanups[0] == "cleanup 15" || cleanups[0] == "cleanup 1") << cleanups[0];
}

// The driver writes records in many small writes, back to back, checking
// for events only between records. A clean-up that ran where the signal
// lands would show up inside a record.
TEST_F(ConsoleEndings, CleanUpNeverRunsInsideALogWrite) {
    const int pid = startAndGetPid("log", "logging");
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(waitUntil([this] { return !linesStartingWith("end 20").empty(); }));

    ASSERT_EQ(kill(pid, SIGTERM), 0);
    ASSERT_TRUE(tmux.waitForExit());
    EXPECT_EQ(tmux.paneExitStatus(), 0);

    const auto lines = fileLines();
    ASSERT_GE(lines.size(), 3u + 3 * 21);
    const std::size_t records = (lines.size() - 3) / 3;
    ASSERT_EQ(lines.size(), 1 + 3 * records + 2) << "a record was cut or the clean-up repeated";
    for (std::size_t n = 0; n < records; ++n) {
        const auto number = std::to_string(n);
        ASSERT_EQ(lines[1 + 3 * n], "begin " + number);
        ASSERT_EQ(lines[2 + 3 * n], std::string(50, '.')) << "record " << n;
        ASSERT_EQ(lines[3 + 3 * n], "end " + number);
    }
    EXPECT_EQ(lines[lines.size() - 2], "cleanup 15");
    EXPECT_EQ(lines.back(), "terminal echo=1 icanon=1");
}

} // namespace
} // namespace plotanix::testing
