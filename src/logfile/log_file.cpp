#include "logfile/log_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace plotanix {

LogFile::~LogFile() {
    closeLog();
}

namespace {

std::string describeType(mode_t mode) {
    if (S_ISDIR(mode)) return "is a directory";
    if (S_ISFIFO(mode)) return "is a FIFO";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "is a device";
    if (S_ISSOCK(mode)) return "is a socket";
    return "is not a regular file";
}

std::string describeOpenError(int error) {
    if (error == ELOOP) return "is a symbolic link";
    if (error == EISDIR) return "is a directory";
    return std::string("can't be opened: ") + std::strerror(error);
}

} // namespace

bool LogFile::openLog(const std::string& path) {
    closeLog();
    lastError_.clear();
    // Not O_TRUNC: the file may belong to another running program, which the
    // lock below finds out before anything is cut. O_NONBLOCK keeps a FIFO
    // from holding the open until a reader appears; it is refused below.
    const int fd = ::open(path.c_str(),
                          O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0) return refuse(-1, path, describeOpenError(errno));
    struct stat info {};
    if (::fstat(fd, &info) != 0) return refuse(fd, path, describeOpenError(errno));
    if (!S_ISREG(info.st_mode)) return refuse(fd, path, describeType(info.st_mode));
    // Emptying a file with another name would destroy that file too.
    if (info.st_nlink > 1) return refuse(fd, path, "has other names (hard links)");
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        return refuse(fd, path, describeOpenError(errno));
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        return refuse(fd, path,
                      errno == EWOULDBLOCK ? "is in use by another program"
                                           : describeOpenError(errno));
    }
    if (::ftruncate(fd, 0) != 0) return refuse(fd, path, describeOpenError(errno));
    fd_ = fd;
    pendingCount_ = 0;
    return true;
}

bool LogFile::refuse(int fd, const std::string& path, const std::string& reason) {
    if (fd >= 0) ::close(fd);
    lastError_ = path + " " + reason;
    return false;
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
