#pragma once
// The serial line to the computer, on termios. Every operation while no port
// is open does nothing and returns 0.

#include "hpgl/byte_link.h"

#include <cstdint>
#include <string>

namespace plotanix {

// "COMn" -> /dev/ttyS(n-1); the environment variable PLOTANIX_<name>
// (e.g. PLOTANIX_COM1) names any other device path and wins. Only the first
// 59 bytes of the name are used.
std::string serialDevicePath(const std::string& portName);

class SerialLink : public ByteLink {
  public:
    SerialLink() = default;
    ~SerialLink() override;
    SerialLink(const SerialLink&) = delete;
    SerialLink& operator=(const SerialLink&) = delete;

    // Opens the device exclusively and raw: speed baud, dataBits, parity
    // (0 none), stopBits 1.0 or 2.0, handshake 0 (no flow control, RTS off).
    bool openSerialPort(const std::string& name, int32_t speed, int32_t parity, int32_t dataBits,
                        float stopBits, int32_t handshake, int32_t inputQueue, int32_t outputQueue);
    void closeSerialPort();
    bool isOpen() const { return fd_ >= 0; }

    int serialInputWaiting();
    // Returns at the first of: maxCount bytes received; 100 ms after the
    // latest byte once one has arrived; 10 * maxCount + 100 ms after the start.
    // Bytes already queued are taken at once. Returns early (with what it
    // has) when the interrupt descriptor becomes readable, and returns 0 at
    // once while it is.
    int readSerial(uint8_t* buffer, int maxCount) override;
    int serialOutputWaiting() override;
    void waitOutputDrained() override;
    int writeSerial(const char* text) override;

    // The device's descriptor for poll(), or -1.
    int fileDescriptor() const { return fd_; }
    // A descriptor (the signal pipe) whose readiness cuts a read short.
    void setInterruptDescriptor(int fd) { interruptFd_ = fd; }
    // True once the device has reported a hang-up or an error (the cable or
    // USB adapter is gone); reads then return 0 at once.
    bool lineLost() const { return lineLost_; }
    // Asks the device, without waiting, whether it has hung up or failed
    // (readable with nothing to read); true while the line is usable.
    bool probeLine();
    // The device path of the latest open attempt (for the operator's message).
    const std::string& devicePath() const { return path_; }

  private:
    bool interrupted() const;

    int fd_ = -1;
    int interruptFd_ = -1;
    bool lineLost_ = false;
    std::string path_;
};

} // namespace plotanix
