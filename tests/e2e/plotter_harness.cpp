#include "plotter_harness.h"

#include "support/in_process_plot.h"
#include "support/process.h"
#include "support/wait_until.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>

#ifndef PLOTANIX_BINARY
#define PLOTANIX_BINARY ""
#endif

namespace plotanix::testing {

namespace {

constexpr int screenHeight = 25;
constexpr int statusRow = 2;

std::string trimRight(std::string text) {
    while (!text.empty() && (text.back() == ' ' || text.back() == '\r'))
        text.pop_back();
    return text;
}

std::vector<std::string> screenRows(const std::string& capture) {
    std::vector<std::string> rows;
    std::istringstream lines(capture);
    for (std::string row; rows.size() < screenHeight && std::getline(lines, row);)
        rows.push_back(trimRight(row));
    rows.resize(screenHeight);
    return rows;
}

// The count on the status line "Instructions : N  Ignored : M", or -1.
int shownInstructions(const std::string& capture) {
    const std::string row = screenRows(capture)[statusRow], prefix = "Instructions : ";
    return row.starts_with(prefix) ? std::atoi(row.c_str() + prefix.size()) : -1;
}

bool pageMenuShown(const std::string& capture) {
    if (capture.find(" has stopped sending") == std::string::npos) return false;
    const auto rows = screenRows(capture);
    // The bottom rows are not the menu's: the notices go there.
    auto row = rows.rbegin();
    while (row != rows.rend() && !row->empty())
        ++row;
    for (; row != rows.rend(); ++row)
        if (!row->empty()) return *row == "Command :";
    return false;
}

// The sanitizers' settings of the test run (ctest sets them), with their
// reports sent to files so that they survive the terminal.
std::string sanitizerVariable(const char* name, const std::string& fallback,
                              const std::string& logPath) {
    const char* given = std::getenv(name);
    const std::string value = given != nullptr && *given != '\0' ? given : fallback;
    return std::string(name) + "=" + value + (logPath.empty() ? "" : ":log_path=" + logPath);
}

} // namespace

void expectCleanQuit(PlotterSession& plotter) {
    EXPECT_EQ(plotter.quit(), 0) << plotter.screen() << plotter.sanitizerReport();
    EXPECT_EQ(plotter.sanitizerReport(), "");
}

PlotterSession::PlotterSession(PlotterOptions options) : options_(std::move(options)) {
    if (options_.binary.empty()) options_.binary = PLOTANIX_BINARY;
    if (options_.workingDirectory.empty()) ownDirectory_ = std::make_unique<TempDir>();
    directory_ = ownDirectory_ ? ownDirectory_->path().string() : options_.workingDirectory;
}

PlotterSession::~PlotterSession() {
    // The terminal goes away: a program still running gets its hang-up.
    tmux_.killServer();
    if (pid_ > 0 && !waitUntil([this] { return processEnded(pid_); }, 5s)) {
        ::kill(pid_, SIGKILL);
        waitUntil([this] { return processEnded(pid_); }, 5s);
    }
}

bool PlotterSession::fail(const std::string& what) {
    failure_ = what + "\n--- screen ---\n" + tmux_.lastScreen();
    return false;
}

bool PlotterSession::start() {
    if (!line_.ok()) return fail("no pseudo-terminal: " + line_.error());
    if (directory_.empty()) return fail("no working directory");
    const std::string display = !options_.withDisplay       ? std::string()
                                : !options_.display.empty() ? options_.display
                                                            : xvfbDisplay();
    if (options_.withDisplay && display.empty()) return fail("Xvfb did not start");

    const std::string reports = reports_.path().string();
    const std::string suppressions = std::string(PLOTANIX_SOURCE_DIR) + "/tests/lsan.supp";
    TmuxOptions tmuxOptions;
    tmuxOptions.workingDirectory = directory_;
    const std::string port = options_.portPath.empty() ? line_.slavePath() : options_.portPath;
    tmuxOptions.environment = {
        "-u",
        "PLOTANIX_COM1",
        "XDG_CONFIG_HOME=" + config_.path().string(),
        "DISPLAY=" + display,
        "LANG=C.UTF-8",
        "LC_ALL=C.UTF-8",
        "TERM=screen",
        sanitizerVariable("ASAN_OPTIONS", "detect_leaks=1", reports + "/asan"),
        sanitizerVariable("LSAN_OPTIONS", "suppressions=" + suppressions + ":print_suppressions=0",
                          ""),
        sanitizerVariable("UBSAN_OPTIONS", "print_stacktrace=1:halt_on_error=1",
                          reports + "/ubsan"),
    };
    std::vector<std::string> command = {options_.binary};
    if (options_.arguments) {
        for (const std::string& argument : *options_.arguments)
            command.push_back(argument == "@PTY@" ? line_.slavePath() : argument);
    } else {
        tmuxOptions.environment.push_back("PLOTANIX_COM1=" + port);
    }
    if (!tmux_.start(command, tmuxOptions)) return fail("tmux did not start");
    pid_ = tmux_.panePid();
    if (pid_ <= 0) return fail("no pane process");
    if (!tmux_.waitForText("Your choice :", 20s)) return fail("no start menu");
    return true;
}

bool PlotterSession::waitScreen(const std::string& text, std::chrono::milliseconds timeout) {
    return tmux_.waitForText(text, timeout) || fail("not on screen: \"" + text + "\"");
}

bool PlotterSession::choose(const std::string& key, int row, const std::string& text) {
    return pressKey(key) && waitRow(row, text);
}

int PlotterSession::commandRow() const {
    const std::vector<std::string> shown = rows();
    for (size_t row = 0; row < shown.size(); ++row)
        if (shown[row].starts_with("Command :")) return static_cast<int>(row);
    return -1;
}

bool PlotterSession::waitBarePrompt(std::chrono::milliseconds timeout) {
    return tmux_.waitForScreen(
               [&](const std::string& capture) {
                   const std::vector<std::string> shown = screenRows(capture);
                   return std::find(shown.begin(), shown.end(), "Command :") != shown.end();
               },
               timeout) ||
           fail("no bare \"Command :\" row");
}

bool PlotterSession::waitRow(int row, const std::string& text, std::chrono::milliseconds timeout) {
    const std::string wanted = trimRight(text);
    if (row < 0) return fail("no row to read \"" + wanted + "\" on");
    return tmux_.waitForScreen(
               [&](const std::string& capture) {
                   return screenRows(capture)[static_cast<std::size_t>(row)] == wanted;
               },
               timeout) ||
           fail("row " + std::to_string(row) + " never read \"" + wanted + "\"");
}

std::vector<std::string> PlotterSession::rows() const {
    return screenRows(tmux_.capture());
}

std::string PlotterSession::screen() const {
    return "--- screen ---\n" + tmux_.capture() + "--- last failure ---\n" + failure_;
}

bool PlotterSession::startPlotting() {
    if (pid_ < 0 && !start()) return false;
    if (!pressKey("1")) return fail("key not sent");
    return tmux_.waitForScreen(
               [](const std::string& capture) {
                   const auto shown = screenRows(capture);
                   return shown[0] == "Plotter ON LINE" && shown[2] == "Waiting...";
               },
               20s) ||
           fail("not on line");
}

bool PlotterSession::waitPageMenu(std::optional<int> instructions,
                                  std::chrono::milliseconds timeout) {
    return tmux_.waitForScreen(
               [&](const std::string& capture) {
                   return pageMenuShown(capture) &&
                          (!instructions || shownInstructions(capture) == *instructions);
               },
               timeout) ||
           fail("no page menu");
}

bool PlotterSession::waitInstructionsAtLeast(int count) {
    return tmux_.waitForScreen([&](const std::string& capture) {
        return shownInstructions(capture) >= count;
    }) || fail("fewer than " + std::to_string(count) + " instructions shown");
}

int PlotterSession::quit() {
    const std::string asked = "4 again to quit", ending = "ENTER to quit...";
    if (!pressKey("4") || !tmux_.waitForScreen([&](const std::string& shown) {
            return shown.find(ending) != shown.npos || shown.find(asked) != shown.npos;
        }))
        return fail("no answer to 4"), -1;
    if (tmux_.lastScreen().find(ending) == std::string::npos &&
        (!pressKey("4") || !waitScreen(ending)))
        return -1;
    return confirmQuit();
}

int PlotterSession::confirmQuit() {
    return pressNamed("Enter") ? waitForExit() : -1;
}

bool PlotterSession::sendLine(std::string_view bytes, int bytesPerSecond) {
    if (bytesPerSecond <= 0) return line_.writeMaster(bytes, 2min);
    // A slice every 10 ms keeps the gaps far below the line's 100 ms
    // inter-byte time-out, so the pacing itself never splits a chunk.
    const auto slice = static_cast<std::size_t>(std::max(1, bytesPerSecond / 100));
    auto next = std::chrono::steady_clock::now();
    while (!bytes.empty()) {
        const std::size_t n = std::min(slice, bytes.size());
        // A program busy elsewhere (opening its window on a loaded machine)
        // may take a while to read: the computer waits as the unpaced one does.
        if (!line_.writeMaster(bytes.substr(0, n), 2min)) return false;
        bytes.remove_prefix(n);
        next += std::chrono::milliseconds(1000 * n / static_cast<std::size_t>(bytesPerSecond));
        std::this_thread::sleep_until(next); // the computer's own timing
    }
    return true;
}

std::string PlotterSession::readReply() {
    return line_.readMasterUntil("\r\n", 10s);
}

bool PlotterSession::running() const {
    return pid_ > 0 && !processEnded(pid_);
}

int PlotterSession::waitForExit() {
    return tmux_.waitForExit() || fail("the program did not end") ? tmux_.paneExitStatus() : -1;
}

bool PlotterSession::terminalRestored() const {
    return tmux_.query("#{alternate_on}") == "0";
}

std::string PlotterSession::sanitizerReport() const {
    std::string report;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(reports_.path(), error))
        report += "--- " + entry.path().filename().string() + "\n" + readFile(entry.path());
    return report;
}

bool PlotterSession::hasFile(const std::string& name) const {
    return std::filesystem::exists(file(name));
}

DecodedPng PlotterSession::savedPage(int number) const {
    return readPng(file(savedPageName(number)));
}

std::vector<std::string> keptTranscripts(const std::string& directory) {
    std::vector<std::string> kept;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with("PLOTTER-") && name.ends_with(".TXT")) kept.push_back(entry.path());
    }
    std::sort(kept.begin(), kept.end());
    return kept;
}

std::unique_ptr<PageImage> expectedPage(const std::vector<std::string>& runs, PlotterModel model) {
    InProcessPlot plot(nullptr, model);
    for (const auto& run : runs)
        plot.run(run);
    return std::make_unique<PageImage>(plot.page());
}

// As a Colour value (red in the low byte).
static uint32_t colourAt(const DecodedPng& png, int x, int y) {
    const uint32_t rgb = png.pixel(static_cast<uint32_t>(x), static_cast<uint32_t>(y));
    return (rgb >> 16 & 0xFF) | (rgb & 0xFF00) | (rgb & 0xFF) << 16;
}

long differingPixels(const DecodedPng& png, const PageImage& page) {
    if (!png.error.empty() || png.width != 800 || png.height != 600 ||
        png.rgb.size() != 800u * 600u * 3u)
        return -1;
    long differing = 0;
    for (int y = 0; y < 600; ++y)
        for (int x = 0; x < 800; ++x)
            differing += colourAt(png, x, y) != page.pixel(x, y);
    return differing;
}

long pixelsUnlike(const DecodedPng& png, const PageImage& page) {
    if (!png.error.empty() || png.width != uint32_t(page.width) ||
        png.height != uint32_t(page.height))
        return -1;
    long differing = 0;
    for (int y = 0; y < page.height; ++y)
        for (int x = 0; x < page.width; ++x)
            differing += colourAt(png, x, y) != page.pixel(x, y);
    return differing;
}

pid_t startedWithoutTerminal(const std::string& command, const std::string& folder) {
    const std::string script = (folder.empty() ? "" : "cd " + shellQuote(folder) + " && ") +
                               "exec env -u TERM -u DISPLAY " + command;
    const char* argv[] = {"sh", "-c", script.c_str(), nullptr};
    pid_t pid = -1;
    return posix_spawnp(&pid, "sh", nullptr, nullptr, const_cast<char**>(argv), environ) == 0 ? pid
                                                                                              : -1;
}

int statusAfterTerm(pid_t pid, std::chrono::milliseconds timeout) {
    ::kill(pid, SIGTERM);
    int status = -1;
    waitUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, timeout);
    return status;
}

bool UnattendedPlotter::start(const std::string& arguments, const std::string& variables,
                              bool withoutPort) {
    if (!line.ok()) return false;
    pid = startedWithoutTerminal(variables + " " + PLOTANIX_BINARY + " --unattended " +
                                 (withoutPort ? "" : "--port " + line.slavePath() + " ") +
                                 arguments + " --dir " + pages.path().string() + " </dev/null >>" +
                                 (stdoutTo.empty() ? out : stdoutTo) + " 2>>" + err);
    return pid > 0;
}

bool UnattendedPlotter::said(const std::string& text, size_t times,
                             std::chrono::milliseconds timeout) const {
    return waitUntil(
        [&] {
            const std::string all = journal() + errors();
            size_t found = 0;
            for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1))
                ++found;
            return found >= times;
        },
        timeout);
}

bool UnattendedPlotter::saved(int number, std::chrono::milliseconds timeout) const {
    const std::string name = pages.file(savedPageName(number));
    return waitUntil([&] { return std::filesystem::exists(name); }, timeout);
}

Reaped::~Reaped() {
    // No process (-1 would name every child, and kill(-1) every process).
    if (pid <= 0 || ::waitpid(pid, nullptr, WNOHANG) != 0) return;
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

} // namespace plotanix::testing
