#include "logfile/log_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace plotanix {

LogFile::~LogFile() {
    closeLog();
}

bool LogFile::openLog(const std::string& path) {
    closeLog();
    // Not O_TRUNC: the file may belong to another running program, which the
    // lock below finds out before anything is cut.
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::ftruncate(fd, 0) != 0) {
        ::close(fd);
        return false;
    }
    fd_ = fd;
    pendingCount_ = 0;
    return true;
}

// Failed writes are not reported (the transcript must never stop the
// plotter), but interrupted and short writes are carried on to the end.
void LogFile::writeOut(const uint8_t* bytes, size_t count) {
    while (count > 0) {
        ssize_t n = ::write(fd_, bytes, count);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        bytes += n;
        count -= static_cast<size_t>(n);
    }
}

void LogFile::append(const uint8_t* bytes, size_t count) {
    if (fd_ < 0 || count == 0) return;
    if (static_cast<size_t>(pendingCount_) + count < bufferSize) {
        std::memcpy(writeBuffer_.data() + pendingCount_, bytes, count);
        pendingCount_ += static_cast<int>(count);
        return;
    }
    flushLog();
    if (count >= bufferSize) {
        writeOut(bytes, count);
    } else {
        std::memcpy(writeBuffer_.data(), bytes, count);
        pendingCount_ = static_cast<int>(count);
    }
}

void LogFile::writeLogBytes(const uint8_t* bytes, size_t count) {
    append(bytes, count);
}

void LogFile::writeLogText(const char* text) {
    append(reinterpret_cast<const uint8_t*>(text), std::strlen(text));
}

void LogFile::writeLogLine(const char* text) {
    writeLogText(text);
    static const uint8_t lineEnd[2] = {0x0D, 0x0A};
    append(lineEnd, 2);
}

void LogFile::writeLogMarker(const std::string& text) {
    writeLogLine("");
    writeLogLine(("**** " + text + " ****").c_str());
    writeLogLine("");
}

void LogFile::flushLog() {
    if (fd_ < 0 || pendingCount_ == 0) return;
    writeOut(writeBuffer_.data(), static_cast<size_t>(pendingCount_));
    pendingCount_ = 0;
}

void LogFile::truncateLog() {
    if (fd_ < 0) return;
    flushLog();
    off_t end = ::lseek(fd_, 0, SEEK_CUR);
    if (end >= 0) (void)!::ftruncate(fd_, end);
}

void LogFile::closeLog() {
    if (fd_ < 0) return;
    flushLog();
    ::close(fd_);
    fd_ = -1;
    pendingCount_ = 0;
}

} // namespace plotanix
