#pragma once
// The plotter's end of the line to the computer: a Line (a tty, or a TCP
// connection) with the reply queue, and the GPIB framing of the replies
// when an adapter carries them. Every operation while no line is open does
// nothing and returns 0.

#include "common/deadline.h"
#include "common/unique_fd.h"
#include "hpgl/byte_link.h"
#include "serial/gpib_replies.h"
#include "serial/line.h"
#include "serial/line_settings.h"
#include "serial/net_line.h"
#include "serial/reply_queue.h"
#include "serial/tty_line.h"

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

// The reason alone: "in use by another program", "unsupported speed", ...
std::string openErrorReason(int error);

// The serial devices present, named as under /dev: /dev/serial/by-id/*,
// ttyUSB*, ttyACM*, and the ttyS* ports that have a UART (the kernel makes
// a ttyS for every possible port; /sys/class/tty/ttySN/type is 0 for one
// without). devRoot and sysRoot stand for /dev and /sys.
std::vector<std::string> serialDevicesPresent(const std::string& devRoot = "/dev",
                                              const std::string& sysRoot = "/sys");

// Why the device could not be opened, for the operator: one line with the
// device and the system's reason (EBUSY: another program holds it; a device
// not there: the serial devices that are, or that none is), and for EACCES
// one more with the usual remedy, naming the device's own group.
std::vector<std::string> explainOpenError(const std::string& device, int error,
                                          const std::string& devRoot = "/dev",
                                          const std::string& sysRoot = "/sys");

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
    bool isOpen() const { return line_ != nullptr; }
    // The network line, while one is open; null on a tty.
    const NetLine* network() const { return dynamic_cast<const NetLine*>(line_.get()); }
    // What the line has to say: a network line's hosts coming, going or
    // turned away; replies dropped because the computer read none of them.
    void onNote(NetLine::Note note) { note_ = std::move(note); }
    // Where a network line looks its host name up: the program's background
    // work (watched by its loop). Without one the link keeps its own, whose
    // results need no turn of a loop.
    void useBackground(BackgroundWork* work) { work_ = work; }
    int openError() const { return openError_; }
    // A line whose open failed after it returned (a network line's host
    // name looked up meanwhile) is closed here, its error the open's: true
    // then.
    bool closeIfOpenFailed();

    int serialInputWaiting();
    // Takes what the driver holds, up to the buffer's size, without waiting:
    // the count of data bytes (0: nothing waiting), or -1 when the line is
    // gone, a tty's hang-up included (it is then lost). arrived: whether
    // anything came at all, data or bytes with an error.
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
        return replies_.waitsForRoom() || (line_ && line_->waitsForRoom());
    }
    // Replies wait here for their time or for the line to take them.
    bool repliesQueued() const { return !replies_.empty() || !framed_.empty(); }
    // Replies nobody will read (the line is gone) are dropped.
    void dropReplies();
    // The program is ending: every reply byte the computer has not taken
    // (queued here, or held by the line) is dropped at once. Their count.
    size_t dropUnsent();
    // The reader has handed on every byte it took (a network host that
    // ended its input is closed only once its replies can no longer come).
    void inputHandled() { readerHolds_ = false; }
    void setReplyPath(ReplyPath path);
    // A line for the USB-GPIB adapter itself (its set-up), queued ahead of
    // any reply, CR LF added, whatever the reply path.
    void sendToAdapter(std::string_view line);
    ReplyPath replyPath() const { return replyPath_; }

    // Data someone else read from the line (the adapter's set-up) that
    // belongs to the computer: handed out first, as the line's would be.
    void unread(std::string_view bytes) { unreadData_.insert(0, bytes); }
    bool holdsBytes() const { return !unreadData_.empty() || (line_ && line_->holdsBytes()); }
    // What the driver has received and nobody has read is dropped.
    void discardInput();

    // The device's descriptor for poll(), or -1.
    int fileDescriptor() const { return line_ ? line_->pollDescriptor() : -1; }
    // Where the replies are written, for poll(): the device, or a network
    // line's connection.
    int replyDescriptor() const { return line_ ? line_->dataDescriptor() : -1; }
    // True once the device has reported a hang-up or an error (the cable or
    // USB adapter is gone); reads then return 0 at once.
    bool lineLost() const { return lineLost_; }
    // Asks the device, without waiting, whether it has hung up or failed
    // (readable with nothing to read); true while the line is usable.
    bool probeLine();
    // Bytes the line delivered with a framing or parity error (dropped),
    // since the link was made: every opening of the device counts.
    int64_t lineErrors() const { return earlierErrors_ + (line_ ? line_->errors() : 0); }
    // The flow control the host asked for stands from now on, over the
    // line's own setting, and again when the device is opened anew.
    void requestFlowControl(FlowControl flow) override;
    // The flow control in force: the host's request, or the line's setting
    // (always the line's to an adapter: the request was for the bus).
    FlowControl flowControl() const;

  private:
    void queue(std::string_view bytes, int32_t delayMs);
    void sayDropped(bool firstDropped);
    void applyFlow();

    std::unique_ptr<Line> line_;
    int openError_ = 0;
    bool lineLost_ = false;
    int64_t earlierErrors_ = 0; // of the lines opened before this one
    LineSettings settings_;
    FlowControl requested_ = FlowControl::none;
    ReplyPath replyPath_ = ReplyPath::direct;
    ReplyQueue replies_;
    GpibReplyFraming framed_{replies_}; // the replies through an adapter
    bool readerHolds_ = false;          // bytes read and not yet handed on
    std::string unreadData_;            // the computer's, read by someone else first
    NetLine::Note note_;
    BackgroundWork* work_ = nullptr;
    std::unique_ptr<BackgroundWork> ownWork_;
};

} // namespace plotanix
