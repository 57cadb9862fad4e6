#pragma once
// The instruction stream reader: turns the bytes from the line into single
// bytes, parameter lists and label texts. Every chunk taken from the line is
// written to the transcript before any of its bytes is handed out. A read
// that returns nothing (the line fell silent) ends the plot run.

#include "hpgl/byte_link.h"

#include <array>
#include <cstdint>
#include <string>

namespace plotanix {

class LogFile;

enum StopState : int32_t { running = 0, stopped = 1, quitting = -1 };

class InstructionReader {
  public:
    static constexpr int bufferSize = 256;
    static constexpr int maxParameters = 200;
    // A label or parameter text keeps at most its first megabyte; the rest
    // is read and dropped, so a text that never ends cannot use up memory.
    // A megabyte of label is some ten million pixels of text, and no number
    // needs a megabyte of digits.
    static constexpr size_t maxTextBytes = size_t{1} << 20;

    InstructionReader(ByteLink& link, LogFile& log) : link_(link), log_(log) {}

    // Discards whatever was left in the buffer and clears stopState.
    void startRun();

    int readByte();
    void skipToTerminator();
    // Parameters go to params[1..count]; at most 200 are kept, further
    // values are read and dropped (as are bytes past maxTextBytes of one).
    int readParameters();
    std::string readLabelText();

    int32_t stopState = running;
    std::array<float, maxParameters + 1> params{};

  private:
    ByteLink& link_;
    LogFile& log_;
    std::array<uint8_t, bufferSize> rxBuffer_{};
    int rxLength_ = 0;
    int rxPos_ = 0;
};

// The value of a parameter text: its longest decimal prefix after leading
// white space (exponent letters e, E, d, D), 0 when there is none. Values
// beyond single precision become the largest finite float of their sign.
float parameterValue(const std::string& text);

} // namespace plotanix
