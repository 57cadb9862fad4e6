// The program's one wait, in-process: descriptors, timeouts, signals turned
// into a latched event, and waits that signals interrupt.

#include "console/event_wait.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <gtest/gtest.h>
#include <pthread.h>
#include <thread>
#include <unistd.h>

namespace plotanix {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct Pipe {
    Pipe() { EXPECT_EQ(pipe(fds), 0); }
    ~Pipe() {
        closeRead();
        closeWrite();
    }
    void closeRead() {
        if (fds[0] >= 0) close(fds[0]);
        fds[0] = -1;
    }
    void closeWrite() {
        if (fds[1] >= 0) close(fds[1]);
        fds[1] = -1;
    }
    int fds[2] = {-1, -1};
};

TEST(EventWait, ReportsReadableAndHungUpDescriptorsAndTimesOut) {
    EventWait wait;
    Pipe withData;
    Pipe hungUp;
    Pipe quiet;
    ASSERT_EQ(write(withData.fds[1], "x", 1), 1);
    hungUp.closeWrite();

    auto result = wait.waitForEvent(-1, {withData.fds[0], hungUp.fds[0], quiet.fds[0]}, 5000);
    EXPECT_FALSE(result.timedOut);
    EXPECT_FALSE(result.key);
    EXPECT_FALSE(result.signal);
    EXPECT_EQ(result.ready, (std::vector<int>{withData.fds[0], hungUp.fds[0]}));

    // The keyboard slot reports readiness, and a hang-up as closed.
    result = wait.waitForEvent(withData.fds[0], {}, 0);
    EXPECT_TRUE(result.key);
    EXPECT_FALSE(result.keyClosed);
    result = wait.waitForEvent(hungUp.fds[0], {}, 0);
    EXPECT_TRUE(result.keyClosed);

    const auto start = Clock::now();
    result = wait.waitForEvent(-1, {quiet.fds[0]}, 50);
    EXPECT_TRUE(result.timedOut);
    EXPECT_TRUE(result.ready.empty());
    EXPECT_GE(Clock::now() - start, 50ms);
}

TEST(EventWait, SignalsBecomeALatchedEventAndSigpipeIsHarmless) {
    EventWait wait;
    ASSERT_TRUE(wait.installSignalHandlers());
    ASSERT_GE(wait.signalDescriptor(), 0);
    EXPECT_EQ(wait.pendingSignal(), 0);

    raise(SIGTERM); // the handler only writes to the pipe: the process lives on
    auto result = wait.waitForEvent(-1, {}, 5000);
    EXPECT_TRUE(result.signal);
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(wait.pendingSignal(), SIGTERM);

    // The first signal stays; later ones change nothing and a wait after
    // the pipe was drained still returns at once.
    raise(SIGINT);
    raise(SIGHUP);
    EXPECT_EQ(wait.pendingSignal(), SIGTERM);
    const auto start = Clock::now();
    result = wait.waitForEvent(-1, {}, -1);
    EXPECT_TRUE(result.signal);
    EXPECT_LT(Clock::now() - start, 1s);

    // Writing to a pipe nobody reads fails instead of killing the process.
    Pipe orphan;
    orphan.closeRead();
    EXPECT_EQ(write(orphan.fds[1], "x", 1), -1);
    EXPECT_EQ(errno, EPIPE);
}

extern "C" void ignoreInterrupt(int) {}

TEST(EventWait, InterruptedWaitKeepsItsTimeout) {
    // A signal without SA_RESTART makes poll() fail with EINTR.
    struct sigaction action {};
    action.sa_handler = ignoreInterrupt;
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &action, nullptr), 0);

    std::atomic<bool> done{false};
    const pthread_t waiter = pthread_self();
    std::thread interrupter([&] {
        while (!done) {
            pthread_kill(waiter, SIGUSR1);
            std::this_thread::sleep_for(10ms);
        }
    });
    Pipe quiet;
    EventWait wait;
    const auto start = Clock::now();
    const auto result = wait.waitForEvent(-1, {quiet.fds[0]}, 200);
    const auto elapsed = Clock::now() - start;
    done = true;
    interrupter.join();

    EXPECT_TRUE(result.timedOut);
    EXPECT_FALSE(result.signal);
    EXPECT_GE(elapsed, 200ms);
    EXPECT_LT(elapsed, 5s);
}

} // namespace
} // namespace plotanix
