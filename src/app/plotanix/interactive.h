#pragma once
// The program as the operator meets it: the start screen and the options,
// preparation of line, log, font and page, the cycle of waits, plot runs
// and page menus, and the endings. Each screen is an activity of the one
// event loop; the plotting is the session's, the menus' rules are the
// menus'. A line that cannot be opened, or Esc while waiting for the
// computer, leads back to the start screen. Every ending comes back here as
// an exit status and the members' destructors give everything back, the
// terminal last.

#include "common/printable.h"
#include "console/console.h"
#include "logfile/log_file.h"
#include "menus.h"
#include "page_printer.h"
#include "settings/settings.h"
#include "shell/event_loop.h"
#include "shell/line_watch.h"
#include "shell/page_window.h"
#include "shell/plot_assembly.h"
#include "shell/signal_watch.h"
#include "web_view.h"

#include <chrono>
#include <csignal>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace plotanix {

class PlotterApp : private LineWatch::Events {
  public:
    // The settings as read at start; the options screen may change them.
    explicit PlotterApp(Startup startup);
    ~PlotterApp() override;
    // Runs the whole program; returns the process's exit status.
    int run();

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
        // The status row again: the latest counts, or "Waiting..." before any.
        void redraw();
        void reset();

      private:
        struct Shown {
            int32_t instructions = -1;
            int32_t ignored = -1;
            std::string lineErrors;
            std::string hint;
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
    // Set when the program is to end: the exit status.
    using Ending = std::optional<int>;

    Ending startScreen();
    Ending optionsScreen();

    // False when plotting cannot begin: failure then says why, unless the
    // page could not be made (imageErrorFlag).
    bool prepare(std::vector<std::string>& failure);
    bool openLine(std::vector<std::string>& failure);
    Ending showStartFailure(std::vector<std::string> lines);
    // Returns without an ending when the operator goes back to the start.
    Ending plotCycle();
    void showRunHeader();
    void leavePlotting();
    void reportNoLog();

    void lineLost() override;
    void lineBack() override;
    void adapterSetUp(const GpibSetUp& setUp) override;
    void lineNote(const std::string& text) override;
    // The line's state and the window's each keep a place among the notices.
    void showLineNotice(const std::string& text);
    void showWindowNotice(const std::string& text);
    void showNotices();
    // The terminal has a new size: the screen of the moment, drawn anew.
    void redrawScreen();

    // The web view the settings ask for, started or stopped to match them.
    void followWeb();

    int shutdown();
    int endOnSignal(int signalNumber);

    // The line under the banner: which plotter is emulated, on which line.
    std::string information() const;
    // The rows under "Waiting...": the line awaited and the output folder.
    std::vector<std::string> lineAndFolder() const;

    Settings settings;
    std::string configPath;
    std::vector<std::string> notices;      // shown on the first start screen
    std::vector<std::string> adapterLines; // the USB-GPIB adapter's last set-up, said
    bool imageErrorFlag = false;
    bool plotted = false;       // a plot run has begun since plotting was chosen
    bool windowOffSaid = false; // why there is no page window, said once
    // Draws the screen of the moment on a clear terminal; set before each
    // wait, used while it lasts.
    std::function<void()> drawScreen;
    std::string lineNotice;   // on the notice rows at the bottom: the line's
    std::string windowNotice; // above it: the page window's
    int noticeRows = 0;       // how many rows they took

    // Declared first, destroyed last: the terminal is given back after
    // everything else has been released.
    Console console;
    SignalWatch signals{SIGWINCH}; // a terminal that changes its size is drawn anew
    LineWatch line;
    LogFile log;
    ConsoleStatus status;
    PageWindow window;
    EventLoop loop{signals};
    KeySource keys{loop, console};
    std::unique_ptr<PlotAssembly> plotting; // made with the settings chosen by the start
    WebView web;
    std::string webNotice; // on every start screen while the web view is on
    // How each saved page's print went: a reply row of the page menu while
    // it is open, the notice row otherwise.
    PageMenu* openMenu = nullptr;
    PagePrinter printer{[this](const std::string& said) {
        if (openMenu != nullptr) return openMenu->lateReply("1  " + printable(said));
        showLineNotice(printable(said));
    }};
};

} // namespace plotanix
