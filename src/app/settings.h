#pragma once
// The program's settings: each one's value and where it came from. They are
// gathered in one place and one order: the command line wins over the
// environment, which wins over the config file, which wins over the
// defaults. Every setting is one row of a table (settings.cpp): the command
// line, the environment, the config file, the options screen and the help
// all read that table, so a new setting is one new row.

#include "session/plot_session.h"

#include <functional>
#include <iosfwd>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace plotanix {

enum class Source { defaults, configFile, environment, commandLine };

// "default", "config file", "environment", "command line".
std::string_view sourceName(Source source);

struct SettingRow {
    std::string_view key;       // the long option and the config key: "port"
    std::string_view shortName; // "p", or empty
    std::string_view valueName; // "DEVICE"; empty for an on/off flag
    std::string_view title;     // on the options screen; empty: not shown there
    std::string_view help;
    bool inConfig; // may be set in the config file and the environment
    std::string (*defaultValue)();
    // Empty when the value is acceptable (it is put in its usual form),
    // otherwise one short line saying why not.
    std::string (*check)(std::string& value);
};

std::span<const SettingRow> settingRows();
const SettingRow* findSetting(std::string_view key);

class Settings {
  public:
    Settings(); // every setting at its default

    const std::string& value(std::string_view key) const;
    Source source(std::string_view key) const;
    bool isOn(std::string_view key) const { return value(key) == "on"; }
    // Checks and takes the value; empty on success, otherwise why it was
    // refused (the earlier value stands).
    std::string set(std::string_view key, std::string value, Source source);

    std::string port() const { return value("port"); }
    int baud() const;
    std::string dir() const { return value("dir"); }
    double pageGapSeconds() const;
    PlotterModel model() const;
    Paper paper() const;
    // "off", "svg" or "pdf".
    std::string vectorCopy() const { return value("vector"); }

  private:
    struct Entry {
        std::string value;
        Source source = Source::defaults;
    };
    const Entry& entry(std::string_view key) const;

    std::map<std::string, Entry, std::less<>> entries_;
};

// The plot session the settings ask for: its model and paper, and its
// display list kept when a vector copy goes with each saved page.
std::unique_ptr<PlotSession> makeSession(const Settings& settings, ByteLink& link, LogFile& log,
                                         StatusLine* status = nullptr);

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
