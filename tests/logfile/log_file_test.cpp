#include "logfile/log_file.h"
#include "logfile/transcript_format.h"
#include "support/temp_dir.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>

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

// Truncated at the end, or not (ended by a signal): nothing of an earlier,
// longer transcript survives.
TEST_F(Transcript, EarlierLongerTranscriptNeverSurvives) {
    for (const bool truncated : {true, false}) {
        writeFile(path, std::string(10000, 'x'));
        LogFile fresh;
        ASSERT_TRUE(fresh.openLog(path));
        write(fresh, "short");
        if (truncated) fresh.truncateLog();
        fresh.closeLog();
        EXPECT_EQ(readFile(path), "short") << truncated;
    }
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
