#include "app/unattended.h"

#include "app/page_copies.h"
#include "app/queued_bytes.h"
#include "console/event_wait.h"
#include "logfile/log_file.h"
#include "logfile/transcript_format.h"
#include "output/desktops.h"
#include "output/plot_window.h"
#include "output/png_writer.h"
#include "page/label_font.h"
#include "session/capture.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>

namespace plotanix {

namespace {

constexpr int lineCheckMs = 1000; // how often a missing line is looked for
constexpr const char* noFreeName = "every page file name is taken";

// 2026-12-07T14:03:22+01:00: local time with its offset from UTC.
std::string isoTimestamp() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::array<char, 40> text{};
    std::strftime(text.data(), text.size(), "%Y-%m-%dT%H:%M:%S%z", &local);
    std::string stamp = text.data();
    if (stamp.size() > 2) stamp.insert(stamp.size() - 2, ":");
    return stamp;
}

// Flushed at once: standard output may be a pipe or the journal.
void say(std::FILE* to, const std::string& text) {
    std::fprintf(to, "%s %s\n", isoTimestamp().c_str(), text.c_str());
    std::fflush(to);
}

void report(const std::string& text) {
    say(stdout, text);
}

void reportError(const std::string& text) {
    say(stderr, "error: " + text);
}

std::chrono::milliseconds gapOf(double seconds) {
    if (!(seconds > 0)) return {};
    return std::chrono::milliseconds(std::llround(std::min(seconds, 1e6) * 1000));
}

std::string secondsText(double seconds) {
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "%g s", seconds);
    return text.data();
}

// Errors the operator must mend; other failures to open (the device is not
// plugged in yet, another program holds it) are waited out.
bool lastingOpenError(int error) {
    return error == EACCES || error == EPERM || error == ENOTTY || error == EINVAL;
}

// The journal lines for what the capture does.
class JournalEvents : public CaptureEvents {
  public:
    JournalEvents(const PageStore& store, const std::string& saveError, double gapSeconds)
        : store_(store), saveError_(saveError), gapSeconds_(gapSeconds) {}

    void runBegan(bool continuing) override {
        report(continuing ? "run began, continuing the page" : "run began");
    }
    void pageSaved(const PageStore::Saved& saved, RunResult totals) override {
        report("page saved: " + store_.pathOf(saved.name) + ", " +
               std::to_string(totals.instructions) + " instructions, " +
               std::to_string(totals.ignored) + " ignored");
        if (!saved.copyError.empty())
            reportError("cannot save the vector copy " + store_.pathOf(saved.copyName) + ": " +
                        saved.copyError);
    }
    void saveFailed(const PageStore::Saved& attempt, bool retrying) override {
        reportError("cannot save " + store_.pathOf(attempt.name) + ": " + saveError_ +
                    (retrying ? "; the page is kept and tried again in " + secondsText(gapSeconds_)
                              : "; the page is lost"));
    }

  private:
    const PageStore& store_;
    const std::string& saveError_;
    double gapSeconds_;
};

class UnattendedApp {
  public:
    explicit UnattendedApp(const UnattendedOptions& options);
    int run();

  private:
    bool prepare();
    std::string folderName() const;
    bool openLineAtStart();
    void captureStep();
    void plot();
    void showPage();
    int timeout() const;
    std::vector<int> descriptors() const;
    void watchLine(const WaitResult& result);
    void loseLine();
    void reopenLine();
    int finish();
    void keepQueuedBytes();

    UnattendedOptions options_;
    std::string device_;
    std::string saveError_ = noFreeName;
    bool lineLost_ = false;
    bool lineSeen_ = false;
    EventWait wait_;
    SerialLink serial_;
    LogFile log_;
    std::unique_ptr<PageFont> font_;
    PlotSession session_;
    PageStore store_;
    JournalEvents events_;
    Capture capture_;
    Desktops desktops_;
    PlotWindow window_;
};

UnattendedApp::UnattendedApp(const UnattendedOptions& options)
    : options_(options), device_(serialDevicePath(options.port)),
      session_(serial_, log_, nullptr, options.model, options.paper),
      store_(options.dir.empty() ? "." : options.dir, log_,
             [this](const PageImage& page, const std::string& path) {
                 errno = 0;
                 const bool saved = savePng(page, path);
                 // Until the writer is called again, a failure is the search for a name.
                 saveError_ = saved        ? noFreeName
                              : errno != 0 ? std::strerror(errno)
                                           : "the file could not be written";
                 return saved;
             }),
      events_(store_, saveError_, options.pageGapSeconds),
      capture_(session_, store_, events_, gapOf(options.pageGapSeconds)) {
    session_.keepDisplayList(options.vector != "off");
    copyPagesAs(options.vector, session_, store_);
}

int UnattendedApp::run() {
    wait_.installSignalHandlers();
    if (!prepare()) return 1;
    report("started: " + device_ + " at " + std::to_string(options_.line.baud) +
           " baud, pages in " + folderName() + ", page gap " +
           secondsText(options_.pageGapSeconds));
    if (!log_.keptAs().empty()) report("previous transcript kept: " + log_.keptAs());
    if (!openLineAtStart()) return 1;
    while (wait_.pendingSignal() == 0)
        captureStep();
    return finish();
}

std::string UnattendedApp::folderName() const {
    std::error_code error;
    const auto path = std::filesystem::absolute(options_.dir.empty() ? "." : options_.dir, error);
    return error ? options_.dir : path.lexically_normal().string();
}

bool UnattendedApp::prepare() {
    const std::string transcript = store_.pathOf(LogFile::defaultName);
    if (!log_.openLog(transcript)) {
        const int error = errno;
        // Rather than lose the earlier transcript, this run keeps none.
        if (log_.keepFailed()) {
            reportError(log_.lastError() + "; running without a transcript");
        } else {
            reportError("cannot write the transcript " + transcript + ": " +
                        (error == EWOULDBLOCK ? "another Plotanix is using this folder"
                                              : std::strerror(error)));
            return false;
        }
    }
    font_ = loadFont("Courier New", 12);
    session_.useFont(font_.get());
    if (!session_.createPage()) {
        reportError("cannot make the page image: not enough memory");
        return false;
    }
    return true;
}

bool UnattendedApp::openLineAtStart() {
    if (serial_.openSerialPort(options_.port, options_.line)) {
        serial_.setInterruptDescriptor(wait_.signalDescriptor());
        lineSeen_ = true;
        return true;
    }
    const std::string reason = std::strerror(serial_.openError());
    if (lastingOpenError(serial_.openError())) {
        reportError("cannot open " + device_ + ": " + reason);
        return false;
    }
    report("waiting for " + device_ + " (" + reason + ")");
    lineLost_ = true;
    return true;
}

// ---------------------------------------------------------------- the cycle

// One pass: a plot run if the computer is sending, otherwise one wait (the
// only timed wake-ups are the save point and the search for a lost line).
void UnattendedApp::captureStep() {
    if (!lineLost_ && serial_.serialInputWaiting() > 0) {
        plot();
        return;
    }
    const WaitResult result = wait_.waitForEvent(-1, descriptors(), timeout());
    window_.serviceEvents();
    watchLine(result);
    capture_.timePassed();
}

void UnattendedApp::plot() {
    capture_.dataWaiting();
    showPage();
    if (serial_.lineLost()) loseLine();
}

void UnattendedApp::showPage() {
    if (!options_.window) return;
    if (!window_.isOpen()) {
        desktops_.examineDesktops();
        constexpr int pw = PlotSession::pageWidth, ph = PlotSession::pageHeight;
        window_.openPlotWindow((desktops_.desktopWidth(0) - pw) / 2,
                               (desktops_.desktopHeight(0) - ph) / 2, pw, ph, "HP Plotter");
    }
    window_.setTopmost(true);
    window_.showImage(session_.page());
    window_.setTopmost(false);
}

int UnattendedApp::timeout() const {
    const int save = capture_.msUntilSave();
    if (!lineLost_) return save;
    return save < 0 ? lineCheckMs : std::min(save, lineCheckMs);
}

std::vector<int> UnattendedApp::descriptors() const {
    std::vector<int> fds;
    if (!lineLost_ && serial_.isOpen()) fds.push_back(serial_.fileDescriptor());
    if (window_.eventDescriptor() >= 0) fds.push_back(window_.eventDescriptor());
    return fds;
}

// ---------------------------------------------------------------- the line

void UnattendedApp::watchLine(const WaitResult& result) {
    if (lineLost_) {
        reopenLine();
        return;
    }
    const bool lineReady = std::find(result.ready.begin(), result.ready.end(),
                                     serial_.fileDescriptor()) != result.ready.end();
    // Ready with nothing to read: ask the device whether it hung up.
    if (lineReady && serial_.serialInputWaiting() == 0) serial_.probeLine();
    if (serial_.lineLost()) loseLine();
}

void UnattendedApp::loseLine() {
    serial_.closeSerialPort();
    lineLost_ = true;
    report("line lost: " + device_);
}

void UnattendedApp::reopenLine() {
    if (!serial_.openSerialPort(options_.port, options_.line)) return;
    serial_.setInterruptDescriptor(wait_.signalDescriptor());
    lineLost_ = false;
    report((lineSeen_ ? "line back: " : "line open: ") + device_);
    lineSeen_ = true;
}

// ---------------------------------------------------------------- the end

// A run in progress has already ended (the signal cuts the line's read
// short); its page is saved as silence would have saved it.
int UnattendedApp::finish() {
    const int signalNumber = wait_.pendingSignal();
    const bool saved = capture_.endRequested();
    keepQueuedBytes();
    log_.truncateLog();
    log_.closeLog();
    const char* name = signalNumber != 0 ? sigabbrev_np(signalNumber) : nullptr;
    report(std::string("stopped on SIG") + (name != nullptr ? name : "?"));
    return saved ? 0 : 1;
}

// What the line still holds goes into the transcript (after the page's
// markers: it was not drawn).
void UnattendedApp::keepQueuedBytes() {
    if (!lineLost_) plotanix::keepQueuedBytes(serial_, log_);
}

} // namespace

int runUnattended(const UnattendedOptions& options) {
    UnattendedApp app(options);
    return app.run();
}

} // namespace plotanix
