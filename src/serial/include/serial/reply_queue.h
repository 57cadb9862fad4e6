#pragma once
// The plotter's replies on their way to the computer: queued by the model,
// never written in its turn, and written by the loop when their time has
// come and the line takes them.

#include "common/deadline.h"
#include "serial/line.h"

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace plotanix {

class ReplyQueue {
  public:
    // A reply waits at most this long for the line to send what it holds: a
    // line that cannot send one byte in a second is held by the host, and
    // the driver keeps the reply's bytes until the host lets them go.
    static constexpr std::chrono::milliseconds drainLimit{1000};
    // Replies a host never reads are not kept without bound: past this many
    // bytes queued, a new reply is dropped whole.
    static constexpr size_t maxBytes = 64 * 1024;

    // The bytes queued next go once the line has sent what it holds.
    void waitDrained() { drainFirst_ = true; }
    // Bytes of the reply under way, to go delayMs after the bytes before
    // them (or after now). A reply is queued whole or not at all: true when
    // this one is the first dropped since the queue was last emptied.
    bool add(std::string_view bytes, int32_t delayMs, Clock::time_point now);
    // The reply under way is whole.
    void replyComplete() { replyStarted_ = false; }
    // Writes what may go now, without waiting: a piece goes once the line
    // has sent what it holds (when asked), its delay has passed since then,
    // and the line takes its bytes. 0, or why the line failed (the replies
    // are then dropped).
    int send(Line& line, Clock::time_point now);
    // When send has something to do at the earliest; none while nothing
    // waits for time (nothing queued, or waiting for room).
    std::optional<Clock::time_point> due() const;
    // A reply waits for the line to take bytes (poll for POLLOUT).
    bool waitsForRoom() const { return !pieces_.empty() && waitsForRoom_; }
    bool empty() const { return pieces_.empty(); }
    // Bytes queued and not yet taken by the line.
    size_t unsent() const { return pieces_.empty() ? 0 : bytes_ - pieces_.front().sent; }
    // Replies nobody will read (the line is gone) are dropped.
    void drop();

  private:
    // A reply's bytes as the model wrote them, with the line's terms for
    // sending them.
    struct Piece {
        std::string bytes;
        Clock::time_point queuedAt;
        int32_t delayMs = 0;
        bool afterDrain = false;
        size_t sent = 0;
        // Once the line had sent what it held (or gave up): the delay runs
        // from here.
        std::optional<Clock::time_point> clearAt;
        std::optional<Clock::time_point> drainUntil; // the drain's limit
    };

    std::deque<Piece> pieces_;
    size_t bytes_ = 0;
    bool drainFirst_ = false;   // the next piece waits for the line to drain
    bool waitsForRoom_ = false; // the line took no more of the head piece
    bool replyStarted_ = false; // bytes of a reply not yet complete queued
    bool dropping_ = false;
    bool droppedSaid_ = false;
    Clock::time_point lastSent_{};
    std::optional<Clock::time_point> nextLook_; // a drain looked at again
};

} // namespace plotanix
