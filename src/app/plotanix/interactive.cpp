#include "app/plotanix/interactive.h"

#include "app/plotanix/adapter_notice.h"
#include "app/plotanix/line_errors.h"
#include "app/plotanix/menus.h"
#include "app/plotanix/options_screen.h"
#include "app/plotanix/plot_setup.h"
#include "common/printable.h"
#include "settings/config_file.h"
#include "shell/plot_run.h"
#include "shell/typed_line.h"

#include <array>
#include <cstdio>
#include <filesystem>

namespace plotanix {

namespace {

constexpr int statusRow = 2;
const std::string lostNotice = "The line to the computer is lost; waiting for it to return.";

// The start menu's keys until one of its entries is chosen.
class StartChoice : public Activity {
  public:
    bool done() const override { return choice != StartMenu::Choice::none; }
    bool readsKeys() const override { return true; }
    bool onKey(std::string_view key) override {
        choice = StartMenu::onKey(key);
        return done();
    }
    StartMenu::Choice choice = StartMenu::Choice::none;
};

// The options screen's keys, and the line typed for the entry picked,
// until Enter or Esc at its prompt.
class OptionsChoice : public Activity {
  public:
    OptionsChoice(OptionsScreen& options, Screen& screen) : options_(options), screen_(screen) {}
    bool done() const override { return left_; }
    bool readsKeys() const override { return true; }
    bool onKey(std::string_view key) override {
        if (typing_) {
            typing_->onKey(key);
            if (typing_->done()) options_.onLine(std::exchange(typing_, std::nullopt)->text());
            return false;
        }
        const OptionsScreen::Next next = options_.onKey(key);
        left_ = next == OptionsScreen::Next::leave;
        if (next != OptionsScreen::Next::readLine) return false;
        typing_.emplace(screen_);
        return true; // the line starts with what is typed from now on
    }

  private:
    OptionsScreen& options_;
    Screen& screen_;
    std::optional<TypedLine> typing_;
    bool left_ = false;
};

// "Waiting..." until the computer sends.
class WaitForData : public Activity {
  public:
    bool done() const override { return sending_; }
    bool readsLine() const override { return true; }
    void onLineData() override { sending_ = true; }

  private:
    bool sending_ = false;
};

// The page menu until the operator continues or quits, or the computer
// sends again (the run then starts at once on the same page).
class PageChoice : public Activity {
  public:
    explicit PageChoice(PageMenu& menu) : menu_(menu) {}
    bool done() const override { return next != PageMenu::Next::stay; }
    bool readsKeys() const override { return true; }
    bool onKey(std::string_view key) override {
        next = menu_.onKey(key);
        return true;
    }
    bool readsLine() const override { return true; }
    void onLineData() override { next = PageMenu::Next::plot; }
    PageMenu::Next next = PageMenu::Next::stay;

  private:
    PageMenu& menu_;
};

} // namespace

// While a stream pours in, the terminal is redrawn at most every 20 ms, so
// a fast line is never held back by the screen; counts held back are shown
// before the line is read again (when the computer may pause), and the
// final counts when the run ends.
void PlotterApp::ConsoleStatus::showStatus(int32_t instructions, int32_t ignored) {
    held_.instructions = instructions;
    held_.ignored = ignored;
    const auto now = std::chrono::steady_clock::now();
    if (now - lastShown_ >= std::chrono::milliseconds(20)) showHeld();
}

void PlotterApp::ConsoleStatus::showHeld() {
    held_.lineErrors = lineErrors_();
    if (held_ == shown_) return;
    show(held_);
}

void PlotterApp::ConsoleStatus::show(int32_t instructions, int32_t ignored) {
    show({instructions, ignored, lineErrors_()});
}

void PlotterApp::ConsoleStatus::show(Shown what) {
    held_ = shown_ = std::move(what);
    lastShown_ = std::chrono::steady_clock::now();
    console_.moveCursor(0, statusRow);
    for (const std::string& row :
         statusRows(shown_.instructions, shown_.ignored, shown_.lineErrors))
        console_.printLine(row);
}

void PlotterApp::ConsoleStatus::reset() {
    lastShown_ = {};
    held_ = shown_ = {};
}

PlotterApp::PlotterApp(Startup startup)
    : settings(std::move(startup.settings)), configPath(std::move(startup.configPath)),
      notices(std::move(startup.notices)), line(signals.endingDescriptor(), this),
      status(console,
             [this] { return lineErrorsText(line.link().lineErrors(), lineSettingsOf(settings)); }),
      window([this] { showLineNotice("The display is lost; the page stays in memory."); }),
      loop(signals, &console, &line, &window) {}

PlotterApp::~PlotterApp() = default;

int PlotterApp::run() {
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

// ---------------------------------------------------------------- start screen

// Returns only to start plotting, or with the ending chosen.
PlotterApp::Ending PlotterApp::startScreen() {
    while (true) {
        StartMenu menu(console, information());
        for (std::string& notice : notices)
            menu.addNotice(std::move(notice));
        notices.clear();
        menu.show();
        StartChoice choosing;
        if (const int ending = loop.run(choosing)) return endOnSignal(ending);
        if (choosing.choice == StartMenu::Choice::startPlotting) return std::nullopt;
        if (choosing.choice == StartMenu::Choice::quit) return 0;
        if (Ending end = optionsScreen()) return end;
    }
}

// The line's short form before the port, whose long names may not fit.
std::string PlotterApp::information() const {
    const std::string lineForm = describeLine(lineSettingsOf(settings));
    const std::string line =
        settings.gpib ? " on " + busPlace(*settings.gpib) + " (" + lineForm + ") via " +
                            printable(settings.port)
                      : " at " + lineForm + " on serial line " + printable(settings.port);
    if (settings.model == PlotterModel::hp86b) return "HP 7470A plotter for the HP-86B" + line;
    const char* paper = settings.paper == Paper::a4 ? "A4" : "letter";
    if (settings.model == PlotterModel::hpgl2)
        return std::string("HP-GL/2 plotter (") + paper + " paper)" + line;
    return std::string("HP 7470A plotter (real 7470A behaviour, ") + paper + " paper)" + line;
}

// Until Enter or Esc at its prompt; the start screen is then drawn anew. A
// line cut short by a closed terminal is not taken.
PlotterApp::Ending PlotterApp::optionsScreen() {
    OptionsScreen screen(console, settings, [this](std::string_view key, const std::string& value) {
        if (configPath.empty()) return std::string("no home folder for the config file");
        return saveSetting(configPath, key, value);
    });
    screen.show();
    OptionsChoice choosing(screen, console);
    if (const int ending = loop.run(choosing)) return endOnSignal(ending);
    return std::nullopt;
}

// ---------------------------------------------------------------- preparation

bool PlotterApp::prepare() {
    plotting = std::make_unique<PlotAssembly>(plotSetupOf(settings), line.link(), log, &status);
    if (!openLine()) return false;
    // Stale input from before the operator was ready is not part of a plot.
    line.discardStaleInput();
    // A transcript that stops being written is said at once, on the last row.
    log.onTrouble([this](const LogFile::Trouble& trouble) {
        showLineNotice(LogFile::describe(trouble, LogFile::defaultName));
    });
    log.openLog(settings.dir + "/" + LogFile::defaultName);
    reportNoLog();
    imageErrorFlag = !plotting->preparePage();
    return !imageErrorFlag;
}

bool PlotterApp::openLine() {
    const LineSettings lineSettings = lineSettingsOf(settings);
    const std::string device = devicePath(settings);
    line.useAdapter(gpibOf(settings));
    if (line.open(device, lineSettings)) {
        console.printLine("SerialPort " + printable(settings.port) + " opened with success");
        console.printLine("Speed is set to " + std::to_string(lineSettings.baud));
        for (const std::string& notice : adapterLines)
            console.printLine(notice);
        return true;
    }
    console.printLine("Error, can't open the serial port: " + printable(settings.port));
    for (const std::string& reason : explainOpenError(device, line.openError()))
        console.printLine(printable(reason));
    console.printLine("Name another device with --port, PLOTANIX_PORT or on the options screen.");
    return false;
}

// A transcript that is not being kept is worth knowing at every wait; where
// the previous one went, until the first plot.
void PlotterApp::reportNoLog() {
    if (!log.isOpen()) console.printLine("Running without a log: " + log.lastError());
    if (const auto trouble = log.trouble())
        console.printLine(LogFile::describe(*trouble, LogFile::defaultName));
    if (!log.keptAs().empty() && !plotted) {
        const std::string name = std::filesystem::path(log.keptAs()).filename().string();
        console.printLine("The previous transcript is kept as " + name);
    }
}

// ---------------------------------------------------------------- plot runs

int PlotterApp::plotCycle() {
    PlotSession& session = plotting->session;
    while (true) {
        console.clearConsole();
        console.printLine("Plotter ON LINE");
        console.printLine("");
        console.printLine("Waiting...");
        if (!adapterLines.empty()) console.printLine(adapterLines.front());
        reportNoLog();
        if (line.lost()) showLineNotice(lostNotice);
        WaitForData waiting;
        if (const int ending = loop.run(waiting)) return endOnSignal(ending);
        // "The line ... is back" has served its purpose once plotting resumes.
        showLineNotice("");
        status.reset();
        plotted = true;
        PlotRun run(session, line, [this] { status.showHeld(); });
        const int ending = loop.run(run);
        const RunResult result = run.end();
        status.show(result.instructions, result.ignored);
        if (ending) return endOnSignal(ending);

        window.show(session.page());
        PageMenu menu(console, session, plotting->store);
        menu.show();
        PageChoice choosing(menu);
        const int closing = loop.run(choosing);
        window.close();
        if (closing) return endOnSignal(closing);
        if (choosing.next == PageMenu::Next::quit) return shutdown();
    }
}

// ---------------------------------------------------------------- the line

void PlotterApp::lineLost() {
    showLineNotice(lostNotice);
}

void PlotterApp::lineBack() {
    if (!line.adapter()) return showLineNotice("The line to the computer is back.");
    showLineNotice(line.throughAdapter()
                       ? "The line to the computer is back; the adapter is set up again."
                       : "The line to the computer is back, but no adapter answered on it.");
}

// Said with the port's opening, and under "Waiting..." from then on.
void PlotterApp::adapterSetUp(const GpibSetUp& setUp) {
    adapterLines.clear();
    for (const std::string& notice : adapterNotice(setUp, *settings.gpib, settings.port))
        adapterLines.push_back(printable(notice));
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

// The operator's last Enter; a signal or a closed terminal ends it too.
int PlotterApp::shutdown() {
    log.truncateLog();
    std::optional<LogFile::Trouble> unwritten = log.trouble();
    log.closeLog();
    console.printLine("");
    if (unwritten) {
        unwritten->kind = LogFile::Trouble::Kind::unwritten;
        console.printLine(LogFile::describe(*unwritten, LogFile::defaultName));
    }
    if (imageErrorFlag) console.printLine("Error creating image!");
    console.printLine("ENTER to quit...");
    TypedLine enter(console);
    loop.run(enter);
    return 0;
}

// Hang-up, Ctrl+C or termination: whatever the line still holds goes into
// the transcript; the destructors release the rest and restore the terminal.
int PlotterApp::endOnSignal(int signalNumber) {
    line.keepQueuedBytes(log);
    return 128 + signalNumber;
}

} // namespace plotanix
