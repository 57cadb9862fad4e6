#pragma once
// PLOTTER.TXT: a transcript of the line. Every chunk the reader takes from
// the serial line goes in unchanged, with short records for unrecognised
// instructions and marker lines for the operator's page commands. Writes
// are gathered in a 4096-byte buffer. While no file is open every operation
// does nothing.
//
// Nothing is lost silently. Bytes the file does not take (a full disk) are
// kept in memory, in order, and written before any later byte as soon as
// the file takes them again; past heldLimit the oldest are dropped and a
// marker line in the transcript says how many. At each save point (every
// flushLog) a transcript that was deleted, or whose folder was removed or
// replaced, is begun again at its path with a marker line, holding what
// had been written since the save point before. Each of these is told to
// the listener once, as it happens.

#include "common/unique_fd.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace plotanix {

class LogFile {
  public:
    static constexpr const char* defaultName = "PLOTTER.TXT";
    static constexpr int bufferSize = 4096;
    // 16 MiB: at 9600 baud, more than four hours of the line.
    static constexpr uint64_t heldLimit = 16 * 1024 * 1024;

    // What went wrong with the file, or came right again.
    struct Trouble {
        enum class Kind {
            writeFailed,  // the file does not take the bytes (error)
            dropping,     // more than heldLimit held: the oldest are dropped
            writtenAgain, // everything held is written (lost: dropped in all)
            deleted,      // deleted, and cannot be made again yet (error)
            recreated,    // begun again after it was deleted (lost: dropped in all)
            unwritten,    // at the end: held bytes that are lost with the program
        };
        Kind kind = Kind::writeFailed;
        int error = 0;
        uint64_t held = 0; // bytes held in memory
        uint64_t lost = 0; // bytes dropped since the trouble began
    };
    using Listener = std::function<void(const Trouble&)>;
    // One line for the operator, naming the transcript as name.
    static std::string describe(const Trouble& trouble, std::string_view name);

    LogFile() = default;
    ~LogFile();
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    // Opens (creating it if need be, mode 0666 less the umask) the file for
    // a new transcript. One that holds an earlier transcript is not emptied:
    // it is first kept under a name of its own, the time it was last written
    // in the name, numbered from 1 so that ls lists them in order
    // (PLOTTER-20261207-101530-1.TXT; -2, -3, ... when that is taken, never
    // over another file), and keptAs() names it; when it cannot
    // be renamed nothing is opened and keepFailed() says so. The file is held
    // with an exclusive lock: a second program in the same directory cannot
    // have it and runs without a log rather than mixing its bytes in. Only a
    // plain file of its own is used: a symbolic link, a FIFO, a device, a
    // directory or a file with other hard links under that name is refused
    // and left untouched, so a link planted in a shared folder cannot turn
    // the transcript against another file. Returns false (and the program
    // runs without a log) on failure: lastError() says why, and errno is
    // EWOULDBLOCK when another program holds the file (EINVAL when what is
    // there is refused for its kind).
    bool openLog(const std::string& path = defaultName);
    // The plotter model whose transcripts this writes, by the name --model
    // takes; empty (the default) for the HP-86B's, whose transcripts carry
    // no such line. Every transcript begun after this (by openLog,
    // openMemory, or again after a deletion) starts with a marker naming it.
    void nameModel(std::string_view model);
    // Whether a file is named as a transcript the plotter writes:
    // PLOTTER.TXT, or an earlier one kept (PLOTTER-20261207-101530.TXT,
    // PLOTTER-20261207-101530-2.TXT), in any case.
    static bool transcriptName(std::string_view path);
    // Where the earlier transcript was kept by the last openLog (its path),
    // or empty.
    const std::string& keptAs() const { return keptAs_; }
    bool keepFailed() const { return keepFailed_; }
    // A transcript kept in memory (tests, the fuzzer): what would reach the
    // file is appended to sink, with the same buffering.
    void openMemory(std::string& sink);
    bool isOpen() const { return fd_.valid() || memory_ != nullptr || gone_; }
    // Why the last openLog failed, naming the file ("PLOTTER.TXT is a
    // symbolic link"); empty after a success.
    const std::string& lastError() const { return lastError_; }
    // Told each trouble as it happens.
    void onTrouble(Listener listener) { listener_ = std::move(listener); }
    // The trouble that lasts (bytes held, or the file gone), if any.
    std::optional<Trouble> trouble() const;

    void writeLogBytes(const uint8_t* bytes, size_t count);
    // Up to a NUL, no line end: records and markers (transcript_format.h).
    void writeLogText(std::string_view text);
    // A save point: passes the held bytes to the file, without closing it,
    // and begins the file again if it was deleted.
    void flushLog();
    // Ends the file just after the last byte written.
    void truncateLog();
    // Passes the held bytes to the file and closes it.
    void closeLog();

  private:
    // Bytes the file has not taken. A piece whose start is in the file
    // (done > 0) is finished before anything else; a marker piece stands
    // for lostCount dropped bytes, or (0) begins a recreated file.
    struct Piece {
        std::string bytes;
        size_t done = 0;
        uint64_t lostCount = 0;
        bool marker = false;
    };

    void append(const uint8_t* bytes, size_t count);
    void writeOut(const uint8_t* bytes, size_t count);
    static bool pinned(const Piece& piece);
    bool writeHeld();
    void hold(const uint8_t* bytes, size_t count, bool atFront = false);
    void dropOldest();
    void failed(int error);
    void checkStillThere();
    void salvage(int oldFd);
    void recreate();
    void tell(Trouble::Kind kind, int error = 0);

    UniqueFd openFresh(const std::string& path);
    UniqueFd openOwnFile(const std::string& path, int createFlags);
    void adopt(UniqueFd fd);
    bool keepEarlier(const std::string& path, time_t lastWritten);
    bool refuse(const std::string& path, const std::string& reason);

    UniqueFd fd_;
    std::string* memory_ = nullptr;
    std::string lastError_;
    std::string keptAs_;
    std::string modelLine_; // what each transcript begins with
    bool keepFailed_ = false;
    std::array<uint8_t, bufferSize> writeBuffer_{};
    int pendingCount_ = 0;

    std::string path_;
    dev_t folderDevice_ = 0;
    ino_t folderInode_ = 0;
    off_t savedEnd_ = 0; // the file's end at the last save point
    std::deque<Piece> unwritten_;
    uint64_t heldBytes_ = 0;
    uint64_t dropped_ = 0;       // dropped where no marker stands yet
    uint64_t lostInTrouble_ = 0; // dropped since the trouble began
    int error_ = 0;              // the failure being lived with, 0 for none
    bool toldDropping_ = false;
    bool gone_ = false; // deleted, and not yet made again
    int goneError_ = 0; // why it could not be made again, as told
    Listener listener_;
};

} // namespace plotanix
