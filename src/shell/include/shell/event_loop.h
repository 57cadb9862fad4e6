#pragma once
// The one wait of the programs: a single poll() over the keyboard, the
// line, the window's connection, the signals and the timers, dispatching
// what comes to the activity of the moment (a menu, a typed line, the wait
// for the computer, a plot run). Activities are small state machines: they
// say what they wait for and take what comes; the loop never spins and
// never sleeps past anything an activity waits for. The plotter's replies
// are the loop's too: queued by the model, written whatever the activity
// when their time has come and the line takes them.

#include "common/deadline.h"
#include "common/poll_source.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace plotanix {

class Keyboard;
class LineWatch;
class PageWindow;
class SignalWatch;

class Activity {
  public:
    virtual ~Activity() = default;
    virtual bool done() const = 0;

    virtual bool readsKeys() const { return false; }
    // A key press; true when the keys typed after it are to be dropped.
    virtual bool onKey(std::string_view key) {
        (void)key;
        return false;
    }

    // The line is watched (and looked for while it is lost) only for an
    // activity that reads it.
    virtual bool readsLine() const { return false; }
    // The line has bytes waiting.
    virtual void onLineData() {}
    // The line hung up: it is closed and looked for again.
    virtual void onLineLost() {}

    // When the activity must act next, if it must: a moment that stays put
    // until it has passed (onTime is called once it has).
    virtual std::optional<Clock::time_point> deadline() const { return std::nullopt; }
    virtual void onTime(Clock::time_point now) { (void)now; }
};

class EventLoop {
  public:
    // The keyboard, the line and the window may be absent.
    EventLoop(SignalWatch& signals, Keyboard* keyboard, LineWatch* line, PageWindow* window)
        : signals_(signals), keyboard_(keyboard), line_(line), window_(window) {}

    // Waits and dispatches until the activity is done: 0. When the program
    // is to end first, the signal that ends it (SIGHUP when the keyboard's
    // terminal has gone). pastEnding: an activity of the ending itself,
    // run to its end whatever signal has come.
    int run(Activity& activity, bool pastEnding = false);
    // Drops the keys typed ahead.
    void discardKeys();
    // Called when SIGWINCH has come (the signal watch must catch it): the
    // terminal has a new size, and the screen of the moment is drawn anew.
    void onResize(std::function<void()> resized) { resized_ = std::move(resized); }
    // Sources waited on alongside the others, whatever the activity (the
    // web view's server, a print job): as many as are added (nullptr is
    // none), each taking its turn between the activity's when its
    // descriptor is readable or its moment has come.
    void watch(PollSource* source);
    void unwatch(PollSource* source);

  private:
    bool takeKeys(Activity& activity);
    void takeSignals();
    void lineReady(Activity& activity, short events, Clock::time_point now);

    SignalWatch& signals_;
    Keyboard* keyboard_;
    LineWatch* line_;
    PageWindow* window_;
    std::function<void()> resized_;
    std::vector<PollSource*> sources_;
    int emptyWakes_ = 0; // the keyboard readable, yet no key came
};

} // namespace plotanix
