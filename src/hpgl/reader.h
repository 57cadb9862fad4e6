#pragma once
// The instruction stream reader: turns the bytes from the line into single
// bytes, parameter lists and label texts. Every chunk taken from the line is
// written to the transcript before any of its bytes is handed out. A read
// that returns nothing (the line fell silent) ends the plot run.

#include "hpgl/byte_link.h"
#include "logfile/transcript_format.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace plotanix {

class LogFile;

class InstructionReader {
  public:
    static constexpr int bufferSize = static_cast<int>(transcript::chunkSize);
    // A label, or the parameter text of one instruction, keeps at most its
    // first megabyte; the rest is read and dropped, so a text that never
    // ends cannot use up memory. A megabyte of label is some ten million
    // pixels of text; a megabyte of parameters is at least a quarter of a
    // million coordinate pairs, every one of which is plotted.
    static constexpr size_t maxTextBytes = size_t{1} << 20;

    InstructionReader(ByteLink& link, LogFile& log) : link_(link), log_(log) {}

    // Discards whatever was left in the buffer: a new run reads afresh.
    void startRun();
    // True once a read found the line silent: the run is over, and the line
    // is not read again until the next run.
    bool stopped() const { return stop_ != StopState::running; }

    int readByte();
    void skipToTerminator();
    // Every parameter goes to params, in order (params.size() == count);
    // bytes past the first maxTextBytes of the instruction are dropped.
    int readParameters();
    std::string readLabelText();

    std::vector<float> params;

  private:
    enum class StopState { running, lineSilent };

    ByteLink& link_;
    LogFile& log_;
    std::array<uint8_t, bufferSize> rxBuffer_{};
    int rxLength_ = 0;
    int rxPos_ = 0;
    StopState stop_ = StopState::running;
};

// The value of a parameter text: its longest decimal prefix after leading
// white space (exponent letters e, E, d, D), 0 when there is none. Values
// beyond single precision become the largest finite float of their sign.
float parameterValue(const std::string& text);

} // namespace plotanix
