// The program's one wait, in-process: descriptors, timeouts, and signals
// turned into a latched event.

#include "console/event_wait.h"

#include <chrono>
#include <csignal>
#include <gtest/gtest.h>
#include <unistd.h>

namespace plotanix {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct Pipe {
    Pipe() { EXPECT_EQ(pipe(fds), 0); }
    ~Pipe() {
        closeEnd(0);
        closeEnd(1);
    }
    void closeEnd(int end) {
        if (fds[end] >= 0) close(fds[end]);
        fds[end] = -1;
    }
    int fds[2] = {-1, -1};
};

TEST(EventWait, ReportsReadableAndHungUpDescriptorsAndTimesOut) {
    EventWait wait;
    Pipe withData;
    Pipe hungUp;
    Pipe quiet;
    ASSERT_EQ(write(withData.fds[1], "x", 1), 1);
    hungUp.closeEnd(1);

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
    orphan.closeEnd(0);
    EXPECT_EQ(write(orphan.fds[1], "x", 1), -1);
    EXPECT_EQ(errno, EPIPE);
}

} // namespace
} // namespace plotanix
