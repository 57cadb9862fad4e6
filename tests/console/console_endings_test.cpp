// Endings in a real terminal: Ctrl+C, a closed terminal (hang-up) and
// termination run the driver's clean-up once, in its main flow, never in
// the middle of a log write; the process ends promptly and gives the
// terminal back. The driver writes records in many small writes, back to
// back, checking for events only between records: a clean-up that ran
// where a signal lands would show up inside a record.

#include "driver_session.h"

#include "support/process.h"
#include "support/temp_dir.h"
#include "support/wait_until.h"

#include <csignal>
#include <cstdlib>
#include <gtest/gtest.h>
#include <sstream>

namespace plotanix::testing {
namespace {

using namespace std::chrono_literals;

class ConsoleEndings : public ::testing::Test {
  protected:
    std::vector<std::string> fileLines() const {
        std::istringstream in(readFile(file_));
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }
    // Starts the driver's log writing and returns its process id once it
    // has written a few records.
    int startLogging() {
        EXPECT_TRUE(startDriver(tmux, {"log", file_}));
        EXPECT_TRUE(waitUntil([this] {
            return readFile(file_).find("end 20\n") != std::string::npos;
        })) << tmux.lastScreen();
        const auto lines = fileLines();
        return lines.empty() || lines[0].rfind("pid ", 0) != 0 ? -1
                                                               : std::atoi(lines[0].c_str() + 4);
    }
    // The file: the pid, whole records, then one clean-up line (returned)
    // and the terminal's state.
    std::string cleanUpAfterWholeRecords() const {
        const auto lines = fileLines();
        const std::size_t records = lines.size() < 3 ? 0 : (lines.size() - 3) / 3;
        EXPECT_GE(records, 21u);
        EXPECT_EQ(lines.size(), 1 + 3 * records + 2) << "a record was cut or the clean-up repeated";
        for (std::size_t n = 0; n < records && n * 3 + 3 < lines.size(); ++n) {
            const auto number = std::to_string(n);
            EXPECT_TRUE(lines[1 + 3 * n] == "begin " + number &&
                        lines[2 + 3 * n] == std::string(50, '.') &&
                        lines[3 + 3 * n] == "end " + number)
                << "record " << n << " was cut";
        }
        return lines.size() < 2 ? "" : lines[lines.size() - 2];
    }

    TempDir directory_;
    std::string file_ = directory_.file("endings.txt");
    TmuxSession tmux;
};

TEST_F(ConsoleEndings, CtrlCRunsTheCleanUpOnceAndGivesTheTerminalBack) {
    const int pid = startLogging();
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(tmux.sendKeys({"C-c"}));
    EXPECT_TRUE(waitUntil([pid] { return processEnded(pid); }, 1s)) << "still running after 1 s";
    ASSERT_TRUE(tmux.waitForExit());
    EXPECT_EQ(tmux.paneExitStatus(), 0);
    EXPECT_EQ(cleanUpAfterWholeRecords(), "cleanup 2");
    EXPECT_EQ(fileLines().back(), "terminal echo=1 icanon=1");
}

TEST_F(ConsoleEndings, HangUpRunsTheCleanUpOnceAndEnds) {
    const int pid = startLogging();
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(tmux.killPane()); // the terminal goes away under the program
    EXPECT_TRUE(waitUntil([pid] { return processEnded(pid); }, 1s)) << "still running after 1 s";
    EXPECT_EQ(cleanUpAfterWholeRecords(), "cleanup 1");
}

TEST_F(ConsoleEndings, SeveralSignalsStillMeanOneCleanUp) {
    const int pid = startLogging();
    ASSERT_GT(pid, 0);
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    kill(pid, SIGHUP); // may find the process gone already
    ASSERT_TRUE(tmux.waitForExit());
    EXPECT_EQ(tmux.paneExitStatus(), 0);
    // Both may be pending at once, and the lower number is delivered first.
    const std::string cleanup = cleanUpAfterWholeRecords();
    EXPECT_TRUE(cleanup == "cleanup 15" || cleanup == "cleanup 1") << cleanup;
}

} // namespace
} // namespace plotanix::testing
