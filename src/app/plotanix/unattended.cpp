#include "unattended.h"

#include "adapter_notice.h"
#include "journal.h"
#include "line_description.h"
#include "line_errors.h"
#include "logfile/log_file.h"
#include "network_notice.h"
#include "output/plot_window.h"
#include "output/png_writer.h"
#include "page_printer.h"
#include "plot_setup.h"
#include "session/capture.h"
#include "shell/event_loop.h"
#include "shell/line_watch.h"
#include "shell/page_window.h"
#include "shell/page_write_thread.h"
#include "shell/plot_run.h"
#include "shell/signal_watch.h"
#include "web_view.h"

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

// Flushed at once: standard output may be a pipe or the journal.
void say(std::FILE* to, bool toJournal, Priority priority, const std::string& text) {
    std::fputs((toJournal ? journalLine(text, priority) : journalLine(text)).c_str(), to);
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
    explicit JournalEvents(const PageStore& store) : store_(store) {}

    void runBegan(bool continuing) override {
        report(continuing ? "run began, continuing the page" : "run began");
    }
    void pageSaved(const PageStore::Saved& saved, RunResult totals) override {
        const bool copied = !saved.copyName.empty() && saved.copyError.empty();
        report("page saved: " + store_.pathOf(saved.name) +
               (copied ? " and " + store_.pathOf(saved.copyName) : "") + ", " +
               std::to_string(totals.instructions) + " instructions, " +
               std::to_string(totals.ignored) + " ignored");
        if (!saved.copyError.empty())
            reportError("cannot save the vector copy " + store_.pathOf(saved.copyName) + ": " +
                        saved.copyError);
    }
    void nothingDrawn(RunResult) override { report("nothing drawn: no page saved"); }
    void saveFailed(const PageStore::Saved& attempt,
                    std::optional<std::chrono::milliseconds> retryIn) override {
        reportError("cannot save " + store_.pathOf(attempt.name) + ": " + attempt.error +
                    (retryIn ? "; the page is kept and tried again in " +
                                   secondsText(std::chrono::duration<double>(*retryIn).count())
                             : "; the page is lost"));
    }

  private:
    const PageStore& store_;
};

// The wait between runs: for the computer, for the save point and for the
// line errors' next report. While a page is being written apart, the line
// waits: the next run would draw on the page that is cleared once it is
// saved. The write's end is the writer's own turn in the loop.
class GapWait : public Activity {
  public:
    GapWait(Capture& capture, LineErrorReport& errors) : capture_(capture), errors_(errors) {}
    bool done() const override { return sending_; }
    bool readsLine() const override { return !capture_.saving(); }
    void onLineData(Clock::time_point) override { sending_ = true; }
    std::optional<Clock::time_point> deadline() const override {
        // A count not yet said is due at once: any moment passed will do.
        return earlier(capture_.savePoint(), errors_.due(Clock::time_point{}));
    }
    void onTime(Clock::time_point now) override {
        capture_.timePassed();
        errors_.check(now);
    }

  private:
    Capture& capture_;
    LineErrorReport& errors_;
    bool sending_ = false;
};

class UnattendedApp : private LineWatch::Events {
  public:
    explicit UnattendedApp(const Settings& settings);
    int run();

  private:
    bool prepare();
    bool startWeb();
    std::string folderName() const;
    bool openLineAtStart();
    void showWindow();
    void lineLost() override;
    void lineBack() override;
    void adapterSetUp(const GpibSetUp& setUp) override;
    void lineNote(const std::string& text) override;
    int finish();
    void sayHint();

    const Settings& settings_;
    std::string device_;
    bool lineSeen_ = false;
    std::string hintSaid_;
    bool windowOffSaid_ = false;
    size_t undrawn_ = 0; // of the run a signal ended, the bytes the model did not draw
    SignalWatch signals_;
    LineWatch line_;
    LogFile log_;
    PlotAssembly plotting_;
    JournalEvents events_;
    Capture capture_;
    PageWriteThread writer_;
    LineErrorReport lineErrors_;
    PageWindow window_;
    EventLoop loop_;
    WebView web_;
    // Outcomes go to the journal: a failed print is an error, the page is saved.
    PagePrinter printer_{[](const std::string& said) {
        if (said.starts_with("not printed")) {
            reportError(said);
        } else {
            report(said);
        }
    }};
};

UnattendedApp::UnattendedApp(const Settings& settings)
    : settings_(settings), device_(devicePath(settings)), line_(this),
      plotting_(plotSetupOf(settings), line_.link(), log_, nullptr,
                [](const PageImage& page, const std::string& path) { return savePng(page, path); }),
      events_(plotting_.store),
      capture_(plotting_.session, plotting_.store, events_, gapOf(settings.pageGapSeconds)),
      writer_(plotting_.store.writer()),
      lineErrors_([this] { return line_.link().lineErrors(); }, lineSettingsOf(settings), report),
      window_([] { report("display lost: the pages are still saved"); },
              [] { report("display back"); }),
      loop_(signals_) {
    loop_.watch(&window_);
    line_.watchIn(loop_);
}

// Runs until a signal; between runs the only timed wake-ups are the save
// point and the search for a lost line. A signal in the middle of a run
// ends it as silence would.
int UnattendedApp::run() {
    if (!prepare() || !startWeb()) return 1;
    report(startedLine(settings_, folderName(), web_.url()));
    if (!log_.keptAs().empty()) report("previous transcript kept: " + log_.keptAs());
    if (!openLineAtStart()) return 1;
    while (true) {
        web_.activity("Waiting for the computer");
        GapWait waiting(capture_, lineErrors_);
        if (loop_.run(waiting) != 0) break;
        capture_.runBegins();
        web_.activity("Plotting");
        const bool live = settings_.window && settings_.live;
        PlotRun plot(
            plotting_.session, line_, [this](Clock::time_point now) { lineErrors_.check(now); },
            [this, live] {
                if (live) window_.pageChanged();
                const RunResult counts = plotting_.session.counts();
                web_.pageChanged(counts.instructions, counts.ignored);
            });
        // Live, the window opens as the first run begins and follows the drawing.
        if (live) window_.follow(plotting_.session.page());
        const int ending = loop_.run(plot);
        // At a signal the model draws what it can in a moment; the
        // transcript has every byte.
        capture_.runEnded(plot.end(ending != 0
                                       ? std::optional(Clock::duration(PlotRun::endingBudget))
                                       : std::nullopt),
                          plot.lastByte());
        undrawn_ = plot.undrawn();
        sayHint();
        if (settings_.window) showWindow();
        if (ending != 0) break;
    }
    return finish();
}

// The page in its window; a window that cannot open is said once, with why.
void UnattendedApp::showWindow() {
    window_.show(plotting_.session.page());
    if (window_.isOpen() || windowOffSaid_) return;
    windowOffSaid_ = true;
    report("the page window is off: " + displayUnavailable());
}

std::string UnattendedApp::folderName() const {
    std::error_code error;
    const auto path = std::filesystem::absolute(settings_.dir, error);
    return error ? settings_.dir : path.lexically_normal().string();
}

bool UnattendedApp::prepare() {
    // A page is written apart from the loop, which goes on answering.
    capture_.writeApart([this](std::shared_ptr<const PageImage> page, const std::string& path) {
        writer_.start(std::move(page), path, [this](PageWriteThread::Outcome outcome) {
            capture_.saveWritten(outcome.written, outcome.error);
        });
    });
    loop_.watch(&writer_);
    const std::string transcript = plotting_.store.pathOf(LogFile::defaultName);
    log_.onTrouble([transcript](const LogFile::Trouble& trouble) {
        using Kind = LogFile::Trouble::Kind;
        const std::string text = LogFile::describe(trouble, transcript);
        if (trouble.kind == Kind::writtenAgain || trouble.kind == Kind::recreated) {
            report(text);
        } else {
            reportError(text);
        }
    });
    if (!log_.openLog(transcript)) {
        const int error = errno;
        // Rather than lose the earlier transcript, this run keeps none.
        if (log_.keepFailed()) {
            reportError(log_.lastError() + "; running without a transcript");
        } else {
            reportError(error == EWOULDBLOCK ? "cannot write the transcript " + transcript +
                                                   ": another Plotanix is using this folder"
                                             : "cannot write the transcript: " + log_.lastError());
            return false;
        }
    }
    if (!plotting_.preparePage()) {
        reportError("cannot make the page image: not enough memory");
        return false;
    }
    printer_.follow(settings_.print);
    loop_.watch(printer_.source());
    plotting_.store.onSaved([this](const PageStore::Saved& saved) {
        web_.pageSaved(saved.name);
        printer_.pageSaved(plotting_.session, saved.name);
    });
    return true;
}

// The server's address (with its token) goes to the journal's first line:
// whoever reads the journal may see the pages.
bool UnattendedApp::startWeb() {
    std::string why;
    if (!web_.follow(settings_, why)) {
        reportError(why);
        return false;
    }
    if (!web_.running()) return true;
    loop_.watch(web_.source());
    web_.line(describeLineOf(settings_).text());
    web_.showPage(&plotting_.session.page());
    return true;
}

bool UnattendedApp::openLineAtStart() {
    line_.useAdapter(gpibOf(settings_));
    bool opened = line_.open(device_, lineSettingsOf(settings_));
    if (opened) {
        lineSeen_ = true;
        UntilSetUp setUp(line_);
        if (!setUp.done()) loop_.run(setUp);
        opened = lineSeen_ = line_.isOpen() || line_.lost(); // not an open error when lost
    }
    if (opened) {
        if (const NetLine* net = line_.link().network()) lineNote(networkOpened(*net, device_));
        return true;
    }
    const std::string reason = openErrorReason(line_.openError());
    if (lastingOpenError(line_.openError())) {
        reportError("cannot open " + device_ + ": " + reason);
        return false;
    }
    report("waiting for " + device_ + " (" + reason + ")");
    web_.lineLost(true);
    line_.waitForDevice();
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

// The model's word on how it reads the computer's stream, once each: the
// remedy stays the same for the rest of the service's life, and a bound
// reached stays reached.
void UnattendedApp::sayHint() {
    const std::string_view hint = plotting_.session.hint();
    if (hint.empty() || hint == hintSaid_) return;
    hintSaid_ = hint;
    report(hintSaid_);
}

void UnattendedApp::lineLost() {
    report("line lost: " + device_);
    web_.lineLost(true);
}

// At every opening of the adapter's port.
void UnattendedApp::adapterSetUp(const GpibSetUp& setUp) {
    const std::vector<std::string> said = adapterNotice(setUp, *settings_.gpib, device_);
    for (const std::string& notice : said)
        report(notice);
    web_.adapter(said);
}

void UnattendedApp::lineBack() {
    report((lineSeen_ ? "line back: " : "line open: ") + device_);
    lineSeen_ = true;
    web_.lineLost(false);
}

// The page of a run in progress has been ended as silence would end it; it
// is saved now, and what the line still holds goes into the transcript
// (after the page's markers: it was not drawn).
int UnattendedApp::finish() {
    const int signalNumber = SignalWatch::ending();
    writer_.finish();
    const bool saved = capture_.endRequested();
    // The last page's print is sent before the program says it stopped.
    printer_.finish();
    // What the line still held is in the transcript, undrawn too.
    const std::string transcript = plotting_.store.pathOf(LogFile::defaultName);
    log_.flushLog();
    std::error_code error;
    const uintmax_t before = std::filesystem::file_size(transcript, error);
    line_.keepQueuedBytes(loop_, log_);
    const uintmax_t after = error ? before : std::filesystem::file_size(transcript, error);
    const uintmax_t undrawn = undrawn_ + (error || after < before ? 0 : after - before);
    if (undrawn > 0) report(undrawnNote(undrawn));
    log_.truncateLog();
    std::optional<LogFile::Trouble> unwritten = log_.trouble();
    log_.closeLog();
    if (unwritten) {
        unwritten->kind = LogFile::Trouble::Kind::unwritten;
        reportError(LogFile::describe(*unwritten, plotting_.store.pathOf(LogFile::defaultName)));
    }
    const char* name = signalNumber != 0 ? sigabbrev_np(signalNumber) : nullptr;
    report(std::string("stopped on SIG") + (name != nullptr ? name : "?"));
    return saved && !unwritten ? 0 : 1;
}

} // namespace

int runUnattended(const Settings& settings, const std::vector<std::string>& notices) {
    stdoutToJournal = isJournalStream(STDOUT_FILENO, settings.journalStream);
    stderrToJournal = isJournalStream(STDERR_FILENO, settings.journalStream);
    // What could not be used in the config file or the environment, before
    // the first event (escaped when they were read).
    for (const std::string& notice : notices)
        std::fprintf(stderr, "%splotanix: %s\n", stderrToJournal ? "<4>" : "", notice.c_str());
    UnattendedApp app(settings);
    return app.run();
}

} // namespace plotanix
