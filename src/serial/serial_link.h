#pragma once
// The serial line to the computer, on termios. Every operation while no port
// is open does nothing and returns 0.

#include "common/unique_fd.h"
#include "hpgl/byte_link.h"

#include <cstdint>
#include <string>
#include <vector>

namespace plotanix {

// "COMn" -> /dev/ttyS(n-1); the environment variable PLOTANIX_<name>
// (e.g. PLOTANIX_COM1) names any other device path and wins. Only the first
// 59 bytes of the name are used.
std::string serialDevicePath(const std::string& portName);

// Why the device could not be opened, for the operator: one line with the
// device and the system's reason (EBUSY: another program holds it), and for
// EACCES one more with the usual remedy, naming the device's own group.
std::vector<std::string> explainOpenError(const std::string& device, int error);

enum class Parity { none, odd, even };

// How the line is set up: the plotter listens at 9600 baud, 7 data bits, no
// parity, one stop bit, no flow control.
struct LineSettings {
    int32_t baud = 9600;
    int dataBits = 7;
    Parity parity = Parity::none;
    bool twoStopBits = false;
    bool hardwareHandshake = false; // RTS/CTS; without it RTS is held off
};

class SerialLink : public ByteLink {
  public:
    SerialLink() = default;
    ~SerialLink() override;
    SerialLink(const SerialLink&) = delete;
    SerialLink& operator=(const SerialLink&) = delete;

    // Opens the device (a port name or a path) exclusively and raw. On
    // failure openError() says why (an errno value; EBUSY when another
    // program holds the line).
    bool openSerialPort(const std::string& name, const LineSettings& settings = {});
    void closeSerialPort();
    bool isOpen() const { return fd_.valid(); }
    int openError() const { return openError_; }

    int serialInputWaiting();
    // Returns at the first of: maxCount bytes received; 100 ms after the
    // latest byte once one has arrived; 10 * maxCount + 100 ms after the start.
    // Bytes already queued are taken at once. Returns early (with what it
    // has) when the interrupt descriptor becomes readable, and returns 0 at
    // once while it is.
    int readSerial(std::span<uint8_t> buffer) override;
    int serialOutputWaiting() override;
    void waitOutputDrained() override;
    int writeSerial(std::string_view bytes) override;
    // The delay is one poll() on the interrupt descriptor and the device: a
    // signal or a hang-up ends it at once, and the bytes go out then.
    int writeSerialAfter(int32_t delayMs, std::string_view bytes) override;

    // The device's descriptor for poll(), or -1.
    int fileDescriptor() const { return fd_.get(); }
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

    UniqueFd fd_;
    int interruptFd_ = -1;
    int openError_ = 0;
    bool lineLost_ = false;
    std::string path_;
};

} // namespace plotanix
