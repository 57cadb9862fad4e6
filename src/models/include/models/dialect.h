#pragma once
// Which plotter a file of HP-GL was written for, told from its bytes: an
// HP-GL/2 device when it uses an instruction only HP-GL/2 has, or comes
// wrapped in a PCL job; otherwise a plain HP-GL plotter such as the 7470A.

#include <string_view>

namespace plotanix {

// True for bytes that use an instruction the HP-GL/2 model knows and the
// 7470A model does not (PE, PM, FP, RA, PS, BP, NP, PW, ...), or that hold the start
// of a PCL job's HP-GL/2: ESC E (the printer's reset), ESC%#B (enter
// HP-GL/2) or the universal exit ESC%-12345X followed by @PJL. The bytes
// are read once, by the HP-GL/2 model's tokenizer counting the mnemonics
// (Hpgl2Mnemonics): a label's text (up to its terminator, as DT sets it),
// SM's symbol, a quoted comment and an escape sequence are no instructions.
bool writtenForHpgl2(std::string_view bytes);

} // namespace plotanix
