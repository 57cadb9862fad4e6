#pragma once
// How the HP-86B's plotter reads its instructions, fed a byte at a time:
// two bytes of mnemonic, then what the mnemonic takes (numbers up to the
// ';', a label up to its ETX and then the ';', or nothing but a skip to the
// ';'). All it knows of where it stands is in its members, so it resumes
// wherever the last byte left it, and a pause of the line cuts nothing.
// The model reads through it, and so does the transcript splitter (with a
// listener that draws nothing): one reading of the grammar.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace plotanix {

class Hp86bReader {
  public:
    // A label, or the parameter text of one instruction, keeps at most its
    // first megabyte; the rest is read and dropped, so a text that never
    // ends cannot use up memory.
    static constexpr size_t maxTextBytes = size_t{1} << 20;

    // What follows a mnemonic.
    enum class Takes { parameters, label, nothing };
    struct Instruction {
        std::string_view mnemonic;
        Takes takes;
    };
    // The thirteen instructions the plotter knows; anything else is skipped
    // to its ';'.
    static constexpr std::array<Instruction, 13> instructions = {{
        {"PU", Takes::parameters},
        {"PD", Takes::parameters},
        {"PA", Takes::parameters},
        {"SP", Takes::parameters},
        {"DI", Takes::parameters},
        {"CP", Takes::parameters},
        {"LT", Takes::parameters},
        {"IW", Takes::parameters},
        {"LB", Takes::label},
        {"DF", Takes::nothing},
        {"OI", Takes::nothing},
        {"OE", Takes::nothing},
        {"OP", Takes::nothing},
    }};
    static bool isKnown(std::string_view mnemonic);

    // Told each piece as it is read.
    class Listener {
      public:
        virtual ~Listener() = default;
        // A mnemonic is read (a NUL byte ends its text): known or not, an
        // instruction begins.
        virtual void mnemonic(std::string_view text) = 0;
        // One parameter, as soon as the ',' or ';' after it is read.
        virtual void parameter(float value) { (void)value; }
        // The label's text, at its ETX.
        virtual void label(std::string_view text) { (void)text; }
        // The instruction's ';' is read, or the stream ended inside it.
        virtual void instructionEnded() {}
    };

    // Where the reader stands: before a mnemonic, after its first byte,
    // in the parameters, in a label's text, skipping to the ';'.
    enum class Stands { mnemonic, secondByte, parameters, label, toTerminator, ended };

    explicit Hp86bReader(Listener& listener) : listener_(listener) {}

    void take(uint8_t byte);
    void feed(std::span<const uint8_t> bytes) {
        for (uint8_t byte : bytes)
            take(byte);
    }
    // The stream has ended: the instruction being read ends as far as its
    // bytes go (a mnemonic's lone first byte is no instruction); nothing is
    // taken after this.
    void endOfStream();
    // Before the first byte of a new stream.
    void restart();

    Stands stands() const { return stands_; }

  private:
    void mnemonicRead(uint8_t second);
    void endField();
    void ended();

    Listener& listener_;
    Stands stands_ = Stands::mnemonic;
    uint8_t first_ = 0;
    std::string text_;  // the parameter field or the label text so far
    size_t taken_ = 0;  // bytes of this instruction's parameter text
    bool full_ = false; // past maxTextBytes: the rest is dropped
};

// The mnemonic as the plotter takes it: a NUL byte ends the text.
std::string mnemonicText(uint8_t first, uint8_t second);

// The value of a parameter text: its longest decimal prefix after leading
// white space (exponent letters e, E, d, D), 0 when there is none. Values
// beyond single precision become the largest finite float of their sign.
float parameterValue(const std::string& text);

} // namespace plotanix
