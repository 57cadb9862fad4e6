#include "app/plotter_app.h"

#include "output/png_writer.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <unistd.h>

namespace plotanix {

namespace {

constexpr int pageWidth = 800;
constexpr int pageHeight = 600;
constexpr int statusRow = 2;
constexpr int lineCheckMs = 1000; // how often a lost line is looked for

} // namespace

std::string pageFileName(int32_t pageNumber) {
    const std::string digits = "0000" + std::to_string(pageNumber);
    return "PLOTTER_" + digits.substr(digits.size() - 5) + ".PNG";
}

// The instruction counters on row 2. While a stream pours in, the terminal
// is redrawn at most every 20 ms, so a fast line is never held back by the
// screen; counts held back are shown before the line is read again (when
// the computer may pause), and the final counts when the run ends.
class PlotterApp::ConsoleStatus : public StatusLine {
  public:
    explicit ConsoleStatus(Console& console) : console_(console) {}
    void showStatus(int32_t instructions, int32_t ignored) override {
        held_ = {instructions, ignored};
        const auto now = std::chrono::steady_clock::now();
        if (now - lastShown_ >= std::chrono::milliseconds(20)) showHeld();
    }
    void showHeld() {
        if (held_ == shown_) return;
        show(held_.first, held_.second);
    }
    void show(int32_t instructions, int32_t ignored) {
        held_ = shown_ = {instructions, ignored};
        lastShown_ = std::chrono::steady_clock::now();
        console_.moveCursor(0, statusRow);
        console_.printLine("Instructions : " + std::to_string(instructions) +
                           "  Ignored : " + std::to_string(ignored));
    }
    void reset() {
        lastShown_ = {};
        held_ = shown_ = {-1, -1};
    }

  private:
    Console& console_;
    std::chrono::steady_clock::time_point lastShown_{};
    std::pair<int32_t, int32_t> held_{-1, -1};
    std::pair<int32_t, int32_t> shown_{-1, -1};
};

// The line as the reader sees it: before each read, which may wait for the
// computer, the status line is brought up to date.
class PlotterApp::StatusFirstLine : public ByteLink {
  public:
    StatusFirstLine(SerialLink& serial, ConsoleStatus& status) : serial_(serial), status_(status) {}
    int readSerial(uint8_t* buffer, int maxCount) override {
        status_.showHeld();
        return serial_.readSerial(buffer, maxCount);
    }
    int serialOutputWaiting() override { return serial_.serialOutputWaiting(); }
    void waitOutputDrained() override { serial_.waitOutputDrained(); }
    int writeSerial(const char* text) override { return serial_.writeSerial(text); }

  private:
    SerialLink& serial_;
    ConsoleStatus& status_;
};

PlotterApp::PlotterApp()
    : status(std::make_unique<ConsoleStatus>(console)),
      line(std::make_unique<StatusFirstLine>(serial, *status)), reader(*line, log),
      interpreter(reader, drawing, *line, log, status.get()) {}

PlotterApp::~PlotterApp() = default;

int PlotterApp::run() {
    wait.installSignalHandlers();
    console.openConsole();
    console.enablePositionedOutput();
    console.setConsoleTitle("Plotanix");
    if (showStartScreen() == Choice::quit) {
        exitCleanup();
        return 0;
    }
    if (!prepare()) shutdown();
    runCycle();
}

bool PlotterApp::signalled() {
    return wait.pendingSignal() != 0;
}

// ---------------------------------------------------------------- start screen

PlotterApp::Choice PlotterApp::showStartScreen() {
    while (true) {
        console.clearConsole();
        console.printLine("");
        printBanner();
        console.setConsoleColour(7, 0);
        console.printLine("");
        console.printLine("HP 7470A plotter for the HP-86B on serial line " + portName);
        console.printLine("");
        printMenu(startMenu);
        console.printLine("");
        console.printText("Your choice : ");
        std::string key;
        // Other keys, Enter included, are ignored: only a menu entry counts.
        do
            key = waitForKey();
        while (key != "1" && key != "2" && key != "3");
        discardKeys();
        if (key == "1") return Choice::startPlotting;
        if (key == "3") return Choice::quit;
    }
}

void PlotterApp::printBanner() {
    const std::string title = "Plotanix";
    const std::string rule(27, '\xCD');
    const std::string blank = "\xBA" + std::string(27, ' ') + "\xBA\xB0";
    console.setConsoleColour(15, 0);
    console.printLine("\xC9" + rule + "\xBB");
    console.printLine(blank);
    console.printLine("\xBA  " + title + std::string(25 - title.size(), ' ') + "\xBA\xB0");
    console.printLine(blank);
    console.printLine("\xC8" + rule + "\xBC\xB0");
    console.printLine(" " + std::string(29, '\xB0'));
}

void PlotterApp::printMenu(const std::vector<std::string>& entries) {
    for (size_t i = 0; i < entries.size(); ++i) {
        console.setConsoleColour(15, 0);
        console.printText(" " + std::to_string(i + 1) + ": ");
        console.setConsoleColour(7, 0);
        console.printLine(entries[i]);
    }
}

// Blocks (in poll, never spinning) until a key; ends the program on a signal.
std::string PlotterApp::waitForKey() {
    while (true) {
        std::string key = console.readKey();
        if (!key.empty()) return key;
        if (signalled()) endOnSignal();
        if (wait.waitForEvent(console.inputDescriptor(), {}, -1).keyClosed) endOnHangUp();
    }
}

void PlotterApp::discardKeys() {
    while (!console.readKey().empty()) {
    }
}

// ---------------------------------------------------------------- preparation

bool PlotterApp::prepare() {
    font = loadFont("Courier New", 12);
    enablePngEncoder();
    pageNumber = 1;
    if (!openLine()) return false;
    // Stale input from before the operator was ready is not part of a plot.
    uint8_t stale[1];
    while (serial.serialInputWaiting() > 0 && serial.readSerial(stale, 1) > 0) {
    }
    log.openLog();
    reportNoLog();
    desktops.examineDesktops();
    imageErrorFlag = false;
    newPageFlag = true;
    page = createPageImage(pageWidth, pageHeight, 24);
    if (!page) {
        imageErrorFlag = true;
        return false;
    }
    return true;
}

bool PlotterApp::openLine() {
    if (serial.openSerialPort(portName, portSpeed, 0, 7, 1.0f, 0, 1024, 1024)) {
        serial.setInterruptDescriptor(wait.signalDescriptor());
        console.printLine("SerialPort " + portName + " opened with success");
        console.printLine("Speed is set to " + std::to_string(portSpeed));
        return true;
    }
    console.printLine("Error, can't open the serial port: " + portName);
    console.printLine("The device tried was " + serialDevicePath(portName) + "; set PLOTANIX_" +
                      portName + " to name another device.");
    return false;
}

// A transcript that is not being kept is worth knowing at every wait.
void PlotterApp::reportNoLog() {
    if (!log.isOpen()) console.printLine("Running without a log: " + log.lastError());
}

// ---------------------------------------------------------------- plot runs

[[noreturn]] void PlotterApp::runCycle() {
    while (true) {
        console.clearConsole();
        drawing.beginDrawing(*page);
        drawing.selectFont(font.get());
        if (newPageFlag) {
            newPageFlag = false;
            drawing.fillBox(0, 0, pageWidth, 640, penColours[0]);
        }
        console.printLine("Plotter ON LINE");
        console.printLine("");
        console.printLine("Waiting...");
        reportNoLog();
        if (lineLost) showLineNotice("The line to the computer is lost; waiting for it to return.");
        interpreter.setDefaults();
        reader.startRun();
        if (!waitForFirstByte()) endOnSignal();
        // "The line ... is back" has served its purpose once plotting resumes.
        showLineNotice("");
        interpreter.instructionCount = 0;
        interpreter.ignoredCount = 0;
        status->reset();
        interpreter.runInstructionLoop();
        status->show(interpreter.instructionCount, interpreter.ignoredCount);
        drawing.endDrawing();
        // The transcript on disk is complete whenever the page menu waits.
        log.flushLog();
        if (signalled()) endOnSignal();
        if (serial.lineLost()) watchLine({});
        showPage();
        pageMenu();
        window.closePlotWindow();
        if (reader.stopState == quitting) {
            freePageImage(page);
            shutdown();
        }
    }
}

// Blocks until the computer sends; false when a signal ends the program.
bool PlotterApp::waitForFirstByte() {
    while (serial.serialInputWaiting() == 0) {
        if (signalled()) return false;
        watchLine(wait.waitForEvent(-1, lineDescriptors(), lineTimeout()));
    }
    return true;
}

void PlotterApp::showPage() {
    const int w = desktops.desktopWidth(0);
    const int h = desktops.desktopHeight(0);
    window.openPlotWindow((w - pageWidth) / 2, (h - pageHeight) / 2, pageWidth, pageHeight,
                          "HP Plotter");
    window.setTopmost(true);
    window.showImage(*page);
    window.setTopmost(false);
}

void PlotterApp::pageMenu() {
    console.printLine("");
    console.printLine("The HP has stopped sending instructions");
    console.printLine("");
    printMenu(pageMenuEntries);
    console.printLine("");
    console.printText("Command : ");
    reader.stopState = running;
    while (true) {
        const std::string key = console.readKey();
        if (!key.empty()) {
            if (key == "1") savePage();
            if (key == "2") insertNewPage();
            if (key == "3") reader.stopState = stopped;
            if (key == "4") reader.stopState = quitting;
            discardKeys();
        }
        if (reader.stopState != running || serial.serialInputWaiting() > 0) return;
        if (signalled()) endOnSignal();
        window.serviceEvents();
        reportDisplayLoss();
        std::vector<int> fds = lineDescriptors();
        const int windowFd = window.eventDescriptor();
        if (windowFd >= 0) fds.push_back(windowFd);
        const WaitResult result = wait.waitForEvent(console.inputDescriptor(), fds, lineTimeout());
        if (result.keyClosed) endOnHangUp();
        window.serviceEvents();
        watchLine(result);
    }
}

// The window is only a view: the page menu goes on without it.
void PlotterApp::reportDisplayLoss() {
    if (window.takeDisplayLoss()) showLineNotice("The display is lost; the page stays in memory.");
}

void PlotterApp::savePage() {
    // Never overwrite a page saved earlier, by this start or an earlier one.
    int32_t number = pageNumber;
    std::string name = pageFileName(number);
    for (int tries = 0; tries < 100000 && std::filesystem::exists(name); ++tries)
        name = pageFileName(++number);
    if (std::filesystem::exists(name) || !savePng(*page, name)) {
        console.printLine("1  Error, can't save the page: " + name);
        console.printText("Command : ");
        return;
    }
    pageNumber = number;
    log.writeLogMarker("SAVE PAGE #" + std::to_string(pageNumber));
    log.flushLog();
    ++pageNumber;
    console.printLine("1  Ok.");
    console.printText("Command : ");
}

void PlotterApp::insertNewPage() {
    newPageFlag = true;
    log.writeLogMarker("NEW PAGE");
    log.flushLog();
    console.printLine("2  Ok.");
    console.printText("Command : ");
}

// ---------------------------------------------------------------- the line

std::vector<int> PlotterApp::lineDescriptors() const {
    if (serial.isOpen() && !serial.lineLost()) return {serial.fileDescriptor()};
    return {};
}

int PlotterApp::lineTimeout() const {
    return lineLost ? lineCheckMs : -1;
}

void PlotterApp::watchLine(const WaitResult& result) {
    if (lineLost) {
        reopenLine();
        return;
    }
    if (!serial.isOpen()) return;
    bool lineReady = false;
    for (int fd : result.ready)
        lineReady |= fd == serial.fileDescriptor();
    // Ready with nothing to read: ask the device whether it hung up.
    if (lineReady && serial.serialInputWaiting() == 0) serial.probeLine();
    if (!serial.lineLost()) return;
    serial.closeSerialPort();
    lineLost = true;
    showLineNotice("The line to the computer is lost; waiting for it to return.");
}

void PlotterApp::reopenLine() {
    if (!serial.openSerialPort(portName, portSpeed, 0, 7, 1.0f, 0, 1024, 1024)) return;
    serial.setInterruptDescriptor(wait.signalDescriptor());
    lineLost = false;
    showLineNotice("The line to the computer is back.");
}

// One line near the bottom of the screen, clear of the rows the screens lay
// out; the cursor goes back where it was.
void PlotterApp::showLineNotice(const std::string& text) {
    const int row = console.cursorRow();
    const int column = console.cursorColumn();
    console.moveCursor(0, console.bufferHeight() - 1);
    console.printText(text + std::string(console.bufferWidth(), ' '));
    console.moveCursor(column, row);
}

// ---------------------------------------------------------------- endings

[[noreturn]] void PlotterApp::shutdown() {
    log.truncateLog();
    log.closeLog();
    console.printLine("");
    if (imageErrorFlag) console.printLine("Error creating image!");
    console.printLine("ENTER to quit...");
    console.readLine(wait);
    exitCleanup();
    std::exit(0);
}

// Hang-up, Ctrl+C or termination: whatever the line still holds goes into
// the transcript, then everything is released and the terminal restored.
[[noreturn]] void PlotterApp::endOnSignal() {
    keepWholeTranscript();
    exitCleanup();
    std::_Exit(128 + wait.pendingSignal());
}

// The terminal went away without a hang-up signal reaching us: end as if
// it had arrived.
[[noreturn]] void PlotterApp::endOnHangUp() {
    keepWholeTranscript();
    exitCleanup();
    std::_Exit(128 + SIGHUP);
}

void PlotterApp::keepWholeTranscript() {
    if (!log.isOpen()) return;
    // Take only what is already queued (reads of exactly that many bytes
    // return at once), for at most a second if the computer keeps sending.
    serial.setInterruptDescriptor(-1);
    uint8_t buffer[InstructionReader::bufferSize];
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (std::chrono::steady_clock::now() < deadline) {
        const int waiting = std::min(serial.serialInputWaiting(), InstructionReader::bufferSize);
        if (waiting <= 0) break;
        const int n = serial.readSerial(buffer, waiting);
        if (n <= 0) break;
        log.writeLogBytes(buffer, static_cast<size_t>(n));
    }
}

void PlotterApp::exitCleanup() {
    serial.closeSerialPort();
    window.closePlotWindow();
    font.reset();
    log.closeLog();
    page.reset();
    console.closeConsole();
}

} // namespace plotanix
