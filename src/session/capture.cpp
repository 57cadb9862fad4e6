#include "session/capture.h"

#include "common/deadline.h"

#include <algorithm>

namespace plotanix {

Capture::Capture(PlotSession& session, PageStore& store, CaptureEvents& events,
                 std::chrono::milliseconds pageGap, TimeSource now)
    : session_(session), store_(store), events_(events), pageGap_(pageGap), now_(std::move(now)) {}

// Within the gap the computer only paused: the plot goes on where it was,
// as it would have without the pause.
void Capture::runBegins() {
    events_.runBegan(pageWaiting_);
}

void Capture::runEnded(RunResult result, std::optional<Clock::time_point> lastByte) {
    totals_.instructions += result.instructions;
    totals_.ignored += result.ignored;
    pageWaiting_ = true;
    // The gap is the host's silence, which began with the last byte; the
    // silence that ended the run is part of it, not added to it.
    const Clock::time_point now = now_();
    savePoint_ = std::max({lastByte.value_or(now) + pageGap_, now, retryAt_});
}

void Capture::timePassed() {
    if (pageWaiting_ && !saving() && now_() >= savePoint_) savePage(true);
}

std::optional<Capture::Clock::time_point> Capture::savePoint() const {
    if (!pageWaiting_ || saving()) return std::nullopt;
    return savePoint_;
}

bool Capture::endRequested() {
    if (saving()) return false; // saveWritten first
    return !pageWaiting_ || savePage(false);
}

bool Capture::savePage(bool retrying) {
    if (plotanix::nothingDrawn(session_.page())) {
        events_.nothingDrawn(totals_, session_.blankReason());
        pageWaiting_ = false;
        totals_ = {};
        return true;
    }
    if (startWrite_ && retrying) {
        begun_ = store_.beginSave();
        if (!begun_.error.empty()) return saveEnded(begun_, retrying);
        writing_ = std::make_shared<const PageImage>(session_.page());
        startWrite_(writing_, store_.pathOf(begun_.name));
        return false;
    }
    return saveEnded(store_.savePage(session_.page()), retrying);
}

void Capture::saveWritten(bool written, int error) {
    if (!writing_) return;
    const PageStore::Saved saved = store_.endSave(begun_, *writing_, written, error);
    writing_.reset();
    saveEnded(saved, true);
}

bool Capture::saveEnded(const PageStore::Saved& saved, bool retrying) {
    if (!saved.ok) {
        ++failures_;
        const std::chrono::milliseconds delay = retryDelay();
        retryAt_ = savePoint_ = now_() + delay;
        if (!retrying || saved.error != reportedError_)
            events_.saveFailed(saved, retrying ? std::optional(delay) : std::nullopt);
        reportedError_ = saved.error;
        return false;
    }
    events_.pageSaved(saved, totals_);
    session_.newPage();
    store_.markNewPage();
    pageWaiting_ = false;
    failures_ = 0;
    reportedError_.clear();
    retryAt_ = {};
    totals_ = {};
    return true;
}

// However short the gap, a disk that stays full is not tried in a loop.
std::chrono::milliseconds Capture::retryDelay() const {
    std::chrono::milliseconds backoff = firstRetry;
    for (int i = 1; i < failures_ && backoff < longestRetry; ++i)
        backoff *= 2;
    return std::max(pageGap_, std::min(backoff, longestRetry));
}

} // namespace plotanix
