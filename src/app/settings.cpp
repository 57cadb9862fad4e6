#include "app/settings.h"

#include "app/config_file.h"
#include "common/printable.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <filesystem>
#include <ostream>
#include <unistd.h>

namespace plotanix {

namespace {

std::string lowerCase(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// One of the words, in lower case; otherwise the message.
std::string oneOf(std::string& value, std::initializer_list<std::string_view> words,
                  std::string_view message) {
    const std::string lower = lowerCase(value);
    for (const std::string_view word : words) {
        if (lower == word) {
            value = lower;
            return {};
        }
    }
    return std::string(message);
}

bool isComName(std::string_view name) {
    if (name.size() < 4 || lowerCase(std::string(name.substr(0, 3))) != "com") return false;
    const std::string_view digits = name.substr(3);
    return digits[0] != '0' && digits.size() <= 9 &&
           std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string checkPort(std::string& value) {
    const bool path = value.find('/') != std::string::npos;
    if ((path || isComName(value)) && value.size() <= 59 && value.find('\0') == std::string::npos)
        return {};
    return "the port is a device path such as /dev/ttyUSB0 or a name such as COM1";
}

std::string checkBaud(std::string& value) {
    for (const std::string_view rate :
         {"75", "110", "150", "300", "600", "1200", "2400", "4800", "9600"}) {
        if (value == rate) return {};
    }
    return "the speed is one of 75 110 150 300 600 1200 2400 4800 9600";
}

// "~/" stands for the home folder: config files and the options screen have
// no shell to expand it.
std::string checkDir(std::string& value) {
    const char* home = std::getenv("HOME");
    if (value == "~" || value.starts_with("~/"))
        value = std::string(home != nullptr ? home : "") + value.substr(1);
    std::error_code error;
    if (value.empty()) return "the output folder needs a name";
    if (!std::filesystem::exists(value, error)) return "the folder " + value + " does not exist";
    if (!std::filesystem::is_directory(value, error)) return value + " is not a folder";
    if (::access(value.c_str(), W_OK | X_OK) != 0)
        return "the folder " + value + " is not writable";
    return {};
}

std::string checkModel(std::string& value) {
    return oneOf(value, {"hp86b", "7470a"}, "the model is hp86b or 7470a");
}

std::string checkPaper(std::string& value) {
    return oneOf(value, {"letter", "a4"}, "the paper is letter or a4");
}

std::string checkVector(std::string& value) {
    return oneOf(value, {"off", "svg", "pdf"}, "the vector copy is off, svg or pdf");
}

constexpr double maxPageGap = 86400;

std::string checkPageGap(std::string& value) {
    double seconds = -1;
    const char* end = value.data() + value.size();
    const auto [at, error] = std::from_chars(value.data(), end, seconds);
    if (error != std::errc() || at != end || !std::isfinite(seconds) || seconds < 0 ||
        seconds > maxPageGap)
        return "the page gap is a number of seconds from 0 to 86400";
    return {};
}

std::string checkFlag(std::string& value) {
    std::string lower = lowerCase(value);
    if (lower == "yes" || lower == "true" || lower == "1") lower = "on";
    if (lower == "no" || lower == "false" || lower == "0") lower = "off";
    value = lower;
    return value == "on" || value == "off" ? std::string() : "the value is on or off";
}

std::string currentFolder() {
    std::error_code error;
    const auto path = std::filesystem::current_path(error);
    return error ? std::string(".") : path.string();
}

constexpr SettingRow rows[] = {
    {"port", "p", "DEVICE", "Serial device",
     "serial device path (/dev/ttyUSB0) or port name (COM1 is /dev/ttyS0)", true,
     [] { return std::string("COM1"); }, checkPort},
    {"baud", "b", "RATE", "Speed (baud)",
     "line speed: 75 110 150 300 600 1200 2400 4800 9600 (always 7N1)", true,
     [] { return std::string("9600"); }, checkBaud},
    {"dir", "d", "DIR", "Output folder", "folder for PLOTTER.TXT and the saved pages", true,
     currentFolder, checkDir},
    {"model", "", "MODEL", "Plotter model", "plotter model: hp86b or 7470a", true,
     [] { return std::string("hp86b"); }, checkModel},
    {"paper", "", "PAPER", "Paper", "paper of the 7470a model: letter or a4", true,
     [] { return std::string("letter"); }, checkPaper},
    {"vector", "", "FORMAT", "Vector copy", "vector copy of each saved page: off, svg or pdf", true,
     [] { return std::string("off"); }, checkVector},
    {"page-gap", "", "SECONDS", "Page gap (s)", "unattended: silence that ends a page (default 10)",
     true, [] { return std::string("10"); }, checkPageGap},
    {"unattended", "", "", "", "save every plot as a file, with no menus and no terminal", false,
     [] { return std::string("off"); }, checkFlag},
    {"window", "", "", "", "unattended: show the page in a window too", true,
     [] { return std::string("off"); }, checkFlag},
};

std::string environmentName(std::string_view key) {
    std::string name = "PLOTANIX_";
    for (const char c : key)
        name += c == '-' ? '_' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return name;
}

const char* lookUp(const Environment& environment, const std::string& name) {
    const char* value = environment(name.c_str());
    return value != nullptr && *value != '\0' ? value : nullptr;
}

void applyConfigFile(Startup& startup) {
    if (startup.configPath.empty()) return;
    ConfigRead read = readConfigFile(startup.configPath);
    startup.notices = std::move(read.problems);
    for (const ConfigEntry& entry : read.entries) {
        const std::string where = startup.configPath + " line " + std::to_string(entry.line) + ": ";
        const SettingRow* row = findSetting(entry.key);
        if (row == nullptr || !row->inConfig) {
            startup.notices.push_back(where + "unknown setting " + entry.key);
            continue;
        }
        const std::string why = startup.settings.set(entry.key, entry.value, Source::configFile);
        if (!why.empty()) startup.notices.push_back(where + why + "; ignored");
    }
}

// PLOTANIX_PORT, PLOTANIX_BAUD, ...; PLOTANIX_COM1 names the device of the
// default port, as it always has.
void applyEnvironment(Startup& startup, const Environment& environment) {
    for (const SettingRow& row : rows) {
        if (!row.inConfig) continue;
        const std::string name = environmentName(row.key);
        const char* value = lookUp(environment, name);
        if (value == nullptr && row.key == "port" && lookUp(environment, "PLOTANIX_COM1"))
            value = "COM1";
        if (value == nullptr) continue;
        const std::string why = startup.settings.set(row.key, value, Source::environment);
        if (!why.empty()) startup.notices.push_back(name + ": " + why + "; ignored");
    }
}

std::string optionNames(const SettingRow& row) {
    std::string names = row.shortName.empty() ? "" : "-" + std::string(row.shortName) + ",";
    return names + "--" + std::string(row.key);
}

void usageError(std::ostream& err, const std::string& what) {
    err << "plotanix: " << printable(what)
        << "\nUsage: plotanix [OPTIONS]; plotanix --help lists them.\n";
}

// Returns the exit status when the program is to end now.
std::optional<int> applyCommandLine(Startup& startup, int argc, const char* const* argv,
                                    std::ostream& out, std::ostream& err,
                                    std::string_view version) {
    CLI::App app("Plotanix: an HP 7470A pen plotter for an HP-86B computer's serial line.",
                 "plotanix");
    app.set_version_flag("-V,--version", "plotanix " + std::string(version));
    app.footer(
        "Settings not given here come from the environment (PLOTANIX_PORT, ...;\n"
        "PLOTANIX_COM1 names the device of COM1), then from the config file\n" +
        (startup.configPath.empty() ? std::string("(none: no home folder)") : startup.configPath) +
        " (key = value lines, keys as the long options),\n"
        "then the defaults. Example with a USB serial adapter:\n"
        "  plotanix --port /dev/ttyUSB0 --dir ~/plots");
    std::vector<std::string> given(std::size(rows));
    std::vector<CLI::Option*> options(std::size(rows));
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const SettingRow& row = rows[i];
        if (row.valueName.empty()) {
            options[i] = app.add_flag(optionNames(row))->description(std::string(row.help));
            continue;
        }
        options[i] = app.add_option(optionNames(row), given[i], std::string(row.help))
                         ->type_name(std::string(row.valueName))
                         ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& done) {
        return app.exit(done, out, err);
    } catch (const CLI::ParseError& error) {
        usageError(err, error.what());
        return 2;
    }
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        if (options[i]->count() == 0) continue;
        const std::string value = rows[i].valueName.empty() ? "on" : given[i];
        const std::string why = startup.settings.set(rows[i].key, value, Source::commandLine);
        if (why.empty()) continue;
        usageError(err, "--" + std::string(rows[i].key) + " " + value + ": " + why);
        return 2;
    }
    return std::nullopt;
}

} // namespace

std::string_view sourceName(Source source) {
    switch (source) {
    case Source::configFile:
        return "config file";
    case Source::environment:
        return "environment";
    case Source::commandLine:
        return "command line";
    default:
        return "default";
    }
}

std::span<const SettingRow> settingRows() {
    return rows;
}

const SettingRow* findSetting(std::string_view key) {
    for (const SettingRow& row : rows) {
        if (row.key == key) return &row;
    }
    return nullptr;
}

Settings::Settings() {
    for (const SettingRow& row : rows)
        entries_[std::string(row.key)] = {row.defaultValue(), Source::defaults};
}

const Settings::Entry& Settings::entry(std::string_view key) const {
    static const Entry none;
    const auto found = entries_.find(key);
    return found == entries_.end() ? none : found->second;
}

const std::string& Settings::value(std::string_view key) const {
    return entry(key).value;
}

Source Settings::source(std::string_view key) const {
    return entry(key).source;
}

std::string Settings::set(std::string_view key, std::string value, Source source) {
    const SettingRow* row = findSetting(key);
    if (row == nullptr) return "unknown setting " + std::string(key);
    // Not part of any name or number: a NUL would cut the value short, and
    // the others would reach the terminal and the journal with the value.
    if (const auto control = controlByteIn(value))
        return "the value contains a control character (" + printable(std::string(1, *control)) +
               ")";
    const std::string why = row->check(value);
    if (!why.empty()) return why;
    entries_[std::string(key)] = {std::move(value), source};
    return {};
}

int Settings::baud() const {
    return std::stoi(value("baud"));
}

double Settings::pageGapSeconds() const {
    double seconds = 10;
    const std::string& text = value("page-gap");
    std::from_chars(text.data(), text.data() + text.size(), seconds);
    return seconds;
}

PlotterModel Settings::model() const {
    return value("model") == "7470a" ? PlotterModel::hp7470a : PlotterModel::hp86b;
}

Paper Settings::paper() const {
    return value("paper") == "a4" ? Paper::a4 : Paper::letter;
}

std::unique_ptr<PlotSession> makeSession(const Settings& settings, ByteLink& link, LogFile& log,
                                         StatusLine* status) {
    auto session =
        std::make_unique<PlotSession>(link, log, status, settings.model(), settings.paper());
    session->keepDisplayList(settings.vectorCopy() != "off");
    return session;
}

std::string configFilePath(const Environment& environment) {
    const char* config = lookUp(environment, "XDG_CONFIG_HOME");
    if (config != nullptr && config[0] == '/')
        return std::string(config) + "/plotanix/plotanix.conf";
    const char* home = lookUp(environment, "HOME");
    if (home == nullptr) return {};
    return std::string(home) + "/.config/plotanix/plotanix.conf";
}

// Lowest first, each layer over the one before: what a layer cannot use
// leaves the layer below standing.
Startup readSettings(int argc, const char* const* argv, const Environment& environment,
                     std::ostream& out, std::ostream& err, std::string_view version) {
    Startup startup;
    startup.configPath = configFilePath(environment);
    applyConfigFile(startup);
    applyEnvironment(startup, environment);
    startup.exitStatus = applyCommandLine(startup, argc, argv, out, err, version);
    for (std::string& notice : startup.notices)
        notice = printable(notice);
    // The default folder (the current one) is the only value not yet checked.
    std::string dir = startup.settings.dir();
    if (!startup.exitStatus && startup.settings.source("dir") == Source::defaults) {
        const std::string why = findSetting("dir")->check(dir);
        if (!why.empty()) {
            usageError(err, why + "; name another with --dir");
            startup.exitStatus = 2;
        }
    }
    return startup;
}

} // namespace plotanix
