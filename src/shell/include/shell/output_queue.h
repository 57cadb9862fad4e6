#pragma once
// The program's own output (the journal's lines on standard output and
// error) written without ever holding the loop: a stalled reader (a full
// pipe, `| less` at its prompt, a stopped `tee`) delays the lines, never
// the line to the computer. Lines wait here and go out when the descriptor
// can take them, in the loop's turn; past the bound they are dropped and
// counted, and the count is said once the reader has caught up.

#include "common/poll_source.h"

#include <cstddef>
#include <string>
#include <string_view>

namespace plotanix {

class OutputQueue : public PollSource {
  public:
    static constexpr size_t defaultBound = 1 << 20;
    // fd stays the caller's; it is made non-blocking while this lives.
    explicit OutputQueue(int fd, size_t bound = defaultBound);
    ~OutputQueue() override;
    OutputQueue(const OutputQueue&) = delete;
    OutputQueue& operator=(const OutputQueue&) = delete;

    // A whole line (with its newline): written now if the descriptor takes
    // it, else queued, or dropped and counted past the bound.
    void line(std::string_view text);
    bool empty() const { return queued_.empty() && dropped_ == 0; }
    size_t dropped() const { return dropped_; }

    int descriptor() const override { return empty() ? -1 : fd_; }
    short events() const override { return POLLOUT; }
    std::optional<Clock::time_point> due() const override { return std::nullopt; }
    void service(Clock::time_point now) override;
    // A last try without waiting (the program is ending): what is not taken
    // now is dropped.
    void flushNow();

  private:
    void writeQueued();

    int fd_;
    int flags_ = -1; // the descriptor's flags as they were
    size_t bound_;
    std::string queued_;
    size_t dropped_ = 0;
    bool failed_ = false; // the reader has gone: nothing more is written
};

} // namespace plotanix
