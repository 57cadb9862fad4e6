#include "interactive.h"

#include "adapter_notice.h"
#include "common/printable.h"
#include "line_description.h"
#include "line_errors.h"
#include "menus.h"
#include "network_notice.h"
#include "options_screen.h"
#include "output/plot_window.h"
#include "plot_setup.h"
#include "settings/config_file.h"
#include "shell/page_write_thread.h"
#include "shell/plot_run.h"
#include "shell/typed_line.h"

#include <array>
#include <cstdio>
#include <filesystem>

namespace plotanix {

namespace {

constexpr int statusRow = 2;
const std::string lostNotice = "The line to the computer is lost; waiting for it to return.";

// The screen of the moment, drawn anew when the terminal's size changes,
// for as long as this lasts: the drawing refers to the screen's state.
class DrawnBy {
  public:
    DrawnBy(std::function<void()>& slot, std::function<void()> draw) : slot_(slot) {
        slot_ = std::move(draw);
    }
    ~DrawnBy() { slot_ = nullptr; }
    DrawnBy(const DrawnBy&) = delete;
    DrawnBy& operator=(const DrawnBy&) = delete;

  private:
    std::function<void()>& slot_;
};

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

// The options screen's keys, the value typed at its prompt among them,
// until Enter or Esc at the screen's own prompt.
class OptionsChoice : public Activity {
  public:
    explicit OptionsChoice(OptionsScreen& options) : options_(options) {}
    bool done() const override { return left_; }
    bool readsKeys() const override { return true; }
    bool onKey(std::string_view key) override {
        const OptionsScreen::Next next = options_.onKey(key);
        left_ = next == OptionsScreen::Next::leave;
        return next == OptionsScreen::Next::readLine; // the value starts with what is typed now
    }

  private:
    OptionsScreen& options_;
    bool left_ = false;
};

// Enter (or Esc) under a start failure.
class BackToStart : public Activity {
  public:
    bool done() const override { return back_; }
    bool readsKeys() const override { return true; }
    bool onKey(std::string_view key) override {
        back_ = StartFailure::backToStart(key);
        return back_;
    }

  private:
    bool back_ = false;
};

// "Waiting..." until the computer sends, or the operator goes back.
class WaitForData : public Activity {
  public:
    explicit WaitForData(WaitingScreen& screen) : screen_(screen) {}
    bool done() const override { return sending_ || left_; }
    bool left() const { return left_ && !sending_; }
    bool readsKeys() const override { return true; }
    bool onKey(std::string_view key) override {
        left_ = screen_.onKey(key) == WaitingScreen::Next::leave;
        return left_;
    }
    // The page being saved is marked in the transcript before the next
    // run's bytes.
    bool readsLine() const override { return !screen_.saving(); }
    void onLineData(Clock::time_point) override { sending_ = true; }

  private:
    WaitingScreen& screen_;
    bool sending_ = false;
    bool left_ = false;
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
    // The page being saved is marked in the transcript before the next
    // run's bytes.
    bool readsLine() const override { return !menu_.saving(); }
    void onLineData(Clock::time_point) override { next = PageMenu::Next::plot; }
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
    latest_.instructions = instructions;
    latest_.ignored = ignored;
    const auto now = std::chrono::steady_clock::now();
    if (now - lastShown_ >= std::chrono::milliseconds(20)) showHeld();
}

void PlotterApp::ConsoleStatus::showHeld() {
    latest_.lineErrors = lineErrors_();
    latest_.hint = hint_();
    if (latest_ == shown_) return;
    show(latest_);
}

void PlotterApp::ConsoleStatus::show(int32_t instructions, int32_t ignored) {
    show({instructions, ignored, lineErrors_(), hint_()});
}

void PlotterApp::ConsoleStatus::show(Shown what) {
    latest_ = shown_ = std::move(what);
    lastShown_ = std::chrono::steady_clock::now();
    console_.moveCursor(0, statusRow);
    for (const std::string& row :
         statusRows(shown_.instructions, shown_.ignored, shown_.lineErrors, shown_.hint))
        console_.printLine(row);
}

void PlotterApp::ConsoleStatus::redraw() {
    if (latest_.instructions >= 0) return show(latest_.instructions, latest_.ignored);
    console_.moveCursor(0, statusRow);
    console_.printLine("Waiting...");
}

void PlotterApp::ConsoleStatus::reset() {
    lastShown_ = {};
    latest_ = shown_ = {};
}

PlotterApp::PlotterApp(Startup startup)
    : settings(std::move(startup.settings)), configPath(std::move(startup.configPath)),
      notices(std::move(startup.notices)), line(this),
      status(
          console,
          [this] { return lineErrorsText(line.link().lineErrors(), lineSettingsOf(settings)); },
          [this] { return plotting ? std::string(plotting->session.hint()) : std::string(); }),
      window([this] { showWindowNotice("The display is lost; the page stays in memory."); },
             [this] { showWindowNotice(""); }) {
    loop.watch(&window);
    line.watchIn(loop);
}

PlotterApp::~PlotterApp() = default;

int PlotterApp::run() {
    if (!console.openConsole()) {
        std::fputs("plotanix: standard input and output must be a terminal (or use --unattended)\n",
                   stderr);
        return 1;
    }
    console.enablePositionedOutput();
    console.setConsoleTitle("Plotanix");
    loop.onResize([this] { redrawScreen(); });
    followWeb();
    while (true) {
        if (Ending end = startScreen()) return *end;
        std::vector<std::string> failure;
        if (!prepare(failure)) {
            if (imageErrorFlag) return shutdown();
            if (Ending end = showStartFailure(std::move(failure))) return *end;
            continue;
        }
        if (Ending end = plotCycle()) return *end;
        leavePlotting();
    }
}

// ---------------------------------------------------------------- start screen

// Returns only to start plotting, or with the ending chosen.
PlotterApp::Ending PlotterApp::startScreen() {
    while (true) {
        web.activity("At the start screen, not plotting");
        StartMenu menu(console, information());
        for (std::string& text : notices)
            menu.addNotice(std::move(text));
        notices.clear();
        if (!webNotice.empty()) menu.addNotice(webNotice);
        menu.show();
        const DrawnBy drawn(drawScreen, [&menu] { menu.show(); });
        StartChoice choosing;
        if (const int ending = loop.run(choosing)) return endOnSignal(ending);
        if (choosing.choice == StartMenu::Choice::startPlotting) return std::nullopt;
        if (choosing.choice == StartMenu::Choice::quit) return 0;
        if (Ending end = optionsScreen()) return end;
        followWeb();
    }
}

// Said on the start screen: the address (with its token, which whoever
// sees this screen may know), or why there is no web view.
void PlotterApp::followWeb() {
    std::string why;
    if (!web.follow(settings, why)) {
        webNotice = "The web view cannot start: " + printable(why);
    } else {
        webNotice = web.running() ? "Web view: " + web.url() : "";
    }
    loop.watch(web.source());
    web.line(describeLineOf(settings).text());
}

// Under "Waiting...": where the computer is awaited and where its pages go.
std::vector<std::string> PlotterApp::lineAndFolder() const {
    return {"Line: " + describeLineOf(settings).text(),
            "Pages and PLOTTER.TXT go to " + printable(plotting->store.folder())};
}

// The line's short form before the port, whose long names may not fit.
std::string PlotterApp::information() const {
    const LineDescription described = describeLineOf(settings);
    std::string line = " on " + described.port + described.framingText();
    if (!described.bus.empty()) {
        line = described.framing.empty()
                   ? " on " + described.bus + " via " + described.port + described.framingText()
                   : " on " + described.bus + " (" + described.framing + ") via " + described.port;
    } else if (!described.framing.empty()) {
        line = " at " + described.framing + " on serial line " + described.port;
    }
    if (settings.model == PlotterModel::hp86b) return "HP 7470A plotter for the HP-86B" + line;
    if (settings.model == PlotterModel::pcl) return "PCL printer (DeskJet, LaserJet, ...)" + line;
    if (settings.model == PlotterModel::escp) return "Epson dot-matrix printer" + line;
    const char* paper = settings.paper == Paper::a4 ? "A4" : "letter";
    if (settings.model == PlotterModel::hpgl2)
        return std::string("HP-GL/2 plotter (") + paper + " paper)" + line;
    return std::string("HP 7470A plotter (real 7470A behaviour, ") + paper + " paper)" + line;
}

// Until Enter or Esc at its prompt; the start screen is then drawn anew. A
// value cut short by a closed terminal is not taken.
PlotterApp::Ending PlotterApp::optionsScreen() {
    OptionsScreen screen(console, settings, configPath,
                         [this](std::string_view key, const std::string& value) {
                             if (configPath.empty())
                                 return std::string("no home folder for the config file");
                             return saveSetting(configPath, key, value);
                         });
    screen.show();
    const DrawnBy drawn(drawScreen, [&screen] { screen.show(); });
    OptionsChoice choosing(screen);
    if (const int ending = loop.run(choosing)) return endOnSignal(ending);
    return std::nullopt;
}

// ---------------------------------------------------------------- preparation

bool PlotterApp::prepare(std::vector<std::string>& failure) {
    plotted = false;
    plotting = std::make_unique<PlotAssembly>(plotSetupOf(settings), line.link(), log, &status);
    if (!openLine(failure)) return false;
    // Stale input from before the operator was ready is not part of a plot.
    line.discardStaleInput();
    // A transcript that stops being written is said at once, on the last row.
    log.onTrouble([this](const LogFile::Trouble& trouble) {
        showLineNotice(LogFile::describe(trouble, LogFile::defaultName));
    });
    log.openLog(settings.dir + "/" + LogFile::defaultName);
    reportNoLog();
    imageErrorFlag = !plotting->preparePage();
    if (imageErrorFlag) return false;
    web.showPage(&plotting->session.page());
    printer.follow(settings.print);
    loop.watch(printer.source());
    plotting->store.onSaved([this](const PageStore::Saved& saved) {
        web.pageSaved(saved.name);
        printer.pageSaved(plotting->session, saved.name);
    });
    return true;
}

bool PlotterApp::openLine(std::vector<std::string>& failure) {
    const LineSettings lineSettings = lineSettingsOf(settings);
    const std::string device = devicePath(settings);
    line.useAdapter(gpibOf(settings));
    const bool network = isNetworkName(device);
    bool opened = line.open(device, lineSettings);
    if (opened) {
        // A host name's look-up and the adapter's set-up run in the loop;
        // their outcome is on the screen.
        UntilSetUp setUp(line);
        if (!setUp.done()) loop.run(setUp);
        opened = line.isOpen() || line.lost(); // not an open error when lost
    }
    if (opened) {
        if (network) {
            if (const NetLine* net = line.link().network())
                console.printLine(printable(networkOpened(*net, device)));
        } else {
            console.printLine("SerialPort " + printable(settings.port) + " opened with success");
            console.printLine("Speed is set to " + std::to_string(lineSettings.baud));
        }
        for (const std::string& notice : adapterLines)
            console.printLine(notice);
        return true;
    }
    // A host that is not listening yet is waited for, as a line that is lost.
    if (hostNotThereYet(device, line.openError())) {
        console.printLine(printable(device + ": " + openErrorReason(line.openError()) +
                                    "; connecting again by itself"));
        line.waitForDevice();
        return true;
    }
    if (network) {
        failure.push_back("Error, can't open the network line: " + printable(device) + ": " +
                          printable(openErrorReason(line.openError())));
        failure.push_back("Name another line with --port, PLOTANIX_PORT or on the options screen.");
        return false;
    }
    failure.push_back("Error, can't open the serial port: " + printable(settings.port));
    for (const std::string& reason : explainOpenError(device, line.openError()))
        failure.push_back(printable(reason));
    failure.push_back("Name another device with --port, PLOTANIX_PORT or on the options screen.");
    return false;
}

// The line could not be opened: why, then back to the start screen.
PlotterApp::Ending PlotterApp::showStartFailure(std::vector<std::string> lines) {
    plotting.reset();
    StartFailure failure(console, std::move(lines));
    failure.show();
    const DrawnBy drawn(drawScreen, [&failure] { failure.show(); });
    BackToStart back;
    if (const int ending = loop.run(back)) return endOnSignal(ending);
    return std::nullopt;
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

PlotterApp::Ending PlotterApp::plotCycle() {
    PlotSession& session = plotting->session;
    // "1" writes the page apart, at the page menu and at "Waiting...", so
    // the loop goes on answering.
    PageWriteThread writer(plotting->store.writer());
    const WatchedSource watched(loop, &writer);
    const PageWriteApart writeApart = [&writer](std::shared_ptr<const PageImage> page,
                                                const std::string& path, PageWritten written) {
        writer.start(std::move(page), path, [written](PageWriteThread::Outcome outcome) {
            written(outcome.written, outcome.error);
        });
    };
    while (true) {
        WaitingScreen screen(
            console, session, plotting->store,
            [this](const std::string& text) { showLineNotice(text); }, writeApart);
        const DrawnBy drawn(drawScreen, [this, &screen] {
            screen.show();
            for (const std::string& row : lineAndFolder())
                console.printLine(row);
            if (!adapterLines.empty()) console.printLine(adapterLines.front());
            reportNoLog();
        });
        drawScreen();
        if (line.lost()) showLineNotice(lostNotice);
        WaitForData waiting(screen);
        web.activity("Waiting for the computer");
        const int waited = loop.run(waiting);
        // At a signal, a page under way is written whole and marked.
        writer.finish();
        if (waited) return endOnSignal(waited);
        if (waiting.left()) return std::nullopt;
        // "The line ... is back" has served its purpose once plotting resumes.
        showLineNotice("");
        status.reset();
        plotted = true;
        drawScreen = [this] { showRunHeader(); };
        // The rows under "Waiting..." (the line, the folder) give way to the run's.
        drawScreen();
        const bool live = settings.live;
        web.activity("Plotting");
        PlotRun run(
            session, line, [this](Clock::time_point) { status.showHeld(); },
            [this, live, &session] {
                if (live) window.pageChanged();
                const RunResult counts = session.counts();
                web.pageChanged(counts.instructions, counts.ignored);
            });
        if (live) window.follow(session.page());
        const int ending = loop.run(run);
        // At a signal the model draws what it can in a moment; the
        // transcript has every byte.
        const RunResult result =
            run.end(ending ? std::optional(Clock::duration(PlotRun::endingBudget)) : std::nullopt);
        status.show(result.instructions, result.ignored);
        if (run.undrawn() > 0)
            showLineNotice(std::to_string(run.undrawn()) +
                           " bytes were left undrawn at the ending (the transcript has them): "
                           "plotanix-render " +
                           LogFile::defaultName + " draws them whole.");
        if (ending) return endOnSignal(ending);

        window.show(session.page());
        if (!window.isOpen() && !windowOffSaid) {
            windowOffSaid = true;
            showWindowNotice("The page window is off: " + printable(displayUnavailable()) + ".");
        }
        PageMenu menu(console, session, plotting->store, writeApart);
        menu.show();
        drawScreen = [this, &menu] {
            showRunHeader();
            menu.show();
        };
        PageChoice choosing(menu);
        web.activity("The plot has ended; the page menu is open");
        openMenu = &menu;
        const int closing = loop.run(choosing);
        // At a signal, a page under way is written whole and marked.
        writer.finish();
        openMenu = nullptr;
        // Live, the window stays with the page while the computer is awaited.
        if (!live || closing != 0 || choosing.next == PageMenu::Next::quit) window.close();
        if (closing) return endOnSignal(closing);
        if (choosing.next == PageMenu::Next::quit) return shutdown();
    }
}

// The rows a run shows: the status row under the header.
void PlotterApp::showRunHeader() {
    console.clearConsole();
    console.printLine("Plotter ON LINE");
    console.printLine("");
    status.redraw();
}

// Back to the start screen from the wait: the line closed, the transcript
// complete and closed (what it could not write is said on the start
// screen), the page given up.
void PlotterApp::leavePlotting() {
    window.close();
    line.keepQueuedBytes(loop, log);
    line.close();
    log.truncateLog();
    std::optional<LogFile::Trouble> unwritten = log.trouble();
    log.closeLog();
    if (unwritten) {
        unwritten->kind = LogFile::Trouble::Kind::unwritten;
        notices.push_back(LogFile::describe(*unwritten, LogFile::defaultName));
    }
    web.showPage(nullptr);
    plotting.reset();
    lineNotice.clear();
    windowNotice.clear();
    noticeRows = 0;
}

// ---------------------------------------------------------------- the line

void PlotterApp::lineLost() {
    showLineNotice(lostNotice);
    web.lineLost(true);
}

void PlotterApp::lineBack() {
    web.lineLost(false);
    if (!line.adapter()) return showLineNotice("The line to the computer is back.");
    showLineNotice(line.throughAdapter()
                       ? "The line to the computer is back; the adapter is set up again."
                       : "The line to the computer is back, but no adapter answered on it.");
}

void PlotterApp::lineNote(const std::string& text) {
    showLineNotice(printable(text));
}

// Said with the port's opening, and under "Waiting..." from then on.
void PlotterApp::adapterSetUp(const GpibSetUp& setUp) {
    adapterLines.clear();
    for (const std::string& notice : adapterNotice(setUp, *settings.gpib, settings.port))
        adapterLines.push_back(printable(notice));
    web.adapter(adapterLines);
}

void PlotterApp::showLineNotice(const std::string& text) {
    lineNotice = text;
    showNotices();
}

void PlotterApp::showWindowNotice(const std::string& text) {
    windowNotice = text;
    showNotices();
}

// The notices on the bottom rows of the screen, the window's above the
// line's, so that neither hides the other; clear of the rows the screens
// lay out (as many as they need, never the last cell, so that nothing
// scrolls); the rows earlier, longer notices took are blanked. The cursor
// goes back where it was.
void PlotterApp::showNotices() {
    const int row = console.cursorRow();
    const int column = console.cursorColumn();
    const int width = console.bufferWidth() - 1;
    const int height = console.bufferHeight();
    std::vector<std::string_view> pieces;
    for (const std::string* text : {&windowNotice, &lineNotice}) {
        if (text->empty()) continue;
        const std::vector<std::string_view> wrapped = wrapText(*text, 0, width);
        pieces.insert(pieces.end(), wrapped.begin(), wrapped.end());
    }
    // On a terminal too small for both, the last rows: the line's.
    if (static_cast<int>(pieces.size()) > height)
        pieces.erase(pieces.begin(), pieces.end() - std::max(height, 0));
    const int rows = static_cast<int>(pieces.size());
    for (int r = std::max(noticeRows, rows); r > 0; --r) {
        const int shown = rows - r; // counted from the notices' first row
        std::string piece = shown >= 0 ? std::string(pieces[static_cast<size_t>(shown)]) : "";
        piece.resize(static_cast<size_t>(std::max(width, 0)), ' ');
        console.moveCursor(0, height - r);
        console.printText(piece);
    }
    noticeRows = rows;
    console.moveCursor(column, row);
}

void PlotterApp::redrawScreen() {
    console.resize();
    noticeRows = 0;
    if (drawScreen) drawScreen();
    showNotices();
}

// ---------------------------------------------------------------- endings

// The operator's last Enter; a signal or a closed terminal ends it too.
// The program could not plot when the page could not be made: status 1.
int PlotterApp::shutdown() {
    log.truncateLog();
    std::optional<LogFile::Trouble> unwritten = log.trouble();
    log.closeLog();
    std::vector<std::string> lines = {""};
    if (unwritten) {
        unwritten->kind = LogFile::Trouble::Kind::unwritten;
        lines.push_back(LogFile::describe(*unwritten, LogFile::defaultName));
    }
    if (imageErrorFlag) lines.push_back("Error creating image!");
    lines.push_back("ENTER to quit...");
    for (const std::string& text : lines)
        console.printLine(text);
    const DrawnBy drawn(drawScreen, [this, lines] {
        for (const std::string& text : lines)
            console.printLine(text);
    });
    TypedLine enter(console);
    if (const int ending = loop.run(enter)) return 128 + ending;
    return imageErrorFlag ? 1 : 0;
}

// Hang-up, Ctrl+C or termination: whatever the line still holds goes into
// the transcript; the destructors release the rest and restore the terminal.
int PlotterApp::endOnSignal(int signalNumber) {
    line.keepQueuedBytes(loop, log);
    return 128 + signalNumber;
}

} // namespace plotanix
