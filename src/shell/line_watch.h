#pragma once
// The serial line to the computer as both modes keep it: opened, seen to
// hang up (a USB adapter pulled out), then looked for once a second until
// the device is back and opened again. Every open, the first and each
// reopening, goes through one place, where the line is made ready before
// any data is read.

#include "common/deadline.h"
#include "serial/serial_link.h"

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
    };

    static constexpr std::chrono::milliseconds retryInterval{1000};

    // interruptFd (the signals' ending descriptor) cuts the line's waits
    // short once the program is to end.
    explicit LineWatch(int interruptFd, Events* events = nullptr)
        : interruptFd_(interruptFd), events_(events) {}
    void tellEvents(Events* events) { events_ = events; }

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

    // The descriptor to wait on, or -1 while the line is not open.
    int descriptor() const { return serial_.fileDescriptor(); }
    // When a lost line is looked for next; none while it is not lost.
    std::optional<Clock::time_point> retryAt() const;
    void retryIfDue(Clock::time_point now);

    int bytesWaiting() { return serial_.serialInputWaiting(); }
    // Without waiting: true while the device has not hung up.
    bool probe();
    // The line has hung up: closed, and looked for again.
    void lose();
    // What the driver holds, without waiting; -1 when the line is gone
    // (then it is lost). arrived: whether anything came, data or not.
    int take(std::span<uint8_t> buffer, bool* arrived = nullptr);

    // The line as the plotter model answers on it.
    SerialLink& link() { return serial_; }

    // At an ending: what the line already holds goes into the transcript
    // (reads of exactly that many bytes return at once), for at most a
    // second if the computer keeps sending; then the transcript's held
    // bytes are written.
    void keepQueuedBytes(LogFile& log);

  private:
    bool openDevice();

    SerialLink serial_;
    int interruptFd_;
    Events* events_;
    std::string device_;
    LineSettings settings_;
    bool lost_ = false;
    Clock::time_point nextTry_{};
};

} // namespace plotanix
