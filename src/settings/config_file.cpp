#include "settings/config_file.h"

#include "common/unique_fd.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace plotanix {

namespace {

// Far more than any hand-written settings file; a bigger one is not ours.
constexpr std::size_t maxConfigBytes = 64 * 1024;

std::string_view trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

std::vector<std::string_view> lines(std::string_view text) {
    std::vector<std::string_view> result;
    while (!text.empty()) {
        const auto end = text.find('\n');
        result.push_back(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    }
    return result;
}

// The key of a "key = value" line; empty for comments, blanks and others.
std::string_view keyOf(std::string_view line) {
    line = trimmed(line);
    const auto equals = line.find('=');
    if (line.empty() || line[0] == '#' || equals == std::string_view::npos) return {};
    return trimmed(line.substr(0, equals));
}

// A value and the "# comment" after it: a '#' after a blank (or first)
// starts the comment, so a '#' inside a name stays part of it.
std::pair<std::string_view, std::string_view> valueAndComment(std::string_view rest) {
    rest = trimmed(rest);
    for (std::size_t at = 0; at < rest.size(); ++at) {
        if (rest[at] == '#' && (at == 0 || rest[at - 1] == ' ' || rest[at - 1] == '\t'))
            return {trimmed(rest.substr(0, at)), rest.substr(at)};
    }
    return {rest, {}};
}

std::string reason(const std::string& what) {
    return what + " (" + std::strerror(errno) + ")";
}

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

// Each missing folder on the way, private to the user.
bool makeFolders(const std::filesystem::path& folder) {
    std::filesystem::path built;
    for (const auto& part : folder) {
        built /= part;
        if (::mkdir(built.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    return true;
}

// A name no one else is using in the folder: taken with O_EXCL, so a file
// or link planted under it makes the open fail rather than be written.
UniqueFd createTemporary(int folderFd, const std::string& base, std::string& name) {
    const auto tick = std::chrono::steady_clock::now().time_since_epoch().count();
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = "." + base + "." + std::to_string(::getpid()) + "." +
               std::to_string((tick + attempt) % 1000000);
        UniqueFd fd(::openat(folderFd, name.c_str(),
                             O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
        if (fd || errno != EEXIST) return fd;
    }
    return UniqueFd();
}

} // namespace

ConfigRead readConfigFile(const std::string& path) {
    ConfigRead read;
    // Non-blocking: a FIFO planted in its place must not hang the start.
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
        if (errno != ENOENT) read.problems.push_back(reason(path + " cannot be read"));
        return read;
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        read.problems.push_back(path + " is not a file; not read");
        return read;
    }
    std::string text(maxConfigBytes + 1, '\0');
    std::size_t size = 0;
    while (size < text.size()) {
        const ssize_t got = ::read(fd.get(), text.data() + size, text.size() - size);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            read.problems.push_back(reason(path + " cannot be read"));
            return read;
        }
        if (got == 0) break;
        size += static_cast<std::size_t>(got);
    }
    if (size > maxConfigBytes) {
        read.problems.push_back(path + " is larger than 64 KiB; not read");
        return read;
    }
    text.resize(size);
    return parseConfigText(text);
}

ConfigRead parseConfigText(std::string_view text) {
    ConfigRead read;
    int number = 0;
    for (const std::string_view line : lines(text)) {
        ++number;
        const std::string_view content = trimmed(line);
        if (content.empty() || content[0] == '#') continue;
        const std::string_view key = keyOf(line);
        if (key.empty()) {
            read.entries.push_back({number, {}, {}, "not a key = value line; ignored"});
            continue;
        }
        const auto [value, comment] = valueAndComment(content.substr(content.find('=') + 1));
        read.entries.push_back({number, std::string(key), std::string(value), {}});
    }
    return read;
}

std::string withSetting(std::string_view text, std::string_view key, std::string_view value) {
    std::string setting = std::string(key) + " = " + std::string(value);
    std::string result;
    bool placed = false;
    for (const std::string_view line : lines(text)) {
        if (keyOf(line) != key) {
            result.append(line).append("\n");
        } else if (!placed) {
            // The user's note on the line stays with the new value.
            const std::string_view content = trimmed(line);
            const std::string_view comment =
                valueAndComment(content.substr(content.find('=') + 1)).second;
            result += setting + (comment.empty() ? "" : "  " + std::string(comment)) + "\n";
            placed = true;
        }
    }
    if (!placed) result += setting + "\n";
    return result;
}

std::string saveSetting(const std::string& path, std::string_view key, std::string_view value) {
    std::string text;
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat info {};
    if (fd && ::fstat(fd.get(), &info) == 0 && S_ISREG(info.st_mode) &&
        static_cast<std::size_t>(info.st_size) <= maxConfigBytes) {
        text.resize(static_cast<std::size_t>(info.st_size));
        const ssize_t got = ::read(fd.get(), text.data(), text.size());
        text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    }
    return writeFileAtomically(path, withSetting(text, key, value));
}

std::string writeFileAtomically(const std::string& path, std::string_view bytes) {
    const std::filesystem::path target(path);
    const std::filesystem::path folder = target.has_parent_path() ? target.parent_path() : ".";
    const std::string base = target.filename().string();
    if (base.empty()) return path + " is not a file name";
    if (!makeFolders(folder)) return reason("cannot create " + folder.string());
    const UniqueFd folderFd(
        ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!folderFd) return reason("cannot open the folder " + folder.string());

    std::string temporary;
    UniqueFd fd = createTemporary(folderFd.get(), base, temporary);
    if (!fd) return reason("cannot write in " + folder.string());
    bool ok = writeAll(fd.get(), bytes) && ::fsync(fd.get()) == 0;
    int error = ok ? 0 : errno;
    fd.reset();
    if (ok && ::renameat(folderFd.get(), temporary.c_str(), folderFd.get(), base.c_str()) != 0) {
        ok = false;
        error = errno;
    }
    if (!ok) {
        ::unlinkat(folderFd.get(), temporary.c_str(), 0);
        errno = error;
        return reason("cannot write " + path);
    }
    ::fsync(folderFd.get()); // the rename itself survives a power cut
    return {};
}

} // namespace plotanix
