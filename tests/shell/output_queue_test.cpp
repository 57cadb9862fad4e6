// The program's own output through a queue the loop writes from: a reader
// that stalls delays the lines; past the bound they are dropped, and their
// count is written once the reader has caught up.

#include "shell/output_queue.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace plotanix {
namespace {

struct Pipe {
    Pipe() { EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0); }
    ~Pipe() {
        ::close(fds[0]);
        ::close(fds[1]);
    }
    std::string drain() {
        std::string got;
        const int flags = ::fcntl(fds[0], F_GETFL);
        ::fcntl(fds[0], F_SETFL, flags | O_NONBLOCK);
        char chunk[4096];
        for (ssize_t n; (n = ::read(fds[0], chunk, sizeof chunk)) > 0;)
            got.append(chunk, static_cast<size_t>(n));
        return got;
    }
    int fds[2];
};

TEST(OutputQueue, AStalledReaderDelaysLinesAndThoseOverTheBoundAreCounted) {
    Pipe pipe;
    const std::string filler(static_cast<size_t>(::fcntl(pipe.fds[1], F_GETPIPE_SZ)), '.');
    ASSERT_EQ(::write(pipe.fds[1], filler.data(), filler.size()), ssize_t(filler.size()))
        << "the reader is stalled: the pipe is full";
    OutputQueue out(pipe.fds[1], 100);
    std::string expected;
    for (int i = 10; i < 40; ++i) {
        const std::string line = "line " + std::to_string(i) + "\n";
        out.line(line);
        if (expected.size() + line.size() <= 100) expected += line;
    }
    EXPECT_EQ(out.descriptor(), pipe.fds[1]) << "queued lines are not waited for";
    EXPECT_EQ(out.dropped(), 18u) << "the bound of 100 bytes keeps 12 lines of 8";

    EXPECT_EQ(pipe.drain(), filler);
    out.service(Clock::now());
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(out.descriptor(), -1);
    EXPECT_EQ(pipe.drain(),
              expected + "18 lines were dropped here: the reader of this output did not keep up\n");
}

TEST(OutputQueue, AReaderThatHasGoneEndsTheWriting) {
    Pipe pipe;
    ::close(pipe.fds[0]);
    pipe.fds[0] = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const auto before = ::signal(SIGPIPE, SIG_IGN); // as the programs have it
    OutputQueue out(pipe.fds[1]);
    out.line("nobody reads this\n"); // EPIPE
    out.line("nor this\n");
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(out.descriptor(), -1);
    ::signal(SIGPIPE, before);
}

} // namespace
} // namespace plotanix
