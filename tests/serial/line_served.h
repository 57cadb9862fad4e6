#pragma once
// The program's loop in small, for the tests of the line: bytes taken,
// replies written, the line's deadlines kept, without a wait in a read.

#include "common/deadline.h"
#include "serial/serial_link.h"

#include <algorithm>
#include <chrono>
#include <functional>
#include <poll.h>
#include <string>
#include <string_view>

namespace plotanix::testing {

// Bytes taken and handed on (answered by onBytes, as a model would),
// replies written and the line's deadlines kept, until done or the line is
// lost.
struct Served {
    std::string bytes;
    bool lost = false;
};
using OnBytes = std::function<void(SerialLink&, std::string_view)>;
inline Served serve(SerialLink& line, const std::function<bool(const Served&)>& done,
                    const OnBytes& onBytes = {},
                    std::chrono::milliseconds within = std::chrono::seconds(20)) {
    Served served;
    const auto deadline = Clock::now() + within;
    while (!done(served) && Clock::now() < deadline) {
        uint8_t chunk[4096];
        const int got = line.readAvailable(chunk);
        if (got < 0) {
            served.lost = true;
            break;
        }
        const std::string_view taken(reinterpret_cast<char*>(chunk), static_cast<size_t>(got));
        served.bytes += taken;
        if (got > 0 && onBytes) onBytes(line, taken);
        line.inputHandled();
        line.sendReplies(Clock::now());
        if (got > 0 || done(served)) continue;
        pollfd fds[2] = {{line.fileDescriptor(), POLLIN, 0},
                         {line.replyWaitsForRoom() ? line.replyDescriptor() : -1, POLLOUT, 0}};
        const int due = pollTimeout(line.replyDue());
        ::poll(fds, 2, due < 0 ? 1000 : std::min(due, 1000));
    }
    return served;
}

} // namespace plotanix::testing
