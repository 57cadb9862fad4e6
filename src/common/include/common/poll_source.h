#pragma once
// A source the one wait watches (the signals, the keyboard, the window, the
// line and its replies, the web view's server, a print job, --acquire's
// adapter): a descriptor to wait on, a moment it must act by, and the turn
// it takes when either has come. The loop hands it the time it read.

#include "common/deadline.h"

#include <optional>
#include <poll.h>

namespace plotanix {

// What poll() says of a descriptor that has hung up or failed.
inline constexpr short closedEvents = POLLHUP | POLLERR | POLLNVAL;

class PollSource {
  public:
    virtual ~PollSource() = default;
    // The descriptor to wait on for input, or -1.
    virtual int descriptor() const = 0;
    // What to wait for on it: input, or room to write too.
    virtual short events() const { return POLLIN; }
    // When it must take its turn even without input, if ever.
    virtual std::optional<Clock::time_point> due() const = 0;
    // Its turn: what the descriptor holds, and what is due by now.
    virtual void service(Clock::time_point now) = 0;
    // The same, with what poll() said of the descriptor (0 when only its
    // moment has come): for a source that must tell a hang-up from input.
    virtual void handle(short revents, Clock::time_point now) {
        (void)revents;
        service(now);
    }
    // Before each wait: what it has already taken in, which poll() would
    // not show (keys a library read ahead, a window's queued events,
    // replies whose time came during the turn), is dealt with now.
    virtual void beforeWait(Clock::time_point now) { (void)now; }
};

} // namespace plotanix
