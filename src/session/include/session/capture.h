#pragma once
// Unattended capture: every plot saved as a page file with nobody at the
// keyboard. Runs go on one page until the line has stayed silent for the
// page gap after the last byte (and at least until the run has ended); the
// page is then saved (next free PLOTTER_nnnnn.PNG, then the SAVE PAGE and
// NEW PAGE markers, as the page menu's "1" and "2" write them) and cleared
// when the next plot starts. A page with nothing drawn on it (a host that
// only asked questions) is not saved.
// It owns no device and no clock: the program tells it when data is
// waiting, when time has passed and when to end, and asks it how long it
// may sleep.

#include "session/page_store.h"
#include "session/plot_session.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace plotanix {

// What the capture has to tell (the program turns it into journal lines).
class CaptureEvents {
  public:
    virtual ~CaptureEvents() = default;
    // continuing: the run goes on the page an earlier run drew on.
    virtual void runBegan(bool continuing) = 0;
    // The counts are the sums over every run on the page.
    virtual void pageSaved(const PageStore::Saved& saved, RunResult totals) = 0;
    // The gap is over and the page is blank: no file, no marker; the
    // plotter reads on as it was. why: the session's blankReason.
    virtual void nothingDrawn(RunResult totals, const std::string& why) = 0;
    // Once for each distinct reason (attempt.error) and not at every retry,
    // so a full disk does not flood the journal; retryIn: the page is kept
    // and saved again that much later (nullopt at the end of the program:
    // the page is lost).
    virtual void saveFailed(const PageStore::Saved& attempt,
                            std::optional<std::chrono::milliseconds> retryIn) = 0;
};

class Capture {
  public:
    using Clock = std::chrono::steady_clock;
    using TimeSource = std::function<Clock::time_point()>;

    Capture(PlotSession& session, PageStore& store, CaptureEvents& events,
            std::chrono::milliseconds pageGap, TimeSource now = Clock::now);

    // The computer is sending: a plot run begins; it has ended with these
    // counts.
    void runBegins();
    // lastByte: when the run's last byte came (none: the run's end).
    void runEnded(RunResult result, std::optional<Clock::time_point> lastByte = std::nullopt);
    // Saves the page once the gap after the last run is over. A failed save
    // is tried again after a second, then twice as long each time it fails
    // again up to a minute, and never sooner than the gap.
    void timePassed();
    // The next save point on the capture's clock, if a page waits.
    std::optional<Clock::time_point> savePoint() const;
    // The program ends: a page not yet saved is saved now. False when it
    // could not be (it is lost with the program).
    bool endRequested();

    bool pageWaiting() const { return pageWaiting_; }

    // From now on a page the gap saves is written apart (by another
    // thread), so that the caller goes on meanwhile: start is handed a
    // copy of the page and the path to write it to, and saveWritten is to
    // be called once the writing has ended. While it is being written
    // (saving) there is no save point, and no run may begin: the page is
    // cleared once it is saved. endRequested must come after saveWritten.
    using StartWrite =
        std::function<void(std::shared_ptr<const PageImage> page, const std::string& path)>;
    void writeApart(StartWrite start) { startWrite_ = std::move(start); }
    bool saving() const { return writing_ != nullptr; }
    void saveWritten(bool written, int error);

    static constexpr std::chrono::milliseconds firstRetry{1000};
    static constexpr std::chrono::milliseconds longestRetry{60000};

  private:
    bool savePage(bool retrying);
    bool saveEnded(const PageStore::Saved& saved, bool retrying);
    std::chrono::milliseconds retryDelay() const;

    PlotSession& session_;
    PageStore& store_;
    CaptureEvents& events_;
    std::chrono::milliseconds pageGap_;
    TimeSource now_;
    bool pageWaiting_ = false;
    int failures_ = 0;          // saves of this page that failed in a row
    std::string reportedError_; // the reason last told
    Clock::time_point retryAt_{};
    RunResult totals_;
    Clock::time_point savePoint_{};
    StartWrite startWrite_;
    std::shared_ptr<const PageImage> writing_; // the page being written apart
    PageStore::Saved begun_;                   // its name
};

} // namespace plotanix
