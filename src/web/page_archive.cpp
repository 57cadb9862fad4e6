#include "page_archive.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace plotanix::web {

namespace {

constexpr size_t block = 512;

// A number in octal, zero-filled to the field's width less its NUL.
void octal(char* field, size_t width, uint64_t value) {
    for (size_t i = width - 1; i-- > 0; value >>= 3)
        field[i] = static_cast<char>('0' + (value & 7));
    field[width - 1] = '\0';
}

std::string header(const std::string& name, uint64_t size, time_t time) {
    std::array<char, block> h{};
    const std::string path = std::string(PageArchive::folderName) + "/" + name;
    std::memcpy(h.data(), path.data(), std::min<size_t>(path.size(), 99));
    octal(&h[100], 8, 0644);
    octal(&h[108], 8, 0);
    octal(&h[116], 8, 0);
    octal(&h[124], 12, size);
    octal(&h[136], 12, static_cast<uint64_t>(std::max<time_t>(time, 0)));
    h[156] = '0';
    std::memcpy(&h[257], "ustar", 6);
    std::memcpy(&h[263], "00", 2);
    // The checksum is taken with its own field as spaces.
    std::memset(&h[148], ' ', 8);
    unsigned sum = 0;
    for (const char c : h)
        sum += static_cast<unsigned char>(c);
    octal(&h[148], 7, sum);
    return std::string(h.data(), h.size());
}

size_t padding(uint64_t size) {
    return static_cast<size_t>((block - size % block) % block);
}

} // namespace

PageArchive::PageArchive(int folder, std::vector<PageFiles> pages)
    : folder_(folder), pages_(std::move(pages)) {}

// Opens the next file that is still there and queues its header; at the
// last, queues the archive's end.
bool PageArchive::next() {
    while (nameAt_ < names_.size() || at_ < pages_.size()) {
        if (nameAt_ == names_.size()) {
            names_ = pages_[at_++].names();
            nameAt_ = 0;
            continue;
        }
        const std::string& name = names_[nameAt_++];
        UniqueFd file(::openat(folder_, name.c_str(),
                               O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
        struct stat info {};
        if (!file || ::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
        file_ = std::move(file);
        offset_ = 0;
        size_ = static_cast<uint64_t>(info.st_size);
        pending_ = header(name, size_, info.st_mtim.tv_sec);
        pendingTaken_ = 0;
        return true;
    }
    pending_.assign(2 * block, '\0');
    pendingTaken_ = 0;
    ended_ = true;
    return false;
}

size_t PageArchive::read(char* buffer, size_t most) {
    if (pendingTaken_ == pending_.size()) {
        if (file_ && offset_ < size_) {
            const size_t want = static_cast<size_t>(std::min<uint64_t>(most, size_ - offset_));
            ssize_t n = ::pread(file_.get(), buffer, want, static_cast<off_t>(offset_));
            if (n <= 0) { // cut short: the size promised is kept
                std::memset(buffer, 0, want);
                n = static_cast<ssize_t>(want);
            }
            offset_ += static_cast<uint64_t>(n);
            if (offset_ == size_) {
                file_.reset();
                pending_.assign(padding(size_), '\0');
                pendingTaken_ = 0;
            }
            return static_cast<size_t>(n);
        }
        file_.reset();
        if (ended_) return 0;
        next();
    }
    const size_t n = std::min(most, pending_.size() - pendingTaken_);
    std::memcpy(buffer, pending_.data() + pendingTaken_, n);
    pendingTaken_ += n;
    return n;
}

} // namespace plotanix::web
