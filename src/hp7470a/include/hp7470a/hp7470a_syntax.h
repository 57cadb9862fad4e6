#pragma once
// How the 7470A reads its input. Hp7470aInput takes the line's bytes one
// at a time, carries out ESC . device-control instructions, answers ENQ,
// releases a reply on its trigger and passes over a host's echo the moment
// they arrive (inside parameters and labels too), drops HP-GL while the
// plotter is off, and pushes the rest on to the tokenizer. An ESC . read
// in part waits in members for its next byte.

#include "hp7470a/hp7470a_serial.h"
#include "hpgl/tokenizer.h"

#include <cstdint>
#include <span>
#include <vector>

namespace plotanix {

class Hp7470aInput {
  public:
    Hp7470aInput(Hp7470aSerial& serial, HpglTokenizer& tokenizer)
        : serial_(serial), tokenizer_(tokenizer) {}

    void put(uint8_t byte) {
        while (step(byte)) {
        }
    }
    // As put() for each byte; a run of numbers' bytes goes on to the
    // tokenizer whole while nothing between watches the bytes.
    void feed(std::span<const uint8_t> bytes) {
        for (size_t next = 0; next < bytes.size();) {
            if (escape_ == Escape::none && !serial_.watching() && serial_.plotterOn()) {
                const size_t run = tokenizer_.putInstructions(bytes.subspan(next));
                next += run;
                if (run > 0) continue;
            }
            put(bytes[next++]);
        }
    }
    // The stream has ended: an escape sequence read in part is dropped.
    void end();

  private:
    enum class Escape : uint8_t { none, esc, dot, parameters };
    // One step; true when the byte is to be read again.
    bool step(int byte);
    bool parameterStep(int byte);
    void execute(char command);

    Hp7470aSerial& serial_;
    HpglTokenizer& tokenizer_;
    Escape escape_ = Escape::none;
    char command_ = 0;
    // The ESC . instruction's parameters so far, and the one being read.
    std::vector<int32_t> parameters_;
    int32_t value_ = Hp7470aSerial::omitted;
    bool tooMany_ = false;
};

} // namespace plotanix
