#pragma once
// The one way the programs take signals. A tiny handler writes each
// signal's number to a self-pipe, so the signal is seen at the next wait
// with everything else; nothing is done inside the handler, so the
// clean-up never races a transcript write or a read of the line. The first
// terminating signal (hang-up, Ctrl+C, Ctrl+\, termination) is also kept,
// and a second pipe becomes readable for good: a wait outside the loop (the
// tests' step-by-step adapter driver) polls it and is cut short.

#include "common/unique_fd.h"

#include <csignal>
#include <initializer_list>
#include <vector>

namespace plotanix {

inline constexpr int terminatingSignals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};

class SignalWatch {
  public:
    // What a terminating signal does to a call blocked when it comes. A
    // program whose waits poll the ending descriptor has the call restarted.
    // One that blocks in plain reads and writes (the renderer reading a pipe)
    // has it cut short (EINTR), and a second terminating signal of the same
    // kind ends it at once, should it still be stuck.
    enum class BlockedCalls { restarted, cutShort };

    // Catches the terminating signals and these others (SIGCHLD for a
    // program with a child, say); SIGPIPE is ignored. One watch at a time;
    // the signals' earlier actions come back with its destruction.
    explicit SignalWatch(std::initializer_list<int> others = {},
                         BlockedCalls blocked = BlockedCalls::restarted);
    ~SignalWatch();
    SignalWatch(const SignalWatch&) = delete;
    SignalWatch& operator=(const SignalWatch&) = delete;

    bool ok() const { return ok_; }
    // Readable while signals wait to be taken.
    int descriptor() const { return pipe_[0].get(); }
    // The signals that arrived since the last take, in order.
    std::vector<int> take();
    // The first terminating signal received, or 0.
    static int ending();
    // Readable from the first terminating signal on, for ever.
    int endingDescriptor() const { return endingPipe_[0].get(); }

  private:
    UniqueFd pipe_[2];
    UniqueFd endingPipe_[2];
    std::vector<std::pair<int, struct sigaction>> previous_;
    bool ok_ = false;
};

} // namespace plotanix
