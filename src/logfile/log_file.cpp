#include "logfile/log_file.h"

#include "common/printable.h"
#include "logfile/transcript_format.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

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

// Writes as much as the file takes; error tells why it took no more.
size_t writeSome(int fd, const char* bytes, size_t count, int& error) {
    size_t done = 0;
    while (done < count) {
        const ssize_t n = ::write(fd, bytes + done, count - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = n < 0 ? errno : EIO;
            break;
        }
        done += static_cast<size_t>(n);
    }
    return done;
}

std::string folderOf(const std::string& path) {
    const std::filesystem::path folder = std::filesystem::path(path).parent_path();
    return folder.empty() ? "." : folder.string();
}

std::string bytesText(uint64_t count) {
    return std::to_string(count) + (count == 1 ? " byte" : " bytes");
}

} // namespace

std::string LogFile::describe(const Trouble& trouble, std::string_view name) {
    const std::string file = printable(name);
    const std::string reason = std::strerror(trouble.error);
    const std::string lost =
        trouble.lost == 0 ? "nothing was lost" : bytesText(trouble.lost) + " were lost";
    switch (trouble.kind) {
    case Trouble::Kind::writeFailed:
        return file + " cannot be written: " + reason + "; bytes kept in memory";
    case Trouble::Kind::dropping:
        return file + ": over " + std::to_string(heldLimit >> 20) +
               " MiB kept in memory; the oldest bytes are dropped";
    case Trouble::Kind::writtenAgain:
        return file + " is written again; " + lost;
    case Trouble::Kind::deleted:
        return file + " was deleted and cannot be begun again: " + reason;
    case Trouble::Kind::recreated:
        return file + " was deleted and is begun again; " + lost;
    case Trouble::Kind::unwritten:
        return file + ": " + bytesText(trouble.held) +
               " are lost, not written: " + (trouble.error != 0 ? reason : "the file was deleted");
    }
    return file;
}

bool LogFile::openLog(const std::string& path) {
    closeLog();
    lastError_.clear();
    keptAs_.clear();
    keepFailed_ = false;
    UniqueFd fd = openFresh(path);
    if (!fd) return false;
    path_ = path;
    adopt(std::move(fd));
    writeLogText(modelLine_);
    return true;
}

void LogFile::nameModel(std::string_view model) {
    modelLine_ = model.empty() ? std::string() : transcript::modelMarker(model);
}

bool LogFile::transcriptName(std::string_view path) {
    const size_t slash = path.rfind('/');
    const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    const auto upper = [](std::string_view text) {
        std::string up(text);
        for (char& c : up)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        return up;
    };
    const std::string plotterName = upper(defaultName);
    const std::string given = upper(name);
    if (given == plotterName) return true;
    // A kept one: the stem, "-" and the time it was last written, digits and dashes.
    const size_t dot = plotterName.rfind('.');
    const std::string stem = plotterName.substr(0, dot) + "-";
    const std::string extension = plotterName.substr(dot);
    if (!given.starts_with(stem) || !given.ends_with(extension)) return false;
    const std::string_view stamp =
        std::string_view(given).substr(stem.size(), given.size() - stem.size() - extension.size());
    return !stamp.empty() && std::all_of(stamp.begin(), stamp.end(),
                                         [](char c) { return (c >= '0' && c <= '9') || c == '-'; });
}

// The file at path, empty and locked, an earlier transcript there kept.
UniqueFd LogFile::openFresh(const std::string& path) {
    UniqueFd fd = openOwnFile(path, O_CREAT);
    if (!fd) return fd;
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) {
        refuse(path, describeOpenError(errno));
        return UniqueFd();
    }
    if (info.st_size == 0) return fd;
    // The earlier file stays locked until its successor is held.
    if (!keepEarlier(path, info.st_mtime)) return UniqueFd();
    return openOwnFile(path, O_CREAT | O_EXCL);
}

// Remembers the folder the file is in: one that is replaced takes the file with it.
void LogFile::adopt(UniqueFd fd) {
    fd_ = std::move(fd);
    savedEnd_ = 0;
    struct stat folder {};
    if (::stat(folderOf(path_).c_str(), &folder) == 0) {
        folderDevice_ = folder.st_dev;
        folderInode_ = folder.st_ino;
    }
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
    // No call failed here: errno must not tell a stale reason ("No such file").
    if (!S_ISREG(info.st_mode)) {
        errno = EINVAL;
        return refused(describeType(info.st_mode));
    }
    // Renaming or writing a file with another name would change that file too.
    if (info.st_nlink > 1) {
        errno = EINVAL;
        return refused("has other names (hard links)");
    }
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0)
        return refused(describeOpenError(errno));
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0)
        return refused(errno == EWOULDBLOCK ? "is in use by another program"
                                            : describeOpenError(errno));
    return fd;
}

// PLOTTER.TXT becomes PLOTTER-20261207-101530-1.TXT (local time), or the
// first free one of -2, -3, ...: a rename that never replaces a file. Every
// name has its number, so the copies of one second sort in order after the
// seconds before it.
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
        kept = stem + "-" + std::to_string(n) + original.extension().string();
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
    writeLogText(modelLine_);
}

bool LogFile::refuse(const std::string& path, const std::string& reason) {
    const int error = errno;
    lastError_ = printable(path) + " " + reason;
    errno = error;
    return false;
}

void LogFile::tell(Trouble::Kind kind, int error) {
    if (listener_) listener_({kind, error, heldBytes_, lostInTrouble_});
}

std::optional<LogFile::Trouble> LogFile::trouble() const {
    if (gone_) return Trouble{Trouble::Kind::deleted, goneError_, heldBytes_, lostInTrouble_};
    if (heldBytes_ > 0 || dropped_ > 0)
        return Trouble{Trouble::Kind::writeFailed, error_, heldBytes_, lostInTrouble_};
    return std::nullopt;
}

// Straight to the file while it takes everything; once it has not, behind
// what is held, so that the file never has a byte out of its order.
void LogFile::writeOut(const uint8_t* bytes, size_t count) {
    if (memory_ != nullptr) {
        memory_->append(reinterpret_cast<const char*>(bytes), count);
        return;
    }
    if (!unwritten_.empty() || dropped_ > 0 || gone_) {
        hold(bytes, count);
        writeHeld();
        return;
    }
    int error = 0;
    const size_t done = writeSome(fd_.get(), reinterpret_cast<const char*>(bytes), count, error);
    if (done == count) return;
    failed(error);
    hold(bytes + done, count - done);
}

// Never dropped, and written before the hole where bytes were dropped: a
// piece begun in the file, and the marker that begins a recreated file.
bool LogFile::pinned(const Piece& piece) {
    return piece.done > 0 || (piece.marker && piece.lostCount == 0);
}

// True when nothing is held any more.
bool LogFile::writeHeld() {
    if (gone_ || !fd_) return false;
    while (!unwritten_.empty() || dropped_ > 0) {
        // The hole left by dropped bytes is right after the pinned pieces,
        // and its marker goes there.
        if (dropped_ > 0 && (unwritten_.empty() || !pinned(unwritten_.front()))) {
            const std::string marker = transcript::lostBytesMarker(dropped_);
            unwritten_.push_front({marker, 0, dropped_, true});
            heldBytes_ += marker.size();
            dropped_ = 0;
        }
        Piece& piece = unwritten_.front();
        int error = 0;
        const size_t done = writeSome(fd_.get(), piece.bytes.data() + piece.done,
                                      piece.bytes.size() - piece.done, error);
        piece.done += done;
        heldBytes_ -= done;
        if (piece.done < piece.bytes.size()) {
            failed(error);
            return false;
        }
        unwritten_.pop_front();
    }
    if (error_ != 0 || toldDropping_) tell(Trouble::Kind::writtenAgain);
    error_ = 0;
    toldDropping_ = false;
    lostInTrouble_ = 0;
    return true;
}

void LogFile::failed(int error) {
    if (error == error_) return;
    error_ = error;
    tell(Trouble::Kind::writeFailed, error);
}

// In pieces of at most 64 KiB, so that dropping the oldest bytes moves little.
void LogFile::hold(const uint8_t* bytes, size_t count, bool atFront) {
    constexpr size_t pieceSize = 64 * 1024;
    const char* text = reinterpret_cast<const char*>(bytes);
    std::deque<Piece> pieces;
    for (size_t at = 0; at < count; at += pieceSize)
        pieces.push_back({std::string(text + at, std::min(pieceSize, count - at))});
    unwritten_.insert(atFront ? unwritten_.begin() : unwritten_.end(), pieces.begin(),
                      pieces.end());
    heldBytes_ += count;
    dropOldest();
}

void LogFile::dropOldest() {
    while (heldBytes_ > heldLimit) {
        size_t index = 0;
        while (index < unwritten_.size() && pinned(unwritten_[index]))
            ++index;
        if (index >= unwritten_.size()) break;
        Piece& piece = unwritten_[index];
        if (piece.marker) {
            dropped_ += piece.lostCount;
            heldBytes_ -= piece.bytes.size();
            unwritten_.erase(unwritten_.begin() + static_cast<std::ptrdiff_t>(index));
            continue;
        }
        const size_t take =
            static_cast<size_t>(std::min<uint64_t>(piece.bytes.size(), heldBytes_ - heldLimit));
        piece.bytes.erase(0, take);
        heldBytes_ -= take;
        dropped_ += take;
        lostInTrouble_ += take;
        if (piece.bytes.empty())
            unwritten_.erase(unwritten_.begin() + static_cast<std::ptrdiff_t>(index));
    }
    if (dropped_ > 0 && !toldDropping_) {
        toldDropping_ = true;
        tell(Trouble::Kind::dropping);
    }
}

void LogFile::append(const uint8_t* bytes, size_t count) {
    if (!isOpen() || count == 0) return;
    if (static_cast<size_t>(pendingCount_) + count < bufferSize) {
        std::memcpy(writeBuffer_.data() + pendingCount_, bytes, count);
        pendingCount_ += static_cast<int>(count);
        return;
    }
    const int pending = std::exchange(pendingCount_, 0);
    if (pending > 0) writeOut(writeBuffer_.data(), static_cast<size_t>(pending));
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
    if (!isOpen()) return;
    const int pending = std::exchange(pendingCount_, 0);
    if (pending > 0) writeOut(writeBuffer_.data(), static_cast<size_t>(pending));
    if (memory_ != nullptr) return;
    checkStillThere();
    if (gone_) recreate();
    if (writeHeld()) {
        const off_t end = ::lseek(fd_.get(), 0, SEEK_CUR);
        if (end >= 0) savedEnd_ = end;
    }
}

// Deleted (no name left), or its folder removed or replaced: the file
// would be lost with the program.
void LogFile::checkStillThere() {
    if (gone_ || !fd_) return;
    struct stat file {};
    struct stat folder {};
    const bool deleted = ::fstat(fd_.get(), &file) == 0 && file.st_nlink == 0;
    const bool folderGone = ::stat(folderOf(path_).c_str(), &folder) != 0 ||
                            folder.st_dev != folderDevice_ || folder.st_ino != folderInode_;
    if (!deleted && !folderGone) return;
    salvage(fd_.get());
    fd_.reset();
    gone_ = true;
    goneError_ = 0;
    // The new file names its model first, as every transcript does.
    const std::string marker = modelLine_ + transcript::recreatedMarker();
    unwritten_.push_front({marker, 0, 0, true});
    heldBytes_ += marker.size();
}

// What was written since the last save point went with the file: it is
// read back and goes first, before what is held.
void LogFile::salvage(int oldFd) {
    if (!unwritten_.empty() && unwritten_.front().done > 0) {
        Piece& begun = unwritten_.front(); // its start is among the bytes read back
        begun.bytes.erase(0, begun.done);
        begun.done = 0;
    }
    std::string bytes;
    std::array<char, 65536> block{};
    for (off_t at = savedEnd_;;) {
        const ssize_t n = ::pread(oldFd, block.data(), block.size(), at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        bytes.append(block.data(), static_cast<size_t>(n));
        at += n;
    }
    // The model's line heads the new file already.
    if (savedEnd_ == 0 && bytes.starts_with(modelLine_)) bytes.erase(0, modelLine_.size());
    hold(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), true);
}

void LogFile::recreate() {
    UniqueFd fd = openFresh(path_);
    if (!fd) {
        const int error = errno;
        if (error != goneError_) {
            goneError_ = error;
            tell(Trouble::Kind::deleted, error);
        }
        return;
    }
    adopt(std::move(fd));
    gone_ = false;
    goneError_ = 0;
    tell(Trouble::Kind::recreated);
    toldDropping_ = false;
    lostInTrouble_ = 0;
    writeHeld(); // a failure now is a failure to write, told as such
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
    unwritten_.clear();
    heldBytes_ = dropped_ = lostInTrouble_ = 0;
    error_ = goneError_ = 0;
    toldDropping_ = gone_ = false;
}

} // namespace plotanix
