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
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (!fd) return false;
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0 || ::ftruncate(fd.get(), 0) != 0) return false;
    fd_ = std::move(fd);
    pendingCount_ = 0;
    return true;
}

void LogFile::openMemory(std::string& sink) {
    closeLog();
    memory_ = &sink;
    pendingCount_ = 0;
}

// Failed writes are not reported (the transcript must never stop the
// plotter), but interrupted and short writes are carried on to the end.
void LogFile::writeOut(const uint8_t* bytes, size_t count) {
    if (memory_ != nullptr) {
        memory_->append(reinterpret_cast<const char*>(bytes), count);
        return;
    }
    while (count > 0) {
        ssize_t n = ::write(fd_.get(), bytes, count);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        bytes += n;
        count -= static_cast<size_t>(n);
    }
}

void LogFile::append(const uint8_t* bytes, size_t count) {
    if (!isOpen() || count == 0) return;
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

void LogFile::writeLogText(std::string_view text) {
    text = text.substr(0, text.find('\0'));
    append(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

void LogFile::flushLog() {
    if (!isOpen() || pendingCount_ == 0) return;
    writeOut(writeBuffer_.data(), static_cast<size_t>(pendingCount_));
    pendingCount_ = 0;
}

void LogFile::truncateLog() {
    flushLog();
    if (!fd_) return;
    off_t end = ::lseek(fd_.get(), 0, SEEK_CUR);
    if (end >= 0) (void)!::ftruncate(fd_.get(), end);
}

void LogFile::closeLog() {
    flushLog();
    fd_.reset();
    memory_ = nullptr;
    pendingCount_ = 0;
}

} // namespace plotanix
