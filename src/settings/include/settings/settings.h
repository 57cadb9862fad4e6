#pragma once
// The program's settings: one typed field per setting, filled once at the
// start in one order: the command line wins over the environment, which
// wins over the config file, which wins over the defaults. Each setting is
// one row of a table (settings.cpp) that the command line, the environment,
// the config file, the options screen and the help all read, so a new
// setting is one new field and one new row. Nothing else reads the
// environment or looks a setting up by its name.

#include "hpgl/plotter.h"
#include "serial/gpib_adapter.h"
#include "serial/line_settings.h"

#include <array>
#include <functional>
#include <iosfwd>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace plotanix {

enum class Source { defaults, configFile, environment, commandLine };

// "default", "config file", "environment", "command line".
std::string_view sourceName(Source source);

// A copy of each saved page in a vector format, or none.
enum class VectorCopy { off, svg, pdf };

inline constexpr std::size_t settingCount = 28;

// Where the web view listens: a numeric address (127.0.0.1, ::1, 0.0.0.0)
// and a port (0: any free one).
struct WebAddress {
    std::string host = "127.0.0.1";
    uint16_t port = 0;
    bool operator==(const WebAddress&) const = default;
};

struct Settings {
    Settings(); // every setting at its default

    std::string port = "COM1"; // a port name (COM1) or a device path
    // Speed, framing and flow control; 9600 7N1 and none by default, and
    // 115200 8N1 (the AR488's) through a USB-GPIB adapter.
    LineSettings line;
    // The port is a USB-GPIB adapter: the plotter at an HP-IB address, or
    // listening only; none: a plain serial line.
    std::optional<GpibSettings> gpib;
    bool gpibSave = false; // store the adapter's set-up in its memory, once
    std::string dir;       // where PLOTTER.TXT and the pages go; the current folder by default
    PlotterModel model = PlotterModel::hp86b;
    Paper paper = Paper::letter;
    VectorCopy vector = VectorCopy::off;
    // A saved page whose drawing ran off the paper fitted onto the page
    // (the 7470A and HP-GL/2 models).
    bool fit = false;
    double pageGapSeconds = 10; // unattended: the silence after a run that ends the page
    bool unattended = false;
    bool window = false;           // unattended: show the page in a window too
    bool live = false;             // the window opens when a run starts and follows the drawing
    std::optional<WebAddress> web; // the pages in a browser; none: no server
    std::string webTokenFile;      // the web view's token; empty: one made at each start
    // Each saved page printed through CUPS on this queue (empty: the
    // default queue); none: not printed.
    std::optional<std::string> print;
    // Asking an instrument for its plot through the adapter: a recipe's
    // name, or empty (the program is the plotter). 0 in the fields below
    // stands for the recipe's own value.
    std::string acquire;
    int gpibAddress = 0;     // the instrument's
    std::string command;     // the plot command of --acquire custom
    double quietAfter = 0;   // seconds of a quiet bus that end the plot
    long long count = 1;     // plots in a series
    double everySeconds = 0; // between the starts of a series' plots
    bool listInstruments = false;

    // Where each value came from, in the order of settingRows().
    std::array<Source, settingCount> sources{};

    // What the environment said at the start, for values set later on:
    // "~" in a folder is the home folder, and a port name may have a device
    // of its own (PLOTANIX_COM1).
    std::string home;
    // systemd's JOURNAL_STREAM: the device and inode of the journal's stream.
    std::string journalStream;
    std::map<std::string, std::string, std::less<>> portDevices;
};

struct SettingRow {
    std::string_view key;       // the long option and the config key: "port"
    std::string_view shortName; // "p", or empty
    std::string_view valueName; // "DEVICE"; empty for an on/off flag
    std::string_view title;     // on the options screen; empty: not shown there
    std::string_view help;
    bool inConfig; // may be set in the config file and the environment
    // The value as text, as the options screen shows it and the config
    // file keeps it.
    std::string (*text)(const Settings& settings);
    // Checks the text and takes it in its usual form: empty on success,
    // otherwise one short line saying why not (the earlier value stands).
    std::string (*take)(Settings& settings, std::string text);
};

std::span<const SettingRow> settingRows();
Source sourceOf(const Settings& settings, const SettingRow& row);
// Checks and takes the value, noting where it came from; empty on success.
std::string setValue(Settings& settings, const SettingRow& row, std::string text, Source source);

// "[ADDRESS:]PORT" ("8470", "0.0.0.0:8470", "[::1]:8470") or "off"; the
// reason when it is neither, empty on success.
std::string parseWeb(std::string_view text, std::optional<WebAddress>& into);
// "127.0.0.1:8470", "[::1]:8470", or "off".
std::string webText(const std::optional<WebAddress>& web);

// Whether a port was named (on the command line, in the environment or the
// config file) rather than left at COM1, the default.
bool portNamed(const Settings& settings);

// The device the port stands for: a path as it is; "COMn" is the device
// the environment named for it, or else /dev/ttyS(n-1).
std::string devicePath(const Settings& settings);
// n for "COMn" (any case, n from 1 without leading zeros); none otherwise.
std::optional<long long> comNumber(std::string_view name);

// Looks up an environment variable; nullptr when unset.
using Environment = std::function<const char*(const char*)>;

// $XDG_CONFIG_HOME/plotanix/plotanix.conf, ~/.config/plotanix/plotanix.conf
// when it is unset (or not an absolute path); empty without a home.
std::string configFilePath(const Environment& environment);

struct Startup {
    Settings settings;
    std::string configPath;
    // A config file or environment value that was not used: one line each.
    std::vector<std::string> notices;
    // Set when the program ends at once with this status (help, version,
    // a bad option or value).
    std::optional<int> exitStatus;
};

// Reads the command line, the environment and the config file. Help and
// version go to out; a bad option or value is one line and the usage hint
// on err, with exit status 2.
Startup readSettings(int argc, const char* const* argv, const Environment& environment,
                     std::ostream& out, std::ostream& err, std::string_view version);

} // namespace plotanix
