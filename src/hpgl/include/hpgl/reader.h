#pragma once
// The instruction stream reader: turns the model's byte stream into single
// bytes, parameter lists and label texts. It waits for bytes wherever it
// stands, so a pause of the line never cuts a number or a label; only the
// end of the stream stops it.

#include "hpgl/plotter.h"
#include "logfile/transcript_format.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace plotanix {

class InstructionReader {
  public:
    static constexpr int bufferSize = static_cast<int>(transcript::chunkSize);
    // A label, or the parameter text of one instruction, keeps at most its
    // first megabyte; the rest is read and dropped, so a text that never
    // ends cannot use up memory. A megabyte of label is some ten million
    // pixels of text; a megabyte of parameters is at least a quarter of a
    // million coordinate pairs, every one of which is plotted.
    static constexpr size_t maxTextBytes = size_t{1} << 20;

    explicit InstructionReader(ByteSource& source) : source_(source) {}

    // A new stream: nothing read yet.
    void restart() {
        rxLength_ = rxPos_ = 0;
        ended_ = false;
    }
    // True once the stream has ended: every read from then on gives 0 at once.
    bool stopped() const { return ended_; }

    int readByte();
    void skipToTerminator();
    // Every parameter goes to params, in order (params.size() == count);
    // bytes past the first maxTextBytes of the instruction are dropped.
    int readParameters();
    std::string readLabelText();

    std::vector<float> params;

  private:
    ByteSource& source_;
    std::array<uint8_t, bufferSize> rxBuffer_{};
    int rxLength_ = 0;
    int rxPos_ = 0;
    bool ended_ = false;
};

// The value of a parameter text: its longest decimal prefix after leading
// white space (exponent letters e, E, d, D), 0 when there is none. Values
// beyond single precision become the largest finite float of their sign.
float parameterValue(const std::string& text);

} // namespace plotanix
