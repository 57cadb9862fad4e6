#pragma once
// The line on a tty, through termios: a serial port, a USB serial adapter,
// or a pseudo-terminal. Opened exclusively and raw, with the bytes that
// came with a framing or parity error taken out of the data.

#include "common/unique_fd.h"
#include "serial/line.h"
#include "serial/line_settings.h"

#include <cerrno>
#include <cstdint>
#include <memory>
#include <string>
#include <termios.h>

namespace plotanix {

// An open error when the device refuses the speed ("unsupported speed"), or
// takes the speed but not the data bits, parity or stop bits.
inline constexpr int unsupportedSpeed = EINVAL;
inline constexpr int unsupportedFraming = EOPNOTSUPP;

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

class TtyLine : public Line {
  public:
    // The device opened exclusively and raw, or null with error set (an
    // errno value; EBUSY when another program holds it, unsupportedSpeed,
    // unsupportedFraming, ENOTTY for no serial device).
    static std::unique_ptr<TtyLine> open(const std::string& path, const LineSettings& settings,
                                         int& error);
    ~TtyLine() override;

    int pollDescriptor() const override { return fd_.get(); }
    int dataDescriptor() const override { return fd_.get(); }
    // A hang-up is -1 at once: with VMIN and VTIME 0 an empty read is also
    // what a hung-up tty gives, so poll() tells the two apart.
    int take(std::span<uint8_t> buffer, bool& arrived) override;
    int inputWaiting() override;
    void discardInput() override;
    bool probe() override;
    ssize_t put(std::string_view bytes) override;
    int outputWaiting() override;
    size_t dropUnsent() override;
    Clock::duration wireTime(int bytes) const override;
    void setFlowControl(FlowControl flow) override;
    int64_t errors() const override { return marks_.errors(); }

  private:
    TtyLine(UniqueFd fd, const LineSettings& settings) : fd_(std::move(fd)), settings_(settings) {}
    bool hungUp() const;

    UniqueFd fd_;
    LineSettings settings_;
    MarkedInput marks_;
};

} // namespace plotanix
