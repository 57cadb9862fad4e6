#pragma once
// The one wait of the program: block in poll() until a key, a signal or any
// other descriptor the caller names is ready, or a timeout passes. Never
// spins. Hang-up, Ctrl+C, Ctrl+\ and termination (SIGHUP, SIGINT, SIGQUIT,
// SIGTERM) are turned into an event here: a tiny handler writes the signal
// number to a self-pipe, and the main flow sees it at its next wait (or a serial read
// cut short by the pipe) and ends the program itself, so the clean-up never
// races a log write or a serial read.

#include <vector>

namespace plotanix {

struct WaitResult {
    bool key = false;       // the keyboard has input
    bool keyClosed = false; // the keyboard hung up or failed: no key will ever come
    bool signal = false;    // a terminating signal is pending (see pendingSignal)
    bool timedOut = false;
    std::vector<int> ready; // the caller's descriptors that are readable (or hung up / in error)
};

class EventWait {
  public:
    // Installs the handlers for SIGHUP, SIGINT, SIGQUIT and SIGTERM (and ignores
    // SIGPIPE). Call once, early.
    bool installSignalHandlers();
    // The read end of the self-pipe: readable once a signal has arrived.
    int signalDescriptor() const;
    // The first terminating signal received, or 0. Latched: stays set.
    int pendingSignal();

    // keyFd: the keyboard (-1 for none). timeoutMs < 0 waits without limit.
    // Once a signal is pending, it returns at once with signal set.
    WaitResult waitForEvent(int keyFd, const std::vector<int>& extraFds, int timeoutMs);

  private:
    void drainSignalPipe();

    int latchedSignal_ = 0;
};

} // namespace plotanix
