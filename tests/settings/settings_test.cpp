// The settings from the command line, the environment and the config file,
// the device a port stands for, and the config file's writing.

#include "settings/config_file.h"
#include "settings/settings.h"
#include "support/started_settings.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <iterator>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <sys/stat.h>

namespace plotanix {
namespace {

using testing::Args;
using testing::Env;
using testing::readFile;
using testing::row;
using testing::start;
using testing::Started;
using testing::TempDir;
using testing::writeFile;
using namespace std::string_literals;

// The settings of --acquire, a mode of their own.
const std::set<std::string_view> acquireKeys = {
    "acquire", "gpib-address", "command", "quiet-after", "count", "every", "list-instruments"};

// The words of a command line, split at blanks.
Args words(const std::string& line) {
    std::istringstream words(line);
    return Args(std::istream_iterator<std::string>(words), {});
}

TEST(Settings, EachOptionAndEachBadValue) {
    TempDir folder;
    const std::string dir = folder.path().string();
    const Started good =
        start(words("--port /dev/ttyUSB0 -b 300 --databits 8 --parity Even "
                    "--stopbits 2 --flow rtscts --give-way 45 --gpib 7 --gpib-save --dir " +
                    dir +
                    " --model 7470A --paper a4 --vector SVG --page-gap 2.5 "
                    "--unattended --window --live --web 0.0.0.0:8470 "
                    "--web-token-file /etc/plotanix/token --print plotter-a4 --fit"));
    EXPECT_FALSE(good.startup.exitStatus) << good.err;
    const Settings& settings = good.startup.settings;
    std::string values;
    for (const SettingRow& setting : settingRows()) {
        if (acquireKeys.contains(setting.key)) continue; // another mode: below
        values += setting.text(settings) + " ";
        EXPECT_EQ(sourceOf(settings, setting), Source::commandLine) << setting.key;
    }
    EXPECT_EQ(values,
              "/dev/ttyUSB0 300 8 even 2 rtscts 45 7 on " + dir +
                  " 7470a a4 svg 2.5 on on on 0.0.0.0:8470 /etc/plotanix/token plotter-a4 on ");
    EXPECT_EQ(describeLine(settings.line), "300 8E2 rtscts");
    // Refused: one line naming the setting, the usage line, status 2.
    for (const std::string bad : {"--port ttyUSB0",
                                  "--port COM0",
                                  "--baud 19201",
                                  "--baud 460800",
                                  "--baud 50",
                                  "--databits 9",
                                  "--databits 5",
                                  "--parity x",
                                  "--stopbits 1.5",
                                  "--stopbits 0",
                                  "--flow hardware",
                                  "--flow on",
                                  "--give-way 0.5",
                                  "--gpib 0",
                                  "--gpib 31",
                                  "--gpib 05",
                                  "--gpib talk",
                                  "--gpib-save",
                                  "--dir /nonexistent/plotanix",
                                  "--model 7475a",
                                  "--paper a3",
                                  "--vector png",
                                  "--page-gap -1",
                                  "--bogus",
                                  "--baud",
                                  "--flow",
                                  "stray",
                                  "--port /dev/ttyS1 /dev/ttyS2",
                                  "--parity y",
                                  "--flow s",
                                  "--flow r",
                                  "--live --unattended",
                                  "--web 70000",
                                  "--web-token-file",
                                  "--print /dev/ttyUSB0"}) {
        const Started run = start(words(bad));
        const std::string key = bad.substr(0, bad.find(' ')).substr(bad.find_first_not_of('-'));
        EXPECT_EQ(run.startup.exitStatus, 2) << bad;
        EXPECT_EQ(run.err.rfind("plotanix: ", 0), 0u) << bad;
        EXPECT_NE(run.err.find(key), std::string::npos) << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 2) << run.err;
    }
    EXPECT_EQ(start({"-V"}).out, "plotanix 1.2\n"); // --help's text: install_test.sh
    EXPECT_EQ(start({"--help"}).startup.exitStatus, 0);
}

// Asking an instrument for its plot: its options, what each needs and what
// goes with it only, refused in one line each.
TEST(Settings, AcquireOptions) {
    const Started good = start({"--acquire", "HP8568B", "--gpib-address", "7", "--quiet-after",
                                "1.5", "--count", "3", "--every", "60", "/dev/ttyUSB0"});
    EXPECT_FALSE(good.startup.exitStatus) << good.err;
    const Settings& settings = good.startup.settings;
    EXPECT_EQ(settings.acquire, "hp8566b") << "an alias is its recipe";
    EXPECT_EQ(settings.gpibAddress, 7);
    EXPECT_EQ(settings.quietAfter, 1.5);
    EXPECT_EQ(settings.count, 3);
    EXPECT_EQ(settings.everySeconds, 60);
    EXPECT_EQ(describeLine(settings.line), "115200 8N1") << "the adapter's line";
    const Started custom =
        start({"--acquire", "custom", "--command", "PLOT;", "--gpib-address", "9", "x/y"});
    EXPECT_FALSE(custom.startup.exitStatus) << custom.err;
    EXPECT_EQ(custom.startup.settings.command, "PLOT;");
    EXPECT_TRUE(start({"--list-instruments"}).startup.settings.listInstruments);
    // A gateway's device names the address; a LAN instrument needs none.
    for (const Args& lan : {Args{"--acquire", "tek-tds", "vxi11:[fe80::1]:1111/gpib0,7,3"},
                            Args{"--acquire", "tek-tds", "vxi11:scope"},
                            Args{"--acquire", "hp8753", "--port", "vxi11:gw:111/gpib1"}}) {
        const Started run = start(lan);
        EXPECT_FALSE(run.startup.exitStatus) << lan.back() << ": " << run.err;
        EXPECT_EQ(run.startup.settings.port, lan.back());
    }
    const std::pair<Args, std::string> refused[] = {
        {{"--acquire", "hp9999"},
         "unknown instrument hp9999: plotanix --list-instruments lists them"},
        {{"--acquire", "custom", "--gpib-address", "3"}, "--acquire custom needs --command 'TEXT'"},
        {{"--acquire", "hp8753", "--command", "X"}, "--command goes with --acquire custom"},
        {{"--acquire", "tek-tds"}, "--acquire tek-tds needs --gpib-address N"},
        {{"--acquire", "hp8753", "--gpib", "5"},
         "--acquire makes the adapter the bus's controller"},
        {{"--acquire", "hp8753", "--every", "5"}, "--every goes with --count"},
        {{"--count", "2"}, "--count goes with --acquire"},
        {{"--gpib-address", "2"}, "--gpib-address goes with --acquire"},
        {{"--acquire", "hp8753", "--gpib-address", "31"}, "the HP-IB address is from 1 to 30"},
        {{"--acquire", "hp8753", "--count", "0"}, "the count is from 1 to 1000000"},
        {{"--acquire", "hp8753", "--quiet-after", "0"}, "the quiet period is a number of seconds"},
        {{"vxi11:lab-gw/gpib0,16"}, "vxi11:lab-gw/gpib0,16 is a VXI-11 line, for --acquire only"},
        {{"--acquire", "hp8753", "vxi11:lab-gw/gpib0,31"}, "a VXI-11 line is vxi11:HOST"},
        {{"--acquire", "hp8753", "vxi11:lab-gw:0"}, "a VXI-11 line is vxi11:HOST"},
        {{"--acquire", "hp8753", "vxi11:/inst0"}, "a VXI-11 line is vxi11:HOST"},
        {{"--acquire", "hp8753", "--gpib-address", "9", "vxi11:gw/gpib0,16"},
         "the VXI-11 device gpib0,16 is at address 16, --gpib-address says 9"},
    };
    for (const auto& [arguments, why] : refused) {
        const Started run = start(arguments);
        EXPECT_EQ(run.startup.exitStatus, 2) << why;
        EXPECT_NE(run.err.find(why), std::string::npos) << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 2) << run.err;
    }
}

// Every value of the line's settings, as the short form shows the line.
TEST(Settings, EachLineValue) {
    const std::pair<Args, std::string> lines[] = {
        {{}, "9600 7N1"},
        {{"--databits", "8"}, "9600 8N1"},
        {{"--databits", "7"}, "9600 7N1"},
        {{"--parity", "none"}, "9600 7N1"},
        {{"--parity", "even"}, "9600 7E1"},
        {{"--parity", "ODD"}, "9600 7O1"},
        {{"--parity", "mark"}, "9600 7M1"},
        {{"--parity", "space"}, "9600 7S1"},
        {{"--stopbits", "1"}, "9600 7N1"},
        {{"--stopbits", "2"}, "9600 7N2"},
        {{"--flow", "none"}, "9600 7N1"},
        {{"--flow", "xonxoff"}, "9600 7N1 xonxoff"},
        {{"--flow", "RTSCTS"}, "9600 7N1 rtscts"},
        // picocom's letters and short options.
        {{"-y", "e"}, "9600 7E1"},
        {{"-y", "O"}, "9600 7O1"},
        {{"-y", "m"}, "9600 7M1"},
        {{"-y", "s"}, "9600 7S1"},
        {{"--parity", "n"}, "9600 7N1"},
        {{"-d", "8"}, "9600 8N1"},
        {{"-p", "2"}, "9600 7N2"},
        {{"-f", "x"}, "9600 7N1 xonxoff"},
        {{"-f", "h"}, "9600 7N1 rtscts"},
        {{"--flow", "n"}, "9600 7N1"},
        {{"-b", "19200", "-d", "8", "-y", "n", "-p", "1", "-f", "n"}, "19200 8N1"},
        // Through a USB-GPIB adapter: 115200 8N1 unless set.
        {{"--gpib", "5"}, "115200 8N1"},
        {{"--gpib", "listen", "--baud", "9600", "--parity", "even"}, "9600 8E1"},
        {{"--databits", "7", "--gpib", "30"}, "115200 7N1"},
        {{"--gpib", "off"}, "9600 7N1"},
    };
    for (const auto& [arguments, shown] : lines) {
        const Started run = start(arguments);
        EXPECT_FALSE(run.startup.exitStatus) << run.err;
        EXPECT_EQ(describeLine(run.startup.settings.line), shown) << arguments.back();
    }
    // Turned off again on the options screen: the plain line's defaults.
    Settings screen = start({"--gpib", "5"}).startup.settings;
    ASSERT_EQ(setValue(screen, row("gpib"), "OFF", Source::configFile), "");
    EXPECT_EQ(describeLine(screen.line), "9600 7N1");
    EXPECT_FALSE(screen.gpib);
    for (const int rate : {75, 110, 134, 150, 200, 300, 600, 1200, 1800, 2400, 4800, 9600, 19200,
                           38400, 57600, 115200, 230400})
        EXPECT_EQ(start({"-b", std::to_string(rate)}).startup.settings.line.baud, rate);
}

// The web view's address: a port alone is loopback's; an address is
// numeric (a name could be made to point anywhere).
TEST(Settings, WebAddresses) {
    const struct {
        const char* text;
        const char* shown; // nullptr: refused
    } cases[] = {
        {"8470", "127.0.0.1:8470"},
        {"0", "127.0.0.1:0"},
        {"65535", "127.0.0.1:65535"},
        {"0.0.0.0:8470", "0.0.0.0:8470"},
        {"192.168.1.10:80", "192.168.1.10:80"},
        {"localhost:8470", "127.0.0.1:8470"},
        {"[::1]:8470", "[::1]:8470"},
        {"[::]:8470", "[::]:8470"},
        {"OFF", "off"},
        {"65536", nullptr},
        {"-1", nullptr},
        {"08470", nullptr},
        {"8470x", nullptr},
        {"", nullptr},
        {":8470", nullptr},
        {"1.2.3:8470", nullptr},
        {"bench.example:8470", nullptr},
        {"::1:8470", nullptr},
        {"[127.0.0.1]:8470", nullptr},
        {"127.0.0.1:", nullptr},
    };
    for (const auto& c : cases) {
        Settings settings;
        settings.web = WebAddress{"10.0.0.1", 1};
        const std::string why = setValue(settings, row("web"), c.text, Source::configFile);
        EXPECT_EQ(why.empty(), c.shown != nullptr) << c.text << ": " << why;
        EXPECT_EQ(webText(settings.web), c.shown ? c.shown : "10.0.0.1:1") << c.text;
    }
    EXPECT_EQ(start({}).startup.settings.web, std::nullopt) << "off unless asked for";
}

// picocom's way: the port as the one plain argument, of any length.
// --print takes a queue or none (the default queue), before the port too;
// the config file and the environment name one, "on" or "off".
TEST(Settings, PrintQueues) {
    struct Case {
        Args args;
        Env environment;
        std::string config, expected, port;
    };
    for (const Case& c :
         {Case{{}, {}, "", "off", "COM1"}, Case{{"--print"}, {}, "", "default", "COM1"},
          Case{{"--print", "--dir", "."}, {}, "", "default", "COM1"},
          Case{{"--print=plotter", "/dev/ttyUSB0"}, {}, "", "plotter", "/dev/ttyUSB0"},
          Case{{"/dev/ttyUSB0", "--print"}, {}, "", "default", "/dev/ttyUSB0"},
          Case{{}, {{"PLOTANIX_PRINT", "lab"}}, "", "lab", "COM1"},
          Case{{}, {}, "print = on\n", "default", "COM1"},
          Case{{"--print", "off"}, {}, "print = lab\n", "off", "COM1"}}) {
        const Started run = start(c.args, c.environment, c.config);
        SCOPED_TRACE(run.err);
        ASSERT_FALSE(run.startup.exitStatus);
        EXPECT_EQ(row("print").text(run.startup.settings), c.expected);
        EXPECT_EQ(run.startup.settings.port, c.port);
    }
}

TEST(Settings, ThePortAsTheArgument) {
    const std::string byId =
        "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0" + std::string(100, 'x');
    for (const std::string port : {"/dev/ttyUSB0", "COM1", byId.c_str()}) {
        const Started run = start({"--databits", "8", port});
        EXPECT_FALSE(run.startup.exitStatus) << run.err;
        EXPECT_EQ(run.startup.settings.port, port);
        EXPECT_EQ(sourceOf(run.startup.settings, row("port")), Source::commandLine);
    }
}

// Each plotter model by its word, in any case.
TEST(Settings, EachModelByItsWord) {
    const std::pair<std::string, PlotterModel> models[] = {{"HP86B", PlotterModel::hp86b},
                                                           {"7470a", PlotterModel::hp7470a},
                                                           {"HpGl2", PlotterModel::hpgl2}};
    for (const auto& [word, model] : models)
        EXPECT_EQ(start({"--model", word}).startup.settings.model, model) << word;
}

TEST(Settings, CommandLineThenEnvironmentThenConfigThenDefault) {
    const std::string expected[] = {"300 command line", "1200 environment", "2400 config file",
                                    "9600 default"};
    for (int from = 0; from < 4; ++from) {
        const Settings settings = start(from < 1 ? Args{"-b", "300"} : Args{},
                                        from < 2 ? Env{{"PLOTANIX_BAUD", "1200"}} : Env{},
                                        from < 3 ? "baud = 2400\n" : "")
                                      .startup.settings;
        EXPECT_EQ(std::to_string(settings.line.baud) + " " +
                      std::string(sourceName(sourceOf(settings, row("baud")))),
                  expected[from]);
    }
    // PLOTANIX_COM1 alone selects COM1 over the config file, as it always did.
    const Settings com =
        start({}, {{"PLOTANIX_COM1", "/dev/pts/9"}}, "port = /dev/ttyUSB0\n").startup.settings;
    EXPECT_EQ(com.port, "COM1");
    EXPECT_EQ(sourceOf(com, row("port")), Source::environment);
}

// COMn is /dev/ttyS(n-1) unless the environment named its device; a path
// is itself.
TEST(Settings, ThePortStandsForADevice) {
    const Env named = {{"PLOTANIX_COM1", "/dev/pts/42"}, {"PLOTANIX_COM3", "/dev/pts/43"}};
    const struct {
        std::string port;
        Env environment;
        std::string device;
    } ports[] = {
        {"COM1", {}, "/dev/ttyS0"},     {"COM12", {}, "/dev/ttyS11"},
        {"com3", {}, "/dev/ttyS2"},     {"/dev/ttyUSB0", named, "/dev/ttyUSB0"},
        {"COM1", named, "/dev/pts/42"}, {"COM3", named, "/dev/pts/43"},
        {"COM2", named, "/dev/ttyS1"},
    };
    for (const auto& [port, environment, device] : ports)
        EXPECT_EQ(devicePath(start({"--port", port}, environment).startup.settings), device)
            << port;
    // Named on the options screen later: COM1 keeps the device it was given.
    Settings later = start({"--port", "COM2"}, named).startup.settings;
    ASSERT_EQ(setValue(later, row("port"), "COM1", Source::configFile), "");
    EXPECT_EQ(devicePath(later), "/dev/pts/42");
    for (const std::string notCom : {"COM0", "COM01", "COM", "COM-1", "COM1x", "COM1234567890"})
        EXPECT_FALSE(comNumber(notCom)) << notCom;
}

TEST(Settings, AConfigFileWithBadLinesStillStarts) {
    const Started run = start({}, {{"PLOTANIX_VECTOR", "gif"}, {"PLOTANIX_DATABITS", "9"}},
                              "# mine\nport = /dev/ttyUSB1\nbaud = 1234\nnonsense\ncolour = red\n"
                              "unattended = on\npaper=A4\nparity = yes\nflow = rtscts\n");
    EXPECT_FALSE(run.startup.exitStatus);
    const std::string line = run.startup.configPath + " line ";
    // In the file's order, whatever made each line unusable.
    EXPECT_EQ(run.startup.notices,
              (Args{line + "3: the speed is one of 75 110 134 150 200 300 600 1200 1800 2400 4800 "
                           "9600 19200 38400 57600 115200 230400; ignored",
                    line + "4: not a key = value line; ignored", line + "5: unknown setting colour",
                    line + "6: unknown setting unattended",
                    line + "8: the parity is none, even, odd, mark or space (or n, e, o, m, s); "
                           "ignored",
                    "PLOTANIX_DATABITS: the data bits are 7 or 8; ignored",
                    "PLOTANIX_VECTOR: the vector copy is off, svg or pdf; ignored"}));
    const Settings& settings = run.startup.settings;
    EXPECT_EQ(describeLine(settings.line), "9600 7N1 rtscts");
    EXPECT_EQ(settings.port, "/dev/ttyUSB1");
    EXPECT_EQ(settings.paper, Paper::a4);
    EXPECT_EQ(settings.vector, VectorCopy::off);
}

// A control character, or a NUL that would cut the value short, is never
// part of a setting: refused with the reason from every source, and the
// value before stands.
TEST(Settings, RefuseControlCharactersFromEverySource) {
    const std::string refused = "the value contains a control character ";
    const Started line = start({"--port", "/dev/tty\x1b[2J"});
    const Started environment = start({}, {{"PLOTANIX_DIR", "/tmp\nforged"}});
    const Started file = start({}, {}, "port = /dev/tty\0S0\n"s);
    Settings screen; // the options screen sets what is typed as from the config file
    const std::string typed = setValue(screen, row("port"), "/dev/ttyS0\x07", Source::configFile);
    const std::pair<std::string, std::string> messages[] = {
        {line.err.substr(0, line.err.find('\n')),
         "plotanix: --port /dev/tty\\x1b[2J: " + refused + "(\\x1b)"},
        {environment.startup.notices.at(0), "PLOTANIX_DIR: " + refused + "(\\x0a); ignored"},
        {file.startup.notices.at(0),
         file.startup.configPath + " line 1: " + refused + "(\\x00); ignored"},
        {typed, refused + "(\\x07)"}};
    for (const auto& [message, expected] : messages)
        EXPECT_EQ(message, expected);
    EXPECT_EQ(line.startup.exitStatus, 2);
    EXPECT_NE(environment.startup.settings.dir, "/tmp\nforged");
    EXPECT_EQ(file.startup.settings.port, "COM1");
    EXPECT_EQ(screen.port, "COM1");
}

// Unattended, live without a window would show nothing: from the config
// file (where it serves the interactive mode) it is said, not refused.
TEST(Settings, LiveUnattendedWithoutAWindowIsSaid) {
    const Started fromFile = start({"--unattended"}, {}, "live = on\n");
    EXPECT_FALSE(fromFile.startup.exitStatus) << fromFile.err;
    EXPECT_EQ(fromFile.startup.notices,
              (Args{"live is on, but unattended there is no window without --window; nothing is "
                    "shown live"}));
    const Started withWindow = start({"--unattended", "--live", "--window"});
    EXPECT_FALSE(withWindow.startup.exitStatus) << withWindow.err;
    EXPECT_TRUE(withWindow.startup.notices.empty());
}

// A "# comment" after a value is no part of it; a '#' within a name is.
TEST(Settings, AConfigValueMayCarryATrailingComment) {
    const struct {
        std::string line;
        std::string key;
        std::string value;
    } lines[] = {
        {"port = /dev/pts/1   # the pty", "port", "/dev/pts/1"},
        {"parity = e\t# even, picocom's way", "parity", "even"},
        {"flow = x #", "flow", "xonxoff"},
        {"port = /dev/serial/by-id/usb#1 # adapter", "port", "/dev/serial/by-id/usb#1"},
        {"baud=300#no blank before it", "baud", "9600"},
    };
    for (const auto& [text, key, value] : lines) {
        const Started run = start({}, {}, text + "\n");
        EXPECT_EQ(row(key).text(run.startup.settings), value) << text;
    }
    EXPECT_EQ(start({}, {}, "baud=300#x\n").startup.notices.size(), 1u);
    EXPECT_EQ(withSetting("port = /dev/pts/1   # the pty\n", "port", "/dev/pts/2"),
              "port = /dev/pts/2  # the pty\n");
}

// --help is written from the table; the man page, kept by hand, must name
// the same options (with their short names) in OPTIONS, nothing else, and
// the same config keys in FILES.
TEST(Settings, TheHelpAndTheManPageFollowTheTable) {
    const std::string man =
        std::regex_replace(readFile(PLOTANIX_MAN_PAGE), std::regex(R"(\\-)"), "-");
    const size_t options = man.find("\n.SH OPTIONS\n");
    ASSERT_NE(options, std::string::npos) << PLOTANIX_MAN_PAGE;
    const std::string section = man.substr(options, man.find("\n.SH ", options + 1) - options);
    const std::regex tag(R"(\n\.TP\n([^\n]*))"), longOption(R"(--([a-z][a-z0-9-]*))");
    const std::sregex_iterator end;
    std::map<std::string, std::string> tagOf; // each long option, and the entry's tag line
    for (std::sregex_iterator entry(section.begin(), section.end(), tag); entry != end; ++entry) {
        const std::string line = (*entry)[1];
        for (std::sregex_iterator name(line.begin(), line.end(), longOption); name != end; ++name)
            tagOf.emplace((*name)[1], line);
    }
    const std::string help = start({"--help"}).out;
    std::set<std::string> keys = {"help", "version"}, configKeys, manKeys;
    for (const SettingRow& r : settingRows()) {
        const std::string key(r.key);
        keys.insert(key);
        if (r.inConfig) {
            configKeys.insert(key);
        }
        EXPECT_NE(help.find("--" + key), std::string::npos) << "--help lacks --" << key;
        EXPECT_TRUE(tagOf.contains(key)) << "the man page lacks --" << key;
        if (!r.shortName.empty()) {
            EXPECT_NE(tagOf[key].find("-" + std::string(r.shortName) + " "), std::string::npos)
                << "the man page lacks -" << r.shortName;
        }
    }
    for (const auto& [name, line] : tagOf)
        EXPECT_TRUE(keys.contains(name)) << "the man page names --" << name << ", no setting";
    const std::string intro = "The keys are the long options:\n";
    const size_t from = man.find(intro) + intro.size();
    const std::string list = man.substr(from, man.find('\n', from) - from);
    const std::regex word(R"(([a-z][a-z0-9-]*)[" .])");
    for (std::sregex_iterator key(list.begin(), list.end(), word); key != end; ++key)
        manKeys.insert((*key)[1]);
    EXPECT_EQ(manKeys, configKeys) << "the man page's config keys";
}

TEST(ConfigFile, KeepsOtherLinesWritesAtomicallyAndFollowsNoLink) {
    EXPECT_EQ(withSetting("# note\nbaud = 300\nport=COM2\nbaud = 600\n", "baud", "1200"),
              "# note\nbaud = 1200\nport=COM2\n");
    EXPECT_EQ(withSetting("# note", "dir", "/x"), "# note\ndir = /x\n");

    TempDir home;
    const std::string path = home.file("new/plotanix/plotanix.conf");
    const std::string planted = home.file("planted");
    writeFile(planted, "# linked\n");
    std::filesystem::create_directories(home.file("new/plotanix"));
    std::filesystem::create_symlink(planted, path);
    ASSERT_EQ(saveSetting(path, "baud", "300"), "");
    EXPECT_EQ(readFile(planted), "# linked\n") << "written through the link";
    EXPECT_EQ(readFile(path), "# linked\nbaud = 300\n");
    const mode_t mask = umask(0);
    umask(mask);
    const auto status = std::filesystem::symlink_status(path);
    EXPECT_TRUE(std::filesystem::is_regular_file(status));
    EXPECT_EQ(int(status.permissions()), 0666 & ~mask);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(home.file("new/plotanix")), {}), 1);
    EXPECT_NE(saveSetting(home.file("planted/x.conf"), "baud", "300"), ""); // a file, not a folder
}

} // namespace
} // namespace plotanix
