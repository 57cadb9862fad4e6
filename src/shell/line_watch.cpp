#include "shell/line_watch.h"

#include "logfile/log_file.h"
#include "logfile/transcript_format.h"

#include <algorithm>
#include <array>
#include <cerrno>

namespace plotanix {

namespace {} // namespace

// The line as the loop watches it, for the activity that reads it.
class LineWatch::Source : public PollSource {
  public:
    Source(LineWatch& line, EventLoop& loop) : line_(line), loop_(loop) {}
    int descriptor() const override { return reader() != nullptr ? line_.descriptor() : -1; }
    std::optional<Clock::time_point> due() const override {
        if (reader() == nullptr) return std::nullopt;
        // Bytes already taken from the device: poll() would not show them.
        if (line_.holdsBytes()) return Clock::time_point{};
        return line_.retryAt();
    }
    void service(Clock::time_point now) override { handle(0, now); }
    void handle(short revents, Clock::time_point now) override {
        Activity* const activity = reader();
        if (activity == nullptr) return;
        if (line_.holdsBytes()) return activity->onLineData(now);
        if (revents != 0) line_.ready(*activity, revents, now);
        if (!activity->done()) line_.retryIfDue(now);
    }

  private:
    Activity* reader() const {
        Activity* const activity = loop_.activity();
        return activity != nullptr && !activity->done() && activity->readsLine() ? activity
                                                                                 : nullptr;
    }

    LineWatch& line_;
    EventLoop& loop_;
};

// The plotter's replies as the loop writes them: before each wait, when
// their time has come, or when the line has room; a line that hangs up
// takes them with it. Whatever the activity: a reply is owed even to a
// line nobody reads now.
class LineWatch::Replies : public PollSource {
  public:
    explicit Replies(SerialLink& link) : link_(link) {}
    int descriptor() const override {
        return link_.replyWaitsForRoom() ? link_.replyDescriptor() : -1;
    }
    short events() const override { return POLLOUT; }
    std::optional<Clock::time_point> due() const override { return link_.replyDue(); }
    void service(Clock::time_point now) override { link_.sendReplies(now); }
    void handle(short revents, Clock::time_point now) override {
        if ((revents & closedEvents) != 0) return link_.dropReplies();
        service(now);
    }
    void beforeWait(Clock::time_point now) override { link_.sendReplies(now); }

  private:
    SerialLink& link_;
};

LineWatch::LineWatch(Events* events) : events_(events) {}

LineWatch::~LineWatch() = default;

void LineWatch::watchIn(EventLoop& loop) {
    source_ = std::make_unique<Source>(*this, loop);
    replies_ = std::make_unique<Replies>(serial_);
    loop.watch(source_.get());
    loop.watch(replies_.get());
}

void LineWatch::ready(Activity& activity, short revents, Clock::time_point now) {
    if (settingUp()) { // the adapter's bytes, not the activity's
        serviceSetUp(now);
        if (!lost_ && ((revents & closedEvents) == 0 || probe())) return;
        lose();
        activity.onLineLost();
        return;
    }
    if (bytesWaiting() > 0) {
        activity.onLineData(now);
        return;
    }
    if ((revents & closedEvents) == 0 && probe()) return;
    lose();
    activity.onLineLost();
}

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
    setUpWanted_ = gpib_.has_value();
    return true;
}

// The adapter is asked from an empty line: what it held from before is
// stale. The exchange runs in the loop's turns (serviceSetUp).
void LineWatch::startSetUp(Clock::time_point now) {
    setUpWanted_ = false;
    serial_.discardInput();
    GpibSettings settings = *gpib_;
    settings.save = savesNow_ = settings.save && !saved_;
    setUp_.emplace(
        [settings](std::string_view version) { return gpibSetUpCommands(settings, version); }, now);
    for (const std::string& line : setUp_->takeLines())
        serial_.sendToAdapter(line);
}

void LineWatch::serviceSetUp(Clock::time_point now) {
    if (setUpWanted_) startSetUp(now);
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
    setUpWanted_ = false;
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
    setUpWanted_ = false;
    backAfterSetUp_ = false;
    serial_.closeSerialPort();
    lost_ = true;
    nextTry_.reset();
}

void LineWatch::close() {
    setUp_.reset();
    setUpWanted_ = false;
    backAfterSetUp_ = false;
    serial_.closeSerialPort();
    lost_ = false;
    backDue_.reset();
}

std::optional<Clock::time_point> LineWatch::retryAt() const {
    if (setUpWanted_) return Clock::time_point{};
    if (!lost_) return earlier(backDue_, setUp_ ? setUp_->deadline() : std::nullopt);
    return nextTry_.value_or(Clock::time_point{});
}

void LineWatch::retryIfDue(Clock::time_point now) {
    if (settingUp()) serviceSetUp(now);
    // A connection still being made has not held yet.
    const NetLine* net = serial_.network();
    if (backDue_ && now >= *backDue_ && net != nullptr && net->connecting())
        backDue_ = now + networkProven;
    if (backDue_ && now >= *backDue_) {
        backDue_.reset();
        retryWait_ = retryInterval;
        if (events_ != nullptr) events_->lineBack();
    }
    if (!lost_) return;
    // Lost since the last turn: looked for again a while from now.
    if (!nextTry_) nextTry_ = now + retryWait_;
    if (now < *nextTry_) return;
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

// The kernel moves a line's bytes to the read queue in its own time: an
// empty queue does not mean an empty line. Only a settle time with nothing
// arriving does.
QueuedBytes::QueuedBytes(LineWatch& line, LogFile& log, std::chrono::milliseconds budget)
    : line_(line), log_(log), events_(line.events()), budget_(budget) {
    line_.tellEvents(nullptr);
    if (!log_.isOpen() || line_.lost() || !line_.isOpen() || line_.settingUp()) finish();
}

QueuedBytes::~QueuedBytes() {
    line_.tellEvents(events_);
}

std::optional<Clock::time_point> QueuedBytes::deadline() const {
    if (done_) return std::nullopt;
    if (!budgetEnd_) return Clock::time_point{};
    return std::min(quietUntil_, *budgetEnd_);
}

void QueuedBytes::onTime(Clock::time_point now) {
    take(now);
    if (!done_ && (now >= quietUntil_ || now >= *budgetEnd_)) finish();
}

void QueuedBytes::take(Clock::time_point now) {
    if (!budgetEnd_) {
        budgetEnd_ = now + budget_;
        quietUntil_ = now + LineWatch::settleTime;
    }
    std::array<uint8_t, transcript::chunkSize> buffer{};
    while (!done_) {
        bool arrived = false;
        const int got = line_.link().readAvailable(buffer, &arrived);
        if (got < 0) return finish();
        if (got > 0) log_.writeLogBytes(buffer.data(), static_cast<size_t>(got));
        if (!arrived) return;
        quietUntil_ = now + LineWatch::settleTime;
        if (now >= *budgetEnd_) return finish();
    }
}

void QueuedBytes::finish() {
    done_ = true;
    if (log_.isOpen()) log_.flushLog();
}

} // namespace plotanix
