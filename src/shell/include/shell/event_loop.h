#pragma once
// The one wait of the programs: a single poll() over every source watched
// (the signals, the keyboard, the window's connection, the line and its
// replies, the web view, a print job, a page being written), dispatching
// what comes to the sources and to the activity of the moment (a menu, a
// typed line, the wait for the computer, a plot run). Activities are small
// state machines: they say what they wait for and take what comes; the
// loop never spins and never sleeps past anything an activity or a source
// waits for. The loop reads the clock and hands its reading on.

#include "common/deadline.h"
#include "common/poll_source.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace plotanix {

class Keyboard;
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
    virtual void onLineData(Clock::time_point now) { (void)now; }
    // The line hung up: it is closed and looked for again.
    virtual void onLineLost() {}

    // When the activity must act next, if it must: a moment that stays put
    // until it has passed (onTime is called once it has).
    virtual std::optional<Clock::time_point> deadline() const { return std::nullopt; }
    virtual void onTime(Clock::time_point now) { (void)now; }

    // A program's one activity takes the ending itself: it is told once of
    // the signal that ends the program (SIGHUP for a terminal that has
    // gone), and its run goes on until it is done. Any other activity's run
    // ends at the signal.
    virtual bool takesEnding() const { return false; }
    virtual void onEnding(int signalNumber) { (void)signalNumber; }
    // After the sources' turns: state they changed (an adapter set up, work
    // handed back) is the activity's to act on.
    virtual void afterTurn(Clock::time_point now) { (void)now; }
};

class EventLoop {
  public:
    // The signals are the first source: a terminating one ends every run
    // but one of the ending itself.
    explicit EventLoop(SignalWatch& signals);
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // Waits and dispatches until the activity is done: 0. When the program
    // is to end first, the signal that ends it (SIGHUP when the keyboard's
    // terminal has gone), unless the activity takes the ending itself.
    // pastEnding: an activity of the ending itself, run to its end whatever
    // signal has come.
    int run(Activity& activity, bool pastEnding = false);
    // Called when SIGWINCH has come (the signal watch must catch it): the
    // terminal has a new size, and the screen of the moment is drawn anew.
    void onResize(std::function<void()> resized) { resized_ = std::move(resized); }
    // Called when SIGTSTP has come (Ctrl+Z; the signal watch must catch
    // it): the program gives the terminal back and stops until it goes on.
    void onSuspend(std::function<void()> suspended) { suspended_ = std::move(suspended); }
    // Sources waited on, whatever the activity: as many as are added
    // (nullptr is none), each taking its turn, in the order added, when its
    // descriptor is ready or its moment has come. A source may add or
    // remove another in its turn.
    void watch(PollSource* source);
    void unwatch(PollSource* source);

    // For the sources that serve the activity (the keys, the line): the
    // activity being run, or null between runs.
    Activity* activity() const { return activity_; }
    // A source's finding that ends the run under way with this result (the
    // keyboard's terminal has gone: SIGHUP).
    void end(int result) { ended_ = result; }

  private:
    class Signals;

    std::unique_ptr<Signals> signals_;
    std::function<void()> resized_;
    std::function<void()> suspended_;
    std::vector<PollSource*> sources_;
    Activity* activity_ = nullptr;
    int ended_ = 0;
};

// A source watched while this lives.
class WatchedSource {
  public:
    WatchedSource(EventLoop& loop, PollSource* source) : loop_(loop), source_(source) {
        loop_.watch(source_);
    }
    ~WatchedSource() { loop_.unwatch(source_); }
    WatchedSource(const WatchedSource&) = delete;
    WatchedSource& operator=(const WatchedSource&) = delete;

  private:
    EventLoop& loop_;
    PollSource* source_;
};

// The keyboard as a source of the loop: its keys go to the activity that
// reads them, one at a time; a terminal that hangs up, or stays readable
// without a key, ends the run with SIGHUP. Watched from its making on.
class KeySource : public PollSource {
  public:
    KeySource(EventLoop& loop, Keyboard& keyboard);
    ~KeySource() override;
    KeySource(const KeySource&) = delete;
    KeySource& operator=(const KeySource&) = delete;

    int descriptor() const override;
    std::optional<Clock::time_point> due() const override { return std::nullopt; }
    void service(Clock::time_point now) override { handle(POLLIN, now); }
    void handle(short revents, Clock::time_point now) override;
    // Keys already taken in from the terminal: poll() would not show them.
    void beforeWait(Clock::time_point now) override;

  private:
    bool reading() const;
    bool takeKeys(Activity& activity);
    void discardKeys();

    EventLoop& loop_;
    Keyboard& keyboard_;
    int emptyWakes_ = 0; // the keyboard readable, yet no key came
};

} // namespace plotanix
