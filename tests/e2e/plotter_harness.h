#pragma once
// The whole program driven from outside, as the operator and the computer
// meet it: plotanix runs in an 80 x 25 tmux pane (the operator's terminal)
// with a pseudo-terminal pair as its serial line (the test is the computer
// at the master end), a private Xvfb for its window and a temporary working
// directory for PLOTTER.TXT and the saved pages.
//
//   PlotterSession plotter;
//   ASSERT_TRUE(plotter.startPlotting()) << plotter.failure();
//   plotter.sendLine("SP1;PU100,100;PD200,100;");
//   ASSERT_TRUE(plotter.waitPageMenu()) << plotter.screen();
//   ASSERT_TRUE(plotter.choose("1", 11, "Command : 1  Ok.")) << plotter.screen();
//   expectCleanQuit(plotter);
//
// Every wait has a deadline; nothing sleeps in place of a state. The
// session ends only what it started: its tmux server (the program gets a
// hang-up if it still runs) and, through the shared display, one Xvfb.

#include "page/page_image.h"
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

namespace plotanix::testing {

using namespace std::chrono_literals;

struct PlotterOptions {
    std::string binary;           // empty: the test build's plotanix
    std::string workingDirectory; // empty: a fresh temporary directory, removed afterwards
    bool withDisplay = true;      // false: no DISPLAY at all
    std::string display;          // the X display; empty: the shared one
    std::string portPath;         // what PLOTANIX_COM1 names; empty: the session's pty
    // Given: the program's arguments, "@PTY@" standing for the session's pty,
    // and PLOTANIX_COM1 is not set.
    std::optional<std::vector<std::string>> arguments;
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

    // ---- the operator
    // Types the text as it is (each character a key press).
    bool pressKey(const std::string& text);
    // Presses named tmux keys: "Enter", "C-c", ...
    bool pressNamed(const std::string& name);
    bool waitScreen(const std::string& text, std::chrono::milliseconds timeout = 10s);
    // Until the given row (0 = top) reads exactly text, trailing blanks ignored.
    bool waitRow(int row, const std::string& text, std::chrono::milliseconds timeout = 10s);
    // A menu key, then until the row reads text.
    bool choose(const std::string& key, int row, const std::string& text);
    // The screen rows, trailing blanks removed, always 25 of them.
    std::vector<std::string> rows() const;
    std::string screen() const; // for failure messages
    // Starts the program if need be, "1" at the start menu, then until
    // "Plotter ON LINE" / "Waiting...".
    bool startPlotting();
    // Until a run has ended and the page menu waits at "Command : ". With a
    // count, also until the status line shows that many instructions.
    bool waitPageMenu(std::optional<int> instructions = std::nullopt,
                      std::chrono::milliseconds timeout = 15s);
    // Until the status line (row 2) reports at least this many instructions.
    bool waitInstructionsAtLeast(int count);
    // "4" in the page menu, "ENTER to quit...", Enter, and the program's exit
    // status (-1 if it did not end in time or was killed by a signal).
    int quit();
    // Enter at "ENTER to quit..." (already on screen) and the exit status.
    int confirmQuit();

    // ---- the computer
    // Writes the bytes to the line; paced at the given rate, or as fast as
    // the pseudo-terminal takes them.
    bool sendLine(std::string_view bytes, int bytesPerSecond = 0);
    // Reads the plotter's reply until it ends with CR LF.
    std::string readReply();
    PtyPair& line() { return line_; }

    // ---- the process
    int pid() const { return pid_; }
    bool running() const;
    // Until the program has ended; its exit status, or -1.
    int waitForExit();
    // The terminal is back in its normal screen (the program left the
    // alternate screen it drew in).
    bool terminalRestored() const;
    // What AddressSanitizer/UBSan wrote (their log files), empty when clean.
    std::string sanitizerReport() const;
    TmuxSession& tmux() { return tmux_; }

    // ---- the files
    const std::string& directory() const { return directory_; }
    std::string file(const std::string& name) const { return directory_ + "/" + name; }
    bool hasFile(const std::string& name) const;
    std::string transcript() const; // PLOTTER.TXT ("" if missing)
    // The saved page PLOTTER_nnnnn.PNG, decoded.
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

// "PLOTTER_" + five digits + ".PNG".
std::string savedPageName(int number);

// An operator's marker in the transcript ("SAVE PAGE #1", "NEW PAGE").
std::string marker(const std::string& text);

// The page the plotter's own reader and interpreter draw for these runs
// (each run a stream that ends with silence), started on a white page.
std::unique_ptr<PageImage> expectedPage(const std::vector<std::string>& runs);

// Pixels of a decoded 800 x 600 PNG that differ from the page; -1 when the
// PNG is not such an image.
long differingPixels(const DecodedPng& png, const PageImage& page);

// Pixel (x, y) of a decoded page as a Colour value (red in the low byte).
uint32_t colourAt(const DecodedPng& png, int x, int y);

} // namespace plotanix::testing
