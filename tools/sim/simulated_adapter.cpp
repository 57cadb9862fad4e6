#include "simulated_adapter.h"

#include <cerrno>
#include <charconv>
#include <poll.h>
#include <type_traits>
#include <unistd.h>

namespace plotanix::sim {

namespace {

constexpr char escape = 27;

// Every byte, waiting for room: the program at the other end reads on.
void writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n > 0) {
            bytes.remove_prefix(static_cast<size_t>(n));
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd out{fd, POLLOUT, 0};
            ::poll(&out, 1, 1000);
        } else {
            return;
        }
    }
}

} // namespace

void SimulatedAdapter::serviceHost() {
    char buffer[4096];
    for (;;) {
        pollfd in{usbFd_, POLLIN, 0};
        if (::poll(&in, 1, 0) <= 0 || (in.revents & POLLIN) == 0) return;
        const ssize_t n = ::read(usbFd_, buffer, sizeof buffer);
        if (n <= 0) return;
        for (ssize_t i = 0; i < n; ++i) {
            const char c = buffer[i];
            if (deaf()) continue;
            fromHost_.push_back(c);
            if (lineEscaped_) {
                line_.push_back(c);
                escaped_.push_back(true);
                lineEscaped_ = false;
            } else if (c == escape) {
                lineEscaped_ = true;
            } else if (c == '\r' || c == '\n') {
                // An empty line (the LF of a CR LF) is no line at all.
                if (!line_.empty()) {
                    const bool command = line_.starts_with("++") && !escaped_[0] && !escaped_[1];
                    takeLine(line_, command);
                }
                line_.clear();
                escaped_.clear();
            } else {
                line_.push_back(c);
                escaped_.push_back(false);
            }
        }
    }
}

void SimulatedAdapter::portEvents(short revents) {
    const bool hungUp = (revents & POLLHUP) != 0;
    if (hungUp_ && !hungUp && resetDelay_ > Clock::duration::zero()) restart(resetDelay_);
    hungUp_ = hungUp;
    if ((revents & POLLIN) != 0) serviceHost();
}

void SimulatedAdapter::takeLine(const std::string& line, bool isCommand) {
    // A reply the computer has not read yet takes everything after it, the
    // host's commands included, as more of itself.
    if (talkReady_) {
        talk_ += line;
        return;
    }
    if (isCommand) {
        command(line.substr(2));
    } else if (mode_ == 0 && !lon_) {
        talk_ = line;
        talkReady_ = true;
    }
}

void SimulatedAdapter::command(const std::string& text) {
    commands_.push_back("++" + text);
    const size_t space = text.find(' ');
    const std::string name = text.substr(0, space);
    const std::string arg = space == std::string::npos ? "" : text.substr(space + 1);
    int value = -1;
    if (!arg.empty()) std::from_chars(arg.data(), arg.data() + arg.size(), value);
    auto setOrTell = [&](auto& field, int low, int high) {
        if (arg.empty()) {
            answer(std::to_string(static_cast<int>(field)));
        } else if (value >= low && value <= high) {
            field = static_cast<std::remove_reference_t<decltype(field)>>(value);
        }
    };
    if (name == "ver") {
        answer(version_);
    } else if (name == "mode") {
        setOrTell(mode_, 0, 1);
        if (mode_ == 1) lon_ = false;
    } else if (name == "addr") {
        setOrTell(address_, 1, 30);
    } else if (name == "eoi") {
        setOrTell(eoi_, 0, 1);
    } else if (name == "eos") {
        setOrTell(eos_, 0, 3);
    } else if (name == "eot_enable") {
        setOrTell(eotEnable_, 0, 1);
    } else if (name == "lon" && mode_ == 0) {
        setOrTell(lon_, 0, 1);
    } else if (name == "savecfg") {
        saved_ = {mode_, address_, eoi_, eos_, eotEnable_};
        hasSaved_ = true;
        ++saves_;
    } else if (name == "rst") {
        restart();
    } else {
        answer("Unrecognized command");
    }
}

void SimulatedAdapter::answer(const std::string& text) {
    writeAll(usbFd_, text + "\r\n");
}

void SimulatedAdapter::restart(Clock::duration deafFor) {
    ++restarts_;
    deafUntil_ = Clock::now() + deafFor;
    const Settings settings = hasSaved_ ? saved_ : Settings{};
    mode_ = settings.mode;
    address_ = settings.address;
    eoi_ = settings.eoi;
    eos_ = settings.eos;
    eotEnable_ = settings.eotEnable;
    lon_ = false;
    talk_.clear();
    talkReady_ = false;
    line_.clear();
    escaped_.clear();
    lineEscaped_ = false;
}

bool SimulatedAdapter::computerSends(int address, std::string_view bytes) {
    if (deaf() || mode_ != 0 || (!lon_ && address != address_)) return false;
    writeAll(usbFd_, bytes);
    return true;
}

void SimulatedAdapter::commandBytes(std::string_view bytes) {
    if (!deaf() && mode_ == 0 && lon_) writeAll(usbFd_, bytes);
}

SimulatedAdapter::Talk SimulatedAdapter::computerReads(int address) {
    if (deaf() || mode_ != 0 || lon_ || address != address_ || !talkReady_) return {};
    Talk talk{talk_ + terminator(), eoi_};
    talk_.clear();
    talkReady_ = false;
    return talk;
}

std::string SimulatedAdapter::terminator() const {
    switch (eos_) {
    case 0:
        return "\r\n";
    case 1:
        return "\r";
    case 2:
        return "\n";
    default:
        return "";
    }
}

} // namespace plotanix::sim
