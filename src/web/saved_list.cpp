#include "saved_list.h"

#include "web/web_rules.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace plotanix::web {

namespace {

// A number's files, each a bit: the page first, then its copies.
constexpr std::array<std::string_view, 3> extensions = {".PNG", ".SVG", ".PDF"};
constexpr uint8_t pageKind = 1;

bool parse(std::string_view name, uint32_t& number, uint8_t& kind) {
    if (!servedName(name) || name == "PLOTTER.TXT") return false;
    number = 0;
    for (const char digit : name.substr(8, 5))
        number = number * 10 + static_cast<uint32_t>(digit - '0');
    for (size_t i = 0; i < extensions.size(); ++i) {
        if (name.substr(13) == extensions[i]) kind = static_cast<uint8_t>(1u << i);
    }
    return true;
}

std::string nameOf(uint32_t number, size_t kindIndex) {
    std::array<char, 16> digits{};
    std::snprintf(digits.data(), digits.size(), "%05u", number);
    return "PLOTTER_" + std::string(digits.data()) + std::string(extensions[kindIndex]);
}

} // namespace

struct SavedList::Scan {
    DIR* entries = nullptr;
    Table table;
    ~Scan() {
        if (entries != nullptr) ::closedir(entries);
    }
};

bool SavedList::Key::operator<(const Key& other) const {
    if (time.tv_sec != other.time.tv_sec) return time.tv_sec < other.time.tv_sec;
    if (time.tv_nsec != other.time.tv_nsec) return time.tv_nsec < other.time.tv_nsec;
    return number < other.number;
}

SavedList::SavedList(int folder) : folder_(folder) {
    // Followed before it is read, so that nothing saved meanwhile is missed.
    notices_ = UniqueFd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    const std::string opened = "/proc/self/fd/" + std::to_string(folder);
    constexpr uint32_t changes = IN_CREATE | IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM |
                                 IN_DELETE | IN_ATTRIB | IN_ONLYDIR;
    if (notices_ && ::inotify_add_watch(notices_.get(), opened.c_str(), changes) < 0)
        notices_.reset();
    startReading();
}

SavedList::~SavedList() = default;

void SavedList::startReading() {
    UniqueFd self(::openat(folder_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    DIR* entries = self ? ::fdopendir(self.get()) : nullptr;
    if (entries == nullptr) return; // what is listed stays
    (void)self.release();
    scan_ = std::make_unique<Scan>();
    scan_->entries = entries;
}

bool SavedList::service() {
    bool changed = noticed();
    if (scan_) changed = readSlice() || changed;
    return changed;
}

bool SavedList::readSlice() {
    for (size_t n = 0; n < sliceEntries; ++n) {
        const dirent* entry = ::readdir(scan_->entries);
        if (entry == nullptr) {
            table_ = std::move(scan_->table);
            scan_.reset();
            order_.clear();
            for (const auto& [number, files] : table_) {
                if ((files.kinds & pageKind) != 0) order_.push_back({files.time, number});
            }
            std::sort(order_.begin(), order_.end());
            return true;
        }
        update(scan_->table, false, entry->d_name);
    }
    return false;
}

bool SavedList::noticed() {
    if (!notices_) return false;
    // One read a turn: what is left keeps the descriptor readable.
    alignas(inotify_event) std::array<char, 16384> buffer{};
    const ssize_t got = ::read(notices_.get(), buffer.data(), buffer.size());
    if (got <= 0) return false;
    std::vector<std::string> names;
    for (ssize_t at = 0; at < got;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer.data() + at);
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        if ((event->mask & IN_Q_OVERFLOW) != 0 && !scan_) startReading(); // changes were missed
        if (event->len == 0) continue;
        const std::string name = event->name;
        if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
    }
    bool changed = false;
    for (const std::string& name : names) {
        if (scan_)
            update(scan_->table, false, name); // shown when the reading ends
        else
            changed = update(table_, true, name) || changed;
    }
    return changed;
}

void SavedList::look(const std::string& name) {
    if (scan_)
        update(scan_->table, false, name);
    else
        update(table_, true, name);
}

bool SavedList::update(Table& table, bool ordered, const std::string& name) {
    uint32_t number = 0;
    uint8_t kind = 0;
    if (!parse(name, number, kind)) return false;
    struct stat info {};
    const bool there =
        ::fstatat(folder_, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode);
    const auto found = table.find(number);
    const Files before = found != table.end() ? found->second : Files{};
    Files after = before;
    after.kinds = static_cast<uint8_t>(there ? before.kinds | kind : before.kinds & ~kind);
    if (there && kind == pageKind) after.time = info.st_mtim;
    if (after.kinds == before.kinds && after.time.tv_sec == before.time.tv_sec &&
        after.time.tv_nsec == before.time.tv_nsec)
        return false;
    if (ordered && (before.kinds & pageKind) != 0) {
        const Key old{before.time, number};
        const auto at = std::lower_bound(order_.begin(), order_.end(), old);
        if (at != order_.end() && at->number == number) order_.erase(at);
    }
    if (ordered && (after.kinds & pageKind) != 0) {
        const Key key{after.time, number};
        order_.insert(std::upper_bound(order_.begin(), order_.end(), key), key);
    }
    if (after.kinds == 0)
        table.erase(number);
    else
        table[number] = after;
    return true;
}

SavedPage SavedList::pageOf(const Key& key) const {
    SavedPage page{nameOf(key.number, 0), key.time.tv_sec, {}};
    const uint8_t kinds = table_.at(key.number).kinds;
    for (size_t i = 1; i < extensions.size(); ++i) {
        if ((kinds & (1u << i)) != 0) page.copies.push_back(nameOf(key.number, i));
    }
    return page;
}

std::vector<SavedPage> SavedList::newest(size_t skip, size_t count) const {
    std::vector<SavedPage> pages;
    for (size_t i = skip; i < order_.size() && i < skip + count; ++i)
        pages.push_back(pageOf(order_[order_.size() - 1 - i]));
    return pages;
}

bool SavedList::find(const std::string& name, SavedPage& page) const {
    uint32_t number = 0;
    uint8_t kind = 0;
    if (!parse(name, number, kind)) return false;
    const auto found = table_.find(number);
    if (found == table_.end() || (found->second.kinds & pageKind) == 0) return false;
    page = pageOf({found->second.time, number});
    return true;
}

std::vector<std::string> PageFiles::names() const {
    std::vector<std::string> names;
    for (size_t i = 0; i < extensions.size(); ++i) {
        if ((kinds & (1u << i)) != 0) names.push_back(nameOf(number, i));
    }
    return names;
}

std::vector<PageFiles> SavedList::files() const {
    std::vector<PageFiles> pages;
    pages.reserve(order_.size());
    for (const Key& key : order_)
        pages.push_back({key.number, table_.at(key.number).kinds});
    return pages;
}

} // namespace plotanix::web
