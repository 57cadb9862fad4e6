#pragma once
// The whole program driven from outside, as the operator and the computer
// meet it: plotanix runs in an 80 x 25 tmux pane (the operator's terminal)
// with a pseudo-terminal pair as its serial line (the test is the computer
// at the master end), a private Xvfb for its window and a temporary working
// directory for PLOTTER.TXT and the saved pages.
//
// Typical use:
//   PlotterSession plotter;
//   ASSERT_TRUE(plotter.start()) << plotter.failure();
//   ASSERT_TRUE(plotter.startPlotting()) << plotter.screen();
//   plotter.sendLine("SP1;PU100,100;PD200,100;");
//   ASSERT_TRUE(plotter.waitPageMenu()) << plotter.screen();
//   plotter.pressKey("1");
//   ASSERT_TRUE(plotter.waitScreen("1  Ok.")) << plotter.screen();
//   EXPECT_EQ(plotter.quit(), 0) << plotter.sanitizerReport();
//
// Every wait has a deadline; nothing sleeps in place of a state. The
// session ends only what it started: its tmux server (the program gets a
// hang-up if it still runs) and, through the shared display, one Xvfb.

#include "output/png_decoder.h"
#include "page/page_image.h"
#include "support/pty_pair.h"
#include "support/temp_dir.h"
#include "support/tmux_session.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace plotanix::testing {

using namespace std::chrono_literals;

// The X display shared by every session of the test process: one Xvfb
// (1024 x 768), started on first use and ended when the process exits.
// Empty when Xvfb cannot be started (the program then runs without a window).
const std::string& sharedDisplay();

struct PlotterOptions {
    std::string binary;           // empty: PLOTANIX_BINARY given at compile time
    std::string workingDirectory; // empty: a fresh temporary directory, removed afterwards
    bool withDisplay = true;      // DISPLAY names the shared Xvfb; false: no DISPLAY at all
    // The device PLOTANIX_COM1 names; empty: the slave of the session's pty pair.
    std::string portPath;
    std::vector<std::string> extraEnvironment; // "NAME=value", added last
};

// How the computer paces what it sends. 0 bytes per second: as fast as the
// pseudo-terminal takes them (everything queued at once).
struct Pace {
    int bytesPerSecond = 0;
};
inline constexpr Pace at9600Baud{960}; // about ten bits on the line per character

class PlotterSession {
  public:
    explicit PlotterSession(PlotterOptions options = {});
    ~PlotterSession(); // ends the program (hang-up) if it still runs, removes the directory
    PlotterSession(const PlotterSession&) = delete;
    PlotterSession& operator=(const PlotterSession&) = delete;

    // Starts the program and waits for its start menu ("Your choice : ").
    bool start();
    // Why start() failed, or the last wait that timed out, with the screen.
    const std::string& failure() const { return failure_; }

    // ---- the operator
    // Types the text as it is (each character a key press; a final ";" too).
    bool pressKey(const std::string& text);
    // Presses named tmux keys: "Enter", "C-c", ...
    bool pressNamed(const std::string& name);
    bool waitScreen(const std::string& text, std::chrono::milliseconds timeout = 10s);
    // Until the given row (0 = top) reads exactly text, trailing blanks ignored.
    bool waitRow(int row, const std::string& text, std::chrono::milliseconds timeout = 10s);
    // The screen rows, trailing blanks removed, always 25 of them.
    std::vector<std::string> rows() const;
    std::string screen() const; // for failure messages
    // "1" at the start menu, then until "Plotter ON LINE" / "Waiting...".
    bool startPlotting();
    // Until a run has ended and the page menu waits at "Command : ". With a
    // count, also until the status line shows that many instructions.
    bool waitPageMenu(std::optional<int> instructions = std::nullopt,
                      std::chrono::milliseconds timeout = 15s);
    // Until the status line (row 2) reports at least this many instructions.
    bool waitInstructionsAtLeast(int count, std::chrono::milliseconds timeout = 10s);
    // "4" in the page menu, "ENTER to quit...", Enter, and the program's exit
    // status (-1 if it did not end in time or was killed by a signal).
    int quit();
    // Enter at "ENTER to quit..." (already on screen) and the exit status.
    int confirmQuit();

    // ---- the computer
    // Writes the bytes to the line, paced as asked.
    bool sendLine(std::string_view bytes, Pace pace = {});
    // Reads the plotter's reply until it ends with terminator.
    std::string readReply(std::string_view terminator = "\r\n",
                          std::chrono::milliseconds timeout = 5s);
    PtyPair& line() { return line_; }

    // ---- the process
    int pid() const { return pid_; }
    bool running() const;
    // Until the program has ended; its exit status, or -1.
    int waitForExit(std::chrono::milliseconds timeout = 10s);
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
    std::string directory_;
    PtyPair line_;
    TmuxSession tmux_;
    int pid_ = -1;
    std::string failure_;
};

// "PLOTTER_" + five digits + ".PNG".
std::string savedPageName(int number);

// The page the plotter's own reader and interpreter draw for these runs
// (each run a stream that ends with silence), started on a white page.
std::unique_ptr<PageImage> expectedPage(const std::vector<std::string>& runs);

// Pixels of a decoded 800 x 600 PNG that differ from the page; -1 when the
// PNG is not such an image.
long differingPixels(const DecodedPng& png, const PageImage& page);

// Pixel (x, y) of a decoded page as a Colour value (red in the low byte).
uint32_t colourAt(const DecodedPng& png, int x, int y);

// The top-level window titled title on the shared display, if mapped:
// its position and size.
struct WindowGeometry {
    int x = 0, y = 0, width = 0, height = 0;
};
std::optional<WindowGeometry> findWindow(const std::string& title);

// The transcript without the records of unrecognised instructions
// ("****" mnemonic "***"), for comparing with what the computer sent.
std::string withoutRecords(const std::string& transcript);

} // namespace plotanix::testing
