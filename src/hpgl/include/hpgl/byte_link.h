#pragma once
// The two small faces through which the reader and the models reach the
// outside world: the serial line and the status line on the console.
// The program wires in the termios link and the console; tests and the
// offline renderer wire in fakes.

#include <cstdint>
#include <span>
#include <string_view>

namespace plotanix {

// How the line paces the two ends: not at all, by the XON and XOFF bytes, or
// by the RTS and CTS wires. inboundXonxoff: a printer's request, when the
// line is set up with XON and XOFF: it paces the host with them, but the
// bytes it receives are all data (raster rows hold 0x11 and 0x13).
enum class FlowControl { none, xonxoff, rtscts, inboundXonxoff };

class ByteLink {
  public:
    virtual ~ByteLink() = default;
    // The reply bytes written after this go only once the line has sent
    // what it holds (a plotter sends its replies a byte at a time). Never
    // waits: the wait is the line's, kept with the bytes.
    virtual void waitOutputDrained() {}
    // Sends the bytes (on a live line: queues them, in order, for the
    // program's loop to write); returns the count taken.
    virtual int writeSerial(std::string_view bytes) = 0;
    // Sends the bytes once delayMs milliseconds have passed: the turnaround
    // delay a host asks for. Never waits: on a live line the delay is kept
    // with the queued bytes, and the loop goes on meanwhile. Where no host
    // reads the replies (offline, in tests) there is nothing to wait for.
    virtual int writeSerialAfter(int32_t delayMs, std::string_view bytes) {
        (void)delayMs;
        return writeSerial(bytes);
    }
    // The reply written since the last call is whole. A line that carries
    // replies as units (a USB-GPIB adapter's escaped lines) sends it now;
    // the models call this after each reply.
    virtual void replyComplete() {}
    // The host asked the plotter for this flow control (the 7470A's ESC.H
    // and ESC.@); none gives the line back the flow control it was set up
    // with.
    virtual void requestFlowControl(FlowControl flow) { (void)flow; }
};

class StatusLine {
  public:
    virtual ~StatusLine() = default;
    virtual void showStatus(int32_t instructionCount, int32_t ignoredCount) = 0;
};

} // namespace plotanix
