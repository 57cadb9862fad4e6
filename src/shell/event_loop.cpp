#include "shell/event_loop.h"

#include "console/screen.h"
#include "shell/signal_watch.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <poll.h>

namespace plotanix {

namespace {

// A terminal that stays readable but yields no key this many times in a
// row has gone.
constexpr int maxEmptyWakes = 100;

} // namespace

// The signals' self-pipe. A terminal that changed its size is drawn anew
// once, however many SIGWINCH came meanwhile.
class EventLoop::Signals : public PollSource {
  public:
    Signals(SignalWatch& watch, EventLoop& loop) : watch_(watch), loop_(loop) {}
    int descriptor() const override { return watch_.descriptor(); }
    std::optional<Clock::time_point> due() const override { return std::nullopt; }
    void service(Clock::time_point) override {
        const std::vector<int> taken = watch_.take();
        const auto came = [&](int signalNumber) {
            return std::find(taken.begin(), taken.end(), signalNumber) != taken.end();
        };
        if (came(SIGTSTP) && loop_.suspended_) loop_.suspended_();
        if (came(SIGWINCH) && loop_.resized_) loop_.resized_();
    }

  private:
    SignalWatch& watch_;
    EventLoop& loop_;
};

EventLoop::EventLoop(SignalWatch& signals) : signals_(std::make_unique<Signals>(signals, *this)) {
    watch(signals_.get());
}

EventLoop::~EventLoop() = default;

void EventLoop::watch(PollSource* source) {
    if (source != nullptr && std::find(sources_.begin(), sources_.end(), source) == sources_.end())
        sources_.push_back(source);
}

void EventLoop::unwatch(PollSource* source) {
    sources_.erase(std::remove(sources_.begin(), sources_.end(), source), sources_.end());
}

int EventLoop::run(Activity& activity, bool pastEnding) {
    Activity* const outer = std::exchange(activity_, &activity);
    ended_ = 0;
    // Whatever the reason the run ends for, the loop is left between runs.
    const auto result = [&](int code) {
        activity_ = outer;
        ended_ = 0;
        return code;
    };
    // An ending that has come: the run's end, or news for an activity that
    // takes it (once; the run then goes on past it).
    const auto stopping = [&] {
        const int ending = ended_ != 0 ? ended_ : pastEnding ? 0 : SignalWatch::ending();
        if (ending == 0) return false;
        if (!activity.takesEnding()) return true;
        ended_ = 0;
        pastEnding = true;
        activity.onEnding(ending);
        return false;
    };
    const auto watched = [this](PollSource* source) {
        return std::find(sources_.begin(), sources_.end(), source) != sources_.end();
    };
    std::vector<pollfd> fds;
    std::vector<std::optional<Clock::time_point>> due;
    while (true) {
        if (stopping()) return result(ended_ != 0 ? ended_ : SignalWatch::ending());
        // The sources as they were when the turn began: one may add or
        // remove another in its turn.
        const std::vector<PollSource*> sources = sources_;
        Clock::time_point now = Clock::now();
        for (PollSource* source : sources) {
            if (stopping() || activity.done()) break;
            if (watched(source)) source->beforeWait(now);
        }
        if (stopping()) continue;
        if (activity.done()) return result(0);

        fds.assign(sources.size(), pollfd{-1, 0, 0});
        due.assign(sources.size(), std::nullopt);
        std::optional<Clock::time_point> deadline = activity.deadline();
        for (size_t i = 0; i < sources.size(); ++i) {
            if (!watched(sources[i])) continue;
            fds[i] = {sources[i]->descriptor(), sources[i]->events(), 0};
            due[i] = sources[i]->due();
            deadline = earlier(deadline, due[i]);
        }
        if (::poll(fds.data(), fds.size(), pollTimeout(deadline)) < 0) {
            if (errno == EINTR) continue;
            return result(SIGHUP); // nothing can be waited for any more
        }
        now = Clock::now();

        for (size_t i = 0; i < sources.size() && !stopping(); ++i) {
            PollSource* const source = sources[i];
            if (!watched(source)) continue;
            // What poll() said belongs to the descriptor it was asked about:
            // one closed or replaced in an earlier turn says nothing now.
            const short revents = source->descriptor() == fds[i].fd ? fds[i].revents : 0;
            if (revents != 0 || (due[i] && now >= *due[i])) source->handle(revents, now);
        }
        if (stopping() || activity.done()) continue;
        activity.afterTurn(now);
        if (activity.done()) continue;
        const std::optional<Clock::time_point> at = activity.deadline();
        if (at && now >= *at) activity.onTime(now);
    }
}

KeySource::KeySource(EventLoop& loop, Keyboard& keyboard) : loop_(loop), keyboard_(keyboard) {
    loop_.watch(this);
}

KeySource::~KeySource() {
    loop_.unwatch(this);
}

bool KeySource::reading() const {
    const Activity* const activity = loop_.activity();
    return activity != nullptr && !activity->done() && activity->readsKeys();
}

int KeySource::descriptor() const {
    return reading() ? keyboard_.inputDescriptor() : -1;
}

void KeySource::discardKeys() {
    std::string key;
    while (keyboard_.nextKey(key)) {
    }
}

// The keys already waiting, one at a time, while the activity wants them.
bool KeySource::takeKeys(Activity& activity) {
    bool any = false;
    std::string key;
    while (!activity.done() && activity.readsKeys() && keyboard_.nextKey(key)) {
        any = true;
        if (activity.onKey(key)) discardKeys();
    }
    return any;
}

void KeySource::beforeWait(Clock::time_point) {
    if (reading()) takeKeys(*loop_.activity());
}

void KeySource::handle(short revents, Clock::time_point) {
    if ((revents & closedEvents) != 0) return loop_.end(SIGHUP);
    if (!reading()) return;
    emptyWakes_ = takeKeys(*loop_.activity()) ? 0 : emptyWakes_ + 1;
    if (emptyWakes_ > maxEmptyWakes) loop_.end(SIGHUP);
}

} // namespace plotanix
