#include "logfile/log_file.h"
#include "logfile/transcript_format.h"
#include "support/temp_dir.h"
#include "support/without_root_override.h"

#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <vector>

using plotanix::LogFile;
namespace transcript = plotanix::transcript;
using plotanix::testing::readFile;
using plotanix::testing::writeFile;

namespace {

class Transcript : public ::testing::Test {
  protected:
    void write(LogFile& log, const std::string& bytes) {
        log.writeLogBytes(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    }

    plotanix::testing::TempDir dir;
    const std::string path = dir.file("PLOTTER.TXT");
    LogFile log;
};

TEST_F(Transcript, PiecesAreWrittenByteForByte) {
    ASSERT_TRUE(log.openLog(path));
    write(log, std::string("A\0B\x03", 4)); // chunks keep NUL and control bytes
    log.writeLogText("****IN***");
    log.writeLogText(std::string("****\0X***", 9)); // a text ends at its NUL
    log.writeLogText("");
    log.writeLogText(transcript::savePageMarker(1));
    log.writeLogText(transcript::newPageMarker());
    log.closeLog();
    EXPECT_EQ(readFile(path), std::string("A\0B\x03", 4) + "****IN***" + "****" +
                                  "\r\n**** SAVE PAGE #1 ****\r\n\r\n" +
                                  "\r\n**** NEW PAGE ****\r\n\r\n");
}

// 2026-12-07 10:15:30 UTC, the time the earlier transcript was last written.
constexpr time_t earlierWritten = 1796638530;
const std::string keptName = "PLOTTER-20261207-101530.TXT";

void lastWritten(const std::string& path, time_t when) {
    const timespec times[2] = {{when, 0}, {when, 0}};
    ::utimensat(AT_FDCWD, path.c_str(), times, 0);
}

// A start never empties an earlier transcript: it is kept under the time it
// was last written (the next free name when that is taken, never over
// another file), and the new one holds only what this start writes,
// truncated at the end or not (ended by a signal).
TEST_F(Transcript, AnEarlierTranscriptIsKeptUnderANameOfItsOwn) {
    ::setenv("TZ", "UTC0", 1);
    ::tzset();
    const struct {
        std::string earlier;
        std::vector<std::string> taken;
        std::string kept; // "" when nothing is kept
        bool truncated;
    } cases[] = {
        {"", {}, "", true},
        {std::string(10000, 'x'), {}, keptName, true},
        {"earlier", {}, keptName, false},
        {"earlier",
         {keptName, "PLOTTER-20261207-101530-2.TXT"},
         "PLOTTER-20261207-101530-3.TXT",
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.kept + " after " + std::to_string(c.taken.size()) + " taken");
        std::filesystem::remove_all(dir.path());
        std::filesystem::create_directory(dir.path());
        for (const std::string& name : c.taken)
            writeFile(dir.file(name), "taken " + name);
        writeFile(path, c.earlier);
        lastWritten(path, earlierWritten);
        LogFile fresh;
        ASSERT_TRUE(fresh.openLog(path));
        EXPECT_EQ(fresh.keptAs(), c.kept.empty() ? "" : dir.file(c.kept));
        write(fresh, "short");
        if (c.truncated) fresh.truncateLog();
        fresh.closeLog();
        EXPECT_EQ(readFile(path), "short");
        if (!c.kept.empty()) EXPECT_EQ(readFile(dir.file(c.kept)), c.earlier);
        for (const std::string& name : c.taken)
            EXPECT_EQ(readFile(dir.file(name)), "taken " + name);
        const auto files = std::distance(std::filesystem::directory_iterator(dir.path()), {});
        EXPECT_EQ(files, 1 + static_cast<long>(c.taken.size()) + (c.kept.empty() ? 0 : 1));
    }
}

// When the earlier transcript cannot be renamed it is not emptied either:
// this start runs without a log and says why.
TEST_F(Transcript, AnEarlierTranscriptThatCannotBeKeptIsLeftAsItWas) {
    ::setenv("TZ", "UTC0", 1);
    ::tzset();
    writeFile(path, "earlier");
    lastWritten(path, earlierWritten);
    std::filesystem::permissions(dir.path(), std::filesystem::perms(0555));
    bool opened = true;
    {
        plotanix::testing::WithoutRootOverride asAnOrdinaryUser;
        opened = log.openLog(path);
    }
    std::filesystem::permissions(dir.path(), std::filesystem::perms(0755));
    EXPECT_FALSE(opened);
    EXPECT_TRUE(log.keepFailed());
    EXPECT_EQ(log.lastError(), path + " could not be kept as " + keptName +
                                   ": Permission denied; it is left as it was");
    write(log, "lost");
    log.closeLog();
    EXPECT_EQ(readFile(path), "earlier");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST_F(Transcript, DoesNothingWhileNotOpen) {
    write(log, "lost");
    log.writeLogText("x");
    log.flushLog();
    log.truncateLog();
    log.closeLog();
    EXPECT_FALSE(log.isOpen());
    EXPECT_FALSE(log.openLog(dir.file("missing/PLOTTER.TXT")));
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST_F(Transcript, SecondWriterInTheSameDirectoryRunsWithoutALog) {
    ASSERT_TRUE(log.openLog(path));
    write(log, "first");
    log.flushLog();
    LogFile second;
    EXPECT_FALSE(second.openLog(path));
    write(second, "second");
    second.closeLog();
    write(log, " run");
    log.closeLog();
    EXPECT_EQ(readFile(path), "first run");
}

// Only a plain file of its own is used: whatever else is planted under the
// name is refused without a hang and left as it was, and so is what it
// leads to.
TEST_F(Transcript, OpensOnlyAPlainFileOfItsOwn) {
    namespace fs = std::filesystem;
    const std::string other = dir.file("precious");
    const std::pair<void (*)(const std::string&, const std::string&), std::string> cases[] = {
        {[](auto& p, auto&) { writeFile(p, "old"); }, ""},
        {[](auto& p, auto& o) { fs::create_symlink(o, p); }, " is a symbolic link"},
        {[](auto& p, auto& o) { fs::create_hard_link(o, p); }, " has other names (hard links)"},
        {[](auto& p, auto&) { ::mkfifo(p.c_str(), 0600); }, " is a FIFO"},
        {[](auto& p, auto&) { fs::create_directory(p); }, " is a directory"},
    };
    for (const auto& [plant, reason] : cases) {
        SCOPED_TRACE(reason);
        fs::remove(path);
        writeFile(other, "keep me");
        plant(path, other);
        LogFile fresh;
        EXPECT_EQ(fresh.openLog(path), reason.empty());
        EXPECT_EQ(fresh.lastError(), reason.empty() ? "" : path + reason);
        write(fresh, "transcript");
        fresh.closeLog();
        EXPECT_EQ(readFile(other), "keep me");
        if (reason.empty()) EXPECT_EQ(readFile(path), "transcript");
    }
    fs::remove(path);
    const mode_t umask = ::umask(027);
    const bool opened = log.openLog(path);
    ::umask(umask);
    ASSERT_TRUE(opened);
    EXPECT_EQ(fs::status(path).permissions(), static_cast<fs::perms>(0640)) << "0666 less umask";
}

} // namespace
