#include "interactive.h"

#include "adapter_notice.h"
#include "common/printable.h"
#include "journal.h"
#include "line_description.h"
#include "line_errors.h"
#include "network_notice.h"
#include "output/plot_window.h"
#include "settings/config_file.h"
#include "shell/plot_setup.h"

#include <array>
#include <cstdio>
#include <filesystem>

namespace plotanix {

namespace {

constexpr int statusRow = 2;
const std::string lostNotice = "The line to the computer is lost; waiting for it to return.";

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
    show({instructions, ignored, lineErrors_(), hint_(), latest_.note});
}

void PlotterApp::ConsoleStatus::note(std::string text) {
    latest_.note = std::move(text);
    show(latest_);
}

void PlotterApp::ConsoleStatus::show(Shown what) {
    latest_ = shown_ = std::move(what);
    lastShown_ = std::chrono::steady_clock::now();
    console_.moveCursor(0, statusRow);
    for (const std::string& row : statusRows(shown_.instructions, shown_.ignored, shown_.lineErrors,
                                             shown_.hint, shown_.note))
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
      notices(std::move(startup.notices)),
      status(
          console,
          [this] {
              return lineErrorsText(station.line.link().lineErrors(), lineSettingsOf(settings));
          },
          [this] {
              return station.assembled() ? std::string(station.session().hint()) : std::string();
          }) {}

PlotterApp::~PlotterApp() = default;

int PlotterApp::run() {
    if (!console.openConsole()) {
        std::fputs("plotanix: standard input and output must be a terminal (or use --unattended)\n",
                   stderr);
        return 1;
    }
    console.enablePositionedOutput();
    console.setConsoleTitle("Plotanix");
    station.loop.onResize([this] { redrawScreen(); });
    station.loop.onSuspend([this] { console.suspend(); });
    // The screen's bytes go out as the terminal takes them.
    station.loop.watch(&console);
    followWeb();
    enter(ScreenState::start, Clock::now());
    station.loop.run(*this);
    if (station.ending.begun()) lastWord_ = droppedRepliesNote(station.ending.repliesDropped());
    return exitStatus_;
}

// ---------------------------------------------------------------- the states

void PlotterApp::go(ScreenEvent event, Clock::time_point now) {
    if (const std::optional<ScreenState> next = nextScreen(state_, event)) enter(*next, now);
}

void PlotterApp::enter(ScreenState state, Clock::time_point now) {
    state_ = state;
    switch (state) {
    case ScreenState::start:
        return enterStart();
    case ScreenState::options:
        return enterOptions();
    case ScreenState::opening:
        return enterOpening(now);
    case ScreenState::failure:
        station.disassemble();
        return failure_->show();
    case ScreenState::waiting:
        return enterWaiting();
    case ScreenState::plotting:
        return enterPlotting();
    case ScreenState::menu:
        return enterMenu();
    case ScreenState::leaving:
        return enterLeaving();
    case ScreenState::quitting:
        return enterQuitting();
    case ScreenState::ending:
        return enterEnding(now);
    case ScreenState::ended:
        return;
    }
}

void PlotterApp::enterStart() {
    station.web.activity("At the start screen, not plotting");
    startMenu_.emplace(console, information());
    startMenu_->addNotice("Pages saved as " + pageOutputs(settings));
    for (std::string& text : notices)
        startMenu_->addNotice(std::move(text));
    notices.clear();
    if (!webNotice.empty()) startMenu_->addNotice(webNotice);
    startMenu_->show();
}

// Until Enter or Esc at its prompt; the start screen is then drawn anew. A
// value cut short by a closed terminal is not taken.
void PlotterApp::enterOptions() {
    options_.emplace(console, settings, configPath,
                     [this](std::string_view key, const std::string& value) {
                         if (configPath.empty())
                             return std::string("no home folder for the config file");
                         return saveSetting(configPath, key, value);
                     });
    options_->show();
}

// The session, then the line: its host name looked up and its adapter set
// up in the loop, before the rest is prepared (lineOpened).
void PlotterApp::enterOpening(Clock::time_point now) {
    plotted = false;
    if (!station.assemble(settings, station.line.link(), &status)) {
        imageErrorFlag = true;
        return go(ScreenEvent::pageUnmade, now);
    }
    LineWatch& line = station.line;
    line.useAdapter(gpibOf(settings));
    if (line.open(devicePath(settings), lineSettingsOf(settings)) &&
        (line.settingUp() || line.lookingUp()))
        return;
    lineOpened(now);
}

void PlotterApp::lineOpened(Clock::time_point now) {
    std::vector<std::string> failure;
    if (!openLine(failure)) {
        failure_.emplace(console, std::move(failure));
        return go(ScreenEvent::lineFailed, now);
    }
    // Stale input from before the operator was ready is not part of a plot.
    station.line.discardStaleInput();
    // A transcript that stops being written is said at once, on the last row.
    LogFile& log = station.log;
    log.onTrouble([this](const LogFile::Trouble& trouble) {
        showLineNotice(LogFile::describe(trouble, LogFile::defaultName));
    });
    log.openLog(settings.dir + "/" + LogFile::defaultName);
    reportNoLog();
    go(ScreenEvent::lineReady, now);
}

// "1" writes the page apart, at the page menu and at "Waiting...", so the
// loop goes on answering.
void PlotterApp::enterWaiting() {
    const auto writeApart = [this](std::shared_ptr<const PageImage> page, const std::string& path,
                                   PageWritten written) {
        station.writeApart(std::move(page), path, std::move(written));
    };
    waiting_.emplace(
        console, station.session(), station.store(),
        [this](const std::string& text) { showLineNotice(text); }, writeApart);
    draw();
    if (station.line.lost()) showLineNotice(lostNotice);
    station.web.activity("Waiting for the computer");
}

void PlotterApp::enterPlotting() {
    // "The line ... is back" has served its purpose once plotting resumes.
    showLineNotice("");
    status.reset();
    plotted = true;
    // The rows under "Waiting..." (the line, the folder) give way to the run's.
    draw();
    station.web.activity("Plotting");
    const bool live = settings.live;
    run_.emplace(
        station.session(), station.line, [this](Clock::time_point) { status.showHeld(); },
        [this, live] {
            if (live) station.window.pageChanged();
            const RunResult counts = station.session().counts();
            station.web.pageChanged(counts.instructions, counts.ignored);
        });
    if (live) station.window.follow(station.session().page());
}

// The run is over (budget: at a signal, the moment the model may go on
// drawing); at a signal the transcript has every byte all the same.
void PlotterApp::runEnded(std::optional<Clock::duration> budget, Clock::time_point now) {
    const RunResult result = run_->end(budget);
    status.show(result.instructions, result.ignored);
    // Why a blank page is blank, or that the paper cut the drawing.
    if (!budget) status.note(pageNote(station.session()));
    if (run_->undrawn() > 0)
        showLineNotice(std::to_string(run_->undrawn()) +
                       " bytes were left undrawn at the ending (the transcript has them): "
                       "plotanix-render " +
                       LogFile::defaultName + " draws them whole.");
    run_.reset();
    if (budget) return;
    station.window.show(station.session().page());
    if (!station.window.isOpen() && !windowOffSaid) {
        windowOffSaid = true;
        showWindowNotice("The page window is off: " + printable(displayUnavailable()) + ".");
    }
    go(ScreenEvent::runEnded, now);
}

void PlotterApp::enterMenu() {
    const auto writeApart = [this](std::shared_ptr<const PageImage> page, const std::string& path,
                                   PageWritten written) {
        station.writeApart(std::move(page), path, std::move(written));
    };
    menu_.emplace(console, station.session(), station.store(), writeApart);
    menu_->show();
    station.web.activity("The plot has ended; the page menu is open");
}

// Back to the start screen from the wait: what the line holds goes into
// the transcript first.
void PlotterApp::enterLeaving() {
    station.window.close();
    keeping_.emplace(station.line, station.log);
}

// The line closed, the transcript complete and closed (what it could not
// write is said on the start screen), the page given up.
void PlotterApp::leavingDone(Clock::time_point now) {
    keeping_.reset();
    station.line.close();
    if (const std::optional<LogFile::Trouble> unwritten = station.closeTranscript())
        notices.push_back(LogFile::describe(*unwritten, LogFile::defaultName));
    waiting_.reset();
    menu_.reset();
    station.disassemble();
    lineNotice.clear();
    windowNotice.clear();
    noticeRows = 0;
    go(ScreenEvent::leftPlotting, now);
}

// The operator's last Enter; a signal or a closed terminal ends it too.
// The program could not plot when the page could not be made: status 1.
void PlotterApp::enterQuitting() {
    quitLines_ = {""};
    if (const std::optional<LogFile::Trouble> unwritten = station.closeTranscript())
        quitLines_.push_back(LogFile::describe(*unwritten, LogFile::defaultName));
    if (imageErrorFlag) quitLines_.push_back("Error creating image!");
    quitLines_.push_back("ENTER to quit...");
    for (const std::string& text : quitLines_)
        console.printLine(text);
    enter_.emplace(console);
}

// Hang-up, Ctrl+C or termination: whatever the line still holds goes into
// the transcript, a page being written is finished and the prints asked for
// handed over within the budget; the destructors release the rest and
// restore the terminal.
void PlotterApp::enterEnding(Clock::time_point now) {
    station.ending.begin(now, Station::endingBudget);
    if (station.ending.done()) go(ScreenEvent::endingDone, now);
}

void PlotterApp::onEnding(int signalNumber) {
    signal_ = signalNumber;
    const Clock::time_point now = Clock::now();
    // At a signal the model draws what it can in a moment.
    if (state_ == ScreenState::plotting) runEnded(Clock::duration(PlotRun::endingBudget), now);
    if (state_ == ScreenState::leaving) keeping_.reset();
    exitStatus_ = 128 + signalNumber;
    go(ScreenEvent::signal, now);
}

// ---------------------------------------------------------------- dispatch

bool PlotterApp::readsKeys() const {
    switch (state_) {
    case ScreenState::start:
    case ScreenState::options:
    case ScreenState::failure:
    case ScreenState::waiting:
    case ScreenState::menu:
        return true;
    case ScreenState::quitting:
        return !enter_->done();
    default:
        return false;
    }
}

bool PlotterApp::onKey(std::string_view key) {
    const Clock::time_point now = Clock::now();
    switch (state_) {
    case ScreenState::start:
        switch (StartMenu::onKey(key)) {
        case StartMenu::Choice::startPlotting:
            go(ScreenEvent::startChosen, now);
            return true;
        case StartMenu::Choice::options:
            go(ScreenEvent::optionsChosen, now);
            return true;
        case StartMenu::Choice::quit:
            exitStatus_ = 0;
            go(ScreenEvent::quitChosen, now);
            return true;
        case StartMenu::Choice::none:
            return false;
        }
        return false;
    case ScreenState::options: {
        const OptionsScreen::Next next = options_->onKey(key);
        if (next == OptionsScreen::Next::leave) {
            options_.reset();
            followWeb();
            go(ScreenEvent::optionsLeft, now);
            return true;
        }
        return next == OptionsScreen::Next::readLine; // the value starts with what is typed now
    }
    case ScreenState::failure:
        if (!StartFailure::backToStart(key)) return false;
        failure_.reset();
        go(ScreenEvent::backToStart, now);
        return true;
    case ScreenState::waiting:
        if (waiting_->onKey(key) != WaitingScreen::Next::leave) return false;
        go(ScreenEvent::waitLeft, now);
        return true;
    case ScreenState::menu:
        switch (menu_->onKey(key)) {
        case PageMenu::Next::stay:
            return true;
        case PageMenu::Next::plot:
            // Live, the window stays with the page while the computer is awaited.
            if (!settings.live) station.window.close();
            go(ScreenEvent::plotOn, now);
            return true;
        case PageMenu::Next::quit:
            station.window.close();
            go(ScreenEvent::quit, now);
            return true;
        }
        return true;
    case ScreenState::quitting:
        enter_->onKey(key);
        if (enter_->done()) {
            exitStatus_ = imageErrorFlag ? 1 : 0;
            go(ScreenEvent::enterTyped, now);
        }
        return false;
    default:
        return false;
    }
}

bool PlotterApp::readsLine() const {
    switch (state_) {
    case ScreenState::opening:
        return true;
    case ScreenState::waiting:
        // The page being saved is marked in the transcript before the next
        // run's bytes.
        return !waiting_->saving();
    case ScreenState::plotting:
        return run_->readsLine();
    case ScreenState::menu:
        return !menu_->saving();
    case ScreenState::leaving:
        return keeping_->readsLine();
    case ScreenState::ending:
        return station.ending.readsLine();
    default:
        return false;
    }
}

void PlotterApp::onLineData(Clock::time_point now) {
    switch (state_) {
    case ScreenState::waiting:
        return go(ScreenEvent::lineData, now);
    case ScreenState::plotting:
        run_->onLineData(now);
        if (run_->done()) runEnded(std::nullopt, now);
        return;
    case ScreenState::menu:
        // The computer sends again: the run starts at once, on the same page.
        if (!settings.live) station.window.close();
        return go(ScreenEvent::lineData, now);
    case ScreenState::leaving:
        return keeping_->onLineData(now);
    case ScreenState::ending:
        return station.ending.onLineData(now);
    default:
        return;
    }
}

void PlotterApp::onLineLost() {
    if (state_ == ScreenState::plotting) {
        run_->onLineLost();
        runEnded(std::nullopt, Clock::now());
    } else if (state_ == ScreenState::leaving) {
        keeping_->onLineLost();
    } else if (state_ == ScreenState::ending) {
        station.ending.onLineLost();
    }
}

std::optional<Clock::time_point> PlotterApp::deadline() const {
    switch (state_) {
    case ScreenState::plotting:
        return run_->deadline();
    case ScreenState::leaving:
        return keeping_->deadline();
    case ScreenState::ending:
        return station.ending.deadline();
    default:
        return std::nullopt;
    }
}

void PlotterApp::onTime(Clock::time_point now) {
    if (state_ == ScreenState::plotting) {
        run_->onTime(now);
        if (run_->done()) runEnded(std::nullopt, now);
    } else if (state_ == ScreenState::leaving) {
        keeping_->onTime(now);
    } else if (state_ == ScreenState::ending) {
        station.ending.onTime(now);
    }
    afterTurn(now);
}

// What the sources' turns have changed: the line set up, the transcript's
// last bytes kept (and no page file still being written for the screens
// about to go), the station's ending over.
void PlotterApp::afterTurn(Clock::time_point now) {
    if (state_ == ScreenState::opening && !station.line.settingUp() && !station.line.lookingUp())
        return lineOpened(now);
    if (state_ == ScreenState::leaving && keeping_->done() &&
        station.work.pending(BackgroundWork::Lane::pages) == 0)
        return leavingDone(now);
    if (state_ == ScreenState::ending && station.ending.done()) go(ScreenEvent::endingDone, now);
}

// The screen of the moment on a clear terminal, as it stands.
void PlotterApp::draw() {
    switch (state_) {
    case ScreenState::start:
        return startMenu_->show();
    case ScreenState::options:
        return options_->show();
    case ScreenState::failure:
        return failure_->show();
    case ScreenState::waiting:
        waiting_->show();
        for (const std::string& row : lineAndFolder())
            console.printLine(row);
        if (!adapterLines.empty()) console.printLine(adapterLines.front());
        return reportNoLog();
    case ScreenState::plotting:
        return showRunHeader();
    case ScreenState::menu:
        showRunHeader();
        return menu_->show();
    case ScreenState::quitting:
        for (const std::string& text : quitLines_)
            console.printLine(text);
        return;
    default:
        return;
    }
}

// Said on the start screen: the address (with its token, which whoever
// sees this screen may know), or why there is no web view.
void PlotterApp::followWeb() {
    std::string why;
    if (!station.followWeb(settings, why)) {
        webNotice = "The web view cannot start: " + printable(why);
    } else {
        webNotice = station.web.running() ? "Web view: " + station.web.url() : "";
    }
    station.web.line(describeLineOf(settings).text());
}

// Under "Waiting...": where the computer is awaited and where its pages go.
std::vector<std::string> PlotterApp::lineAndFolder() const {
    return {"Line: " + describeLineOf(settings).text(),
            "Pages and PLOTTER.TXT go to " + printable(station.store().folder())};
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
    if (settings.model == PlotterModel::automatic)
        return "HP 7470A plotter for the HP-86B, or the model the stream shows" + line;
    const char* paper = settings.paper == Paper::a4 ? "A4" : "letter";
    if (settings.model == PlotterModel::hpgl2)
        return std::string("HP-GL/2 plotter (") + paper + " paper)" + line;
    return std::string("HP 7470A plotter (real 7470A behaviour, ") + paper + " paper)" + line;
}

// ---------------------------------------------------------------- preparation

bool PlotterApp::openLine(std::vector<std::string>& failure) {
    LineWatch& line = station.line;
    const LineSettings lineSettings = lineSettingsOf(settings);
    const std::string device = devicePath(settings);
    const bool network = isNetworkName(device);
    // A host name's look-up and the adapter's set-up have run in the loop
    // (the opening state); their outcome is on the screen.
    if (line.isOpen() || line.lost()) { // not an open error when lost
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

// A transcript that is not being kept is worth knowing at every wait; where
// the previous one went, until the first plot.
void PlotterApp::reportNoLog() {
    const LogFile& log = station.log;
    if (!log.isOpen()) console.printLine("Running without a log: " + log.lastError());
    if (const auto trouble = log.trouble())
        console.printLine(LogFile::describe(*trouble, LogFile::defaultName));
    if (!log.keptAs().empty() && !plotted) {
        const std::string name = std::filesystem::path(log.keptAs()).filename().string();
        console.printLine("The previous transcript is kept as " + name);
    }
}

// ---------------------------------------------------------------- plot runs

// The rows a run shows: the status row under the header.
void PlotterApp::showRunHeader() {
    console.clearConsole();
    console.printLine("Plotter ON LINE");
    console.printLine("");
    status.redraw();
}

// ---------------------------------------------------------------- the line

void PlotterApp::lineLost() {
    showLineNotice(lostNotice);
    station.web.lineLost(true);
}

void PlotterApp::lineBack() {
    station.web.lineLost(false);
    if (!station.line.adapter()) return showLineNotice("The line to the computer is back.");
    showLineNotice(station.line.throughAdapter()
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
    station.web.adapter(adapterLines);
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
    draw();
    showNotices();
}

// How each saved page's print went: an outcome row of the page menu while
// it is open, the notice row otherwise.
void PlotterApp::printed(const std::string& said, bool) {
    if (state_ == ScreenState::menu) return menu_->lateReply(printable(said));
    showLineNotice(printable(said));
}

} // namespace plotanix
