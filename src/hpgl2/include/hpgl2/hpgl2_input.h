#pragma once
// How the HP-GL/2 model reads its input: the line's bytes one at a time,
// HP-GL/2 pushed on to the tokenizer and the PCL job around it taken out
// of the way. ESC E resets the printer and leaves HP-GL/2; ESC%#A leaves
// it for PCL and ESC%#B comes back; the universal exit ESC%-12345X leaves
// for PJL, whose ENTER LANGUAGE line picks the next language. PCL commands,
// text and the binary data a command counts (raster rows, fonts, patterns)
// are read and dropped, in constant memory, however long they run. An
// escape read in part waits in members for its next byte.

#include "hpgl/tokenizer.h"

#include <cstdint>
#include <span>
#include <string>

namespace plotanix {

class Hpgl2Input {
  public:
    explicit Hpgl2Input(HpglTokenizer& tokenizer) : tokenizer_(tokenizer) {}

    // Back in HP-GL/2 after PCL or PJL (or a reset), the tokenizer is told
    // that the instruction being read is cut off there.
    void put(uint8_t byte) {
        ++taken_;
        while (step(byte)) {
        }
    }
    // As put() for each byte; a run of numbers' bytes in HP-GL/2 goes on to
    // the tokenizer whole.
    void feed(std::span<const uint8_t> bytes);
    // The stream has ended: an escape read in part is dropped.
    void end();

    // ESC E came since the last call: the model starts as after IN, on
    // the default page.
    bool takeReset();
    // The bytes taken so far. While an instruction is carried out it counts
    // up to the byte that ended it, however the stream was cut into feeds.
    uint64_t taken() const { return taken_; }
    // Whether the bytes so far held the start of a PCL job's HP-GL/2: ESC E,
    // ESC%#B, or the universal exit followed by @PJL.
    bool pclJobSeen() const { return pclJobSeen_; }

  private:
    enum class Language : uint8_t { hpgl2, pcl, pjl };
    enum class Escape : uint8_t { none, first, afterFirst, value, data };
    enum class Phase : uint8_t { sign, digits, fraction };

    // One step; true when the byte is to be read again.
    bool step(int byte);
    bool escapeStep(int byte);
    bool valueEnded(int byte);
    // The escape is over, its counted data (if any) to be skipped first.
    bool finishEscape(bool again);
    void escapeDone();
    bool pjlByte(int byte);
    void startValue() {
        phase_ = Phase::sign;
        negative_ = false;
        value_ = 0;
    }

    HpglTokenizer& tokenizer_;
    uint64_t taken_ = 0;
    Language language_ = Language::hpgl2;
    bool foreign_ = false; // PCL or PJL is read until HP-GL/2 is entered again
    bool reset_ = false;
    bool pclJobSeen_ = false;
    std::string pjlLine_; // the PJL line being read, its first bytes only
    // The escape being read.
    Escape escape_ = Escape::none;
    Phase phase_ = Phase::sign;
    int first_ = 0;
    int group_ = 0;
    bool negative_ = false;
    int64_t value_ = 0;
    int64_t data_ = 0;
};

} // namespace plotanix
