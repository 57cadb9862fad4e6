#include "simulated_adapter.h"

#include <cerrno>
#include <charconv>
#include <fcntl.h>
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

// The bus's bytes go out as fast as the USB side takes them, never blocking.
SimulatedAdapter::SimulatedAdapter(int usbFd, std::string version)
    : usbFd_(usbFd), version_(std::move(version)) {
    ::fcntl(usbFd_, F_SETFL, ::fcntl(usbFd_, F_GETFL) | O_NONBLOCK);
}

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
    tick();
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
    } else if (mode_ == 1) {
        // Data for the addressed instrument, with the adapter's terminator.
        if (SimulatedInstrument* listener = instrumentAt(address_))
            listener->hear(line + terminator());
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
    } else if (mode_ == 1 && name == "ifc") {
    } else if (mode_ == 1 && name == "auto") {
        setOrTell(auto_, 0, prologix() ? 1 : 3);
    } else if (mode_ == 1 && name == "read_tmo_ms") {
        setOrTell(readTimeoutMs_, prologix() ? 1 : 0, prologix() ? 3000 : 32000);
    } else if (mode_ == 1 && name == "read") {
        beginRead(arg);
    } else if (mode_ == 1 && (name == "loc" || name == "clr")) {
        if (SimulatedInstrument* instrument = instrumentAt(address_))
            name == "loc" ? instrument->goLocal() : instrument->clear();
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
    read_.reset();
    usbOut_.clear();
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

SimulatedInstrument* SimulatedAdapter::instrumentAt(int address) const {
    for (SimulatedInstrument* instrument : instruments_)
        if (instrument->address() == address) return instrument;
    return nullptr;
}

// "++read eoi" reads to EOI; a plain "++read" on a Prologix only to the
// time-out, on an AR488 to EOI with "++eoi 1" (its stop at CR LF, which
// the plotter never meets, is not simulated).
void SimulatedAdapter::beginRead(const std::string& arg) {
    read_ = Read{arg == "eoi" || (!prologix() && eoi_), Clock::now()};
}

void SimulatedAdapter::tick() {
    if (!read_) return;
    const auto now = Clock::now();
    // The bus's handshake holds the talker back while the USB side is full:
    // it is asked for more only once what it said has gone out.
    bool eoi = false;
    SimulatedInstrument* talker = instrumentAt(address_);
    if (talker != nullptr && usbOut_.empty()) {
        const SimulatedInstrument::Talk talk = talker->talk(16 * 1024);
        usbOut_ = talk.bytes;
        eoi = talk.eoi;
    }
    while (!usbOut_.empty()) {
        const ssize_t n = ::write(usbFd_, usbOut_.data(), usbOut_.size());
        if (n <= 0) break;
        usbOut_.erase(0, static_cast<size_t>(n));
        read_->lastByte = now;
    }
    if (eoi && read_->toEoi && usbOut_.empty()) {
        read_.reset();
        return;
    }
    if (now - read_->lastByte >= std::chrono::milliseconds(readTimeoutMs_)) read_.reset();
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
