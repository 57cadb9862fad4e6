#include "session/capture.h"

#include <algorithm>

namespace plotanix {

Capture::Capture(PlotSession& session, PageStore& store, CaptureEvents& events,
                 std::chrono::milliseconds pageGap, TimeSource now)
    : session_(session), store_(store), events_(events), pageGap_(pageGap), now_(std::move(now)) {}

void Capture::dataWaiting() {
    events_.runBegan(pageWaiting_);
    // Within the gap the computer only paused: the plot goes on where it
    // was, as it would have without the pause.
    const RunResult result = session_.run();
    totals_.instructions += result.instructions;
    totals_.ignored += result.ignored;
    pageWaiting_ = true;
    // The gap counts from the end of the run: the time it took is plotting.
    savePoint_ = now_() + pageGap_;
}

void Capture::timePassed() {
    if (pageWaiting_ && now_() >= savePoint_) savePage(true);
}

int Capture::msUntilSave() const {
    if (!pageWaiting_) return -1;
    // Rounded up, so a wait never ends just before the save point and spins.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(savePoint_ - now_());
    return static_cast<int>(std::clamp<int64_t>(left.count(), 0, 1'000'000'000));
}

bool Capture::endRequested() {
    return !pageWaiting_ || savePage(false);
}

bool Capture::savePage(bool retrying) {
    const PageStore::Saved saved = store_.savePage(session_.page());
    if (!saved.ok) {
        if (!failedBefore_ || !retrying) events_.saveFailed(saved, retrying);
        failedBefore_ = true;
        savePoint_ = now_() + pageGap_;
        return false;
    }
    events_.pageSaved(saved, totals_);
    session_.newPage();
    store_.markNewPage();
    pageWaiting_ = false;
    failedBefore_ = false;
    totals_ = {};
    return true;
}

} // namespace plotanix
