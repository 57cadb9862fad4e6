#include "shell/line_watch.h"

#include "logfile/log_file.h"
#include "logfile/transcript_format.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <poll.h>

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
    serial_.onNote([this](const std::string& text) {
        if (events_ != nullptr) events_->lineNote(text);
    });
    if (!serial_.openSerialPort(device_, settings_)) return false;
    if (gpib_) setUpAdapter();
    return true;
}

// The adapter is asked from an empty line: what it held from before is
// stale. The bus's bytes that came during the set-up are the computer's
// first; a port with no adapter behind it gets back every byte the set-up
// read, and is a plain line.
void LineWatch::setUpAdapter() {
    serial_.discardInput();
    FdAdapterPort port(serial_.replyDescriptor(), interruptFd_);
    GpibSettings settings = *gpib_;
    settings.save = settings.save && !saved_;
    adapter_ = setUpGpibAdapter(port, settings);
    if (adapter_->answered) {
        saved_ = saved_ || settings.save;
    } else {
        serial_.setReplyPath(ReplyPath::direct);
    }
    serial_.unread(adapter_->data);
    if (events_ != nullptr) events_->adapterSetUp(*adapter_);
}

void LineWatch::discardStaleInput() {
    if (throughAdapter()) return;
    std::array<uint8_t, 256> stale{};
    while (bytesWaiting() > 0 && take(stale) > 0) {
    }
    serial_.inputHandled();
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
    // A connection still being made has not held yet.
    const NetLine* net = serial_.network();
    if (backDue_ && now >= *backDue_ && net != nullptr && net->connecting())
        backDue_ = now + networkProven;
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

// The kernel moves a line's bytes to the read queue in its own time: an
// empty queue does not mean an empty line. Only a settle time with nothing
// arriving does.
void LineWatch::keepQueuedBytes(LogFile& log) {
    if (!log.isOpen()) return;
    std::array<uint8_t, transcript::chunkSize> buffer{};
    const auto deadline = Clock::now() + keepingBudget;
    auto quietUntil = Clock::now() + settleTime;
    while (!lost_ && serial_.isOpen()) {
        bool arrived = false;
        const int got = serial_.readAvailable(buffer, &arrived);
        if (got < 0) break;
        if (got > 0) log.writeLogBytes(buffer.data(), static_cast<size_t>(got));
        const auto now = Clock::now();
        if (now >= deadline) break;
        if (arrived) {
            quietUntil = now + settleTime;
            continue;
        }
        if (now >= quietUntil) break;
        pollfd device{serial_.fileDescriptor(), POLLIN, 0};
        if (::poll(&device, 1, msUntil(std::min(quietUntil, deadline))) < 0 && errno != EINTR)
            break;
        if (device.revents != 0 && (device.revents & POLLIN) == 0) break; // hung up
    }
    log.flushLog();
}

} // namespace plotanix
