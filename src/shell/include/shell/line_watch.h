#pragma once
// The serial line to the computer as both modes keep it: opened, seen to
// hang up (a USB adapter pulled out), then looked for once a second until
// the device is back and opened again. Every open, the first and each
// reopening, goes through one place, where the line is made ready before
// any data is read: a USB-GPIB adapter is set up there each time (a board
// that restarts drops off the USB and comes back forgetting its set-up).

#include "common/deadline.h"
#include "serial/gpib_adapter.h"
#include "serial/serial_link.h"
#include "shell/event_loop.h"

#include <memory>
#include <optional>
#include <span>
#include <string>

namespace plotanix {

class LogFile;

class LineWatch {
  public:
    // What the program says when the line comes and goes.
    class Events {
      public:
        virtual ~Events() = default;
        virtual void lineLost() = 0;
        // Open again after lineLost, or at last after waitForDevice.
        virtual void lineBack() = 0;
        // The adapter was set up (at every opening), or did not answer.
        virtual void adapterSetUp(const GpibSetUp& setUp) { (void)setUp; }
        // A network line's news: a host connected, left or was turned away.
        virtual void lineNote(const std::string& text) { (void)text; }
    };

    static constexpr std::chrono::milliseconds retryInterval{1000};
    static constexpr std::chrono::milliseconds maxNetworkRetry{4000};
    // A network connection that holds this long is the line back.
    static constexpr std::chrono::milliseconds networkProven{2000};

    explicit LineWatch(Events* events = nullptr);
    ~LineWatch();
    LineWatch(const LineWatch&) = delete;
    LineWatch& operator=(const LineWatch&) = delete;
    void tellEvents(Events* events) { events_ = events; }
    Events* events() const { return events_; }

    // The line is a USB-GPIB adapter's serial side, set up at every opening
    // (save is honoured at the first set-up only); none: a plain line.
    void useAdapter(std::optional<GpibSettings> gpib) { gpib_ = std::move(gpib); }
    // The adapter is being set up (the loop drives the exchange, from its
    // next turn on): the line's bytes are the set-up's until it ends.
    bool settingUp() const { return setUp_.has_value() || setUpWanted_; }
    // The set-up's turn: what the line brought, and what is due by now.
    void serviceSetUp(Clock::time_point now);
    // The last set-up's outcome; none without an adapter.
    const std::optional<GpibSetUp>& adapter() const { return adapter_; }
    // The adapter answered at the last opening: the computer is on HP-IB.
    bool throughAdapter() const { return adapter_ && adapter_->answered; }
    // The plotter's replies go onto the bus (an adapter at an address).
    bool repliesOnTheBus() const { return serial_.replyPath() == ReplyPath::adapterLines; }
    // A network line's host name is being looked up: not ready for data.
    // Should what follows fail at the first open, the line is closed and
    // openError() says why.
    bool lookingUp() const {
        const NetLine* net = serial_.network();
        return net != nullptr && net->lookingUp();
    }

    // False when the device cannot be opened now (openError() says why).
    bool open(const std::string& device, const LineSettings& settings);
    // The device is not there yet: it is looked for from now on.
    void waitForDevice();
    // Closed, and not looked for any more.
    void close();
    bool isOpen() const { return serial_.isOpen(); }
    bool lost() const { return lost_; }
    int openError() const { return serial_.openError(); }
    const std::string& device() const { return device_; }

    // The line and its replies become sources of the loop: the line is
    // watched (and looked for while it is lost) for an activity that reads
    // it, the replies go whatever the activity.
    void watchIn(EventLoop& loop);

    // The descriptor to wait on, or -1 while the line is not open.
    int descriptor() const { return serial_.fileDescriptor(); }
    // When a lost line is looked for next, or a reconnected network line is
    // said to be back; none otherwise.
    std::optional<Clock::time_point> retryAt() const;
    void retryIfDue(Clock::time_point now);

    int bytesWaiting() { return serial_.serialInputWaiting(); }
    // Bytes already taken from the device and not yet handed out: poll()
    // would not show them.
    bool holdsBytes() const { return !settingUp() && serial_.holdsBytes(); }
    // Stale input from before the operator was ready: dropped. An adapter's
    // set-up began from an empty line, and what came after it is the
    // computer's.
    void discardStaleInput();
    // Without waiting: true while the device has not hung up.
    bool probe();
    // The line has hung up: closed, and looked for again.
    void lose();
    // What the driver holds, without waiting; -1 when the line is gone
    // (then it is lost). arrived: whether anything came, data or not.
    int take(std::span<uint8_t> buffer, bool* arrived = nullptr);

    // The line as the plotter model answers on it.
    SerialLink& link() { return serial_; }

    // At an ending: every byte the line holds goes into the transcript
    // (QueuedBytes below), for at most keepingBudget if the computer keeps
    // sending, until nothing more has come for the settle time.
    static constexpr std::chrono::milliseconds keepingBudget{1000};
    static constexpr std::chrono::milliseconds settleTime{50};

  private:
    class Source;
    class Replies;

    bool openDevice();
    void startSetUp(Clock::time_point now);
    void finishSetUp();
    // Bytes to take, or a device that has hung up.
    void ready(Activity& activity, short revents, Clock::time_point now);
    bool openFailedLate();

    SerialLink serial_;
    Events* events_;
    std::string device_;
    LineSettings settings_;
    bool lost_ = false;
    std::optional<Clock::time_point> nextTry_; // none: timed at the loop's next turn
    std::chrono::milliseconds retryWait_ = retryInterval;
    std::optional<Clock::time_point> backDue_; // a network line reconnected, not yet proven
    std::optional<GpibSettings> gpib_;
    std::optional<GpibSetUp> adapter_;
    bool saved_ = false; // the adapter's memory has been written once
    std::optional<AdapterSetUp> setUp_;
    bool setUpWanted_ = false;    // opened: set up at the loop's next turn
    bool savesNow_ = false;       // the set-up under way writes the adapter's memory
    bool backAfterSetUp_ = false; // the line is said to be back once set up
    std::unique_ptr<Source> source_;
    std::unique_ptr<Replies> replies_;
};

// Until the line's host name is looked up and its adapter set up: what the
// program does with a line before its first bytes are read, in the loop's
// time. The line may be closed after it (an open error).
class UntilSetUp : public Activity {
  public:
    explicit UntilSetUp(LineWatch& line) : line_(line) {}
    bool done() const override { return !line_.settingUp() && !line_.lookingUp(); }
    bool readsLine() const override { return true; }

  private:
    LineWatch& line_;
};

// At an ending: every byte the line holds goes into the transcript, read
// until nothing more has come for the settle time, however the kernel holds
// them, for at most the budget if the computer keeps sending; then the
// transcript's held bytes are written. An activity of the ending, which
// the loop drives past the signal; the line's news is no one's meanwhile.
class QueuedBytes : public Activity {
  public:
    QueuedBytes(LineWatch& line, LogFile& log,
                std::chrono::milliseconds budget = LineWatch::keepingBudget);
    ~QueuedBytes() override;
    QueuedBytes(const QueuedBytes&) = delete;
    QueuedBytes& operator=(const QueuedBytes&) = delete;

    bool done() const override { return done_; }
    bool readsLine() const override { return !done_; }
    void onLineData(Clock::time_point now) override { take(now); }
    void onLineLost() override { finish(); }
    // The budget and the settle time run from the loop's first turn.
    std::optional<Clock::time_point> deadline() const override;
    void onTime(Clock::time_point now) override;

  private:
    void take(Clock::time_point now);
    void finish();

    LineWatch& line_;
    LogFile& log_;
    LineWatch::Events* events_;
    std::chrono::milliseconds budget_;
    std::optional<Clock::time_point> budgetEnd_;
    Clock::time_point quietUntil_{};
    bool done_ = false;
};

} // namespace plotanix
