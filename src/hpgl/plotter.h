#pragma once
// What a plot session drives: a plotter model that takes instructions from
// the reader until the line falls silent. The HP-86B model (the default) and
// the HP 7470A model implement it; the session does not know which it has.

#include <cstdint>

namespace plotanix {

class Plotter {
  public:
    virtual ~Plotter() = default;
    // A plot run begins: the model sets whatever it resets between runs.
    virtual void startRun() = 0;
    // Takes instructions until the reader reports the line silent.
    virtual void runInstructionLoop() = 0;

    // Counted from 0 at the start of each run by the session.
    int32_t instructionCount = 0;
    int32_t ignoredCount = 0;
};

} // namespace plotanix
