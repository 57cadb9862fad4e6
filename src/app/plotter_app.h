#pragma once
// The program as the operator meets it: the start screen, preparation of
// line, log, font and page, the cycle of plot runs and page menus, and the
// endings. It only waits (one poll over keyboard, line, window and signals)
// and dispatches: the plotting is the session's, the menus' rules are the
// menus'. Every ending comes back here as an exit status and the members'
// destructors give everything back, the terminal last.

#include "app/menus.h"
#include "app/settings.h"
#include "console/console.h"
#include "console/event_wait.h"
#include "logfile/log_file.h"
#include "output/desktops.h"
#include "output/plot_window.h"
#include "page/label_font.h"
#include "serial/serial_link.h"
#include "session/page_store.h"
#include "session/plot_session.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace plotanix {

class PlotterApp {
  public:
    // The settings as read at start; the options screen may change them.
    explicit PlotterApp(Startup startup);
    ~PlotterApp();
    // Runs the whole program; returns the process's exit status.
    int run();

  private:
    class ConsoleStatus;
    class StatusFirstLine;
    // Set when the program is to end: the exit status.
    using Ending = std::optional<int>;

    Ending startScreen();
    Ending optionsScreen();
    Ending waitForKey(std::string& key);
    void discardKeys();

    bool prepare();
    bool openLine();
    int plotCycle();
    Ending waitForFirstByte();
    void showPage();
    Ending pageMenu(PageMenu::Next& next);
    void reportNoLog();
    void reportDisplayLoss();

    // The line: a device that hangs up (a USB adapter pulled out) is closed
    // and opened again as soon as it is back.
    void watchLine(const WaitResult& result);
    void reopenLine();
    void showLineNotice(const std::string& text);
    std::vector<int> lineDescriptors() const;
    int lineTimeout() const;

    int shutdown();
    int endOnSignal(int signalNumber);
    bool signalled();

    std::string portName() const { return settings.port(); }
    // The line under the banner: which plotter is emulated, on which line.
    std::string information() const;

    Settings settings;
    std::string configPath;
    std::vector<std::string> notices; // shown on the first start screen
    LineSettings lineSettings;
    bool imageErrorFlag = false;
    bool lineLost = false;
    bool plotted = false; // a plot run has begun since the start

    // Declared first, destroyed last: the terminal is given back after
    // everything else has been released.
    Console console;
    EventWait wait;
    SerialLink serial;
    LogFile log;
    std::unique_ptr<ConsoleStatus> status;
    std::unique_ptr<StatusFirstLine> line;
    std::unique_ptr<PageFont> font;
    std::unique_ptr<PlotSession> session; // made with the settings chosen by the start
    std::unique_ptr<PageStore> store;     // in the output folder chosen by the time plotting starts
    Desktops desktops;
    PlotWindow window;
};

} // namespace plotanix
