#include "logfile/log_file.h"
#include "support/temp_dir.h"

#include <filesystem>
#include <gtest/gtest.h>

using plotanix::LogFile;
using plotanix::testing::readFile;
using plotanix::testing::TempDir;
using plotanix::testing::writeFile;

namespace {

void writeBytes(LogFile& log, const std::string& bytes) {
    log.writeLogBytes(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

std::uintmax_t sizeOnDisk(const std::string& path) {
    return std::filesystem::file_size(path);
}

} // namespace

TEST(LogFile, PiecesAreWrittenByteForByte) {
    TempDir dir;
    const std::string path = dir.file("PLOTTER.TXT");
    LogFile log;
    ASSERT_TRUE(log.openLog(path));
    writeBytes(log, std::string("A\0B\x03", 4)); // chunks keep NUL and control bytes
    log.writeLogText("****IN***");
    log.writeLogText(std::string("****\0X***", 9).c_str()); // a text ends at its NUL
    log.writeLogText("");
    log.writeLogLine("");
    log.writeLogMarker("SAVE PAGE #1");
    log.writeLogMarker("NEW PAGE");
    log.closeLog();
    EXPECT_EQ(readFile(path), std::string("A\0B\x03", 4) + "****IN***" + "****" + "\r\n" +
                                  "\r\n**** SAVE PAGE #1 ****\r\n\r\n" +
                                  "\r\n**** NEW PAGE ****\r\n\r\n");
}

TEST(LogFile, HoldsUpTo4095BytesThenPassesThemOn) {
    TempDir dir;
    const std::string path = dir.file("PLOTTER.TXT");
    LogFile log;
    ASSERT_TRUE(log.openLog(path));
    writeBytes(log, std::string(4095, 'a'));
    EXPECT_EQ(sizeOnDisk(path), 0u);
    EXPECT_EQ(log.pendingCount(), 4095);

    writeBytes(log, "b"); // no longer fits: the held bytes go out, "b" is held
    EXPECT_EQ(sizeOnDisk(path), 4095u);
    EXPECT_EQ(log.pendingCount(), 1);

    writeBytes(log, std::string(5000, 'c')); // large writes go straight through
    EXPECT_EQ(sizeOnDisk(path), 4095u + 1 + 5000);
    EXPECT_EQ(log.pendingCount(), 0);

    writeBytes(log, "tail");
    log.flushLog();
    EXPECT_EQ(sizeOnDisk(path), 4095u + 1 + 5000 + 4);
    log.closeLog();
    EXPECT_EQ(readFile(path), std::string(4095, 'a') + "b" + std::string(5000, 'c') + "tail");
}

TEST(LogFile, EarlierLongerTranscriptNeverSurvives) {
    TempDir dir;
    const std::string path = dir.file("PLOTTER.TXT");
    writeFile(path, std::string(10000, 'x'));
    {
        LogFile log;
        ASSERT_TRUE(log.openLog(path));
        writeBytes(log, std::string(100, 'y'));
        log.truncateLog();
        log.closeLog();
    }
    EXPECT_EQ(readFile(path), std::string(100, 'y'));

    writeFile(path, std::string(10000, 'x'));
    {
        LogFile log; // ended without truncateLog, as by a signal
        ASSERT_TRUE(log.openLog(path));
        writeBytes(log, "short");
    }
    EXPECT_EQ(readFile(path), "short");
}

TEST(LogFile, DoesNothingWhileNotOpen) {
    TempDir dir;
    LogFile log;
    writeBytes(log, "lost");
    log.writeLogText("x");
    log.writeLogLine("y");
    log.writeLogMarker("NEW PAGE");
    log.flushLog();
    log.truncateLog();
    log.closeLog();
    EXPECT_FALSE(log.isOpen());
    EXPECT_EQ(log.pendingCount(), 0);
    EXPECT_FALSE(log.openLog(dir.file("missing/PLOTTER.TXT")));
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST(LogFile, SecondWriterInTheSameDirectoryRunsWithoutALog) {
    TempDir dir;
    const std::string path = dir.file("PLOTTER.TXT");
    LogFile first;
    ASSERT_TRUE(first.openLog(path));
    writeBytes(first, "first");
    first.flushLog();

    LogFile second;
    EXPECT_FALSE(second.openLog(path));
    writeBytes(second, "second");
    second.closeLog();

    writeBytes(first, " run");
    first.closeLog();
    EXPECT_EQ(readFile(path), "first run");
}
