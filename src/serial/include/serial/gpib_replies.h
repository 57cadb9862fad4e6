#pragma once
// The plotter's replies as a USB-GPIB adapter must be given them.

#include "serial/reply_queue.h"

#include <string>
#include <string_view>

namespace plotanix {

// A reply to the computer as the adapter must be given it: the reply's own
// line end taken off, CR, LF, ESC and '+' escaped, then CR LF, so the bus
// carries exactly the reply and the adapter's terminator (CR LF, with EOI on
// its last byte).
std::string gpibReplyLine(std::string_view reply);

// The plotter's replies through an adapter at an address, a layer over the
// reply queue: each reply gathered whole, then queued as its one line (the
// adapter puts a line on the bus as one message, and the computer reads one
// message a reply).
class GpibReplyFraming {
  public:
    explicit GpibReplyFraming(ReplyQueue& queue) : queue_(queue) {}
    void add(std::string_view bytes) { reply_ += bytes; }
    // The reply is whole: its line is queued. True when it is the first
    // dropped (see ReplyQueue::add).
    bool complete(Clock::time_point now);
    void drop() { reply_.clear(); }
    bool empty() const { return reply_.empty(); }
    size_t size() const { return reply_.size(); }

  private:
    ReplyQueue& queue_;
    std::string reply_; // the reply being written
};

} // namespace plotanix
