#include "shell/line_watch.h"

#include "logfile/log_file.h"
#include "logfile/transcript_format.h"

#include <algorithm>
#include <array>
#include <cerrno>

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
// stale. The exchange runs in the loop's turns (serviceSetUp).
void LineWatch::setUpAdapter() {
    serial_.discardInput();
    GpibSettings settings = *gpib_;
    settings.save = savesNow_ = settings.save && !saved_;
    setUp_.emplace(
        [settings](std::string_view version) { return gpibSetUpCommands(settings, version); },
        Clock::now());
    for (const std::string& line : setUp_->takeLines())
        serial_.sendToAdapter(line);
}

void LineWatch::serviceSetUp(Clock::time_point now) {
    if (!setUp_) return;
    std::array<uint8_t, 4096> buffer{};
    bool gone = false;
    while (!setUp_->done()) {
        const int got = serial_.readAvailable(std::span(buffer).first(setUp_->room()));
        if (got <= 0) {
            gone = got < 0;
            break;
        }
        setUp_->onBytes(
            std::string_view(reinterpret_cast<char*>(buffer.data()), static_cast<size_t>(got)),
            now);
    }
    serial_.inputHandled();
    if (gone && openFailedLate()) return;
    if (gone) setUp_->stop();
    setUp_->onTime(now);
    for (const std::string& line : setUp_->takeLines())
        serial_.sendToAdapter(line);
    if (setUp_->done()) finishSetUp();
    if (gone) lose();
}

// The bus's bytes that came during the set-up are the computer's first; a
// port with no adapter behind it gets back every byte the set-up read, and
// is a plain line.
void LineWatch::finishSetUp() {
    adapter_ = setUp_->result();
    setUp_.reset();
    if (adapter_->answered) {
        saved_ = saved_ || savesNow_;
    } else {
        serial_.setReplyPath(ReplyPath::direct);
    }
    serial_.unread(adapter_->data);
    if (events_ != nullptr) events_->adapterSetUp(*adapter_);
    if (std::exchange(backAfterSetUp_, false) && events_ != nullptr) events_->lineBack();
}

// A name looked up at the first open (not a reconnection's, which is proven
// by backDue_): what failed after the look-up is the open's error, and the
// line is closed, neither lost nor set up.
bool LineWatch::openFailedLate() {
    if (backDue_ || !serial_.closeIfOpenFailed()) return false;
    setUp_.reset();
    backAfterSetUp_ = false;
    return true;
}

void LineWatch::discardStaleInput() {
    if (settingUp() || throughAdapter()) return;
    std::array<uint8_t, 256> stale{};
    while (bytesWaiting() > 0 && take(stale) > 0) {
    }
    serial_.inputHandled();
}

void LineWatch::waitForDevice() {
    setUp_.reset();
    backAfterSetUp_ = false;
    serial_.closeSerialPort();
    lost_ = true;
    nextTry_ = Clock::now() + retryInterval;
}

void LineWatch::close() {
    setUp_.reset();
    backAfterSetUp_ = false;
    serial_.closeSerialPort();
    lost_ = false;
    backDue_.reset();
}

std::optional<Clock::time_point> LineWatch::retryAt() const {
    if (!lost_) return earlier(backDue_, setUp_ ? setUp_->deadline() : std::nullopt);
    return nextTry_;
}

void LineWatch::retryIfDue(Clock::time_point now) {
    if (setUp_) serviceSetUp(now);
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
    // Through an adapter, the line is back once it is set up again.
    if (settingUp()) {
        backAfterSetUp_ = true;
        return;
    }
    if (events_ != nullptr) events_->lineBack();
}

bool LineWatch::probe() {
    if (lost_ || !serial_.isOpen()) return false;
    return serial_.probeLine();
}

void LineWatch::lose() {
    if (lost_ || openFailedLate()) return;
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
    if (settingUp()) return 0;
    const int got = lost_ ? -1 : serial_.readAvailable(buffer, arrived);
    if (got < 0) lose();
    return got;
}

namespace {

// The kernel moves a line's bytes to the read queue in its own time: an
// empty queue does not mean an empty line. Only a settle time with nothing
// arriving does.
class KeepingBytes : public Activity {
  public:
    KeepingBytes(SerialLink& link, LogFile& log, Clock::time_point now)
        : link_(link), log_(log), budgetEnd_(now + LineWatch::keepingBudget),
          quietUntil_(now + LineWatch::settleTime) {}
    bool done() const override { return done_; }
    bool readsLine() const override { return true; }
    void onLineData() override { take(Clock::now()); }
    void onLineLost() override { done_ = true; }
    std::optional<Clock::time_point> deadline() const override {
        if (done_) return std::nullopt;
        return std::min(quietUntil_, budgetEnd_);
    }
    void onTime(Clock::time_point now) override {
        take(now);
        if (now >= quietUntil_ || now >= budgetEnd_) done_ = true;
    }

  private:
    void take(Clock::time_point now) {
        std::array<uint8_t, transcript::chunkSize> buffer{};
        while (!done_) {
            bool arrived = false;
            const int got = link_.readAvailable(buffer, &arrived);
            if (got < 0) done_ = true;
            if (got > 0) log_.writeLogBytes(buffer.data(), static_cast<size_t>(got));
            if (!arrived) return;
            quietUntil_ = now + LineWatch::settleTime;
            if (now >= budgetEnd_) done_ = true;
        }
    }

    SerialLink& link_;
    LogFile& log_;
    Clock::time_point budgetEnd_;
    Clock::time_point quietUntil_;
    bool done_ = false;
};

} // namespace

// The line's news is no one's at an ending: a hang-up now only ends the read.
void LineWatch::keepQueuedBytes(EventLoop& loop, LogFile& log) {
    if (!log.isOpen()) return;
    if (!lost_ && serial_.isOpen() && !settingUp()) {
        Events* const events = std::exchange(events_, nullptr);
        KeepingBytes keeping(serial_, log, Clock::now());
        loop.run(keeping, true);
        events_ = events;
    }
    log.flushLog();
}

} // namespace plotanix
