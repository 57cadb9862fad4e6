#pragma once
// The program as the operator meets it: the start screen and the options,
// preparation of line, log, font and page, the cycle of waits, plot runs
// and page menus, and the endings. The program is one activity of the one
// event loop, run once; each screen is a state of it (screen_states.h says
// which follows which), with its keys and its drawing. The plotting is the
// session's, the menus' rules are the menus', the line, the transcript, the
// outputs and the ending the station's. A line that cannot be opened, or
// Esc while waiting for the computer, leads back to the start screen. A
// signal is an event like any other, acted on in one place. Every ending
// comes back here as an exit status and the members' destructors give
// everything back, the terminal last.

#include "common/printable.h"
#include "console/console.h"
#include "menus.h"
#include "options_screen.h"
#include "screen_states.h"
#include "settings/settings.h"
#include "shell/plot_run.h"
#include "shell/station.h"
#include "shell/typed_line.h"

#include <chrono>
#include <csignal>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace plotanix {

class PlotterApp : private StationEvents, public Activity {
  public:
    // The settings as read at start; the options screen may change them.
    explicit PlotterApp(Startup startup);
    ~PlotterApp() override;
    // Runs the whole program; returns the process's exit status.
    int run();
    // What the ending has to say once the terminal is given back (replies
    // the computer had not taken), "" for nothing.
    const std::string& lastWord() const { return lastWord_; }

    // The program as the loop's activity: each call goes to the screen of
    // the moment.
    bool done() const override { return state_ == ScreenState::ended; }
    bool readsKeys() const override;
    bool onKey(std::string_view key) override;
    bool readsLine() const override;
    void onLineData(Clock::time_point now) override;
    void onLineLost() override;
    std::optional<Clock::time_point> deadline() const override;
    void onTime(Clock::time_point now) override;
    bool takesEnding() const override { return true; }
    void onEnding(int signalNumber) override;
    void afterTurn(Clock::time_point now) override;

  private:
    // The instruction counters on the status row, redrawn at most every
    // 20 ms while a stream pours in; bytes that came with framing or parity
    // errors on the row under it.
    class ConsoleStatus : public StatusLine {
      public:
        // lineErrors: the text for the errors so far, empty for none; hint:
        // the model's word on how it reads the stream, empty for none.
        ConsoleStatus(Console& console, std::function<std::string()> lineErrors,
                      std::function<std::string()> hint)
            : console_(console), lineErrors_(std::move(lineErrors)), hint_(std::move(hint)) {}
        void showStatus(int32_t instructions, int32_t ignored) override;
        // The counts held back, before the line is read again.
        void showHeld();
        void show(int32_t instructions, int32_t ignored);
        // The page's note (pageNote) under the counts, until reset.
        void note(std::string text);
        // The status row again: the latest counts, or "Waiting..." before any.
        void redraw();
        void reset();

      private:
        struct Shown {
            int32_t instructions = -1;
            int32_t ignored = -1;
            std::string lineErrors;
            std::string hint;
            std::string note;
            bool operator==(const Shown&) const = default;
        };
        void show(Shown what);

        Console& console_;
        std::function<std::string()> lineErrors_;
        std::function<std::string()> hint_;
        std::chrono::steady_clock::time_point lastShown_{};
        Shown latest_; // the counts as they stand, perhaps not shown yet
        Shown shown_;
    };

    // Goes to the state the event leads to, if any, and enters it.
    void go(ScreenEvent event, Clock::time_point now);
    void enter(ScreenState state, Clock::time_point now);
    void enterStart();
    void enterOptions();
    void enterOpening(Clock::time_point now);
    void enterWaiting();
    void enterPlotting();
    void enterMenu();
    void enterLeaving();
    void enterQuitting();
    void enterEnding(Clock::time_point now);
    // The screen of the moment, drawn on a clear terminal.
    void draw();

    // The line is ready for data (or failed): the rest of the preparation.
    void lineOpened(Clock::time_point now);
    bool openLine(std::vector<std::string>& failure);
    void runEnded(std::optional<Clock::duration> budget, Clock::time_point now);
    void leavingDone(Clock::time_point now);
    void showRunHeader();
    void reportNoLog();

    void lineLost() override;
    void lineBack() override;
    void adapterSetUp(const GpibSetUp& setUp) override;
    void lineNote(const std::string& text) override;
    void printed(const std::string& said, bool failed) override;
    void displayLost() override {
        showWindowNotice("The display is lost; the page stays in memory.");
    }
    void displayBack() override { showWindowNotice(""); }
    // The line's state and the window's each keep a place among the notices.
    void showLineNotice(const std::string& text);
    void showWindowNotice(const std::string& text);
    void showNotices();
    // The terminal has a new size: the screen of the moment, drawn anew.
    void redrawScreen();

    // The web view the settings ask for, started or stopped to match them.
    void followWeb();

    // The line under the banner: which plotter is emulated, on which line.
    std::string information() const;
    // The rows under "Waiting...": the line awaited and the output folder.
    std::vector<std::string> lineAndFolder() const;

    Settings settings;
    std::string configPath;
    std::vector<std::string> notices;      // shown on the next start screen
    std::vector<std::string> adapterLines; // the USB-GPIB adapter's last set-up, said
    bool imageErrorFlag = false;
    bool plotted = false;       // a plot run has begun since plotting was chosen
    bool windowOffSaid = false; // why there is no page window, said once
    std::string lineNotice;     // on the notice rows at the bottom: the line's
    std::string windowNotice;   // above it: the page window's
    int noticeRows = 0;         // how many rows they took
    std::string webNotice;      // on every start screen while the web view is on
    ScreenState state_ = ScreenState::start;
    int exitStatus_ = 0;
    int signal_ = 0; // the signal the program ends on
    std::string lastWord_;

    // Declared first, destroyed last: the terminal is given back after
    // everything else has been released.
    Console console;
    // A terminal that changes its size is drawn anew; Ctrl+Z gives it back
    // first (the screen's bytes wait in memory, not in curses' way).
    Station station{*this, {SIGWINCH, SIGTSTP}};
    ConsoleStatus status;
    KeySource keys{station.loop, console};
    // The screens of the moment. The waiting screen and the page menu stay
    // until the next of their kind: a page they write apart reports to them.
    std::optional<StartMenu> startMenu_;
    std::optional<OptionsScreen> options_;
    std::optional<StartFailure> failure_;
    std::optional<WaitingScreen> waiting_;
    std::optional<PlotRun> run_;
    std::optional<PageMenu> menu_;
    std::optional<QueuedBytes> keeping_;
    std::optional<TypedLine> enter_;
    std::vector<std::string> quitLines_;
};

} // namespace plotanix
