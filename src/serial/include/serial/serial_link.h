#pragma once
// The serial line to the computer, on termios. Every operation while no port
// is open does nothing and returns 0.

#include "common/deadline.h"
#include "common/unique_fd.h"
#include "hpgl/byte_link.h"
#include "serial/line_settings.h"
#include "serial/net_line.h"
#include "serial/reply_queue.h"

#include <cerrno>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <termios.h>
#include <vector>

namespace plotanix {

// When a read of the line ends: at maxCount bytes; 100 ms after the latest
// byte once one has arrived; 10 ms for each byte asked for plus 100 ms
// after it began. A read of a whole transcript chunk that brings nothing
// is the silence that ends a plot run.
class ReadTiming {
  public:
    ReadTiming(Clock::time_point start, int maxCount);
    void byteArrived(Clock::time_point now);
    Clock::time_point deadline() const { return deadline_; }

  private:
    Clock::time_point total_;
    Clock::time_point deadline_;
};

// openError() when the device refuses the speed ("unsupported speed"), or
// takes the speed but not the data bits, parity or stop bits.
inline constexpr int unsupportedSpeed = EINVAL;
inline constexpr int unsupportedFraming = EOPNOTSUPP;

// The reason alone: "in use by another program", "unsupported speed", ...
std::string openErrorReason(int error);

// Why the device could not be opened, for the operator: one line with the
// device and the system's reason (EBUSY: another program holds it), and for
// EACCES one more with the usual remedy, naming the device's own group.
std::vector<std::string> explainOpenError(const std::string& device, int error);

// The terminal settings for the line: raw, with the framing asked for.
// Bytes that arrived with a framing or parity error are marked (PARMRK), so
// they can be told from data. False for a speed or size termios lacks.
bool applyLineSettings(termios& tio, const LineSettings& settings);

// Takes the error marks out of what the line delivers: a byte that came with
// a framing or parity error (or a break) is dropped and counted; the byte
// 0xFF, which the kernel doubles, is one byte again. Marks split between
// reads are put together.
class MarkedInput {
  public:
    // Decodes in place; returns the count of data bytes left at the front.
    size_t decode(uint8_t* bytes, size_t count);
    // Bytes received with a framing or parity error, or breaks, so far.
    int64_t errors() const { return errors_; }

  private:
    enum class State { data, afterFF, afterFF00 };
    State state_ = State::data;
    int64_t errors_ = 0;
};

// Where the plotter's replies go: straight onto the line; as the escaped
// lines a USB-GPIB adapter puts on the bus, one a reply; or nowhere (an
// adapter listening only cannot talk).
enum class ReplyPath { direct, adapterLines, none };

class SerialLink : public ByteLink {
  public:
    SerialLink() = default;
    ~SerialLink() override;
    SerialLink(const SerialLink&) = delete;
    SerialLink& operator=(const SerialLink&) = delete;

    // Opens the device exclusively and raw. On failure openError() says why
    // (an errno value; EBUSY when another program holds the line,
    // unsupportedSpeed, unsupportedFraming). A network line's name
    // (isNetworkName) connects or listens instead: the framing does not
    // apply, and a resolver's error is an open error too.
    bool openSerialPort(const std::string& devicePath, const LineSettings& settings = {});
    void closeSerialPort();
    bool isOpen() const { return fd_.valid() || net_ != nullptr; }
    // The network line, while one is open; null on a tty.
    const NetLine* network() const { return net_.get(); }
    // What the line has to say: a network line's hosts coming, going or
    // turned away; replies dropped because the computer read none of them.
    void onNote(NetLine::Note note) { note_ = std::move(note); }
    int openError() const { return openError_; }

    int serialInputWaiting();
    // Takes what the driver holds, up to the buffer's size, without waiting:
    // the count of data bytes (0: nothing waiting), or -1 when the line is
    // gone (it is then lost). arrived: whether anything came at all, data
    // or bytes with an error.
    int readAvailable(std::span<uint8_t> buffer, bool* arrived = nullptr);
    // Bytes handed to the driver (or the connection) and not yet sent.
    int serialOutputWaiting();
    // The replies are queued, never written while a model has its turn:
    // the loop writes them with sendReplies, when their time has come and
    // the line can take them. Through an adapter there is no delay: the
    // computer reads when it will.
    void waitOutputDrained() override { replies_.waitDrained(); }
    int writeSerial(std::string_view bytes) override;
    int writeSerialAfter(int32_t delayMs, std::string_view bytes) override;
    void replyComplete() override;

    // Writes what of the queued replies may go now, without waiting: a
    // piece goes once the line has sent what it holds (when asked), its
    // delay has passed since then, and the driver takes its bytes. A host
    // holding the line (XOFF, CTS) holds the rest, however long.
    void sendReplies(Clock::time_point now);
    // When sendReplies has something to do at the earliest; none while no
    // reply waits for time (nothing queued, or waiting for room).
    std::optional<Clock::time_point> replyDue() const;
    // A reply waits for the driver to take bytes (poll for POLLOUT).
    bool replyWaitsForRoom() const {
        return replies_.waitsForRoom() || (net_ && net_->waitsForRoom());
    }
    // Replies nobody will read (the line is gone) are dropped.
    void dropReplies();
    // The reader has handed on every byte it took (a network host that
    // ended its input is closed only once its replies can no longer come).
    void inputHandled() { readerHolds_ = false; }
    void setReplyPath(ReplyPath path);
    // A line for the USB-GPIB adapter itself (its set-up), queued ahead of
    // any reply, CR LF added, whatever the reply path.
    void sendToAdapter(std::string_view line);
    ReplyPath replyPath() const { return replyPath_; }

    // Bytes someone else read from the device (the adapter's set-up) that
    // belong to the data: handed out first, as the driver's would be.
    void unread(std::string_view bytes) { held_.insert(0, bytes); }
    bool holdsBytes() const { return !held_.empty() || (net_ && net_->holdsBytes()); }
    // What the driver has received and nobody has read is dropped.
    void discardInput();

    // The device's descriptor for poll(), or -1.
    int fileDescriptor() const { return net_ ? net_->pollDescriptor() : fd_.get(); }
    // Where the replies are written, for poll(): the device, or a network
    // line's connection.
    int replyDescriptor() const { return net_ ? net_->dataDescriptor() : fd_.get(); }
    // True once the device has reported a hang-up or an error (the cable or
    // USB adapter is gone); reads then return 0 at once.
    bool lineLost() const { return lineLost_; }
    // Asks the device, without waiting, whether it has hung up or failed
    // (readable with nothing to read); true while the line is usable.
    bool probeLine();
    // Bytes the line delivered with a framing or parity error (dropped),
    // since the link was made: every opening of the device counts.
    int64_t lineErrors() const { return earlierErrors_ + marks_.errors(); }
    // The flow control the host asked for stands from now on, over the
    // line's own setting, and again when the device is opened anew.
    void requestFlowControl(FlowControl flow) override;
    // The flow control in force: the host's request, or the line's setting
    // (always the line's to an adapter: the request was for the bus).
    FlowControl flowControl() const;

  private:
    // The line as the reply queue writes to it.
    class Wire : public ReplyQueue::Line {
      public:
        explicit Wire(SerialLink& link) : link_(link) {}
        ssize_t put(std::string_view bytes) override;
        int waiting() override { return link_.serialOutputWaiting(); }
        Clock::duration wireTime(int bytes) const override;

      private:
        SerialLink& link_;
    };
    void queue(std::string_view bytes, int32_t delayMs);
    bool openNetwork(const std::string& name);
    void applyFlow();
    // The held bytes first, then the driver's (see takeFromDriver).
    int takeBytes(uint8_t* buffer, int room);
    size_t decode(uint8_t* bytes, size_t count);

    UniqueFd fd_;
    int openError_ = 0;
    bool lineLost_ = false;
    MarkedInput marks_;
    int64_t earlierErrors_ = 0;
    LineSettings settings_;
    FlowControl requested_ = FlowControl::none;
    ReplyPath replyPath_ = ReplyPath::direct;
    std::string reply_; // the reply being written, for the adapter
    ReplyQueue replies_;
    Wire wire_{*this};
    bool readerHolds_ = false; // bytes read and not yet handed on
    std::string held_;         // as read from the device, marks and all
    std::unique_ptr<NetLine> net_;
    NetLine::Note note_;
};

} // namespace plotanix
