#include "output/atomic_file.h"

#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace plotanix {

namespace {

mode_t newFileMode() {
    // umask can only be read by setting it. Saves may run in several threads:
    // one reading during another would see 0. Files made meanwhile by
    // mkostemp are 0600 whatever the mask, and are given this mode.
    static std::mutex reading;
    const std::lock_guard lock(reading);
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

// Fills the open descriptor and closes it; true only when every byte has been
// written (and, if synced, has reached the disk). errno tells the first failure.
bool fillFile(int fd, Durability durability, const std::function<bool(FILE*)>& write) {
    if (::fchmod(fd, newFileMode()) != 0) {
        ::close(fd);
        return false;
    }
    FILE* file = ::fdopen(fd, "wb");
    if (file == nullptr) {
        ::close(fd);
        return false;
    }
    errno = 0;
    bool written = write(file);
    int error = errno;
    written = std::fflush(file) == 0 && written;
    written = !std::ferror(file) && written; // a lost write that the writer did not notice
    if (durability == Durability::synced) written = ::fsync(::fileno(file)) == 0 && written;
    if (error == 0) error = errno;
    written = std::fclose(file) == 0 && written;
    if (error == 0) error = errno;
    errno = written ? 0 : error;
    return written;
}

std::string directoryOf(const std::string& fileName) {
    const size_t slash = fileName.rfind('/');
    return slash == std::string::npos ? std::string() : fileName.substr(0, slash + 1);
}

// "<dir>/.<name>.XXXXXX": hidden, and in the same directory so that the
// final rename cannot cross file systems.
std::string temporaryPattern(const std::string& fileName) {
    const std::string directory = directoryOf(fileName);
    const std::string base = fileName.substr(directory.size());
    if (base.empty()) return {};
    return directory + "." + base + ".XXXXXX";
}

// Makes the rename itself durable; a failure here no longer harms the file.
void syncDirectory(const std::string& fileName) {
    const std::string directory = directoryOf(fileName);
    const int fd =
        ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

} // namespace

bool writeFileAtomically(const std::string& fileName, Durability durability,
                         const std::function<bool(FILE*)>& write) {
    std::string temporaryName = temporaryPattern(fileName);
    if (temporaryName.empty()) {
        errno = EISDIR;
        return false;
    }
    // mkostemp creates with O_EXCL (a planted name, link or not, is never
    // opened); the rename then replaces a link of the final name rather
    // than writing through it.
    const int fd = ::mkostemp(temporaryName.data(), O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return false;
    if (!fillFile(fd, durability, write) ||
        std::rename(temporaryName.c_str(), fileName.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporaryName.c_str());
        errno = error;
        return false;
    }
    if (durability == Durability::synced) syncDirectory(fileName);
    return true;
}

} // namespace plotanix
