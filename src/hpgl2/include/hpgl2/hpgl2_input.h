#pragma once
// How the HP-GL/2 model reads its input: HP-GL/2 bytes with one byte of
// push-back, and the PCL job around them taken out of the way. ESC E
// resets the printer and leaves HP-GL/2; ESC%#A leaves it for PCL and
// ESC%#B comes back; the universal exit ESC%-12345X leaves for PJL, whose
// ENTER LANGUAGE line picks the next language. PCL commands, text and the
// binary data a command counts (raster rows, fonts, patterns) are read and
// dropped, in constant memory, however long they run.

#include "hp7470a/hp7470a_syntax.h"

#include <cstdint>
#include <string>

namespace plotanix {

class InstructionReader;

class Hpgl2Input : public ReaderInput {
  public:
    explicit Hpgl2Input(InstructionReader& reader) : ReaderInput(reader) {}

    // Bytes of HP-GL/2. aborted: the stream left HP-GL/2 (or was reset)
    // and has come back, so the instruction being read ends there.
    int get() override;

    // ESC E came since the last call: the model starts as after IN, on
    // the default page.
    bool takeReset();

  private:
    enum class Language { hpgl2, pcl, pjl };

    // After ESC: one escape sequence, in any language.
    void escape();
    // Reads PCL or PJL until HP-GL/2 is entered again or the stream ends.
    void skipForeign();
    void pjlByte(int byte);
    // The value field of a parameterised escape; byte is its first byte on
    // entry and the byte after it on return.
    int64_t escapeValue(int& byte);
    void skipData(int64_t count);

    Language language_ = Language::hpgl2;
    bool reset_ = false;
    std::string pjlLine_; // the PJL line being read, its first bytes only
};

} // namespace plotanix
