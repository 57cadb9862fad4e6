#include "tmux_session.h"

#include "wait_until.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sys/wait.h>

namespace plotanix::testing {

std::string shellQuote(const std::string& word) {
    std::string quoted = "'";
    for (const char c : word)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

TmuxSession::TmuxSession() {
    char pattern[] = "/tmp/plotanix-tmux-XXXXXX";
    if (mkdtemp(pattern) != nullptr) socketDirectory_ = pattern;
}

TmuxSession::~TmuxSession() {
    killServer();
    if (!socketDirectory_.empty()) std::filesystem::remove_all(socketDirectory_);
}

CommandResult TmuxSession::tmux(const std::vector<std::string>& arguments, bool quiet) const {
    // Without TMUX: a test run inside a tmux pane still talks to its own server.
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
    // exec: the command is the pane's process, the one #{pane_pid} names.
    std::string shellCommand = "exec env";
    for (const auto& word : options.environment)
        shellCommand += " " + shellQuote(word);
    for (const auto& word : command)
        shellCommand += " " + shellQuote(word);
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

bool TmuxSession::sendKeys(const std::vector<std::string>& keys) const {
    std::vector<std::string> arguments = {"send-keys", "-t", "main"};
    arguments.insert(arguments.end(), keys.begin(), keys.end());
    return tmux(arguments).status == 0;
}

std::string TmuxSession::capture(bool withColours) const {
    if (withColours) return tmux({"capture-pane", "-p", "-e", "-t", "main"}).output;
    return tmux({"capture-pane", "-p", "-t", "main"}).output;
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

bool TmuxSession::waitForExit(std::chrono::milliseconds timeout) {
    const std::string server = query("#{pid}");
    return waitUntil(
        [&] {
            const std::string state = query("#{pane_dead}:#{pane_dead_status}#{pane_dead_signal}");
            if (state.size() > 2) return true;
            // tmux 3.3 now and then misses the SIGCHLD of a pane whose terminal
            // closed first; another SIGCHLD makes it look again.
            if (state == "1:" && !server.empty()) kill(std::stoi(server), SIGCHLD);
            return false;
        },
        timeout, std::chrono::milliseconds(20));
}

void TmuxSession::killServer() {
    if (!started_) return;
    started_ = false;
    tmux({"kill-server"}, true); // it may be gone already
}

} // namespace plotanix::testing
