#include "logfile/log_file.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
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

constexpr int maxKeptNames = 1000;

// 0 or the error. Where the file system cannot refuse to replace in a
// rename, a second name and the removal of the first do the same.
int renameWithoutReplacing(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL) return errno;
    if (::link(from.c_str(), to.c_str()) != 0) return errno;
    if (::unlink(from.c_str()) == 0) return 0;
    const int error = errno;
    ::unlink(to.c_str());
    return error;
}

} // namespace

bool LogFile::openLog(const std::string& path) {
    closeLog();
    lastError_.clear();
    keptAs_.clear();
    keepFailed_ = false;
    UniqueFd fd = openOwnFile(path, O_CREAT);
    if (!fd) return false;
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) return refuse(path, describeOpenError(errno));
    if (info.st_size > 0) {
        // The earlier file stays locked until its successor is held.
        if (!keepEarlier(path, info.st_mtime)) return false;
        fd = openOwnFile(path, O_CREAT | O_EXCL);
        if (!fd) return false;
    }
    fd_ = std::move(fd);
    pendingCount_ = 0;
    return true;
}

// Not O_TRUNC: the file may belong to another running program, which the
// lock finds out before anything is changed. O_NONBLOCK keeps a FIFO from
// holding the open until a reader appears; it is refused below.
UniqueFd LogFile::openOwnFile(const std::string& path, int createFlags) {
    const auto refused = [&](const std::string& reason) {
        refuse(path, reason);
        return UniqueFd();
    };
    UniqueFd fd(::open(
        path.c_str(), O_RDWR | createFlags | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666));
    if (!fd) return refused(describeOpenError(errno));
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) return refused(describeOpenError(errno));
    if (!S_ISREG(info.st_mode)) return refused(describeType(info.st_mode));
    // Renaming or writing a file with another name would change that file too.
    if (info.st_nlink > 1) return refused("has other names (hard links)");
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0)
        return refused(describeOpenError(errno));
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0)
        return refused(errno == EWOULDBLOCK ? "is in use by another program"
                                            : describeOpenError(errno));
    return fd;
}

// PLOTTER.TXT becomes PLOTTER-20261207-101530.TXT (local time), or the first
// free one of -2, -3, ...: a rename that never replaces a file.
bool LogFile::keepEarlier(const std::string& path, time_t lastWritten) {
    const std::filesystem::path original(path);
    std::tm local{};
    localtime_r(&lastWritten, &local);
    std::array<char, 32> stamp{};
    std::strftime(stamp.data(), stamp.size(), "-%Y%m%d-%H%M%S", &local);
    const std::string stem = (original.parent_path() / original.stem()).string() + stamp.data();
    std::string kept;
    int error = EEXIST;
    for (int n = 1; n <= maxKeptNames && error == EEXIST; ++n) {
        kept = stem + (n == 1 ? "" : "-" + std::to_string(n)) + original.extension().string();
        error = renameWithoutReplacing(path, kept);
    }
    if (error == 0) {
        keptAs_ = kept;
        return true;
    }
    keepFailed_ = true;
    errno = error;
    return refuse(path, "could not be kept as " + std::filesystem::path(kept).filename().string() +
                            ": " + std::strerror(error) + "; it is left as it was");
}

void LogFile::openMemory(std::string& sink) {
    closeLog();
    memory_ = &sink;
    pendingCount_ = 0;
}

bool LogFile::refuse(const std::string& path, const std::string& reason) {
    const int error = errno;
    lastError_ = path + " " + reason;
    errno = error;
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
