#include "console/event_wait.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace plotanix {

namespace {

// The handler can reach nothing but this: the self-pipe's two ends.
int signalPipe[2] = {-1, -1};

extern "C" void onTerminatingSignal(int signalNumber) {
    const int savedErrno = errno;
    const auto byte = static_cast<unsigned char>(signalNumber);
    // A full pipe already holds a pending signal: losing this write is fine.
    [[maybe_unused]] const auto written = write(signalPipe[1], &byte, 1);
    errno = savedErrno;
}

bool createSignalPipe() {
    if (signalPipe[0] >= 0) return true;
    return pipe2(signalPipe, O_NONBLOCK | O_CLOEXEC) == 0;
}

bool catchSignal(int signalNumber) {
    struct sigaction action {};
    action.sa_handler = onTerminatingSignal;
    sigemptyset(&action.sa_mask);
    // Restart interrupted writes and reads: the main flow learns of the
    // signal from the pipe, not from an EINTR in the middle of a log write.
    action.sa_flags = SA_RESTART;
    return sigaction(signalNumber, &action, nullptr) == 0;
}

bool ignoreSignal(int signalNumber) {
    struct sigaction action {};
    action.sa_handler = SIG_IGN;
    sigemptyset(&action.sa_mask);
    return sigaction(signalNumber, &action, nullptr) == 0;
}

int remainingMs(std::chrono::steady_clock::time_point deadline) {
    // Rounded up: an interrupted wait never ends before its time.
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

constexpr short readyEvents = POLLIN | POLLHUP | POLLERR | POLLNVAL;

} // namespace

bool EventWait::installSignalHandlers() {
    if (!createSignalPipe()) return false;
    bool ok = ignoreSignal(SIGPIPE);
    for (const int signalNumber : {SIGHUP, SIGINT, SIGQUIT, SIGTERM})
        ok = catchSignal(signalNumber) && ok;
    return ok;
}

int EventWait::signalDescriptor() const {
    return signalPipe[0];
}

void EventWait::drainSignalPipe() {
    if (signalPipe[0] < 0) return;
    unsigned char bytes[64];
    ssize_t count = 0;
    while ((count = read(signalPipe[0], bytes, sizeof bytes)) > 0 ||
           (count < 0 && errno == EINTR)) {
        if (count > 0 && latchedSignal_ == 0) latchedSignal_ = bytes[0];
    }
}

int EventWait::pendingSignal() {
    drainSignalPipe();
    return latchedSignal_;
}

WaitResult EventWait::waitForEvent(int keyFd, const std::vector<int>& extraFds, int timeoutMs) {
    // Slots: 0 the keyboard, 1 the signal pipe, then the caller's descriptors.
    // A negative descriptor is skipped by poll().
    std::vector<pollfd> fds;
    fds.reserve(2 + extraFds.size());
    fds.push_back({keyFd, POLLIN, 0});
    fds.push_back({signalPipe[0], POLLIN, 0});
    for (const int fd : extraFds)
        fds.push_back({fd, POLLIN, 0});

    // A signal already latched must not leave the caller waiting.
    if (latchedSignal_ != 0) timeoutMs = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);

    int count = 0;
    int timeout = timeoutMs;
    while ((count = poll(fds.data(), fds.size(), timeout)) < 0 && errno == EINTR) {
        if (timeoutMs >= 0) timeout = remainingMs(deadline);
    }

    WaitResult result;
    if (count <= 0) {
        result.timedOut = count == 0 && latchedSignal_ == 0;
        result.signal = latchedSignal_ != 0;
        return result;
    }
    result.key = (fds[0].revents & readyEvents) != 0;
    result.keyClosed = (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
    if (fds[1].revents & readyEvents) drainSignalPipe();
    result.signal = latchedSignal_ != 0;
    for (std::size_t i = 2; i < fds.size(); ++i) {
        if (fds[i].revents & readyEvents) result.ready.push_back(fds[i].fd);
    }
    return result;
}

} // namespace plotanix
