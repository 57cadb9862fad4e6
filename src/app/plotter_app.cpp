#include "app/plotter_app.h"

#include "app/config_file.h"
#include "app/options_screen.h"
#include "app/page_copies.h"
#include "app/queued_bytes.h"
#include "logfile/transcript_format.h"
#include "output/png_writer.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>

namespace plotanix {

namespace {

constexpr int statusRow = 2;
constexpr int lineCheckMs = 1000; // how often a lost line is looked for

} // namespace

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
    int readSerial(std::span<uint8_t> buffer) override {
        status_.showHeld();
        return serial_.readSerial(buffer);
    }
    int serialOutputWaiting() override { return serial_.serialOutputWaiting(); }
    void waitOutputDrained() override { serial_.waitOutputDrained(); }
    int writeSerial(std::string_view bytes) override { return serial_.writeSerial(bytes); }

  private:
    SerialLink& serial_;
    ConsoleStatus& status_;
};

PlotterApp::PlotterApp(Startup startup)
    : settings(std::move(startup.settings)), configPath(std::move(startup.configPath)),
      notices(std::move(startup.notices)), status(std::make_unique<ConsoleStatus>(console)),
      line(std::make_unique<StatusFirstLine>(serial, *status)) {}

PlotterApp::~PlotterApp() = default;

int PlotterApp::run() {
    wait.installSignalHandlers();
    if (!console.openConsole()) {
        std::fputs("plotanix: standard input and output must be a terminal (or use --unattended)\n",
                   stderr);
        return 1;
    }
    console.enablePositionedOutput();
    console.setConsoleTitle("Plotanix");
    if (Ending end = startScreen()) return *end;
    if (!prepare()) return shutdown();
    return plotCycle();
}

bool PlotterApp::signalled() {
    return wait.pendingSignal() != 0;
}

// ---------------------------------------------------------------- start screen

// Returns only to start plotting, or with the ending chosen.
PlotterApp::Ending PlotterApp::startScreen() {
    while (true) {
        StartMenu menu(console, information());
        for (std::string& notice : notices)
            menu.addNotice(std::move(notice));
        notices.clear();
        menu.show();
        StartMenu::Choice choice = StartMenu::Choice::none;
        while (choice == StartMenu::Choice::none) {
            std::string key;
            if (Ending end = waitForKey(key)) return end;
            choice = StartMenu::onKey(key);
        }
        discardKeys();
        if (choice == StartMenu::Choice::startPlotting) return std::nullopt;
        if (choice == StartMenu::Choice::quit) return 0;
        if (choice == StartMenu::Choice::options) {
            if (Ending end = optionsScreen()) return end;
        }
    }
}

std::string PlotterApp::information() const {
    if (settings.model() == PlotterModel::hp86b)
        return "HP 7470A plotter for the HP-86B on serial line " + portName();
    const char* paper = settings.paper() == Paper::a4 ? "A4" : "letter";
    return std::string("HP 7470A plotter (real 7470A behaviour, ") + paper +
           " paper) on serial line " + portName();
}

// Until Enter or Esc at its prompt; the start screen is then drawn anew.
PlotterApp::Ending PlotterApp::optionsScreen() {
    OptionsScreen screen(console, settings, [this](std::string_view key, const std::string& value) {
        if (configPath.empty()) return std::string("no home folder for the config file");
        return saveSetting(configPath, key, value);
    });
    screen.show();
    while (true) {
        std::string key;
        if (Ending end = waitForKey(key)) return end;
        OptionsScreen::Next next = screen.onKey(key);
        if (next == OptionsScreen::Next::readLine) {
            discardKeys();
            const std::string typed = console.readLine(wait);
            if (signalled()) return endOnSignal(wait.pendingSignal());
            // A line cut short by a closed terminal is not saved.
            if (wait.waitForEvent(console.inputDescriptor(), {}, 0).keyClosed)
                return endOnSignal(SIGHUP);
            next = screen.onLine(typed);
        }
        if (next == OptionsScreen::Next::leave) return std::nullopt;
    }
}

// Blocks (in poll, never spinning) until a key; a signal or a closed
// terminal ends the program instead.
PlotterApp::Ending PlotterApp::waitForKey(std::string& key) {
    while (true) {
        key = console.readKey();
        if (!key.empty()) return std::nullopt;
        if (signalled()) return endOnSignal(wait.pendingSignal());
        if (wait.waitForEvent(console.inputDescriptor(), {}, -1).keyClosed)
            return endOnSignal(SIGHUP);
    }
}

void PlotterApp::discardKeys() {
    while (!console.readKey().empty()) {
    }
}

// ---------------------------------------------------------------- preparation

bool PlotterApp::prepare() {
    font = loadFont("Courier New", 12);
    session = makeSession(settings, *line, log, status.get());
    session->useFont(font.get());
    if (!openLine()) return false;
    // Stale input from before the operator was ready is not part of a plot.
    uint8_t stale[1];
    while (serial.serialInputWaiting() > 0 && serial.readSerial(stale) > 0) {
    }
    log.openLog(settings.dir() + "/" + LogFile::defaultName);
    store = std::make_unique<PageStore>(
        settings.dir(), log,
        [](const PageImage& page, const std::string& path) { return savePng(page, path); });
    copyPagesAs(settings.vectorCopy(), *session, *store);
    reportNoLog();
    desktops.examineDesktops();
    imageErrorFlag = !session->createPage();
    return !imageErrorFlag;
}

bool PlotterApp::openLine() {
    lineSettings.baud = settings.baud();
    if (serial.openSerialPort(portName(), lineSettings)) {
        serial.setInterruptDescriptor(wait.signalDescriptor());
        console.printLine("SerialPort " + portName() + " opened with success");
        console.printLine("Speed is set to " + std::to_string(lineSettings.baud));
        return true;
    }
    console.printLine("Error, can't open the serial port: " + portName());
    const std::string device = serial.devicePath().empty() ? portName() : serial.devicePath();
    for (const std::string& reason : explainOpenError(device, serial.openError()))
        console.printLine(reason);
    console.printLine("Name another device with --port, PLOTANIX_PORT or on the options screen.");
    return false;
}

// A transcript that is not being kept is worth knowing at every wait; where
// the previous one went, until the first plot.
void PlotterApp::reportNoLog() {
    if (!log.isOpen()) console.printLine("Running without a log: " + log.lastError());
    if (!log.keptAs().empty() && !plotted) {
        const std::string name = std::filesystem::path(log.keptAs()).filename().string();
        console.printLine("The previous transcript is kept as " + name);
    }
}

// ---------------------------------------------------------------- plot runs

int PlotterApp::plotCycle() {
    while (true) {
        console.clearConsole();
        console.printLine("Plotter ON LINE");
        console.printLine("");
        console.printLine("Waiting...");
        reportNoLog();
        if (lineLost) showLineNotice("The line to the computer is lost; waiting for it to return.");
        if (Ending end = waitForFirstByte()) return *end;
        // "The line ... is back" has served its purpose once plotting resumes.
        showLineNotice("");
        status->reset();
        plotted = true;
        const RunResult result = session->run();
        status->show(result.instructions, result.ignored);
        if (signalled()) return endOnSignal(wait.pendingSignal());
        if (serial.lineLost()) watchLine({});
        showPage();
        PageMenu::Next next = PageMenu::Next::stay;
        const Ending end = pageMenu(next);
        window.closePlotWindow();
        if (end) return *end;
        if (next == PageMenu::Next::quit) return shutdown();
    }
}

// Blocks until the computer sends; a signal ends the program instead.
PlotterApp::Ending PlotterApp::waitForFirstByte() {
    while (serial.serialInputWaiting() == 0) {
        if (signalled()) return endOnSignal(wait.pendingSignal());
        watchLine(wait.waitForEvent(-1, lineDescriptors(), lineTimeout()));
    }
    return std::nullopt;
}

void PlotterApp::showPage() {
    const int w = desktops.desktopWidth(0);
    const int h = desktops.desktopHeight(0);
    constexpr int pw = PlotSession::pageWidth, ph = PlotSession::pageHeight;
    window.openPlotWindow((w - pw) / 2, (h - ph) / 2, pw, ph, "HP Plotter");
    window.setTopmost(true);
    window.showImage(session->page());
    window.setTopmost(false);
}

// Until the operator continues or quits, or the computer sends again (next
// is then plot: the run starts at once on the same page).
PlotterApp::Ending PlotterApp::pageMenu(PageMenu::Next& next) {
    PageMenu menu(console, *session, *store);
    menu.show();
    while (true) {
        const std::string key = console.readKey();
        if (!key.empty()) {
            next = menu.onKey(key);
            discardKeys();
            if (next != PageMenu::Next::stay) return std::nullopt;
        }
        if (serial.serialInputWaiting() > 0) {
            next = PageMenu::Next::plot;
            return std::nullopt;
        }
        if (signalled()) return endOnSignal(wait.pendingSignal());
        window.serviceEvents();
        reportDisplayLoss();
        std::vector<int> fds = lineDescriptors();
        const int windowFd = window.eventDescriptor();
        if (windowFd >= 0) fds.push_back(windowFd);
        const WaitResult result = wait.waitForEvent(console.inputDescriptor(), fds, lineTimeout());
        if (result.keyClosed) return endOnSignal(SIGHUP);
        window.serviceEvents();
        watchLine(result);
    }
}

// The window is only a view: the page menu goes on without it.
void PlotterApp::reportDisplayLoss() {
    if (window.takeDisplayLoss()) showLineNotice("The display is lost; the page stays in memory.");
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
    if (!serial.openSerialPort(portName(), lineSettings)) return;
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

int PlotterApp::shutdown() {
    log.truncateLog();
    log.closeLog();
    console.printLine("");
    if (imageErrorFlag) console.printLine("Error creating image!");
    console.printLine("ENTER to quit...");
    console.readLine(wait);
    return 0;
}

// Hang-up, Ctrl+C or termination: whatever the line still holds goes into
// the transcript; the destructors release the rest and restore the terminal.
int PlotterApp::endOnSignal(int signalNumber) {
    keepQueuedBytes(serial, log);
    return 128 + signalNumber;
}

} // namespace plotanix
