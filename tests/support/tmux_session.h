#pragma once
// A program inside a real terminal for tests: a private tmux server (its own
// socket in a temporary directory, no configuration file) runs one command
// in a detached pane of 80 x 25; the test types keys into it and reads the
// screen back.

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace plotanix::testing {

struct TmuxOptions {
    std::vector<std::string> environment; // "NAME=value", set for the command only
    std::string workingDirectory;         // empty: the test's own
};

struct CommandResult {
    int status = -1; // exit status, or -1 if it could not run or was killed
    std::string output;
};

// One cell of a captured screen with its colours as terminal colour
// numbers: 0-7 normal (0 black, 7 white/light grey), 8-15 bright, -1 the
// terminal's default.
struct StyledCell {
    std::string glyph; // the character, UTF-8
    int foreground = -1;
    int background = -1;
    bool bold = false;
};
using StyledScreen = std::vector<std::vector<StyledCell>>;

// Quotes a word for sh: 'word' with each ' written as '\''.
std::string shellQuote(const std::string& word);

class TmuxSession {
  public:
    TmuxSession();
    ~TmuxSession(); // kill-server
    TmuxSession(const TmuxSession&) = delete;
    TmuxSession& operator=(const TmuxSession&) = delete;

    // Starts the command (program and arguments, run through exec, not
    // interpreted by a shell) in the pane.
    bool start(const std::vector<std::string>& command, const TmuxOptions& options = {});

    // Types the text as it is (send-keys -l).
    bool sendText(const std::string& text) const;
    // Presses named keys: "Enter", "Up", "BSpace", "C-c", "q", ...
    bool sendKeys(const std::vector<std::string>& keys) const;

    // The visible screen, one line per row (capture-pane -p).
    std::string capture() const;
    std::vector<std::string> captureLines() const;
    // The screen with each cell's colours, from capture-pane -e.
    StyledScreen captureStyled() const;
    // The screen as last read by one of the waits (for failure messages).
    const std::string& lastScreen() const { return lastScreen_; }

    bool waitForText(const std::string& text,
                     std::chrono::milliseconds timeout = std::chrono::seconds(10));
    bool waitForScreen(const std::function<bool(const std::string&)>& condition,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10));

    // A tmux format for the pane (display-message -p), e.g. "#{cursor_x}".
    std::string query(const std::string& format) const;
    int panePid() const;
    // The command's exit status, or -1 (still running, or ended by a signal).
    int paneExitStatus() const;
    // Until the command has ended and its status is known.
    bool waitForExit(std::chrono::milliseconds timeout = std::chrono::seconds(10));

    // Closes the pane as a closed terminal window would: its program gets a hang-up.
    bool killPane() const;
    void killServer();

    // Any tmux command on this session's server.
    CommandResult tmux(const std::vector<std::string>& arguments, bool quiet = false) const;

  private:
    std::string socketDirectory_;
    bool started_ = false;
    std::string lastScreen_;
};

} // namespace plotanix::testing
