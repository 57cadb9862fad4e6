#pragma once
// PLOTTER.TXT: a transcript of the line. Every chunk the reader takes from
// the serial line goes in unchanged, with short records for unrecognised
// instructions and marker lines for the operator's page commands. Writes
// are gathered in a 4096-byte buffer. While no file is open every operation
// does nothing.

#include "common/unique_fd.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace plotanix {

class LogFile {
  public:
    static constexpr const char* defaultName = "PLOTTER.TXT";
    static constexpr int bufferSize = 4096;

    LogFile() = default;
    ~LogFile();
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    // Opens (creating it if need be, mode 0666 less the umask) the file for
    // a new transcript. One that holds an earlier transcript is not emptied:
    // it is first kept under a name of its own, the time it was last written
    // in the name (PLOTTER-20261207-101530.TXT; -2, -3, ... when that is
    // taken, never over another file), and keptAs() names it; when it cannot
    // be renamed nothing is opened and keepFailed() says so. The file is held
    // with an exclusive lock: a second program in the same directory cannot
    // have it and runs without a log rather than mixing its bytes in. Only a
    // plain file of its own is used: a symbolic link, a FIFO, a device, a
    // directory or a file with other hard links under that name is refused
    // and left untouched, so a link planted in a shared folder cannot turn
    // the transcript against another file. Returns false (and the program
    // runs without a log) on failure, with errno telling why.
    bool openLog(const std::string& path = defaultName);
    // Where the earlier transcript was kept by the last openLog (its path),
    // or empty.
    const std::string& keptAs() const { return keptAs_; }
    bool keepFailed() const { return keepFailed_; }
    // A transcript kept in memory (tests, the fuzzer): what would reach the
    // file is appended to sink, with the same buffering.
    void openMemory(std::string& sink);
    bool isOpen() const { return fd_.valid() || memory_ != nullptr; }
    // Why the last openLog failed, naming the file ("PLOTTER.TXT is a
    // symbolic link"); empty after a success.
    const std::string& lastError() const { return lastError_; }

    void writeLogBytes(const uint8_t* bytes, size_t count);
    // Up to a NUL, no line end: records and markers (transcript_format.h).
    void writeLogText(std::string_view text);
    // Passes the held bytes to the file, without closing it.
    void flushLog();
    // Ends the file just after the last byte written.
    void truncateLog();
    // Passes the held bytes to the file and closes it.
    void closeLog();

    int pendingCount() const { return pendingCount_; }

  private:
    void append(const uint8_t* bytes, size_t count);
    void writeOut(const uint8_t* bytes, size_t count);
    UniqueFd openOwnFile(const std::string& path, int createFlags);
    bool keepEarlier(const std::string& path, time_t lastWritten);
    bool refuse(const std::string& path, const std::string& reason);

    UniqueFd fd_;
    std::string* memory_ = nullptr;
    std::string lastError_;
    std::string keptAs_;
    bool keepFailed_ = false;
    std::array<uint8_t, bufferSize> writeBuffer_{};
    int pendingCount_ = 0;
};

} // namespace plotanix
