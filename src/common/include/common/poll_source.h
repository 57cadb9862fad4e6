#pragma once
// A source the one wait watches besides the keyboard, the line and the
// window (the web view's server, a print job, --acquire's adapter): a
// descriptor to wait on, a moment it must act by, and the turn it takes
// when either has come.

#include "common/deadline.h"

#include <optional>
#include <poll.h>

namespace plotanix {

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
};

} // namespace plotanix
