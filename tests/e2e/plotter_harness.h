#pragma once
// The whole program driven from outside: plotanix in an 80 x 25 tmux pane
// (the operator), a pseudo-terminal pair as its serial line (the test is the
// computer at the master end), a private Xvfb and a temporary working
// directory. Every wait has a deadline; the session ends only what it
// started (its tmux server, whose hang-up ends the program).

#include "hpgl/plotter.h"
#include "logfile/transcript_format.h"
#include "page/page_image.h"
#include "session/page_store.h"
#include "support/png_file.h"
#include "support/pty_pair.h"
#include "support/temp_dir.h"
#include "support/tmux_session.h"
#include "support/x_display.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

namespace plotanix::testing {

using namespace std::chrono_literals;

// A program started through the shell for its redirections, with no
// terminal and no display, in folder if one is named; exec keeps the
// process id. -1 when it failed.
pid_t startedWithoutTerminal(const std::string& command, const std::string& folder = "");

// Sends SIGTERM and reaps the program: its wait status, -1 when it has not
// ended within the timeout.
int statusAfterTerm(pid_t pid, std::chrono::milliseconds timeout = 10s);

// Whatever becomes of the test, the program does not outlive it.
struct Reaped {
    pid_t pid;
    ~Reaped();
};

// plotanix --unattended as a service runs it: no terminal, no display
// unless named, standard input /dev/null, the pages in a folder of the
// test's and the journal in files. Ended (SIGKILL) if it outlives the test.
class UnattendedPlotter {
  public:
    UnattendedPlotter() = default;
    ~UnattendedPlotter() { const Reaped reaped{pid}; }
    UnattendedPlotter(const UnattendedPlotter&) = delete;
    UnattendedPlotter& operator=(const UnattendedPlotter&) = delete;

    // "--unattended --port <the pty> " and the arguments, with the variables
    // ("NAME=value ...") before it; false when it could not be started.
    // withoutPort: the arguments name the line themselves.
    bool start(const std::string& arguments, const std::string& variables = "",
               bool withoutPort = false);
    // Until the journal (standard output or error) holds the text that many times.
    bool said(const std::string& text, size_t times = 1,
              std::chrono::milliseconds timeout = 15s) const;
    // Until the numbered page is saved.
    bool saved(int number, std::chrono::milliseconds timeout = 15s) const;
    std::string journal() const { return readFile(out); }
    std::string errors() const { return readFile(err); }
    // SIGTERM: the wait status.
    int end() { return statusAfterTerm(pid); }

    TempDir pages, logs;
    PtyPair line; // the computer's end: line.writeMaster
    const std::string out = logs.file("out"), err = logs.file("err");
    std::string stdoutTo; // where standard output goes instead of out (a FIFO, say)
    pid_t pid = -1;
};

struct PlotterOptions {
    std::string binary{};           // empty: the test build's plotanix
    std::string workingDirectory{}; // empty: a fresh temporary directory, removed afterwards
    bool withDisplay = true;        // false: no DISPLAY at all
    std::string display{};          // the X display; empty: the shared one
    std::string portPath{};         // what PLOTANIX_COM1 names; empty: the session's pty
    // The program's arguments ("@PTY@": the session's pty); PLOTANIX_COM1 then unset.
    std::optional<std::vector<std::string>> arguments{};
};

class PlotterSession {
  public:
    explicit PlotterSession(PlotterOptions options = {});
    ~PlotterSession(); // ends the program (hang-up) if it still runs
    PlotterSession(const PlotterSession&) = delete;
    PlotterSession& operator=(const PlotterSession&) = delete;

    // Starts the program and waits for its start menu ("Your choice : ").
    bool start();
    // Why start() failed, or the last wait that timed out, with the screen.
    const std::string& failure() const { return failure_; }

    bool pressKey(const std::string& text) { return tmux_.sendText(text); }
    bool pressNamed(const std::string& name) { return tmux_.sendKeys({name}); } // "Enter", "C-c"
    bool waitScreen(const std::string& text, std::chrono::milliseconds timeout = 10s);
    // Until the given row (0 = top) reads exactly text, trailing blanks ignored.
    bool waitRow(int row, const std::string& text, std::chrono::milliseconds timeout = 10s);
    bool choose(const std::string& key, int row, const std::string& text);
    // The page menu's prompt row, which moves down a row for each note
    // under the counts (a hint, the paper cutting the drawing); -1 if none.
    int commandRow() const;
    // A page menu with its prompt bare: no key pressed at it yet.
    bool waitBarePrompt(std::chrono::milliseconds timeout);
    std::vector<std::string> rows() const; // 25, trailing blanks removed
    std::string screen() const;            // for failure messages
    // Starts the program if need be, "1", then until "Plotter ON LINE".
    bool startPlotting();
    // Until the page menu waits at "Command : " (with that many instructions shown).
    bool waitPageMenu(std::optional<int> instructions = std::nullopt,
                      std::chrono::milliseconds timeout = 15s);
    bool waitInstructionsAtLeast(int count);
    // "4" (twice when a drawn page is not saved), Enter at "ENTER to quit...",
    // and the exit status (-1: none in time, or a signal).
    int quit();
    int confirmQuit(); // Enter at "ENTER to quit..." already shown

    // Paced at the given rate, or as fast as the pseudo-terminal takes them.
    bool sendLine(std::string_view bytes, int bytesPerSecond = 0);
    std::string readReply();                                          // up to CR LF
    const std::string& linePath() const { return line_.slavePath(); } // the program's end
    int pid() const { return pid_; }
    bool running() const;
    int waitForExit();                   // the exit status, or -1
    bool terminalRestored() const;       // out of the alternate screen
    std::string sanitizerReport() const; // empty when clean
    TmuxSession& tmux() { return tmux_; }

    std::string file(const std::string& name) const { return directory_ + "/" + name; }
    bool hasFile(const std::string& name) const;
    std::string transcript() const { return readFile(file("PLOTTER.TXT")); } // "" if missing
    DecodedPng savedPage(int number) const;

  private:
    bool fail(const std::string& what);

    PlotterOptions options_;
    std::unique_ptr<TempDir> ownDirectory_;
    TempDir reports_; // sanitizer logs, outside the working directory
    TempDir config_;  // XDG_CONFIG_HOME: the test's own config file, never the user's
    std::string directory_;
    PtyPair line_;
    TmuxSession tmux_;
    int pid_ = -1;
    std::string failure_;
};

// quit() ends with status 0, and the sanitizers found nothing.
void expectCleanQuit(PlotterSession& plotter);

inline std::string savedPageName(int number) {
    return pageFileName(number);
}
using transcript::marker; // "SAVE PAGE #1", "NEW PAGE"

// The earlier transcripts kept in the folder (PLOTTER-<time>.TXT), as paths.
std::vector<std::string> keptTranscripts(const std::string& directory);

// The page the plotter's own reader and model draw for these runs, from white.
std::unique_ptr<PageImage> expectedPage(const std::vector<std::string>& runs,
                                        PlotterModel model = PlotterModel::hp86b);

// Pixels of a decoded 800 x 600 PNG that differ from the page; -1 for any other PNG.
long differingPixels(const DecodedPng& png, const PageImage& page);
// The same for a page of any size (a printer's): -1 when the sizes differ.
long pixelsUnlike(const DecodedPng& png, const PageImage& page);

} // namespace plotanix::testing
