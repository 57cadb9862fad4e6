// The one rule for messages: wherever a name or a value from outside
// reaches a message, its control bytes and the bytes that are not UTF-8 are
// shown as \xNN, so that no message can command the terminal or start a
// forged line in the journal.

#include "common/printable.h"
#include "journal.h"
#include "logfile/log_file.h"
#include "options_screen.h"
#include "settings/settings.h"
#include "support/fake_screen.h"
#include "support/started_settings.h"
#include "support/temp_dir.h"
#include "support/tmux_session.h"

#include <cerrno>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <unistd.h>

namespace plotanix {
namespace {

using namespace std::string_literals;
using testing::start;
using testing::TempDir;

TEST(Printable, EscapesControlBytesAndBytesThatAreNotUtf8) {
    const std::pair<std::string, std::string> cases[] = {
        {"/dev/ttyUSB0 ~ \\x1b plain", "/dev/ttyUSB0 ~ \\x1b plain"},
        {"\x1b]2;title\x07", "\\x1b]2;title\\x07"},
        {"a\nb\r\tc\x7f", "a\\x0ab\\x0d\\x09c\\x7f"},
        {"nul\0x"s, "nul\\x00x"},
        {"Zeichnungen-\xc3\xa4 \xe2\x82\xac \xf0\x9f\x96\x8a", // ä, €, a pen
         "Zeichnungen-\xc3\xa4 \xe2\x82\xac \xf0\x9f\x96\x8a"},
        {"\xc2\x9b"
         "2J",
         "\\xc2\\x9b2J"}, // the C1 control CSI
        // Alone, cut short, overlong, a surrogate, past U+10FFFF.
        {"\xff \xe2\x82 \xe0\x80\xaf \xed\xa0\x80 \xf4\x90\x80\x80",
         "\\xff \\xe2\\x82 \\xe0\\x80\\xaf \\xed\\xa0\\x80 \\xf4\\x90\\x80\\x80"},
    };
    for (const auto& [raw, shown] : cases) {
        EXPECT_EQ(printable(raw), shown);
        EXPECT_EQ(printable(shown), shown) << "shown twice";
    }
}

std::string firstLine(const std::string& text) {
    return text.substr(0, text.find('\n'));
}

// Each message that shows a name or value from outside, built with a hostile
// one: a folder of that name, or the value given.
TEST(Messages, ShowHostileNamesEscapedOnOneLine) {
    const std::string hostile = "x\x1b]2;owned\x07\x1b[2J\npage saved: /etc/passwd\xff";
    const std::string shown = "x\\x1b]2;owned\\x07\\x1b[2J\\x0apage saved: /etc/passwd\\xff";
    const TempDir dir;
    const std::string folder = dir.file(hostile);
    std::filesystem::create_directories(folder + "/plotanix");
    testing::writeFile(folder + "/plotanix/plotanix.conf", "nonsense\n");
    const std::pair<std::string, std::function<std::string()>> builders[] = {
        {"journal line", [&] { return journalLine("page saved: " + hostile); }},
        {"systemd journal line",
         [&] { return journalLine("page saved: " + hostile, Priority::error); }},
        {"usage error",
         [&] {
             return firstLine(start({"--dir", hostile}).err);
         }},
        {"port argument", [&] { return firstLine(start({hostile}).err); }},
        {"config file notice",
         [&] {
             return start({}, {{"XDG_CONFIG_HOME", folder}}).startup.notices.at(0);
         }},
        {"options screen",
         [&] {
             const std::filesystem::path before = std::filesystem::current_path();
             std::filesystem::current_path(folder); // the default output folder
             Settings settings;
             std::filesystem::current_path(before);
             testing::FakeScreen screen(1000); // the prompt on one row
             OptionsScreen options(screen, settings, "", [](auto, auto&) { return ""; });
             options.onKey("8"); // the output folder
             return screen.lines.back();
         }},
        {"transcript refused",
         [&] {
             LogFile log;
             log.openLog(folder + "/missing/PLOTTER.TXT");
             return log.lastError();
         }},
        {"transcript trouble",
         [&] {
             const LogFile::Trouble trouble{LogFile::Trouble::Kind::writeFailed, ENOSPC};
             return LogFile::describe(trouble, hostile);
         }},
        {"renderer error line",
         [&] {
             const std::string command = "cd " + testing::shellQuote(dir.path()) + " && " +
                                         testing::shellQuote(PLOTANIX_RENDER) + " " +
                                         testing::shellQuote(hostile) + " 2>stderr.txt";
             EXPECT_EQ(WEXITSTATUS(std::system(command.c_str())), 3);
             return firstLine(testing::readFile(dir.file("stderr.txt")));
         }},
    };
    for (const auto& [builder, build] : builders) {
        std::string message = build();
        if (message.ends_with('\n')) message.pop_back(); // the journal's line end
        EXPECT_NE(message.find(shown), std::string::npos) << builder << ": " << message;
        EXPECT_EQ(controlByteIn(message), std::nullopt) << builder << ": " << message;
    }
}

// The journal's first line names what is in force, as set: the line and
// its framing (none on a network line), the model and its paper, the files
// each page makes, the page gap as it acts (never before the run's own
// silence has ended it) and the web view.
TEST(Journal, TheStartedLineNamesWhatIsInForce) {
    const std::string tail = ", pages in /pages as PNG";
    const struct {
        testing::Args arguments;
        std::string web, expected;
    } cases[] = {
        {{"/dev/ttyUSB0"},
         "",
         "started: /dev/ttyUSB0 at 9600 7N1, model hp86b" + tail + ", page gap 10 s, no web view"},
        {{"/dev/ttyUSB0", "--model", "7470a", "-d", "8", "--vector", "svg", "--page-gap", "1"},
         "",
         "started: /dev/ttyUSB0 at 9600 8N1, model 7470a on letter paper" + tail +
             " and SVG, page gap 2.76 s (1 s asked: a plot run ends that long after the last "
             "byte), no web view"},
        {{"--port", "tcp-listen:5470", "--model", "hpgl2", "--paper", "a4", "--vector", "pdf"},
         "http://127.0.0.1:8470/",
         "started: tcp-listen:5470 (network line; baud, parity and flow ignored), model hpgl2 on "
         "A4 paper" +
             tail + " and PDF, page gap 10 s, web view: http://127.0.0.1:8470/"},
        {{"/dev/ttyUSB0", "--print", "lab"},
         "",
         "started: /dev/ttyUSB0 at 9600 7N1, model hp86b" + tail +
             ", printed on lab, page gap 10 s, no web view"},
        // At an HP-IB address each read is plotted as it comes: no pause after it.
        {{"/dev/ttyACM0", "--gpib", "5", "--page-gap", "0"},
         "",
         "started: HP-IB address 5 via /dev/ttyACM0 at 115200 8N1, model hp86b" + tail +
             ", page gap 2.66 s (0 s asked: a plot run ends that long after the last byte), no "
             "web view"},
    };
    for (const auto& c : cases) {
        const testing::Started started = start(c.arguments);
        ASSERT_EQ(started.startup.exitStatus, std::nullopt) << started.err;
        EXPECT_EQ(startedLine(started.startup.settings, "/pages", c.web), c.expected);
    }
}

} // namespace
} // namespace plotanix
