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
    UniqueFd fd(::open(path.c_str(),
                       O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666));
    if (!fd) return refuse(path, describeOpenError(errno));
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) return refuse(path, describeOpenError(errno));
    if (!S_ISREG(info.st_mode)) return refuse(path, describeType(info.st_mode));
    // Emptying a file with another name would destroy that file too.
    if (info.st_nlink > 1) return refuse(path, "has other names (hard links)");
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
        return refuse(path, describeOpenError(errno));
    }
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        return refuse(path, errno == EWOULDBLOCK ? "is in use by another program"
                                                 : describeOpenError(errno));
    }
    if (::ftruncate(fd.get(), 0) != 0) return refuse(path, describeOpenError(errno));
    fd_ = std::move(fd);
    pendingCount_ = 0;
    return true;
}

void LogFile::openMemory(std::string& sink) {
    closeLog();
    memory_ = &sink;
    pendingCount_ = 0;
}

bool LogFile::refuse(const std::string& path, const std::string& reason) {
    lastError_ = path + " " + reason;
    return false;
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
