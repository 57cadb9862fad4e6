// plotanix --unattended as a service runs it: standard input /dev/null, no
// terminal, no display, a pseudo-terminal as the line, the journal in files.

#include "plotter_harness.h"
#include "support/wait_until.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <regex>
#include <spawn.h>
#include <sys/wait.h>

namespace plotanix::testing {
namespace {

// Started through the shell for its redirections; exec keeps the process id.
pid_t started(const std::string& command) {
    const std::string script = "exec env -u TERM -u DISPLAY " + command;
    const char* argv[] = {"sh", "-c", script.c_str(), nullptr};
    pid_t pid = -1;
    return posix_spawnp(&pid, "sh", nullptr, nullptr, const_cast<char**>(argv), environ) == 0 ? pid
                                                                                              : -1;
}

// Whatever becomes of the test, the program does not outlive it.
struct Reaped {
    pid_t pid;
    ~Reaped() {
        if (::waitpid(pid, nullptr, WNOHANG) != 0) return;
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
};

TEST(Unattended, SavesEachPlotAfterTheGapAndThePlotInProgressWhenTerminated) {
    TempDir pages, logs;
    PtyPair line;
    ASSERT_TRUE(line.ok()) << line.error();
    const std::string out = logs.file("out"), err = logs.file("err");
    writeFile(pages.file("PLOTTER.TXT"), "an earlier capture");
    const pid_t pid = started(std::string(PLOTANIX_BINARY) + " --unattended --port " +
                              line.slavePath() + " --dir " + pages.path().string() +
                              " --page-gap 1 </dev/null >" + out + " 2>" + err);
    ASSERT_GT(pid, 0);
    const Reaped reaped{pid};
    const std::vector<std::string> plots = {"SP1;PA100,100;PD700,500;",
                                            "SP2;PA100,500;PD700,100;LBunattended\x03;",
                                            "SP3;PA400,0;PD400,600;OI;"};
    for (int page = 1; page <= 2; ++page) {
        ASSERT_TRUE(line.writeMaster(plots[page - 1]));
        const std::string name = pages.file(savedPageName(page));
        ASSERT_TRUE(waitUntil([&] { return std::filesystem::exists(name); }, 15s)) << readFile(out);
    }
    // The third plot is cut short; the query's answer shows it has been read.
    ASSERT_TRUE(line.writeMaster(plots[2]));
    EXPECT_EQ(line.readMasterUntil("\r\n", 10s), "7470A\r\n");
    ::kill(pid, SIGTERM);
    int status = -1;
    waitUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, 10s);
    EXPECT_EQ(status, 0) << readFile(err);

    std::string transcript;
    for (int page = 1; page <= 3; ++page) {
        const DecodedPng png = readPng(pages.file(savedPageName(page)));
        EXPECT_EQ(differingPixels(png, *expectedPage({plots[page - 1]})), 0) << page;
        transcript +=
            plots[page - 1] + marker("SAVE PAGE #" + std::to_string(page)) + marker("NEW PAGE");
    }
    EXPECT_EQ(readFile(pages.file("PLOTTER.TXT")), transcript);
    const std::vector<std::string> kept = keptTranscripts(pages.path());
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(readFile(kept[0]), "an earlier capture");
    const std::string journal = readFile(out);
    EXPECT_NE(journal.find(" previous transcript kept: " + kept[0] + "\n"), std::string::npos)
        << journal;
    const std::regex stamped(
        "(\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d[+-]\\d\\d:\\d\\d [a-z].*\n){9}");
    EXPECT_TRUE(std::regex_match(journal, stamped)) << journal;
    EXPECT_EQ(readFile(err), "");
}

} // namespace
} // namespace plotanix::testing
