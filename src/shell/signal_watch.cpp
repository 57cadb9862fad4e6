#include "shell/signal_watch.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace plotanix {

namespace {

// All the handler can reach: the pipes' write ends and the first ending.
int signalPipe = -1;
int endingPipe = -1;
std::atomic<int> firstEnding = 0;
static_assert(std::atomic<int>::is_always_lock_free);

bool isTerminating(int signalNumber) {
    return std::find(std::begin(terminatingSignals), std::end(terminatingSignals), signalNumber) !=
           std::end(terminatingSignals);
}

extern "C" void onSignal(int signalNumber) {
    const int savedErrno = errno;
    const auto byte = static_cast<unsigned char>(signalNumber);
    // A full pipe already holds signals to take: losing this write is fine.
    [[maybe_unused]] auto written = ::write(signalPipe, &byte, 1);
    int none = 0;
    if (isTerminating(signalNumber) && firstEnding.compare_exchange_strong(none, signalNumber))
        written = ::write(endingPipe, &byte, 1);
    errno = savedErrno;
}

bool makePipe(UniqueFd (&ends)[2]) {
    int fds[2] = {-1, -1};
    if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) return false;
    ends[0].reset(fds[0]);
    ends[1].reset(fds[1]);
    return true;
}

} // namespace

SignalWatch::SignalWatch(std::initializer_list<int> others, BlockedCalls blocked) {
    if (!makePipe(pipe_) || !makePipe(endingPipe_)) return;
    signalPipe = pipe_[1].get();
    endingPipe = endingPipe_[1].get();
    firstEnding = 0;
    std::vector<int> caught(std::begin(terminatingSignals), std::end(terminatingSignals));
    caught.insert(caught.end(), others);
    ok_ = true;
    for (const int signalNumber : caught) {
        struct sigaction action {};
        action.sa_handler = onSignal;
        sigemptyset(&action.sa_mask);
        // Interrupted reads and writes are restarted: the flow learns of the
        // signal from the pipe, not from an EINTR in the middle of a write.
        action.sa_flags = SA_RESTART;
        if (blocked == BlockedCalls::cutShort && isTerminating(signalNumber))
            action.sa_flags = SA_RESETHAND;
        previous_.push_back({signalNumber, {}});
        ok_ = ::sigaction(signalNumber, &action, &previous_.back().second) == 0 && ok_;
    }
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    previous_.push_back({SIGPIPE, {}});
    ok_ = ::sigaction(SIGPIPE, &ignore, &previous_.back().second) == 0 && ok_;
}

SignalWatch::~SignalWatch() {
    for (const auto& [signalNumber, action] : previous_)
        ::sigaction(signalNumber, &action, nullptr);
    signalPipe = endingPipe = -1;
}

std::vector<int> SignalWatch::take() {
    std::vector<int> taken;
    unsigned char bytes[64];
    ssize_t count = 0;
    while ((count = ::read(pipe_[0].get(), bytes, sizeof bytes)) > 0 ||
           (count < 0 && errno == EINTR)) {
        for (ssize_t i = 0; i < count; ++i)
            taken.push_back(bytes[i]);
    }
    return taken;
}

int SignalWatch::ending() {
    return firstEnding;
}

} // namespace plotanix
