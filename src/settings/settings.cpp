#include "settings/settings.h"

#include "common/printable.h"
#include "models/models.h"
#include "print/cups_print.h"
#include "serial/gpib_acquire.h"
#include "serial/net_line.h"
#include "settings/config_file.h"
#include "vxi11/vxi11_line.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <arpa/inet.h>
#include <array>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <ostream>
#include <unistd.h>

namespace plotanix {

namespace {

std::string lowerCase(std::string_view text) {
    std::string lower(text);
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

// The words a setting takes and the value each stands for.
template <typename Value> struct Word {
    std::string_view text;
    Value value;
};

constexpr std::string_view modelHelp =
    "plotter model, or the printer an instrument prints to: hp86b, 7470a, hpgl2, pcl or escp; "
    "or auto: hp86b until the computer's stream shows another's instructions or a print, "
    "then that one for the rest of the run";
constexpr std::string_view modelProblem = "the model is hp86b, 7470a, hpgl2, pcl, escp or auto";
// The models, and the one that follows the stream.
constexpr auto liveModels = [] {
    std::array<ModelName, std::size(modelNames) + 1> all{};
    for (size_t i = 0; i < std::size(modelNames); ++i)
        all[i] = modelNames[i];
    all.back() = {automaticName, PlotterModel::automatic};
    return all;
}();
constexpr Word<Paper> papers[] = {{"letter", Paper::letter}, {"a4", Paper::a4}};
constexpr Word<VectorCopy> vectors[] = {
    {"off", VectorCopy::off}, {"svg", VectorCopy::svg}, {"pdf", VectorCopy::pdf}};
constexpr Word<int> dataBitsWords[] = {{"7", 7}, {"8", 8}};
// The first word of each is its usual form; the letters are picocom's.
constexpr Word<Parity> parities[] = {
    {"none", Parity::none},   {"even", Parity::even}, {"odd", Parity::odd}, {"mark", Parity::mark},
    {"space", Parity::space}, {"n", Parity::none},    {"e", Parity::even},  {"o", Parity::odd},
    {"m", Parity::mark},      {"s", Parity::space}};
constexpr Word<int> stopBitsWords[] = {{"1", 1}, {"2", 2}};
constexpr Word<FlowControl> flows[] = {
    {"none", FlowControl::none}, {"xonxoff", FlowControl::xonxoff}, {"rtscts", FlowControl::rtscts},
    {"n", FlowControl::none},    {"x", FlowControl::xonxoff},       {"h", FlowControl::rtscts}};
constexpr Word<bool> flags[] = {{"on", true},   {"off", false},   {"yes", true}, {"no", false},
                                {"true", true}, {"false", false}, {"1", true},   {"0", false}};

// One of the words, in any case; otherwise the message.
template <typename Words, typename Value>
std::string oneOf(const Words& words, std::string_view text, Value& into,
                  std::string_view message) {
    const std::string lower = lowerCase(text);
    for (const auto& word : words) {
        if (lower == word.text) {
            into = word.value;
            return {};
        }
    }
    return std::string(message);
}

// The first word for the value: its usual form.
template <typename Words, typename Value> std::string wordOf(const Words& words, Value value) {
    for (const auto& word : words) {
        if (word.value == value) return std::string(word.text);
    }
    return {};
}

// Any length: the stable names under /dev/serial/by-id are long.
std::string takePort(Settings& settings, std::string value) {
    if (isVxi11Name(value)) {
        if (!parseVxi11Name(value))
            return std::string("a VXI-11 line is ") + vxi11NameForm +
                   " (DEVICE gpib0,ADDRESS through a gateway, inst0 on a LAN instrument)";
        settings.port = std::move(value);
        return {};
    }
    if (isNetworkName(value)) {
        if (!parseNetAddress(value)) return std::string("a network line is ") + netNameForms;
        settings.port = std::move(value);
        return {};
    }
    const bool path = value.find('/') != std::string::npos;
    if ((!path && !comNumber(value)) || value.find('\0') != std::string::npos)
        return "the port is a device path such as /dev/ttyUSB0 or a name such as COM1";
    settings.port = std::move(value);
    return {};
}

// The 7470A's own rates go up to 9600; the faster ones serve modern hosts.
constexpr int32_t standardRates[] = {75,   110,  134,  150,   200,   300,   600,    1200,  1800,
                                     2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};

std::string rateList() {
    std::string list;
    for (const int32_t rate : standardRates)
        list += (list.empty() ? "" : " ") + std::to_string(rate);
    return list;
}

std::string takeBaud(Settings& settings, std::string value) {
    for (const int32_t rate : standardRates) {
        if (value == std::to_string(rate)) {
            settings.line.baud = rate;
            return {};
        }
    }
    return "the speed is one of " + rateList();
}

// A USB-GPIB adapter's serial side is 115200 8N1 (the AR488's; a Prologix
// takes any): the line's settings not set from anywhere follow the adapter.
void adapterLineDefaults(Settings& settings);

std::string takeGpib(Settings& settings, std::string value) {
    const std::string lower = lowerCase(value);
    int address = 0;
    const char* end = value.data() + value.size();
    if (lower == "off") {
        settings.gpib.reset();
    } else if (lower == "listen") {
        settings.gpib = GpibSettings{GpibSettings::Role::listenOnly};
    } else if (std::from_chars(value.data(), end, address).ptr == end && address >= 1 &&
               address <= 30 && value[0] != '0') {
        settings.gpib = GpibSettings{GpibSettings::Role::device, address};
    } else {
        return "the HP-IB setting is an address from 1 to 30, listen or off";
    }
    adapterLineDefaults(settings);
    return {};
}

std::string takeAcquire(Settings& settings, std::string value) {
    const InstrumentRecipe* recipe = findRecipe(value);
    if (recipe == nullptr)
        return "unknown instrument " + value + ": plotanix --list-instruments lists them";
    settings.acquire = std::string(recipe->name);
    adapterLineDefaults(settings);
    return {};
}

// A whole number from low to high, or the message.
template <typename Number>
std::string takeWhole(std::string_view value, Number& into, Number low, Number high,
                      std::string_view message) {
    Number number = 0;
    const char* end = value.data() + value.size();
    if (value.empty() || std::from_chars(value.data(), end, number).ptr != end || number < low ||
        number > high)
        return std::string(message);
    into = number;
    return {};
}

std::string takeSeconds(std::string_view value, double& into, double low, double high,
                        std::string_view message) {
    double seconds = -1;
    const char* end = value.data() + value.size();
    const auto [at, error] = std::from_chars(value.data(), end, seconds);
    if (value.empty() || error != std::errc() || at != end || !std::isfinite(seconds) ||
        seconds < low || seconds > high)
        return std::string(message);
    into = seconds;
    return {};
}

std::string gpibText(const Settings& settings) {
    if (!settings.gpib) return "off";
    if (settings.gpib->role == GpibSettings::Role::listenOnly) return "listen";
    return std::to_string(settings.gpib->address);
}

// "~/" stands for the home folder: config files and the options screen have
// no shell to expand it.
std::string takeDir(Settings& settings, std::string value) {
    if (value == "~" || value.starts_with("~/")) value = settings.home + value.substr(1);
    std::error_code error;
    if (value.empty()) return "the output folder needs a name";
    if (!std::filesystem::exists(value, error)) return "the folder " + value + " does not exist";
    if (!std::filesystem::is_directory(value, error)) return value + " is not a folder";
    if (::access(value.c_str(), W_OK | X_OK) != 0)
        return "the folder " + value + " is not writable";
    settings.dir = std::move(value);
    return {};
}

constexpr double maxPageGap = 86400;

std::string takePageGap(Settings& settings, std::string value) {
    double seconds = -1;
    const char* end = value.data() + value.size();
    const auto [at, error] = std::from_chars(value.data(), end, seconds);
    if (error != std::errc() || at != end || !std::isfinite(seconds) || seconds < 0 ||
        seconds > maxPageGap)
        return "the page gap is a number of seconds from 0 to 86400";
    settings.pageGapSeconds = seconds;
    return {};
}

std::string secondsText(double seconds) {
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "%g", seconds);
    return text.data();
}

std::string currentFolder() {
    std::error_code error;
    const auto path = std::filesystem::current_path(error);
    return error ? std::string(".") : path.string();
}

std::string takeWeb(Settings& settings, std::string value) {
    return parseWeb(value, settings.web);
}

// Only a name: the file is read when the server starts, so that a token
// changed on disk is taken at the next start.
std::string takeTokenFile(Settings& settings, std::string value) {
    if (value.empty()) return "the token file needs a name";
    if (value == "~" || value.starts_with("~/")) value = settings.home + value.substr(1);
    settings.webTokenFile = std::move(value);
    return {};
}

// Off, the default queue ("on", or no name after --print) or a queue's
// name; whether the queue is there is the scheduler's to say, at a print.
std::string takePrint(Settings& settings, std::string value) {
    if (value == "off") {
        settings.print.reset();
    } else if (value.empty() || value == "on" || value == "default") {
        settings.print = "";
    } else if (std::string why = queueNameProblem(value); !why.empty()) {
        return why;
    } else {
        settings.print = std::move(value);
    }
    return {};
}

std::string printText(const Settings& settings) {
    if (!settings.print) return "off";
    return settings.print->empty() ? "default" : *settings.print;
}

constexpr SettingRow rows[] = {
    {"port", "", "DEVICE", "Serial device",
     "serial device path (/dev/ttyUSB0), port name (COM1 is /dev/ttyS0) or network line "
     "(tcp:HOST:PORT, tcp-listen:[ADDRESS:]PORT, telnet:HOST:PORT, telnet-listen:[ADDRESS:]PORT); "
     "with --acquire also a VXI-11 gateway or LAN instrument (vxi11:HOST[:PORT][/DEVICE])",
     true, [](const Settings& s) { return s.port; }, takePort},
    {"baud", "b", "RATE", "Speed (baud)",
     "line speed: a standard rate from 75 to 230400 (the 7470A's own go to 9600); default 9600",
     true, [](const Settings& s) { return std::to_string(s.line.baud); }, takeBaud},
    {"databits", "d", "BITS", "Data bits", "data bits a character: 7 (default) or 8", true,
     [](const Settings& s) { return wordOf(dataBitsWords, s.line.dataBits); },
     [](Settings& s, std::string v) {
         return oneOf(dataBitsWords, v, s.line.dataBits, "the data bits are 7 or 8");
     }},
    {"parity", "y", "PARITY", "Parity",
     "parity bit: none (default), even, odd, mark or space (or n, e, o, m, s)", true,
     [](const Settings& s) { return wordOf(parities, s.line.parity); },
     [](Settings& s, std::string v) {
         return oneOf(parities, v, s.line.parity,
                      "the parity is none, even, odd, mark or space (or n, e, o, m, s)");
     }},
    {"stopbits", "p", "BITS", "Stop bits", "stop bits: 1 (default) or 2", true,
     [](const Settings& s) { return wordOf(stopBitsWords, s.line.stopBits); },
     [](Settings& s, std::string v) {
         return oneOf(stopBitsWords, v, s.line.stopBits, "the stop bits are 1 or 2");
     }},
    {"flow", "f", "FLOW", "Flow control",
     "flow control: none (default), xonxoff or rtscts (or n, x, h)", true,
     [](const Settings& s) { return wordOf(flows, s.line.flow); },
     [](Settings& s, std::string v) {
         return oneOf(flows, v, s.line.flow,
                      "the flow control is none, xonxoff or rtscts (or n, x, h)");
     }},
    {"give-way", "", "SECONDS", "",
     "a listening network line: a computer that has sent nothing this long while another "
     "waits gives way to it (default 30)",
     true, [](const Settings& s) { return secondsText(s.line.giveWaySeconds); },
     [](Settings& s, std::string v) {
         return takeSeconds(v, s.line.giveWaySeconds, 1, 86400,
                            "the give-way time is a number of seconds from 1 to 86400");
     }},
    {"gpib", "", "ADDRESS", "HP-IB (gpib)",
     "the port is a USB-GPIB adapter: the plotter at HP-IB address 1-30, or listen (listen-only, "
     "for a talk-only instrument); default off",
     true, gpibText, takeGpib},
    {"gpib-save", "", "", "",
     "with --gpib: store the adapter's set-up in its memory, once (it wears)", false,
     [](const Settings& s) { return wordOf(flags, s.gpibSave); },
     [](Settings& s, std::string v) {
         return oneOf(flags, v, s.gpibSave, "the value is on or off");
     }},
    {"dir", "", "DIR", "Output folder", "folder for PLOTTER.TXT and the saved pages", true,
     [](const Settings& s) { return s.dir; }, takeDir},
    {"model", "", "MODEL", "Plotter model", modelHelp, true,
     [](const Settings& s) { return wordOf(liveModels, s.model); },
     [](Settings& s, std::string v) { return oneOf(liveModels, v, s.model, modelProblem); }},
    {"paper", "", "PAPER", "Paper", "paper of the 7470a and hpgl2 models: letter or a4", true,
     [](const Settings& s) { return wordOf(papers, s.paper); },
     [](Settings& s, std::string v) {
         return oneOf(papers, v, s.paper, "the paper is letter or a4");
     }},
    {"vector", "", "FORMAT", "Vector copy", "vector copy of each saved page: off, svg or pdf", true,
     [](const Settings& s) { return wordOf(vectors, s.vector); },
     [](Settings& s, std::string v) {
         return oneOf(vectors, v, s.vector, "the vector copy is off, svg or pdf");
     }},
    {"page-gap", "", "SECONDS", "Page gap (s)",
     "unattended: seconds of silence after the last byte that end a page, at least the "
     "run's own (default 10); a blank page is not saved",
     true, [](const Settings& s) { return secondsText(s.pageGapSeconds); }, takePageGap},
    {"unattended", "", "", "", "save every plot as a file, with no menus and no terminal", false,
     [](const Settings& s) { return wordOf(flags, s.unattended); },
     [](Settings& s, std::string v) {
         return oneOf(flags, v, s.unattended, "the value is on or off");
     }},
    {"window", "", "", "", "unattended: show the page in a window too", true,
     [](const Settings& s) { return wordOf(flags, s.window); },
     [](Settings& s, std::string v) {
         return oneOf(flags, v, s.window, "the value is on or off");
     }},
    {"live", "", "", "Live window", "show the page while it is drawn (unattended: with --window)",
     true, [](const Settings& s) { return wordOf(flags, s.live); },
     [](Settings& s, std::string v) { return oneOf(flags, v, s.live, "the value is on or off"); }},
    {"web", "", "[ADDRESS:]PORT", "Web view",
     "show the pages in a browser at this port (address 127.0.0.1 unless named; any other "
     "needs the token); default off",
     true, [](const Settings& s) { return webText(s.web); }, takeWeb},
    {"web-token-file", "", "FILE", "",
     "the web view's token, from this file (default: a new one at each start)", true,
     [](const Settings& s) { return s.webTokenFile; }, takeTokenFile},
    {"print", "", "[QUEUE]", "Print on",
     "print each saved page through CUPS on this queue (none named: the default queue); "
     "default off",
     true, printText, takePrint},
    {"fit", "", "", "Fit onto page",
     "7470a and hpgl2 models: a saved page whose drawing runs off the paper is scaled and "
     "centred onto the page, whole (its PNG and vector copy)",
     true, [](const Settings& s) { return wordOf(flags, s.fit); },
     [](Settings& s, std::string v) { return oneOf(flags, v, s.fit, "the value is on or off"); }},
    {"acquire", "", "INSTRUMENT", "",
     "ask the instrument on HP-IB behind the USB-GPIB adapter for its plot, save it and end "
     "(hp8753, hp8566b, hp8568b, hp8560e, hp3577a, tek-tds or custom; --list-instruments)",
     false, [](const Settings& s) { return s.acquire; }, takeAcquire},
    {"gpib-address", "", "N", "", "with --acquire: the instrument's HP-IB address (1-30)", false,
     [](const Settings& s) { return std::to_string(s.gpibAddress); },
     [](Settings& s, std::string v) {
         return takeWhole(v, s.gpibAddress, 1, 30, "the HP-IB address is from 1 to 30");
     }},
    {"command", "", "TEXT", "", "with --acquire custom: the command that makes it plot", false,
     [](const Settings& s) { return s.command; },
     [](Settings& s, std::string v) {
         if (v.empty()) return std::string("the command is empty");
         s.command = std::move(v);
         return std::string();
     }},
    {"quiet-after", "", "SECONDS", "",
     "with --acquire: a bus quiet this long ends the plot (default the instrument's, 3-4)", false,
     [](const Settings& s) { return secondsText(s.quietAfter); },
     [](Settings& s, std::string v) {
         return takeSeconds(v, s.quietAfter, 0.1, 3600,
                            "the quiet period is a number of seconds from 0.1 to 3600");
     }},
    {"count", "", "N", "", "with --acquire: take a series of N plots, each its own page", false,
     [](const Settings& s) { return std::to_string(s.count); },
     [](Settings& s, std::string v) {
         return takeWhole(v, s.count, 1LL, 1000000LL, "the count is from 1 to 1000000");
     }},
    {"every", "", "SECONDS", "", "with --count: the time from the start of one plot to the next",
     false, [](const Settings& s) { return secondsText(s.everySeconds); },
     [](Settings& s, std::string v) {
         return takeSeconds(v, s.everySeconds, 0, 86400,
                            "the time between plots is a number of seconds from 0 to 86400");
     }},
    {"list-instruments", "", "", "", "list the instruments --acquire knows, with their addresses",
     false, [](const Settings& s) { return wordOf(flags, s.listInstruments); },
     [](Settings& s, std::string v) {
         return oneOf(flags, v, s.listInstruments, "the value is on or off");
     }},
};
static_assert(std::size(rows) == settingCount);

const SettingRow* findRow(std::string_view key) {
    for (const SettingRow& row : rows) {
        if (row.key == key) return &row;
    }
    return nullptr;
}

void adapterLineDefaults(Settings& settings) {
    const LineSettings plain, adapter{115200, 8, Parity::none, 1};
    const LineSettings& wanted = settings.gpib || !settings.acquire.empty() ? adapter : plain;
    const auto unset = [&](std::string_view key) {
        return sourceOf(settings, *findRow(key)) == Source::defaults;
    };
    if (unset("baud")) settings.line.baud = wanted.baud;
    if (unset("databits")) settings.line.dataBits = wanted.dataBits;
    if (unset("parity")) settings.line.parity = wanted.parity;
    if (unset("stopbits")) settings.line.stopBits = wanted.stopBits;
}

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
        if (!entry.problem.empty()) {
            startup.notices.push_back(where + entry.problem);
            continue;
        }
        const SettingRow* row = findRow(entry.key);
        if (row == nullptr || !row->inConfig) {
            startup.notices.push_back(where + "unknown setting " + entry.key);
            continue;
        }
        const std::string why = setValue(startup.settings, *row, entry.value, Source::configFile);
        if (!why.empty()) startup.notices.push_back(where + why + "; ignored");
    }
}

// PLOTANIX_PORT, PLOTANIX_BAUD, ...; PLOTANIX_COM1 names the device of the
// default port and selects it, as it always has.
void applyEnvironment(Startup& startup, const Environment& environment) {
    for (const SettingRow& row : rows) {
        if (!row.inConfig) continue;
        const std::string name = environmentName(row.key);
        const char* value = lookUp(environment, name);
        if (value == nullptr && row.key == "port" && lookUp(environment, "PLOTANIX_COM1"))
            value = "COM1";
        if (value == nullptr) continue;
        const std::string why = setValue(startup.settings, row, value, Source::environment);
        if (!why.empty()) startup.notices.push_back(name + ": " + why + "; ignored");
    }
}

// PLOTANIX_<name> names the device of a port name: COM1's, and the one
// the port setting ended with.
void notePortDevices(Settings& settings, const Environment& environment) {
    for (const std::string& name : {std::string("COM1"), settings.port}) {
        if (!comNumber(name)) continue;
        if (const char* device = lookUp(environment, "PLOTANIX_" + name))
            settings.portDevices[name] = device;
    }
}

std::string optionNames(const SettingRow& row) {
    std::string names = row.shortName.empty() ? "" : "-" + std::string(row.shortName) + ",";
    return names + "--" + std::string(row.key);
}

void usageError(std::ostream& err, const std::string& what) {
    err << "plotanix: " << printable(what)
        << "\nUsage: plotanix [OPTIONS] [PORT]; plotanix --help lists them.\n";
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
        " (key = value lines, keys as the long options, # begins a comment),\n"
        "then the defaults.\n"
        "The short options are picocom's: -p is --stopbits and -d --databits (they were\n"
        "the port and the folder: name the port as PORT or --port, the folder --dir).\n"
        "Example: a PC's USB serial adapter, which sends 8 data bits, no parity, one\n"
        "stop bit (8N1) at 9600 baud:\n"
        "  plotanix /dev/ttyUSB0 --databits 8 --dir ~/plots");
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
        // A value name wholly in brackets may be left out (--print alone).
        if (row.valueName.starts_with('[') && row.valueName.ends_with(']'))
            options[i]->expected(0, 1);
    }
    // The port may also be named as the one plain argument, as picocom and
    // minicom take it.
    std::string portArgument;
    CLI::Option* portGiven =
        app.add_option("PORT", portArgument, "the serial device, as --port")->type_name("DEVICE");
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& done) {
        return app.exit(done, out, err);
    } catch (const CLI::ParseError& error) {
        usageError(err, error.what());
        return 2;
    }
    if (portGiven->count() != 0) {
        const std::size_t port = static_cast<std::size_t>(findRow("port") - rows);
        if (options[port]->count() != 0) {
            usageError(err, "the port is given twice (--port and " + portArgument + ")");
            return 2;
        }
        const std::string why =
            setValue(startup.settings, rows[port], portArgument, Source::commandLine);
        if (!why.empty()) {
            usageError(err, portArgument + ": " + why);
            return 2;
        }
    }
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        if (options[i]->count() == 0) continue;
        const std::string value = rows[i].valueName.empty() ? "on" : given[i];
        const std::string why = setValue(startup.settings, rows[i], value, Source::commandLine);
        if (why.empty()) continue;
        usageError(err, "--" + std::string(rows[i].key) + " " + value + ": " + why);
        return 2;
    }
    return std::nullopt;
}

// What only goes with --acquire, and what --acquire needs; empty when fine.
std::string acquireConflict(const Settings& settings) {
    const auto given = [&](std::string_view key) {
        return sourceOf(settings, *findRow(key)) != Source::defaults;
    };
    const std::optional<Vxi11Address> lan = parseVxi11Name(settings.port);
    if (settings.acquire.empty()) {
        // A gateway is the bus's controller: the plotter cannot listen there.
        if (lan)
            return settings.port +
                   " is a VXI-11 line, for --acquire only: the plotter's own modes need a "
                   "serial line or a USB-GPIB adapter on the bus";
        for (std::string_view key : {"gpib-address", "command", "quiet-after", "count", "every"})
            if (given(key)) return "--" + std::string(key) + " goes with --acquire";
        return {};
    }
    if (sourceOf(settings, *findRow("gpib")) == Source::commandLine)
        return "--acquire makes the adapter the bus's controller: leave out --gpib "
               "(--gpib-address names the instrument's address)";
    const InstrumentRecipe& recipe = *findRecipe(settings.acquire);
    if (recipe.name == "custom" && settings.command.empty())
        return "--acquire custom needs --command 'TEXT', the command that makes it plot";
    if (recipe.name != "custom" && given("command")) return "--command goes with --acquire custom";
    // A LAN instrument, or a device named with its address, needs none.
    const bool lanAddressed =
        lan && (deviceAddress(lan->device) || !lan->device.starts_with("gpib"));
    if (recipe.address == 0 && settings.gpibAddress == 0 && !lanAddressed)
        return "--acquire " + settings.acquire + " needs --gpib-address N: it has no usual address";
    if (given("every") && !given("count")) return "--every goes with --count";
    if (lan && settings.gpibAddress != 0) {
        const std::optional<int> named = deviceAddress(lan->device);
        if (named && *named != settings.gpibAddress)
            return "the VXI-11 device " + lan->device + " is at address " + std::to_string(*named) +
                   ", --gpib-address says " + std::to_string(settings.gpibAddress) +
                   ": leave one out";
    }
    return {};
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

Settings::Settings() : dir(currentFolder()) {}

bool portNamed(const Settings& settings) {
    return sourceOf(settings, *findRow("port")) != Source::defaults;
}

std::span<const SettingRow> settingRows() {
    return rows;
}

Source sourceOf(const Settings& settings, const SettingRow& row) {
    return settings.sources[static_cast<std::size_t>(&row - rows)];
}

std::string setValue(Settings& settings, const SettingRow& row, std::string text, Source source) {
    // Not part of any name or number: a NUL would cut the value short, and
    // the others would reach the terminal and the journal with the value.
    if (const auto control = controlByteIn(text))
        return "the value contains a control character (" + printable(std::string(1, *control)) +
               ")";
    std::string why = row.take(settings, std::move(text));
    if (why.empty()) settings.sources[static_cast<std::size_t>(&row - rows)] = source;
    return why;
}

std::string parseWeb(std::string_view text, std::optional<WebAddress>& into) {
    const std::string_view why = "the web view is [ADDRESS:]PORT (a port from 0 to 65535, an "
                                 "address such as 127.0.0.1, 0.0.0.0 or [::1]) or off";
    if (lowerCase(text) == "off") {
        into.reset();
        return {};
    }
    WebAddress address;
    std::string_view port = text;
    if (const size_t colon = text.rfind(':'); colon != std::string_view::npos) {
        std::string host(text.substr(0, colon));
        port = text.substr(colon + 1);
        const bool bracketed = host.size() > 2 && host.front() == '[' && host.back() == ']';
        if (bracketed) host = host.substr(1, host.size() - 2);
        in6_addr six{};
        in_addr four{};
        if (lowerCase(host) == "localhost") {
            host = "127.0.0.1";
        } else if (bracketed ? ::inet_pton(AF_INET6, host.c_str(), &six) != 1
                             : ::inet_pton(AF_INET, host.c_str(), &four) != 1) {
            return std::string(why);
        }
        address.host = host;
    }
    unsigned number = 0;
    const char* end = port.data() + port.size();
    if (port.empty() || std::from_chars(port.data(), end, number).ptr != end || number > 65535 ||
        (port.size() > 1 && port[0] == '0'))
        return std::string(why);
    address.port = static_cast<uint16_t>(number);
    into = address;
    return {};
}

std::string webText(const std::optional<WebAddress>& web) {
    if (!web) return "off";
    const bool six = web->host.find(':') != std::string::npos;
    return (six ? "[" + web->host + "]" : web->host) + ":" + std::to_string(web->port);
}

std::optional<long long> comNumber(std::string_view name) {
    if (name.size() < 4 || lowerCase(name.substr(0, 3)) != "com") return std::nullopt;
    const std::string_view digits = name.substr(3);
    if (digits[0] == '0' || digits.size() > 9 ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    return std::stoll(std::string(digits));
}

std::string devicePath(const Settings& settings) {
    const auto named = settings.portDevices.find(settings.port);
    if (named != settings.portDevices.end()) return named->second;
    const std::optional<long long> com = comNumber(settings.port);
    return com ? "/dev/ttyS" + std::to_string(*com - 1) : settings.port;
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
    Settings& settings = startup.settings;
    if (const char* home = environment("HOME")) settings.home = home;
    if (const char* stream = environment("JOURNAL_STREAM")) settings.journalStream = stream;
    startup.configPath = configFilePath(environment);
    applyConfigFile(startup);
    applyEnvironment(startup, environment);
    startup.exitStatus = applyCommandLine(startup, argc, argv, out, err, version);
    if (!startup.exitStatus && settings.gpibSave && !settings.gpib) {
        usageError(err, "--gpib-save needs --gpib (an address or listen)");
        startup.exitStatus = 2;
    }
    if (!startup.exitStatus) {
        const std::string why = acquireConflict(settings);
        if (!why.empty()) {
            usageError(err, why);
            startup.exitStatus = 2;
        }
    }
    // A web view from the config file serves the plotter's modes (a service
    // may hold its port); asking an instrument is watched only when asked.
    if (!settings.acquire.empty() && sourceOf(settings, *findRow("web")) != Source::commandLine)
        settings.web.reset();
    // Unattended, the live view is the window's: without one it would show
    // nothing. Asked for on this command line, that is a mistake; from the
    // config file (where it serves the interactive mode) it is said.
    if (!startup.exitStatus && settings.unattended && settings.live && !settings.window) {
        if (sourceOf(settings, *findRow("live")) == Source::commandLine) {
            usageError(err, "--live with --unattended needs --window (live is the window's view)");
            startup.exitStatus = 2;
        } else {
            startup.notices.push_back(
                "live is on, but unattended there is no window without --window; "
                "nothing is shown live");
        }
    }
    notePortDevices(settings, environment);
    for (std::string& notice : startup.notices)
        notice = printable(notice);
    // The default folder (the current one) is the only value not yet checked.
    const SettingRow& dir = *findRow("dir");
    if (!startup.exitStatus && sourceOf(settings, dir) == Source::defaults) {
        const std::string why = dir.take(settings, settings.dir);
        if (!why.empty()) {
            usageError(err, why + "; name another with --dir");
            startup.exitStatus = 2;
        }
    }
    return startup;
}

} // namespace plotanix
