#pragma once
// The program as the operator meets it: the start screen, preparation of
// line, log, font and page, the cycle of plot runs and page menus, and the
// endings. Owns every object of the program for the life of the process.

#include "console/console.h"
#include "console/event_wait.h"
#include "hpgl/interpreter.h"
#include "hpgl/reader.h"
#include "logfile/log_file.h"
#include "output/desktops.h"
#include "output/plot_window.h"
#include "page/drawing.h"
#include "page/label_font.h"
#include "page/page_image.h"
#include "serial/serial_link.h"

#include <memory>
#include <string>
#include <vector>

namespace plotanix {

class PlotterApp {
  public:
    PlotterApp();
    ~PlotterApp();
    // Runs the whole program; returns the process's exit status.
    int run();

  private:
    class ConsoleStatus;
    class StatusFirstLine;

    enum class Choice { startPlotting, quit };

    Choice showStartScreen();
    void printBanner();
    void printMenu(const std::vector<std::string>& entries);
    std::string waitForKey();
    void discardKeys();

    bool prepare();
    bool openLine();
    void reportNoLog();
    [[noreturn]] void runCycle();
    bool waitForFirstByte();
    void showPage();
    void pageMenu();
    void reportDisplayLoss();
    void savePage();
    void insertNewPage();

    // The line: a device that hangs up (a USB adapter pulled out) is closed
    // and opened again as soon as it is back.
    void watchLine(const WaitResult& result);
    void reopenLine();
    void showLineNotice(const std::string& text);
    std::vector<int> lineDescriptors() const;
    int lineTimeout() const;

    [[noreturn]] void shutdown();
    [[noreturn]] void endOnSignal();
    [[noreturn]] void endOnHangUp();
    void keepWholeTranscript();
    void exitCleanup();
    bool signalled();

    const std::string portName = "COM1";
    const int32_t portSpeed = 9600;
    const std::vector<std::string> startMenu = {"Start plotting!", "Set options", "Quit"};
    const std::vector<std::string> pageMenuEntries = {"Save as PNG image", "Insert new page",
                                                      "Continue Plotting", "Quit"};

    int32_t pageNumber = 1;
    bool newPageFlag = true;
    bool imageErrorFlag = false;
    bool lineLost = false;

    EventWait wait;
    Console console;
    SerialLink serial;
    LogFile log;
    std::unique_ptr<ConsoleStatus> status;
    std::unique_ptr<StatusFirstLine> line;
    InstructionReader reader;
    Drawing drawing;
    Interpreter interpreter;
    std::unique_ptr<PageFont> font;
    std::unique_ptr<PageImage> page;
    Desktops desktops;
    PlotWindow window;
};

// "PLOTTER_" + the last five digits of the page number + ".PNG".
std::string pageFileName(int32_t pageNumber);

} // namespace plotanix
