#include "shell/line_watch.h"

#include "logfile/log_file.h"
#include "logfile/transcript_format.h"

#include <algorithm>
#include <array>

namespace plotanix {

bool LineWatch::open(const std::string& device, const LineSettings& settings) {
    device_ = device;
    settings_ = settings;
    lost_ = false;
    backDue_.reset();
    retryWait_ = retryInterval;
    return openDevice();
}

// Every open of the line, the first and each reopening, comes through here:
// whatever makes the line ready for data belongs after the open.
bool LineWatch::openDevice() {
    using Role = GpibSettings::Role;
    serial_.setReplyPath(!gpib_                            ? ReplyPath::direct
                         : gpib_->role == Role::listenOnly ? ReplyPath::none
                                                           : ReplyPath::adapterLines);
    serial_.setInterruptDescriptor(interruptFd_);
    serial_.onNetworkNote([this](const std::string& text) {
        if (events_ != nullptr) events_->lineNote(text);
    });
    if (!serial_.openSerialPort(device_, settings_)) return false;
    if (gpib_) setUpAdapter();
    return true;
}

// The adapter is asked from an empty line: what it held from before is
// stale. After its set-up, the bytes it read past the last answer are the
// computer's first; a port with no adapter behind it gets back every byte
// the set-up read, and is a plain line.
void LineWatch::setUpAdapter() {
    serial_.discardInput();
    FdAdapterPort port(serial_.fileDescriptor(), interruptFd_);
    GpibSettings settings = *gpib_;
    settings.save = settings.save && !saved_;
    adapter_ = setUpGpibAdapter(port, settings);
    if (adapter_->answered) {
        saved_ = saved_ || settings.save;
        serial_.unread(adapter_->busData + port.takeLeftover());
    } else {
        serial_.setReplyPath(ReplyPath::direct);
        serial_.unread(port.takeReceived());
    }
    if (events_ != nullptr) events_->adapterSetUp(*adapter_);
}

void LineWatch::discardStaleInput() {
    if (throughAdapter()) return;
    std::array<uint8_t, 256> stale{};
    while (bytesWaiting() > 0 && take(stale) > 0) {
    }
}

void LineWatch::waitForDevice() {
    serial_.closeSerialPort();
    lost_ = true;
    nextTry_ = Clock::now() + retryInterval;
}

void LineWatch::close() {
    serial_.closeSerialPort();
    lost_ = false;
    backDue_.reset();
}

std::optional<Clock::time_point> LineWatch::retryAt() const {
    if (!lost_) return backDue_;
    return nextTry_;
}

void LineWatch::retryIfDue(Clock::time_point now) {
    if (backDue_ && now >= *backDue_) {
        backDue_.reset();
        retryWait_ = retryInterval;
        if (events_ != nullptr) events_->lineBack();
    }
    if (!lost_ || now < nextTry_) return;
    const bool network = isNetworkName(device_);
    if (!openDevice()) {
        // A host on the network that is not there is asked less and less
        // often, up to every few seconds.
        retryWait_ = network ? std::min(retryWait_ * 2, maxNetworkRetry) : retryInterval;
        nextTry_ = now + retryWait_;
        return;
    }
    lost_ = false;
    // A server that takes the connection and drops it at once (a serial
    // server that cannot open its device) is the same outage: the line is
    // back once the connection has held.
    if (network) {
        backDue_ = now + networkProven;
        return;
    }
    retryWait_ = retryInterval;
    if (events_ != nullptr) events_->lineBack();
}

bool LineWatch::probe() {
    if (lost_ || !serial_.isOpen()) return false;
    return serial_.probeLine();
}

void LineWatch::lose() {
    if (lost_) return;
    const bool sameOutage = backDue_.has_value();
    backDue_.reset();
    waitForDevice();
    if (sameOutage) {
        retryWait_ = std::min(retryWait_ * 2, maxNetworkRetry);
        nextTry_ = Clock::now() + retryWait_;
        return;
    }
    if (events_ != nullptr) events_->lineLost();
}

int LineWatch::take(std::span<uint8_t> buffer, bool* arrived) {
    const int got = lost_ ? -1 : serial_.readAvailable(buffer, arrived);
    if (got < 0) lose();
    return got;
}

void LineWatch::keepQueuedBytes(LogFile& log) {
    if (!log.isOpen()) return;
    // The signal that ends the program must no longer cut these reads short.
    serial_.setInterruptDescriptor(-1);
    std::array<uint8_t, transcript::chunkSize> buffer{};
    const auto deadline = Clock::now() + std::chrono::seconds(1);
    while (!lost_ && Clock::now() < deadline) {
        const int waiting = std::min<int>(serial_.serialInputWaiting(), buffer.size());
        if (waiting <= 0) break;
        const int n = serial_.readSerial(std::span(buffer).first(static_cast<size_t>(waiting)));
        if (n <= 0) break;
        log.writeLogBytes(buffer.data(), static_cast<size_t>(n));
    }
    log.flushLog();
}

} // namespace plotanix
