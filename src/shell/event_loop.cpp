#include "shell/event_loop.h"

#include "console/screen.h"
#include "shell/line_watch.h"
#include "shell/page_window.h"
#include "shell/signal_watch.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <poll.h>

namespace plotanix {

namespace {

constexpr short closedEvents = POLLHUP | POLLERR | POLLNVAL;
// A terminal that stays readable but yields no key this many times in a
// row has gone.
constexpr int maxEmptyWakes = 100;

// The loop's own descriptors first, then the sources added.
enum Slot { signalSlot, keySlot, lineSlot, windowSlot, replySlot, slotCount };

} // namespace

void EventLoop::watch(PollSource* source) {
    if (source != nullptr && std::find(sources_.begin(), sources_.end(), source) == sources_.end())
        sources_.push_back(source);
}

void EventLoop::unwatch(PollSource* source) {
    sources_.erase(std::remove(sources_.begin(), sources_.end(), source), sources_.end());
}

void EventLoop::discardKeys() {
    std::string key;
    while (keyboard_ != nullptr && keyboard_->nextKey(key)) {
    }
}

// The keys already waiting, one at a time, while the activity wants them.
bool EventLoop::takeKeys(Activity& activity) {
    bool any = false;
    std::string key;
    while (!activity.done() && activity.readsKeys() && keyboard_->nextKey(key)) {
        any = true;
        if (activity.onKey(key)) discardKeys();
    }
    return any;
}

int EventLoop::run(Activity& activity, bool pastEnding) {
    while (true) {
        if (const int ending = SignalWatch::ending(); ending != 0 && !pastEnding) return ending;
        const bool keys = keyboard_ != nullptr && activity.readsKeys();
        if (keys) takeKeys(activity);
        // The window's events already read from its connection.
        if (window_ != nullptr) window_->service();
        if (activity.done()) return 0;

        const bool line = line_ != nullptr && activity.readsLine();
        // Bytes the line already holds (an adapter's set-up read them).
        if (line && line_->holdsBytes()) {
            activity.onLineData();
            continue;
        }
        // The replies go out whatever the activity, when their time has come.
        SerialLink* replies = line_ != nullptr ? &line_->link() : nullptr;
        if (replies != nullptr) replies->sendReplies(Clock::now());
        const bool room = replies != nullptr && replies->replyWaitsForRoom();
        std::vector<pollfd> fds(slotCount + sources_.size());
        fds[signalSlot] = {signals_.descriptor(), POLLIN, 0};
        fds[keySlot] = {keys ? keyboard_->inputDescriptor() : -1, POLLIN, 0};
        fds[lineSlot] = {line ? line_->descriptor() : -1, POLLIN, 0};
        fds[replySlot] = {room ? replies->replyDescriptor() : -1, POLLOUT, 0};
        fds[windowSlot] = {window_ != nullptr ? window_->descriptor() : -1, POLLIN, 0};
        std::optional<Clock::time_point> deadline =
            earlier(earlier(activity.deadline(), line ? line_->retryAt() : std::nullopt),
                    earlier(window_ != nullptr ? window_->frameDue() : std::nullopt,
                            replies != nullptr ? replies->replyDue() : std::nullopt));
        // The sources as they were when the wait began: one may add or
        // remove another in its turn.
        const std::vector<PollSource*> sources = sources_;
        std::vector<std::optional<Clock::time_point>> sourceDue(sources.size());
        for (size_t i = 0; i < sources.size(); ++i) {
            fds[slotCount + i] = {sources[i]->descriptor(), sources[i]->events(), 0};
            sourceDue[i] = sources[i]->due();
            deadline = earlier(deadline, sourceDue[i]);
        }
        if (::poll(fds.data(), fds.size(), pollTimeout(deadline)) < 0) {
            if (errno == EINTR) continue;
            return SIGHUP; // nothing can be waited for any more
        }
        const Clock::time_point now = Clock::now();

        if (fds[signalSlot].revents != 0) takeSignals();
        if (SignalWatch::ending() && !pastEnding) continue;
        const short keyEvents = fds[keySlot].revents;
        if ((keyEvents & closedEvents) != 0) return SIGHUP;
        if (keyEvents != 0) emptyWakes_ = takeKeys(activity) ? 0 : emptyWakes_ + 1;
        if (emptyWakes_ > maxEmptyWakes) return SIGHUP;
        if (fds[windowSlot].revents != 0) window_->service();
        if (window_ != nullptr) window_->frameIfDue(now);
        for (size_t i = 0; i < sources.size(); ++i) {
            const bool still =
                std::find(sources_.begin(), sources_.end(), sources[i]) != sources_.end();
            if (still &&
                (fds[slotCount + i].revents != 0 || (sourceDue[i] && now >= *sourceDue[i])))
                sources[i]->service(now);
        }
        if (fds[lineSlot].revents != 0 && !activity.done())
            lineReady(activity, fds[lineSlot].revents, now);
        // A line nobody reads that hangs up takes its replies with it; the
        // next activity that reads it sees the hang-up.
        if (!line && (fds[replySlot].revents & closedEvents) != 0) replies->dropReplies();
        if (line && !activity.done()) line_->retryIfDue(now);
        const std::optional<Clock::time_point> due = activity.deadline();
        if (due && now >= *due && !activity.done()) activity.onTime(now);
    }
}

// A terminal that changed its size is drawn anew once, however many
// SIGWINCH came meanwhile.
void EventLoop::takeSignals() {
    const std::vector<int> taken = signals_.take();
    const bool resized = std::find(taken.begin(), taken.end(), SIGWINCH) != taken.end();
    if (resized && resized_) resized_();
}

// Bytes to take, or a device that has hung up.
void EventLoop::lineReady(Activity& activity, short events, Clock::time_point now) {
    if (line_->settingUp()) { // the adapter's bytes, not the activity's
        line_->serviceSetUp(now);
        if (!line_->lost() && ((events & closedEvents) == 0 || line_->probe())) return;
        line_->lose();
        activity.onLineLost();
        return;
    }
    if (line_->bytesWaiting() > 0) {
        activity.onLineData();
        return;
    }
    if ((events & closedEvents) == 0 && line_->probe()) return;
    line_->lose();
    activity.onLineLost();
}

} // namespace plotanix
