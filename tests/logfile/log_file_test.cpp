#include "logfile/log_file.h"
#include "logfile/transcript_format.h"
#include "support/temp_dir.h"
#include "support/without_root_override.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/resource.h>
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
const std::string keptName = "PLOTTER-20261207-101530-1.TXT";

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
        if (!c.kept.empty()) {
            EXPECT_EQ(readFile(dir.file(c.kept)), c.earlier);
        }
        for (const std::string& name : c.taken)
            EXPECT_EQ(readFile(dir.file(name)), "taken " + name);
        const auto files = std::distance(std::filesystem::directory_iterator(dir.path()), {});
        EXPECT_EQ(files, 1 + static_cast<long>(c.taken.size()) + (c.kept.empty() ? 0 : 1));
    }
}

// A model other than the HP-86B's names itself at the start of each
// transcript it begins (in memory too), and only there; the HP-86B's
// transcripts are as they always were.
TEST_F(Transcript, BeginsWithTheModelThatMadeIt) {
    const std::string marker = transcript::modelMarker("7470a");
    EXPECT_EQ(marker, "\r\n**** MODEL 7470a ****\r\n\r\n");
    for (const std::string model : {"", "7470a"}) {
        SCOPED_TRACE("model " + model);
        LogFile named;
        named.nameModel(model);
        const std::string head = model.empty() ? "" : marker;
        ASSERT_TRUE(named.openLog(path));
        write(named, "PA1,1;");
        named.writeLogText(transcript::savePageMarker(1));
        named.closeLog();
        EXPECT_EQ(readFile(path), head + "PA1,1;" + transcript::savePageMarker(1));
        std::string memory;
        named.openMemory(memory);
        write(named, "PA1,1;");
        named.flushLog();
        EXPECT_EQ(memory, head + "PA1,1;");
        const std::string written = readFile(path);
        EXPECT_EQ(transcript::modelNamedAt(written), model);
    }
    // Recognised as a note naming the model, wherever it stands.
    const std::string text = marker + "PA1,1;";
    const auto found = transcript::markerAt(text);
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->length, marker.size());
    EXPECT_TRUE(found->note);
    EXPECT_EQ(found->model, "7470a");
    EXPECT_EQ(transcript::modelNamedAt("PA1,1;" + marker), "");
}

// PLOTTER.TXT and the names earlier ones are kept under, in any case.
TEST(TranscriptName, IsThePlottersOrAKeptOne) {
    const std::pair<std::string, bool> cases[] = {
        {"PLOTTER.TXT", true},
        {"dir/plotter.txt", true},
        {keptName, true},
        {"/var/lib/plotanix/PLOTTER-20261207-101530-2.TXT", true},
        {"plotter-20261207-101530.txt", true},
        {"PLOTTER-.TXT", false},
        {"PLOTTER-notes.TXT", false},
        {"PLOTTER_00001.PNG", false},
        {"MYPLOTTER.TXT", false},
        {"PLOTTER.TXT/plot.hpgl", false},
    };
    for (const auto& [name, isTranscript] : cases)
        EXPECT_EQ(LogFile::transcriptName(name), isTranscript) << name;
}

// Transcripts kept one after another, in the same second and in later
// ones, are listed by name in the order they were kept.
TEST_F(Transcript, KeptTranscriptsSortByTheTimeTheyWereKept) {
    ::setenv("TZ", "UTC0", 1);
    ::tzset();
    std::vector<std::string> kept;
    for (const time_t written : {earlierWritten, earlierWritten, earlierWritten + 1}) {
        writeFile(path, "earlier");
        lastWritten(path, written);
        LogFile fresh;
        ASSERT_TRUE(fresh.openLog(path));
        kept.push_back(fresh.keptAs());
    }
    std::vector<std::string> sorted = kept;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted, kept);
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
        errno = ENOENT; // left by an earlier call: no reason for this refusal
        EXPECT_EQ(fresh.openLog(path), reason.empty());
        EXPECT_EQ(fresh.lastError(), reason.empty() ? "" : path + reason);
        if (!reason.empty()) {
            EXPECT_NE(errno, ENOENT) << "the refusal's errno is a stale one";
        }
        write(fresh, "transcript");
        fresh.closeLog();
        EXPECT_EQ(readFile(other), "keep me");
        if (reason.empty()) {
            EXPECT_EQ(readFile(path), "transcript");
        }
    }
    fs::remove(path);
    const mode_t umask = ::umask(027);
    const bool opened = log.openLog(path);
    ::umask(umask);
    ASSERT_TRUE(opened);
    EXPECT_EQ(fs::status(path).permissions(), static_cast<fs::perms>(0640)) << "0666 less umask";
}

} // namespace

namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

// A transcript in trouble between two save points, and mended: whatever
// happens, what is written afterwards holds every byte in order (or a
// marker where bytes had to be dropped), and each trouble is told once.
class TranscriptInTrouble : public Transcript {
  public: // for the table's steps
    // Writes past the file's current end fail with EFBIG (no signal).
    void limitFileSize(rlim_t bytes) {
        std::signal(SIGXFSZ, SIG_IGN);
        ::getrlimit(RLIMIT_FSIZE, &saved);
        const rlimit limit{bytes, saved.rlim_max};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        limited = true;
    }
    void unlimitFileSize() {
        if (limited) ::setrlimit(RLIMIT_FSIZE, &saved);
        limited = false;
    }
    ~TranscriptInTrouble() override { unlimitFileSize(); }

    const std::string folder = dir.file("out");
    const std::string inFolder = folder + "/PLOTTER.TXT";
    rlimit saved{};
    bool limited = false;
};

// The steps of the table below.
using Step = void (*)(TranscriptInTrouble&);
const Step fill = [](TranscriptInTrouble& t) { t.limitFileSize(7); };
const Step fillPartWay = [](TranscriptInTrouble& t) { t.limitFileSize(10); };
const Step makeRoom = [](TranscriptInTrouble& t) { t.unlimitFileSize(); };
const Step deleteFile = [](TranscriptInTrouble& t) { fs::remove(t.inFolder); };
const Step removeFolder = [](TranscriptInTrouble& t) { fs::remove_all(t.folder); };
const Step makeFolder = [](TranscriptInTrouble& t) { fs::create_directory(t.folder); };
const Step replaceFolder = [](TranscriptInTrouble& t) {
    fs::rename(t.folder, t.folder + ".old");
    fs::create_directory(t.folder);
};
const Step nothing = [](TranscriptInTrouble&) {};

const std::string cannotWrite = "T cannot be written: File too large; bytes kept in memory";
const std::string writtenAgain = "T is written again; nothing was lost";
const std::string begunAgain = "T was deleted and is begun again; nothing was lost";

// A transcript begun again after it was deleted names its model first,
// once, whether its first save point had passed or not.
TEST_F(TranscriptInTrouble, ATranscriptBegunAgainNamesItsModelFirst) {
    for (const bool savedBefore : {false, true}) {
        SCOPED_TRACE(savedBefore ? "saved before" : "not saved before");
        fs::create_directories(folder);
        LogFile named;
        named.nameModel("hpgl2");
        ASSERT_TRUE(named.openLog(inFolder));
        write(named, "before;");
        if (savedBefore) named.flushLog();
        fs::remove(inFolder);
        write(named, "after;");
        named.flushLog();
        named.closeLog();
        EXPECT_EQ(readFile(inFolder), transcript::modelMarker("hpgl2") +
                                          transcript::recreatedMarker() +
                                          (savedBefore ? "" : "before;") + "after;");
        fs::remove_all(folder);
    }
}

TEST_F(TranscriptInTrouble, EveryByteIsWrittenInOrderOnceTheTroubleIsMended) {
    const std::string big(LogFile::heldLimit + 995, 'b');
    const std::string whole = "before;during;more;after;";
    const std::string recreated = transcript::recreatedMarker() + "during;more;after;";
    const std::string lost = transcript::lostBytesMarker(1000) + (big + "more;").substr(1000);
    // The marker that begins the recreated file is held too: 36 bytes more are dropped.
    const std::string lostGone = transcript::lostBytesMarker(1036) + (big + "more;").substr(1036);
    const std::string dropping = "T: over 16 MiB kept in memory; the oldest bytes are dropped";
    const std::string noFolder =
        "T was deleted and cannot be begun again: No such file or directory";
    const struct {
        std::string trouble;
        Step make, mend;
        std::string during;   // written and saved while in trouble, then "more;"
        std::string expected; // the file at its path
        bool lasts;           // until mended
        Lines told;
    } cases[] = {
        // One row a case.
        // clang-format off
        {"the disk is full", fill, makeRoom, "during;", whole, true, {cannotWrite, writtenAgain}},
        {"the disk fills part way", fillPartWay, makeRoom, "during;", whole, true,
         {cannotWrite, writtenAgain}},
        {"more than the limit is held", fill, makeRoom, big, "before;" + lost + "after;", true,
         {cannotWrite, dropping, "T is written again; 1000 bytes were lost"}},
        {"the file is deleted", deleteFile, nothing, "during;", recreated, false, {begunAgain}},
        {"the folder is removed", removeFolder, makeFolder, "during;", recreated, true,
         {noFolder, begunAgain}},
        {"the folder is removed while more than the limit comes", removeFolder, makeFolder, big,
         transcript::recreatedMarker() + lostGone + "after;", true,
         {dropping, noFolder, "T was deleted and is begun again; 1036 bytes were lost"}},
        {"the folder is replaced", replaceFolder, nothing, "during;", recreated, false,
         {begunAgain}},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.trouble);
        fs::remove_all(folder);
        fs::remove_all(folder + ".old");
        fs::create_directory(folder);
        Lines told;
        LogFile log;
        log.onTrouble(
            [&](const LogFile::Trouble& t) { told.push_back(LogFile::describe(t, "T")); });
        ASSERT_TRUE(log.openLog(inFolder));
        write(log, "before;");
        log.flushLog();
        c.make(*this);
        write(log, c.during);
        log.flushLog();
        write(log, "more;");
        log.flushLog();
        EXPECT_EQ(log.trouble().has_value(), c.lasts);
        c.mend(*this);
        log.flushLog();
        EXPECT_FALSE(log.trouble().has_value());
        write(log, "after;");
        log.closeLog();
        const std::string file = readFile(inFolder);
        EXPECT_TRUE(file == c.expected) << file.size() << " bytes: " << file.substr(0, 80);
        EXPECT_EQ(told, c.told);
    }
    // The file taken away with its folder still has what it had.
    EXPECT_EQ(readFile(folder + ".old/PLOTTER.TXT"), "before;during;");
}

// Bytes that cannot be written by the end are said to be lost.
TEST_F(TranscriptInTrouble, WhatIsStillHeldAtTheEndIsToldAsLost) {
    ASSERT_TRUE(log.openLog(path));
    write(log, "before;");
    log.flushLog();
    limitFileSize(7);
    write(log, "never written;");
    log.truncateLog();
    const std::optional<LogFile::Trouble> trouble = log.trouble();
    ASSERT_TRUE(trouble.has_value());
    LogFile::Trouble unwritten = *trouble;
    unwritten.kind = LogFile::Trouble::Kind::unwritten;
    EXPECT_EQ(LogFile::describe(unwritten, "T"),
              "T: 14 bytes are lost, not written: File too large");
    log.closeLog();
    unlimitFileSize();
    EXPECT_EQ(readFile(path), "before;");
}

} // namespace
