#pragma once
// The two small faces through which the reader and interpreter reach the
// outside world: the serial line and the status line on the console.
// The program wires in the termios link and the console; tests and the
// offline renderer wire in fakes.

#include <cstdint>

namespace plotanix {

class ByteLink {
  public:
    virtual ~ByteLink() = default;
    // At most maxCount bytes into buffer; 0 means the line was silent for
    // the read time-out (or the read failed).
    virtual int readSerial(uint8_t* buffer, int maxCount) = 0;
    // Bytes handed to the driver and not yet transmitted.
    virtual int serialOutputWaiting() = 0;
    // Blocks (without spinning) until serialOutputWaiting() is 0 or the line
    // cannot drain; replies are sent one byte at a time after this.
    virtual void waitOutputDrained() {}
    // Sends the bytes of text up to its NUL; returns the count written.
    virtual int writeSerial(const char* text) = 0;
};

class StatusLine {
  public:
    virtual ~StatusLine() = default;
    virtual void showStatus(int32_t instructionCount, int32_t ignoredCount) = 0;
};

} // namespace plotanix
