#pragma once
// The adapter's exchanges on a port that waits, for the tests that talk to
// a simulated adapter step by step: each read waits until the exchange's
// next moment. The programs drive the same exchanges in their one loop.

#include "common/deadline.h"
#include "serial/gpib_acquire.h"
#include "serial/gpib_adapter.h"

#include <cerrno>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace plotanix {

// The adapter's serial side, as the set-up talks to it.
class AdapterPort {
  public:
    using Clock = std::chrono::steady_clock;
    virtual ~AdapterPort() = default;
    // Writes one line (the CR LF is added); false when the port failed.
    virtual bool writeLine(std::string_view line) = 0;
    // What the adapter sent, at most most bytes, waiting until until for
    // the first: empty when nothing came by then; nullopt when the port
    // failed or the wait was cut short (the program is to end).
    virtual std::optional<std::string> read(Clock::time_point until, size_t most) = 0;
    // The port itself failed (unplugged), rather than the wait cut short.
    virtual bool failed() const { return false; }
};

// The adapter's serial side on a descriptor: reads with a time-out that a
// readable interrupt descriptor (the signal wake-up) cuts short. On a line
// set up to mark bytes with errors (as the serial link sets it), the marks
// are taken out and a 0xFF is one byte again, as the link reads them.
class FdAdapterPort : public AdapterPort {
  public:
    FdAdapterPort(int fd, int interruptFd);
    bool writeLine(std::string_view line) override;
    std::optional<std::string> read(Clock::time_point until, size_t most) override;
    bool failed() const override { return failed_; }

  private:
    int fd_;
    int interruptFd_;
    bool failed_ = false;
    std::optional<MarkedInput> marks_;
};

inline GpibSetUp setUpGpibAdapterWith(AdapterPort& port, const SetUpCommands& commands);

// The set-up on a port that waits.
inline GpibSetUp setUpGpibAdapter(AdapterPort& port, const GpibSettings& settings) {
    return setUpGpibAdapterWith(
        port, [&](std::string_view version) { return gpibSetUpCommands(settings, version); });
}

// The same exchange on a port that waits: each read waits until the
// set-up's next moment, and a read that brings nothing is that moment.
inline GpibSetUp setUpGpibAdapterWith(AdapterPort& port, const SetUpCommands& commands) {
    AdapterSetUp setUp(commands, Clock::now());
    while (!setUp.done()) {
        for (const std::string& line : setUp.takeLines()) {
            if (!port.writeLine(line)) {
                setUp.stop();
                break;
            }
        }
        if (setUp.done()) break;
        const Clock::time_point until = *setUp.deadline();
        const std::optional<std::string> bytes = port.read(until, setUp.room());
        if (!bytes) { // the port failed, or the wait was cut short
            setUp.stop();
        } else if (bytes->empty()) {
            setUp.onTime(std::max(Clock::now(), until));
        } else {
            setUp.onBytes(*bytes, Clock::now());
        }
    }
    return setUp.result();
}

inline FdAdapterPort::FdAdapterPort(int fd, int interruptFd) : fd_(fd), interruptFd_(interruptFd) {
    termios tio{};
    if (::tcgetattr(fd, &tio) == 0 && (tio.c_iflag & PARMRK) != 0) marks_.emplace();
}

inline bool FdAdapterPort::writeLine(std::string_view line) {
    std::string bytes = std::string(line) + "\r\n";
    std::string_view rest = bytes;
    while (!rest.empty()) {
        const ssize_t n = ::write(fd_, rest.data(), rest.size());
        if (n > 0) {
            rest.remove_prefix(static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            failed_ = true;
            return false;
        }
        pollfd fds[2] = {{fd_, POLLOUT, 0}, {interruptFd_, POLLIN, 0}};
        const int ready = ::poll(fds, 2, 1000);
        if (ready < 0 && errno == EINTR) continue;
        if (ready > 0 && fds[1].revents != 0) return false;
        // A port that takes nothing for a second is as good as gone.
        if (ready <= 0 || (fds[0].revents & (POLLERR | POLLHUP)) != 0) {
            failed_ = true;
            return false;
        }
    }
    return true;
}

inline std::optional<std::string> FdAdapterPort::read(Clock::time_point until, size_t most) {
    for (;;) {
        pollfd fds[2] = {{fd_, POLLIN, 0}, {interruptFd_, POLLIN, 0}};
        const int ready = ::poll(fds, 2, msUntil(until));
        if (ready < 0 && errno == EINTR) continue;
        if (ready > 0 && fds[1].revents != 0) return std::nullopt;
        if (ready == 0) return std::string();
        std::string bytes(std::min<size_t>(most, 4096), '\0');
        const ssize_t n = ready < 0 ? -1 : ::read(fd_, bytes.data(), bytes.size());
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (n <= 0) { // hung up: the adapter is gone
            failed_ = true;
            return std::nullopt;
        }
        size_t kept = static_cast<size_t>(n);
        if (marks_) kept = marks_->decode(reinterpret_cast<uint8_t*>(bytes.data()), kept);
        // Nothing but marks: nothing came yet.
        if (kept == 0) continue;
        bytes.resize(kept);
        return bytes;
    }
}

inline AcquireResult acquirePlot(AdapterPort& port, const InstrumentRecipe& recipe,
                                 const AcquireOptions& options,
                                 const std::function<void(std::string_view)>& take) {
    AcquireExchange exchange(recipe, options, take, Clock::now());
    while (!exchange.done()) {
        for (const std::string& line : exchange.takeLines()) {
            if (!port.writeLine(line)) {
                exchange.stop(port.failed());
                break;
            }
        }
        if (exchange.done()) break;
        const Clock::time_point until = *exchange.deadline();
        const std::optional<std::string> bytes = port.read(until, exchange.room());
        if (!bytes) {
            exchange.stop(port.failed());
        } else if (bytes->empty()) {
            exchange.onTime(std::max(Clock::now(), until));
        } else {
            exchange.onBytes(*bytes, Clock::now());
        }
    }
    // The closing lines: a port that fails now has the plot already.
    for (const std::string& line : exchange.takeLines())
        if (!port.writeLine(line)) break;
    return exchange.result();
}

} // namespace plotanix
