#include "tmux_session.h"

#include "wait_until.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace plotanix::testing {

namespace {

// The environment for tmux itself: without TMUX, so that a test run from
// inside a tmux pane still talks to its own private server.
std::vector<char*> clientEnvironment() {
    std::vector<char*> variables;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (std::strncmp(*entry, "TMUX=", 5) == 0 || std::strncmp(*entry, "TMUX_PANE=", 10) == 0)
            continue;
        variables.push_back(*entry);
    }
    variables.push_back(nullptr);
    return variables;
}

std::string readAll(int fd) {
    std::string text;
    char buffer[4096];
    while (true) {
        const auto count = read(fd, buffer, sizeof buffer);
        if (count > 0) {
            text.append(buffer, static_cast<std::size_t>(count));
        } else if (count == 0 || errno != EINTR) {
            return text;
        }
    }
}

int waitForChild(pid_t child) {
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A socket in a directory of its own: no clash with other servers, and
// nothing left behind once the directory is removed.
std::string makeSocketDirectory() {
    char pattern[] = "/tmp/plotanix-tmux-XXXXXX";
    return mkdtemp(pattern) != nullptr ? pattern : "";
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const auto end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::vector<int> sgrParameters(const std::string& text) {
    std::vector<int> numbers{0};
    for (const char c : text) {
        if (c == ';') {
            numbers.push_back(0);
        } else if (c >= '0' && c <= '9') {
            numbers.back() = numbers.back() * 10 + (c - '0');
        }
    }
    return numbers;
}

// A 38/48 extended colour: 5;n is a palette number; 2;r;g;b is skipped.
int extendedColour(const std::vector<int>& numbers, std::size_t& i) {
    if (i + 2 < numbers.size() && numbers[i + 1] == 5) {
        i += 2;
        return numbers[i];
    }
    if (i + 4 < numbers.size() && numbers[i + 1] == 2) i += 4;
    return -1;
}

void applySgr(const std::vector<int>& numbers, StyledCell& style) {
    for (std::size_t i = 0; i < numbers.size(); ++i) {
        const int n = numbers[i];
        if (n == 0) {
            style = StyledCell{};
        } else if (n == 1) {
            style.bold = true;
        } else if (n == 22) {
            style.bold = false;
        } else if (n >= 30 && n <= 37) {
            style.foreground = n - 30;
        } else if (n == 38) {
            style.foreground = extendedColour(numbers, i);
        } else if (n == 39) {
            style.foreground = -1;
        } else if (n >= 40 && n <= 47) {
            style.background = n - 40;
        } else if (n == 48) {
            style.background = extendedColour(numbers, i);
        } else if (n == 49) {
            style.background = -1;
        } else if (n >= 90 && n <= 97) {
            style.foreground = n - 90 + 8;
        } else if (n >= 100 && n <= 107) {
            style.background = n - 100 + 8;
        }
    }
}

// Skips an escape sequence starting at text[i] (the ESC); applies it if it
// is an SGR one. Returns the index after it.
std::size_t takeEscape(const std::string& text, std::size_t i, StyledCell& style) {
    if (i + 1 >= text.size() || text[i + 1] != '[') return i + 2;
    std::size_t end = i + 2;
    while (end < text.size() && !(text[end] >= 0x40 && text[end] <= 0x7E))
        ++end;
    if (end < text.size() && text[end] == 'm') {
        applySgr(sgrParameters(text.substr(i + 2, end - i - 2)), style);
    }
    return end + 1;
}

} // namespace

StyledScreen parseStyledScreen(const std::string& capture) {
    StyledScreen screen(1);
    StyledCell style;
    std::size_t i = 0;
    while (i < capture.size()) {
        const auto byte = static_cast<unsigned char>(capture[i]);
        if (byte == 0x1B) {
            i = takeEscape(capture, i, style);
        } else if (byte == '\n') {
            screen.emplace_back();
            ++i;
        } else {
            std::size_t length = 1;
            while (i + length < capture.size() &&
                   (static_cast<unsigned char>(capture[i + length]) & 0xC0) == 0x80)
                ++length;
            StyledCell cell = style;
            cell.glyph = capture.substr(i, length);
            screen.back().push_back(cell);
            i += length;
        }
    }
    if (screen.back().empty()) screen.pop_back(); // after the last line end
    return screen;
}

CommandResult runCommand(const std::vector<std::string>& argv, bool quiet) {
    std::vector<char*> arguments;
    for (const auto& word : argv)
        arguments.push_back(const_cast<char*>(word.c_str()));
    arguments.push_back(nullptr);
    std::vector<char*> environment = clientEnvironment();

    int output[2];
    if (pipe2(output, O_CLOEXEC) != 0) return {};
    const pid_t child = fork();
    if (child < 0) {
        close(output[0]);
        close(output[1]);
        return {};
    }
    if (child == 0) {
        dup2(output[1], STDOUT_FILENO);
        if (quiet) {
            const int null = open("/dev/null", O_WRONLY);
            if (null >= 0) dup2(null, STDERR_FILENO);
        }
        execvpe(arguments[0], arguments.data(), environment.data());
        _exit(127);
    }
    close(output[1]);
    CommandResult result;
    result.output = readAll(output[0]);
    close(output[0]);
    result.status = waitForChild(child);
    return result;
}

std::string shellQuote(const std::string& word) {
    std::string quoted = "'";
    for (const char c : word) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

TmuxSession::TmuxSession()
    : socketDirectory_(makeSocketDirectory()), socketPath_(socketDirectory_ + "/socket") {}

TmuxSession::~TmuxSession() {
    killServer();
    if (!socketDirectory_.empty()) std::filesystem::remove_all(socketDirectory_);
}

CommandResult TmuxSession::tmux(const std::vector<std::string>& arguments, bool quiet) const {
    std::vector<std::string> argv = {"tmux", "-u", "-S", socketPath_, "-f", "/dev/null"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return runCommand(argv, quiet);
}

bool TmuxSession::start(const std::vector<std::string>& command, const TmuxOptions& options) {
    if (socketDirectory_.empty()) return false;
    // exec: the command itself is the pane's process, so it is the one that
    // gets the terminal's signals and the one #{pane_pid} names.
    std::string shellCommand = "exec env";
    for (const auto& variable : options.environment)
        shellCommand += " " + shellQuote(variable);
    for (const auto& word : command)
        shellCommand += " " + shellQuote(word);

    std::vector<std::string> arguments = {"start-server",
                                          ";",
                                          "set-option",
                                          "-g",
                                          "remain-on-exit",
                                          options.remainOnExit ? "on" : "off",
                                          ";",
                                          "new-session",
                                          "-d",
                                          "-s",
                                          "main",
                                          "-x",
                                          std::to_string(options.width),
                                          "-y",
                                          std::to_string(options.height)};
    if (!options.workingDirectory.empty()) {
        arguments.insert(arguments.end(), {"-c", options.workingDirectory});
    }
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

std::string TmuxSession::capture(bool withEscapes) const {
    std::vector<std::string> arguments = {"capture-pane", "-p", "-t", "main"};
    if (withEscapes) arguments.push_back("-e");
    return tmux(arguments).output;
}

std::vector<std::string> TmuxSession::captureLines() const {
    return splitLines(capture());
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

bool TmuxSession::paneDead() const {
    return query("#{pane_dead}") == "1";
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
