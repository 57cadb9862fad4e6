#pragma once
// The program as the operator meets it: the start screen and the options,
// preparation of line, log, font and page, the cycle of waits, plot runs
// and page menus, and the endings. Each screen is an activity of the one
// event loop; the plotting is the session's, the menus' rules are the
// menus'. Every ending comes back here as an exit status and the members'
// destructors give everything back, the terminal last.

#include "console/console.h"
#include "logfile/log_file.h"
#include "settings/settings.h"
#include "shell/event_loop.h"
#include "shell/line_watch.h"
#include "shell/page_window.h"
#include "shell/plot_assembly.h"
#include "shell/signal_watch.h"

#include <chrono>
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
        // lineErrors: the text for the errors so far, empty for none.
        ConsoleStatus(Console& console, std::function<std::string()> lineErrors)
            : console_(console), lineErrors_(std::move(lineErrors)) {}
        void showStatus(int32_t instructions, int32_t ignored) override;
        // The counts held back, before the line is read again.
        void showHeld();
        void show(int32_t instructions, int32_t ignored);
        void reset();

      private:
        struct Shown {
            int32_t instructions = -1;
            int32_t ignored = -1;
            std::string lineErrors;
            bool operator==(const Shown&) const = default;
        };
        void show(Shown what);

        Console& console_;
        std::function<std::string()> lineErrors_;
        std::chrono::steady_clock::time_point lastShown_{};
        Shown held_;
        Shown shown_;
    };
    // Set when the program is to end: the exit status.
    using Ending = std::optional<int>;

    Ending startScreen();
    Ending optionsScreen();

    bool prepare();
    bool openLine();
    int plotCycle();
    void reportNoLog();

    void lineLost() override;
    void lineBack() override;
    void adapterSetUp(const GpibSetUp& setUp) override;
    void showLineNotice(const std::string& text);

    int shutdown();
    int endOnSignal(int signalNumber);

    // The line under the banner: which plotter is emulated, on which line.
    std::string information() const;

    Settings settings;
    std::string configPath;
    std::vector<std::string> notices;      // shown on the first start screen
    std::vector<std::string> adapterLines; // the USB-GPIB adapter's last set-up, said
    bool imageErrorFlag = false;
    bool plotted = false; // a plot run has begun since the start

    // Declared first, destroyed last: the terminal is given back after
    // everything else has been released.
    Console console;
    SignalWatch signals;
    LineWatch line;
    LogFile log;
    ConsoleStatus status;
    PageWindow window;
    EventLoop loop;
    std::unique_ptr<PlotAssembly> plotting; // made with the settings chosen by the start
};

} // namespace plotanix
