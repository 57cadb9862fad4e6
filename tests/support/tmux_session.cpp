#include "tmux_session.h"

#include "wait_until.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <sys/wait.h>

namespace plotanix::testing {

namespace {

// Applies the numbers of one SGR escape ("1;37;40") to the style.
void applySgr(const std::string& numbers, StyledCell& style) {
    std::istringstream in(numbers);
    std::string field;
    while (std::getline(in, field, ';')) {
        const int n = field.empty() ? 0 : std::atoi(field.c_str());
        if (n == 0) style = StyledCell{};
        if (n == 1 || n == 22) style.bold = n == 1;
        if (n == 39 || n == 49) (n == 39 ? style.foreground : style.background) = -1;
        if (n >= 30 && n <= 37) style.foreground = n - 30;
        if (n >= 40 && n <= 47) style.background = n - 40;
        if (n >= 90 && n <= 97) style.foreground = n - 90 + 8;
        if (n >= 100 && n <= 107) style.background = n - 100 + 8;
        if ((n == 38 || n == 48) && std::getline(in, field, ';') && field == "5" &&
            std::getline(in, field, ';'))
            (n == 38 ? style.foreground : style.background) = std::atoi(field.c_str());
    }
}

// The cells of a capture-pane -e: its SGR escapes give the style of the
// cells that follow, across line ends.
StyledScreen parseStyledScreen(const std::string& capture) {
    StyledScreen screen(1);
    StyledCell style;
    for (std::size_t i = 0; i < capture.size();) {
        if (capture.compare(i, 2, "\x1B[") == 0) {
            const std::size_t end = capture.find_first_of("@ABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                                          "[\\]^_`abcdefghijklmnopqrstuvwxyz{|}~",
                                                          i + 2);
            if (end != std::string::npos && capture[end] == 'm')
                applySgr(capture.substr(i + 2, end - i - 2), style);
            i = end == std::string::npos ? capture.size() : end + 1;
        } else if (capture[i] == '\n') {
            screen.emplace_back();
            ++i;
        } else {
            std::size_t length = 1; // a whole UTF-8 character
            while (i + length < capture.size() &&
                   (static_cast<unsigned char>(capture[i + length]) & 0xC0) == 0x80)
                ++length;
            screen.back().push_back(style);
            screen.back().back().glyph = capture.substr(i, length);
            i += length;
        }
    }
    if (screen.back().empty()) screen.pop_back(); // after the last line end
    return screen;
}

} // namespace

std::string shellQuote(const std::string& word) {
    std::string quoted = "'";
    for (const char c : word)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

TmuxSession::TmuxSession() {
    // A socket in a directory of its own: no clash with other servers, and
    // nothing left behind once the directory is removed.
    char pattern[] = "/tmp/plotanix-tmux-XXXXXX";
    if (mkdtemp(pattern) != nullptr) socketDirectory_ = pattern;
}

TmuxSession::~TmuxSession() {
    killServer();
    if (!socketDirectory_.empty()) std::filesystem::remove_all(socketDirectory_);
}

CommandResult TmuxSession::tmux(const std::vector<std::string>& arguments, bool quiet) const {
    // Without TMUX, so that a test run from inside a tmux pane still talks
    // to its own private server.
    std::string command = "env -u TMUX -u TMUX_PANE tmux -u -S " +
                          shellQuote(socketDirectory_ + "/socket") + " -f /dev/null";
    for (const auto& word : arguments)
        command += " " + shellQuote(word);
    if (quiet) command += " 2>/dev/null";
    CommandResult result;
    std::FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return result;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        result.output.append(buffer, n);
    const int status = ::pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

bool TmuxSession::start(const std::vector<std::string>& command, const TmuxOptions& options) {
    if (socketDirectory_.empty()) return false;
    // exec: the command itself is the pane's process, so it is the one that
    // gets the terminal's signals and the one #{pane_pid} names.
    std::string shellCommand = "exec env";
    for (const auto& word : options.environment)
        shellCommand += " " + shellQuote(word);
    for (const auto& word : command)
        shellCommand += " " + shellQuote(word);
    // The pane stays, with its last screen and the exit status, after the
    // command ends.
    std::vector<std::string> arguments = {
        "start-server", ";",  "set-option",  "-g", "remain-on-exit",
        "on",           ";",  "new-session", "-d", "-s",
        "main",         "-x", "80",          "-y", "25"};
    if (!options.workingDirectory.empty())
        arguments.insert(arguments.end(), {"-c", options.workingDirectory});
    arguments.push_back(shellCommand);
    started_ = tmux(arguments).status == 0;
    return started_;
}

bool TmuxSession::sendText(const std::string& text) const {
    return tmux({"send-keys", "-t", "main", "-l", text}).status == 0;
}

bool TmuxSession::sendKeys(const std::vector<std::string>& keys) const {
    std::vector<std::string> arguments = {"send-keys", "-t", "main"};
    arguments.insert(arguments.end(), keys.begin(), keys.end());
    return tmux(arguments).status == 0;
}

std::string TmuxSession::capture() const {
    return tmux({"capture-pane", "-p", "-t", "main"}).output;
}

std::vector<std::string> TmuxSession::captureLines() const {
    std::istringstream screen(capture());
    std::vector<std::string> lines;
    for (std::string line; std::getline(screen, line);)
        lines.push_back(line);
    return lines;
}

StyledScreen TmuxSession::captureStyled() const {
    return parseStyledScreen(tmux({"capture-pane", "-p", "-e", "-t", "main"}).output);
}

bool TmuxSession::waitForText(const std::string& text, std::chrono::milliseconds timeout) {
    return waitForScreen(
        [&text](const std::string& screen) { return screen.find(text) != std::string::npos; },
        timeout);
}

bool TmuxSession::waitForScreen(const std::function<bool(const std::string&)>& condition,
                                std::chrono::milliseconds timeout) {
    return waitUntil(
        [&] {
            lastScreen_ = capture();
            return condition(lastScreen_);
        },
        timeout, std::chrono::milliseconds(20));
}

std::string TmuxSession::query(const std::string& format) const {
    std::string value = tmux({"display-message", "-p", "-t", "main", format}, true).output;
    while (!value.empty() && value.back() == '\n')
        value.pop_back();
    return value;
}

int TmuxSession::panePid() const {
    const std::string pid = query("#{pane_pid}");
    return pid.empty() ? -1 : std::stoi(pid);
}

int TmuxSession::paneExitStatus() const {
    const std::string status = query("#{pane_dead_status}");
    return status.empty() ? -1 : std::stoi(status);
}

bool TmuxSession::waitForExit(std::chrono::milliseconds timeout) {
    const std::string server = query("#{pid}");
    return waitUntil(
        [&] {
            const std::string state = query("#{pane_dead}:#{pane_dead_status}#{pane_dead_signal}");
            if (state.size() > 2) return true;
            // tmux (3.3) now and then misses the SIGCHLD of a pane whose
            // terminal closed first, leaving the status unknown and the
            // process a zombie; another SIGCHLD makes it look again.
            if (state == "1:" && !server.empty()) kill(std::stoi(server), SIGCHLD);
            return false;
        },
        timeout, std::chrono::milliseconds(20));
}

bool TmuxSession::killPane() const {
    return tmux({"kill-pane", "-t", "main"}).status == 0;
}

void TmuxSession::killServer() {
    if (!started_) return;
    started_ = false;
    tmux({"kill-server"}, true); // the server may be gone already
}

} // namespace plotanix::testing
