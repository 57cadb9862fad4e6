#include "unattended.h"

#include "adapter_notice.h"
#include "journal.h"
#include "line_description.h"
#include "line_errors.h"
#include "logfile/log_file.h"
#include "network_notice.h"
#include "output/plot_window.h"
#include "output/png_writer.h"
#include "session/capture.h"
#include "shell/output_queue.h"
#include "shell/plot_run.h"
#include "shell/plot_setup.h"
#include "shell/station.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <unistd.h>

namespace plotanix {

namespace {

// Whether standard output and error are systemd's journal, which stamps
// each line itself: set once as the program starts.
bool stdoutToJournal = false;
bool stderrToJournal = false;

// The journal's lines go through queues the loop writes from, so that a
// reader that stalls never holds the loop; before they exist (and after),
// straight out.
OutputQueue* journalOut = nullptr;
OutputQueue* journalErr = nullptr;

void say(std::FILE* to, bool toJournal, Priority priority, const std::string& text) {
    const std::string line = toJournal ? journalLine(text, priority) : journalLine(text);
    if (OutputQueue* queue = to == stdout ? journalOut : journalErr) return queue->line(line);
    std::fputs(line.c_str(), to);
    std::fflush(to);
}

void report(const std::string& text) {
    say(stdout, stdoutToJournal, Priority::info, text);
}

void reportError(const std::string& text) {
    say(stderr, stderrToJournal, Priority::error, "error: " + text);
}

std::chrono::milliseconds gapOf(double seconds) {
    if (!(seconds > 0)) return {};
    return std::chrono::milliseconds(std::llround(std::min(seconds, 1e6) * 1000));
}

std::string undrawnNote(uintmax_t bytes) {
    return std::to_string(bytes) + (bytes == 1 ? " byte was" : " bytes were") +
           " left undrawn at the ending (the transcript has them): plotanix-render " +
           LogFile::defaultName + " draws them whole";
}

// Errors the operator must mend; other failures to open (the device is not
// plugged in yet, another program holds it) are waited out.
bool lastingOpenError(int error) {
    return error == EACCES || error == EPERM || error == ENOTTY || error == unsupportedSpeed ||
           error == unsupportedFraming;
}

// The journal lines for what the capture does.
class JournalEvents : public CaptureEvents {
  public:
    explicit JournalEvents(const PageStore* store) : store_(store) {}
    void follow(const PageStore& store) { store_ = &store; }

    void runBegan(bool continuing) override {
        report(continuing ? "run began, continuing the page" : "run began");
    }
    void pageSaved(const PageStore::Saved& saved, RunResult totals) override {
        const bool copied = !saved.copyName.empty() && saved.copyError.empty();
        report("page saved: " + store_->pathOf(saved.name) +
               (copied ? " and " + store_->pathOf(saved.copyName) : "") + ", " +
               std::to_string(totals.instructions) + " instructions, " +
               std::to_string(totals.ignored) + " ignored");
        if (!saved.copyError.empty())
            reportError("cannot save the vector copy " + store_->pathOf(saved.copyName) + ": " +
                        saved.copyError);
    }
    void nothingDrawn(RunResult, const std::string& why) override {
        report("nothing drawn: " + (why.empty() ? "" : why + ": ") + "no page saved");
    }
    void saveFailed(const PageStore::Saved& attempt,
                    std::optional<std::chrono::milliseconds> retryIn) override {
        reportError("cannot save " + store_->pathOf(attempt.name) + ": " + attempt.error +
                    (retryIn ? "; the page is kept and tried again in " +
                                   secondsText(std::chrono::duration<double>(*retryIn).count())
                             : "; the page is lost"));
    }

  private:
    const PageStore* store_;
};

// The program as one activity of the loop, from the line's opening to the
// ending: the wait between runs (for the computer, for the save point and
// for the line errors' next report), the runs, and the ending. While a page
// is being written apart, the line waits: the next run would draw on the
// page that is cleared once it is saved.
class UnattendedApp : private StationEvents, public Activity {
  public:
    explicit UnattendedApp(const Settings& settings);
    int run();

    // Once the station's ending is over and its last lines said, the
    // journal's queues are given a moment to drain.
    bool done() const override {
        return state_ == State::ending && finished_ &&
               ((journalOut->empty() && journalErr->empty()) || Clock::now() >= drainUntil_);
    }
    bool readsLine() const override;
    void onLineData(Clock::time_point now) override;
    void onLineLost() override;
    std::optional<Clock::time_point> deadline() const override;
    void onTime(Clock::time_point now) override;
    bool takesEnding() const override { return true; }
    void onEnding(int signalNumber) override;
    void afterTurn(Clock::time_point now) override;

  private:
    enum class State { opening, waiting, plotting, writingLast, ending };

    bool prepare();
    bool startWeb();
    std::string folderName() const;
    bool openLineAtStart();
    bool opened();
    void beginRun();
    void runEnded(std::optional<Clock::duration> budget);
    void endNow(Clock::time_point now);
    void showWindow();
    void lineLost() override;
    void lineBack() override;
    void adapterSetUp(const GpibSetUp& setUp) override;
    void lineNote(const std::string& text) override;
    void printed(const std::string& said, bool failed) override;
    void displayLost() override { report("display lost: the pages are still saved"); }
    void displayBack() override { report("display back"); }
    void finish(Clock::time_point now);
    void sayHint();
    PageStore& store() { return station_.store(); }

    const Settings& settings_;
    std::string device_;
    bool lineSeen_ = false;
    std::string hintSaid_;
    bool offPaperSaid_ = false; // of the page the runs draw on
    bool windowOffSaid_ = false;
    size_t undrawn_ = 0; // of the run a signal ended, the bytes the model did not draw
    State state_ = State::opening;
    bool finished_ = false; // the last lines are said
    Clock::time_point drainUntil_{};
    int status_ = 1;
    static constexpr std::chrono::milliseconds drainBudget{300};
    bool openFailed_ = false;
    bool saved_ = true;      // the last page was saved (or there was none)
    uintmax_t keptFrom_ = 0; // the transcript's size when the line's last bytes began to be kept
    Station station_;
    JournalEvents events_;
    std::optional<Capture> capture_;
    LineErrorReport lineErrors_;
    std::optional<PlotRun> plot_;
};

UnattendedApp::UnattendedApp(const Settings& settings)
    : settings_(settings), device_(devicePath(settings)), station_(*this), events_(nullptr),
      lineErrors_([this] { return station_.line.link().lineErrors(); }, lineSettingsOf(settings),
                  report) {}

// Runs until a signal; between runs the only timed wake-ups are the save
// point and the search for a lost line. A signal in the middle of a run
// ends it as silence would.
int UnattendedApp::run() {
    if (!prepare() || !startWeb()) return 1;
    report(startedLine(settings_, folderName(), station_.web.url()));
    if (!station_.log.keptAs().empty())
        report("previous transcript kept: " + station_.log.keptAs());
    if (!openLineAtStart()) return 1;
    const WatchedSource out(station_.loop, journalOut);
    const WatchedSource err(station_.loop, journalErr);
    station_.loop.run(*this);
    if (openFailed_) return 1;
    return status_;
}

bool UnattendedApp::readsLine() const {
    switch (state_) {
    case State::opening:
        return true;
    case State::waiting:
        return !capture_->saving();
    case State::plotting:
        return plot_->readsLine();
    case State::writingLast:
        return false;
    case State::ending:
        return station_.ending.readsLine();
    }
    return false;
}

void UnattendedApp::onLineData(Clock::time_point now) {
    if (state_ == State::waiting) return beginRun();
    if (state_ == State::ending) {
        station_.ending.onLineData(now);
        if (!finished_ && station_.ending.done()) finish(now);
        return;
    }
    if (state_ != State::plotting) return;
    plot_->onLineData(now);
    if (plot_->done()) runEnded(std::nullopt);
}

void UnattendedApp::onLineLost() {
    if (state_ == State::ending) return station_.ending.onLineLost();
    if (state_ != State::plotting) return;
    plot_->onLineLost();
    runEnded(std::nullopt);
}

std::optional<Clock::time_point> UnattendedApp::deadline() const {
    switch (state_) {
    case State::waiting:
        // A count not yet said is due at once: any moment passed will do.
        return earlier(capture_->savePoint(), lineErrors_.due(Clock::time_point{}));
    case State::plotting:
        return plot_->deadline();
    case State::ending:
        if (finished_) return drainUntil_;
        // An ending already over is finished at once.
        return station_.ending.done() ? Clock::time_point{} : station_.ending.deadline();
    default:
        return std::nullopt;
    }
}

void UnattendedApp::onTime(Clock::time_point now) {
    if (state_ == State::waiting) {
        capture_->timePassed();
        lineErrors_.check(now);
    } else if (state_ == State::plotting) {
        plot_->onTime(now);
        if (plot_->done()) runEnded(std::nullopt);
    } else if (state_ == State::ending && !finished_) {
        station_.ending.onTime(now);
        if (station_.ending.done()) finish(now);
    }
}

// The line opened at the start once its name is looked up and its adapter
// set up; a page being written at the ending is waited for.
void UnattendedApp::afterTurn(Clock::time_point now) {
    if (state_ == State::opening && !station_.line.settingUp() && !station_.line.lookingUp()) {
        if (!opened()) {
            openFailed_ = true;
            station_.ending.begin(now, Clock::duration::zero(), false);
            state_ = State::ending;
            finished_ = true; // the error is said; nothing else is
            drainUntil_ = now + drainBudget;
            return;
        }
        state_ = State::waiting;
    }
    if (state_ == State::writingLast && !capture_->saving()) endNow(now);
    if (state_ == State::ending && !finished_ && station_.ending.done()) finish(now);
}

void UnattendedApp::beginRun() {
    if (!capture_->pageWaiting()) offPaperSaid_ = false; // a page of its own
    capture_->runBegins();
    station_.web.activity("Plotting");
    const bool live = settings_.window && settings_.live;
    plot_.emplace(
        station_.session(), station_.line,
        [this](Clock::time_point now) { lineErrors_.check(now); },
        [this, live] {
            if (live) station_.window.pageChanged();
            const RunResult counts = station_.session().counts();
            station_.web.pageChanged(counts.instructions, counts.ignored);
        });
    // Live, the window opens as the first run begins and follows the drawing.
    if (live) station_.window.follow(station_.session().page());
    state_ = State::plotting;
}

// At a signal the model draws what it can in a moment; the transcript has
// every byte.
void UnattendedApp::runEnded(std::optional<Clock::duration> budget) {
    capture_->runEnded(plot_->end(budget), plot_->lastByte());
    undrawn_ = plot_->undrawn();
    plot_.reset();
    sayHint();
    // Once a page: the runs that go on with it cut no less.
    if (const std::string note = pageNote(station_.session());
        !offPaperSaid_ && note.starts_with(offPaperNote)) {
        offPaperSaid_ = true;
        report(note);
    }
    if (settings_.window) showWindow();
    state_ = State::waiting;
    station_.web.activity("Waiting for the computer");
}

// The page of a run in progress is ended as silence would end it; once a
// page being written is whole, the last one is saved and the station ends.
void UnattendedApp::onEnding(int) {
    if (state_ == State::opening) {
        station_.ending.begin(Clock::now(), Clock::duration::zero(), false);
        state_ = State::ending;
        return;
    }
    if (state_ == State::plotting) runEnded(Clock::duration(PlotRun::endingBudget));
    state_ = State::writingLast;
    if (!capture_->saving()) endNow(Clock::now());
}

void UnattendedApp::endNow(Clock::time_point now) {
    saved_ = capture_->endRequested();
    // What the line still holds goes into the transcript, after the page's
    // markers: it was not drawn.
    station_.log.flushLog();
    std::error_code error;
    keptFrom_ = std::filesystem::file_size(store().pathOf(LogFile::defaultName), error);
    if (error) keptFrom_ = 0;
    station_.ending.begin(now, Station::endingBudget);
    state_ = State::ending;
}

// The page in its window; a window that cannot open is said once, with why.
void UnattendedApp::showWindow() {
    station_.window.show(station_.session().page());
    if (station_.window.isOpen() || windowOffSaid_) return;
    windowOffSaid_ = true;
    report("the page window is off: " + displayUnavailable());
}

std::string UnattendedApp::folderName() const {
    std::error_code error;
    const auto path = std::filesystem::absolute(settings_.dir, error);
    return error ? settings_.dir : path.lexically_normal().string();
}

bool UnattendedApp::prepare() {
    LogFile& log = station_.log;
    if (!station_.assemble(
            settings_, station_.line.link(), nullptr,
            [](const PageImage& page, const std::string& path) { return savePng(page, path); })) {
        reportError("cannot make the page image: not enough memory");
        return false;
    }
    const std::string transcript = store().pathOf(LogFile::defaultName);
    log.onTrouble([transcript](const LogFile::Trouble& trouble) {
        using Kind = LogFile::Trouble::Kind;
        const std::string text = LogFile::describe(trouble, transcript);
        if (trouble.kind == Kind::writtenAgain || trouble.kind == Kind::recreated) {
            report(text);
        } else {
            reportError(text);
        }
    });
    if (!log.openLog(store().pathOf(LogFile::defaultName))) {
        const int error = errno;
        // Rather than lose the earlier transcript, this run keeps none.
        if (log.keepFailed()) {
            reportError(log.lastError() + "; running without a transcript");
        } else {
            reportError(error == EWOULDBLOCK ? "cannot write the transcript " + transcript +
                                                   ": another Plotanix is using this folder"
                                             : "cannot write the transcript: " + log.lastError());
            return false;
        }
    }
    events_.follow(store());
    capture_.emplace(station_.session(), store(), events_, gapOf(settings_.pageGapSeconds));
    // A page is written apart from the loop, which goes on answering.
    capture_->writeApart([this](std::shared_ptr<const PageImage> page, const std::string& path) {
        station_.writeApart(std::move(page), path, [this](bool written, int error) {
            capture_->saveWritten(written, error);
        });
    });
    return true;
}

// The server's address (with its token) goes to the journal's first line:
// whoever reads the journal may see the pages.
bool UnattendedApp::startWeb() {
    std::string why;
    if (!station_.followWeb(settings_, why)) {
        reportError(why);
        return false;
    }
    if (!station_.web.running()) return true;
    station_.web.line(describeLineOf(settings_).text());
    station_.web.activity("Waiting for the computer");
    return true;
}

bool UnattendedApp::openLineAtStart() {
    LineWatch& line = station_.line;
    line.useAdapter(gpibOf(settings_));
    lineSeen_ = line.open(device_, lineSettingsOf(settings_));
    // A host name is looked up and an adapter set up in the loop.
    if (lineSeen_ && (line.settingUp() || line.lookingUp())) return true;
    state_ = State::waiting;
    return opened();
}

// Whether the line is open (or lost, which is no open error) once it is
// ready for data; if not, it is waited for, or the error is said.
bool UnattendedApp::opened() {
    LineWatch& line = station_.line;
    if (lineSeen_ && (line.isOpen() || line.lost())) {
        if (const NetLine* net = line.link().network()) lineNote(networkOpened(*net, device_));
        return true;
    }
    lineSeen_ = false;
    const std::string reason = openErrorReason(line.openError());
    if (lastingOpenError(line.openError())) {
        reportError("cannot open " + device_ + ": " + reason);
        return false;
    }
    report("waiting for " + device_ + " (" + reason + ")");
    station_.web.lineLost(true);
    line.waitForDevice();
    return true;
}

// In the journal's own form: "a computer connected from 127.0.0.1:40112".
void UnattendedApp::lineNote(const std::string& text) {
    std::string line = text;
    if (!line.empty())
        line[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(line[0])));
    if (line.ends_with('.')) line.pop_back();
    report(line);
}

// A failed print is an error; the page is saved all the same.
void UnattendedApp::printed(const std::string& said, bool failed) {
    if (failed) return reportError(said);
    report(said);
}

// The model's word on how it reads the computer's stream, once each: the
// remedy stays the same for the rest of the service's life, and a bound
// reached stays reached.
void UnattendedApp::sayHint() {
    const std::string_view hint = station_.session().hint();
    if (hint.empty() || hint == hintSaid_) return;
    hintSaid_ = hint;
    report(hintSaid_);
}

void UnattendedApp::lineLost() {
    report("line lost: " + device_);
    station_.web.lineLost(true);
}

// At every opening of the adapter's port.
void UnattendedApp::adapterSetUp(const GpibSetUp& setUp) {
    const std::vector<std::string> said = adapterNotice(setUp, *settings_.gpib, device_);
    for (const std::string& notice : said)
        report(notice);
    station_.web.adapter(said);
}

void UnattendedApp::lineBack() {
    report((lineSeen_ ? "line back: " : "line open: ") + device_);
    lineSeen_ = true;
    station_.web.lineLost(false);
}

// The ending is over: what the line held is in the transcript, undrawn too.
void UnattendedApp::finish(Clock::time_point now) {
    finished_ = true;
    drainUntil_ = now + drainBudget;
    const int signalNumber = SignalWatch::ending();
    const std::string transcript = store().pathOf(LogFile::defaultName);
    std::error_code error;
    const uintmax_t after = std::filesystem::file_size(transcript, error);
    const uintmax_t undrawn = undrawn_ + (error || after < keptFrom_ ? 0 : after - keptFrom_);
    if (undrawn > 0) report(undrawnNote(undrawn));
    const std::string dropped = droppedRepliesNote(station_.ending.repliesDropped());
    if (!dropped.empty()) report(dropped);
    const std::optional<LogFile::Trouble> unwritten = station_.closeTranscript();
    if (unwritten) reportError(LogFile::describe(*unwritten, transcript));
    const char* name = signalNumber != 0 ? sigabbrev_np(signalNumber) : nullptr;
    report(std::string("stopped on SIG") + (name != nullptr ? name : "?"));
    status_ = saved_ && !unwritten ? 0 : 1;
}

} // namespace

int runUnattended(const Settings& settings, const std::vector<std::string>& notices) {
    stdoutToJournal = isJournalStream(STDOUT_FILENO, settings.journalStream);
    stderrToJournal = isJournalStream(STDERR_FILENO, settings.journalStream);
    // What could not be used in the config file or the environment, before
    // the first event (escaped when they were read).
    for (const std::string& notice : notices)
        std::fprintf(stderr, "%splotanix: %s\n", stderrToJournal ? "<4>" : "", notice.c_str());
    OutputQueue out(STDOUT_FILENO), err(STDERR_FILENO);
    journalOut = &out;
    journalErr = &err;
    UnattendedApp app(settings);
    const int status = app.run();
    journalOut = journalErr = nullptr;
    return status;
}

} // namespace plotanix
