#pragma once
// The config file: "key = value" lines, "#" starts a comment line (or,
// after a blank, the rest of a line), blank lines are fine. Reading never fails the program: what
// cannot be used is a problem line naming the file and the line. Writing replaces the file
// atomically and keeps the user's other lines and comments.

#include <string>
#include <string_view>
#include <vector>

namespace plotanix {

struct ConfigEntry {
    int line = 0;
    std::string key;
    std::string value;
    std::string problem; // a line that is no setting: why; key and value empty
};

struct ConfigRead {
    std::vector<ConfigEntry> entries;  // in line order, unusable lines too
    std::vector<std::string> problems; // the file as a whole: "<path> cannot be read (...)"
};

// A missing file gives nothing and no problem.
ConfigRead readConfigFile(const std::string& path);
ConfigRead parseConfigText(std::string_view text);

// The text with "key = value" in place of the key's first line (keeping
// its trailing comment; later lines of that key dropped), or added at the end.
std::string withSetting(std::string_view text, std::string_view key, std::string_view value);

// Sets one key in the file (created with its folder if need be); empty on
// success, otherwise why not. The file is never left half-written.
std::string saveSetting(const std::string& path, std::string_view key, std::string_view value);

// A temporary file in the same folder, synced, then renamed over the path;
// the folder is created (0700) if missing and no symbolic link is followed
// for the folder or the file. Mode 0666 less the umask.
std::string writeFileAtomically(const std::string& path, std::string_view bytes);

} // namespace plotanix
