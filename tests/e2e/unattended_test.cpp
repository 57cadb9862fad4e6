// plotanix --unattended as a service runs it: standard input /dev/null, no
// terminal, no display, a pseudo-terminal as the line, the journal in files.

#include "plotter_harness.h"
#include "support/wait_until.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <regex>
#include <spawn.h>
#include <sys/wait.h>

namespace plotanix::testing {
namespace {

int started(const std::vector<std::string>& args, const std::string& out, const std::string& err) {
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&files, 1, out.c_str(), O_WRONLY | O_CREAT, 0600);
    posix_spawn_file_actions_addopen(&files, 2, err.c_str(), O_WRONLY | O_CREAT, 0600);
    std::vector<char*> argv;
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    posix_spawnp(&pid, argv[0], &files, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&files);
    return pid;
}

TEST(Unattended, SavesEachPlotAfterTheGapAndThePlotInProgressWhenTerminated) {
    TempDir pages, logs;
    PtyPair line;
    ASSERT_TRUE(line.ok()) << line.error();
    const std::string out = logs.file("out"), err = logs.file("err");
    const int pid = started({"env", "-u", "TERM", "-u", "DISPLAY", PLOTANIX_BINARY, "--unattended",
                             "--port", line.slavePath(), "--dir", pages.path(), "--page-gap", "1"},
                            out, err);
    ASSERT_GT(pid, 0);
    const auto savedPages = [&] {
        const std::string journal = readFile(out);
        int count = 0;
        for (size_t at = 0; (at = journal.find("page saved", at)) != std::string::npos; ++at)
            ++count;
        return count;
    };
    const std::vector<std::string> plots = {"SP1;PA100,100;PD700,500;",
                                            "SP2;PA100,500;PD700,100;LBunattended\x03;",
                                            "SP3;PA400,0;PD400,600;OI;"};
    for (int page = 1; page <= 2; ++page) {
        ASSERT_TRUE(line.writeMaster(plots[page - 1]));
        ASSERT_TRUE(waitUntil([&] { return savedPages() == page; }, 15s)) << readFile(out);
    }
    // The third plot is cut short; the query's answer shows it has been read.
    ASSERT_TRUE(line.writeMaster(plots[2]));
    EXPECT_EQ(line.readMasterUntil("\r\n", 10s), "7470A\r\n");
    ::kill(pid, SIGTERM);
    int status = -1;
    if (!waitUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, 10s)) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    EXPECT_EQ(status, 0) << readFile(err);

    std::string transcript;
    for (int page = 1; page <= 3; ++page) {
        const DecodedPng png = decodePng(readFile(pages.file(savedPageName(page))));
        EXPECT_EQ(differingPixels(png, *expectedPage({plots[page - 1]})), 0) << page;
        transcript +=
            plots[page - 1] + marker("SAVE PAGE #" + std::to_string(page)) + marker("NEW PAGE");
    }
    EXPECT_EQ(readFile(pages.file("PLOTTER.TXT")), transcript);
    const std::string journal = readFile(out);
    const std::regex stamped(
        "(\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d[+-]\\d\\d:\\d\\d [a-z].*\n){8}");
    EXPECT_TRUE(std::regex_match(journal, stamped)) << journal;
    EXPECT_EQ(readFile(err), "");
}

} // namespace
} // namespace plotanix::testing
