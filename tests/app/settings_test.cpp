// The settings as the command line, the environment and the config file
// give them, the config file's writing, and the options screen's rules
// through its state machine with a fake screen.

#include "app/config_file.h"
#include "app/options_screen.h"
#include "app/settings.h"
#include "logfile/log_file.h"
#include "support/fake_link.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <sys/stat.h>

namespace plotanix {
namespace {

using testing::readFile;
using testing::TempDir;
using testing::writeFile;

struct Started {
    Startup startup;
    std::string out, err;
};

// plotanix with these arguments, this environment and a config file of
// this text (none when empty) in a private XDG_CONFIG_HOME.
Started start(std::vector<std::string> arguments,
              std::map<std::string, std::string> environment = {}, const std::string& config = "") {
    static TempDir home;
    const std::string file = home.file("plotanix/plotanix.conf");
    std::filesystem::remove(file);
    if (!config.empty()) EXPECT_EQ(writeFileAtomically(file, config), "");
    environment.emplace("XDG_CONFIG_HOME", home.path().string());
    arguments.insert(arguments.begin(), "plotanix");
    std::vector<const char*> argv;
    for (const std::string& argument : arguments)
        argv.push_back(argument.c_str());
    std::ostringstream out, err;
    Started run{readSettings(
                    static_cast<int>(argv.size()), argv.data(),
                    [&](const char* name) {
                        const auto found = environment.find(name);
                        return found == environment.end() ? nullptr : found->second.c_str();
                    },
                    out, err, "1.2"),
                "", ""};
    run.out = out.str();
    run.err = err.str();
    return run;
}

TEST(Settings, EachOptionAndEachBadValue) {
    TempDir folder;
    const std::string dir = folder.path().string();
    struct Case {
        std::vector<std::string> arguments;
        std::string key, value; // empty value: refused with status 2
    } cases[] = {
        {{"-p", "/dev/ttyUSB0"}, "port", "/dev/ttyUSB0"},
        {{"--port", "ttyUSB0"}, "port", ""},
        {{"--port", "COM0"}, "port", ""},
        {{"-b", "300"}, "baud", "300"},
        {{"--baud", "19200"}, "baud", ""},
        {{"-d", dir}, "dir", dir},
        {{"--dir", dir + "/none"}, "dir", ""},
        {{"--model", "7470A"}, "model", "7470a"},
        {{"--model", "7475a"}, "model", ""},
        {{"--paper", "a4"}, "paper", "a4"},
        {{"--paper", "a3"}, "paper", ""},
        {{"--vector", "SVG"}, "vector", "svg"},
        {{"--vector", "png"}, "vector", ""},
        {{"--page-gap", "2.5"}, "page-gap", "2.5"},
        {{"--page-gap", "-1"}, "page-gap", ""},
        {{"--unattended"}, "unattended", "on"},
        {{"--window"}, "window", "on"},
        {{"--bogus"}, "bogus", ""},
        {{"--baud"}, "baud", ""},
        {{"stray"}, "stray", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments[0]);
        const Started run = start(c.arguments);
        if (c.value.empty()) {
            EXPECT_EQ(run.startup.exitStatus, 2);
            EXPECT_EQ(run.err.rfind("plotanix: ", 0), 0u);
            EXPECT_NE(run.err.find(c.key), std::string::npos) << run.err;
            EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 2) << "line + usage";
        } else {
            EXPECT_FALSE(run.startup.exitStatus) << run.err;
            EXPECT_EQ(run.startup.settings.value(c.key), c.value);
            EXPECT_EQ(run.startup.settings.source(c.key), Source::commandLine);
        }
    }
    EXPECT_EQ(start({"-V"}).out, "plotanix 1.2\n");
    const Started help = start({"--help"});
    EXPECT_EQ(help.startup.exitStatus, 0);
    EXPECT_NE(help.out.find("--port DEVICE"), std::string::npos);
}

TEST(Settings, CommandLineThenEnvironmentThenConfigThenDefault) {
    const std::map<std::string, std::string> env = {{"PLOTANIX_BAUD", "1200"}};
    const std::string config = "baud = 2400\n";
    struct Case {
        bool cli, environment, file;
        std::string value;
        Source source;
    } cases[] = {
        {true, true, true, "300", Source::commandLine},
        {false, true, true, "1200", Source::environment},
        {false, false, true, "2400", Source::configFile},
        {false, false, false, "9600", Source::defaults},
    };
    for (const Case& c : cases) {
        const Started run =
            start(c.cli ? std::vector<std::string>{"-b", "300"} : std::vector<std::string>{},
                  c.environment ? env : std::map<std::string, std::string>{}, c.file ? config : "");
        EXPECT_EQ(run.startup.settings.value("baud"), c.value);
        EXPECT_EQ(run.startup.settings.source("baud"), c.source);
    }
    // PLOTANIX_COM1 alone selects COM1 over the config file, as it always did.
    const Started com = start({}, {{"PLOTANIX_COM1", "/dev/pts/9"}}, "port = /dev/ttyUSB0\n");
    EXPECT_EQ(com.startup.settings.port(), "COM1");
    EXPECT_EQ(com.startup.settings.source("port"), Source::environment);
}

// The session takes its model from the settings: the 7470A ends replies
// with CR and knows OS; the display list a vector copy needs is kept.
TEST(Settings, MakeTheSessionOfTheChosenModel) {
    const std::map<std::string, std::string> replies = {{"7470a", "7470A\r24\r"},
                                                        {"hp86b", "7470A\r\n"}};
    for (const auto& [model, reply] : replies) {
        Settings settings;
        ASSERT_EQ(settings.set("model", model, Source::commandLine), "");
        ASSERT_EQ(settings.set("vector", "svg", Source::commandLine), "");
        testing::FakeLink link({"OI;OS;"});
        LogFile log;
        const auto session = makeSession(settings, link, log);
        ASSERT_TRUE(session->createPage());
        session->run();
        EXPECT_EQ(link.written, reply) << model;
        EXPECT_NE(session->displayList(), nullptr);
    }
}

TEST(Settings, AConfigFileWithBadLinesStillStarts) {
    const Started run = start({}, {{"PLOTANIX_VECTOR", "gif"}},
                              "# mine\nport = /dev/ttyUSB1\nbaud = 1234\nnonsense\ncolour = red\n"
                              "unattended = on\npaper=A4\n");
    EXPECT_FALSE(run.startup.exitStatus);
    const std::string file = run.startup.configPath;
    EXPECT_EQ(
        run.startup.notices,
        (std::vector<std::string>{
            file + " line 4: not a key = value line; ignored",
            file + " line 3: the speed is one of 75 110 150 300 600 1200 2400 4800 9600; "
                   "ignored",
            file + " line 5: unknown setting colour", file + " line 6: unknown setting unattended",
            "PLOTANIX_VECTOR: the vector copy is off, svg or pdf; ignored"}));
    EXPECT_EQ(run.startup.settings.value("baud"), "9600");
    EXPECT_EQ(run.startup.settings.value("port"), "/dev/ttyUSB1");
    EXPECT_EQ(run.startup.settings.value("paper"), "a4");
    EXPECT_EQ(run.startup.settings.value("vector"), "off");
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
    struct stat info {};
    ASSERT_EQ(lstat(path.c_str(), &info), 0);
    const mode_t mask = umask(0);
    umask(mask);
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0666 & ~mask);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(home.file("new/plotanix")), {}), 1);
    EXPECT_NE(saveSetting(home.file("planted/x.conf"), "baud", "300"), "")
        << "a file, not a folder";
}

class FakeScreen : public Screen {
  public:
    void clearConsole() override { lines.assign(1, ""); }
    void setConsoleColour(int, int) override {}
    void moveCursor(int, int) override {}
    void printText(std::string_view text) override { lines.back() += text; }
    void printLine(std::string_view text) override {
        lines.back() += text;
        lines.emplace_back();
    }
    int bufferWidth() const override { return 80; }
    int bufferHeight() const override { return 25; }
    int cursorRow() const override { return static_cast<int>(lines.size()) - 1; }
    int cursorColumn() const override { return static_cast<int>(lines.back().size()); }
    std::vector<std::string> lines{""};
};

TEST(OptionsScreen, PicksTypesChecksSavesAndLeaves) {
    FakeScreen screen;
    Settings settings;
    std::vector<std::string> saved;
    std::string saveError;
    OptionsScreen options(screen, settings, [&](std::string_view key, const std::string& value) {
        saved.push_back(std::string(key) + "=" + value);
        return saveError;
    });
    using Next = OptionsScreen::Next;
    options.show();
    EXPECT_EQ(screen.lines[4].substr(0, 24), " 2: Speed (baud)    9600");
    EXPECT_EQ(screen.lines[4].substr(screen.lines[4].size() - 7), "default");
    EXPECT_EQ(screen.lines.back(), "Option : ");
    const std::string message = "the speed is one of 75 110 150 300 600 1200 2400 4800 9600";
    struct Step {
        std::string key, line; // the key at the prompt, then the line typed
        std::string shown;     // the screen's message line after it
    } steps[] = {
        {"2", "12", "Refused: " + message + "."},
        {"2", "", "Speed (baud) kept."},
        {"2", "300", "Speed (baud) set to 300 and saved."},
        {"6", "PDF", "Vector copy set to pdf and saved."},
    };
    for (const Step& step : steps) {
        ASSERT_EQ(options.onKey(step.key), Next::readLine);
        EXPECT_EQ(screen.lines.back(),
                  step.key == "2" ? "Speed (baud) (Enter keeps " + settings.value("baud") + "): "
                                  : "Vector copy (Enter keeps off): ");
        EXPECT_EQ(options.onLine(step.line), Next::stay);
        EXPECT_EQ(screen.lines[screen.lines.size() - 3], step.shown);
    }
    EXPECT_EQ(saved, (std::vector<std::string>{"baud=300", "vector=pdf"}));
    EXPECT_EQ(settings.source("baud"), Source::configFile);
    EXPECT_NE(screen.lines[4].find("300"), std::string::npos);
    EXPECT_NE(screen.lines[4].find("config file"), std::string::npos);

    saveError = "disk full";
    TempDir folder;
    options.onKey("3");
    options.onLine(folder.path().string());
    EXPECT_EQ(screen.lines[screen.lines.size() - 3],
              "Output folder used now, but not saved: disk full");
    for (const std::string ignored : {"0", "9", "x", "\b"})
        EXPECT_EQ(options.onKey(ignored), Next::stay);
    EXPECT_EQ(options.onKey("\r"), Next::leave);
    EXPECT_EQ(options.onKey("\x1b"), Next::leave);
}

} // namespace
} // namespace plotanix
