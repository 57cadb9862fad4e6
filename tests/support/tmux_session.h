#pragma once
// A program inside a real terminal: a private tmux server (its own socket in
// a temporary directory, no configuration file) runs one command in a
// detached 80 x 25 pane that stays, with its exit status, after the command
// ends. The test types keys into it and reads the screen back.

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace plotanix::testing {

struct TmuxOptions {
    std::vector<std::string> environment; // "NAME=value", for the command only
    std::string workingDirectory;         // empty: the test's own
};

struct CommandResult {
    int status = -1; // exit status, or -1 if it could not run or was killed
    std::string output;
};

// Quotes a word for sh.
std::string shellQuote(const std::string& word);

class TmuxSession {
  public:
    TmuxSession();
    ~TmuxSession();
    TmuxSession(const TmuxSession&) = delete;
    TmuxSession& operator=(const TmuxSession&) = delete;

    // The command's words are exec'ed, not read by a shell.
    bool start(const std::vector<std::string>& command, const TmuxOptions& options = {});
    bool sendKeys(const std::vector<std::string>& keys) const; // "Enter", "C-c", ...
    bool sendText(const std::string& text) const { return sendKeys({"-l", text}); } // as it is
    std::string capture(bool withColours = false) const;          // capture-pane -p [-e]
    const std::string& lastScreen() const { return lastScreen_; } // as the last wait saw it
    bool waitForText(const std::string& text,
                     std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        return waitForScreen([&](const std::string& s) { return s.find(text) != s.npos; }, timeout);
    }
    bool waitForScreen(const std::function<bool(const std::string&)>& condition,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // A tmux format for the pane, e.g. "#{cursor_x}".
    std::string query(const std::string& format) const;
    int panePid() const { return std::atoi(query("#{pane_pid}").c_str()); }
    // -1 while running or after a signal.
    int paneExitStatus() const { return std::atoi(query("#{pane_dead_status}-1").c_str()); }
    bool waitForExit(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // As a closed terminal window: the program gets a hang-up.
    bool killPane() const { return tmux({"kill-pane", "-t", "main"}).status == 0; }
    void killServer();
    CommandResult tmux(const std::vector<std::string>& arguments, bool quiet = false) const;

  private:
    std::string socketDirectory_;
    bool started_ = false;
    std::string lastScreen_;
};

} // namespace plotanix::testing
