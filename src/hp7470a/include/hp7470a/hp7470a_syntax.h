#pragma once
// How the 7470A reads its input. Hp7470aInput takes the bytes from the
// reader, carries out ESC . device-control instructions, answers ENQ,
// releases a reply on its trigger and passes over a host's echo the moment
// they arrive (inside parameters and labels too), drops HP-GL while the
// plotter is off, and hands out the rest with one byte of push-back.
// ParameterScanner reads one instruction's numbers from it. The HP-GL/2
// model reads its instructions and writes its reply numbers with the same
// pieces.

#include "hp7470a/hp7470a_serial.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace plotanix {

class InstructionReader;

// Where ParameterScanner takes its bytes.
class ScannerInput {
  public:
    // What get() returns besides bytes 0..255.
    static constexpr int silent = -1;  // the line fell silent: the run ends
    static constexpr int aborted = -2; // the instruction being read is dropped

    virtual int get() = 0;
    // Gives back the byte get() returned last; it comes out of get() again.
    virtual void unget(int byte) = 0;

  protected:
    ~ScannerInput() = default;
};

// A ScannerInput on the reader's bytes, for a model's input to build on:
// one HP-GL byte of push-back, and one raw byte that an escape sequence
// read but did not take.
class ReaderInput : public ScannerInput {
  public:
    void unget(int byte) final {
        if (byte >= 0) pushedBack_ = byte;
    }
    bool lineSilent() const;

  protected:
    explicit ReaderInput(InstructionReader& reader) : reader_(reader) {}
    ~ReaderInput() = default;

    // The byte unget gave back (once), or silent.
    int takePushedBack();
    // The next byte of the line, the pending one first; silent when the
    // line fell silent.
    int raw();

    int rawPending_ = silent;

  private:
    InstructionReader& reader_;
    int pushedBack_ = silent;
};

class Hp7470aInput : public ReaderInput {
  public:
    Hp7470aInput(InstructionReader& reader, Hp7470aSerial& serial)
        : ReaderInput(reader), serial_(serial) {}

    // aborted: ESC.K.
    int get() override;

  private:
    void deviceControl();
    // Reads "p;p;...:" for an ESC . instruction; false when it was cut
    // short: by a byte that does not belong (dropped with it, error 12), by
    // the next ESC (left for its own sequence) or by silence.
    bool readEscapeParameters(std::vector<int32_t>& parameters);

    Hp7470aSerial& serial_;
};

bool isLetter(int byte);
bool isDigit(int byte);
// Commas, spaces and line ends between parameters and mnemonic letters.
bool isSeparator(int byte);

// The mnemonic whose first letter was read. Separators may stand between
// the letters; a letter alone is an instruction no plotter knows.
std::string readMnemonic(int first, ScannerInput& input);

// Finds an instruction of a table by its two-letter mnemonic (either case).
// Looked up by the letter pair: comparing texts would cost more than
// carrying out most instructions.
template <typename Instruction, size_t N> class InstructionIndex {
  public:
    explicit InstructionIndex(const std::array<Instruction, N>& table) {
        for (const Instruction& i : table)
            byPair_[static_cast<size_t>(pair(i.mnemonic))] = &i;
    }
    // nullptr when the table does not have it.
    const Instruction* find(std::string_view mnemonic) const {
        const int index = pair(mnemonic);
        return index < 0 ? nullptr : byPair_[static_cast<size_t>(index)];
    }

  private:
    static int pair(std::string_view m) {
        if (m.size() != 2 || !isLetter(m[0]) || !isLetter(m[1])) return -1;
        return (upper(m[0]) - 'A') * 26 + (upper(m[1]) - 'A');
    }
    static int upper(char letter) { return letter >= 'a' ? letter - 'a' + 'A' : letter; }

    std::array<const Instruction*, 26 * 26> byPair_{};
};

// The numbers of one instruction: separated by commas, spaces or a sign.
// They end at ';' (taken), at a letter (left for the next mnemonic), at any
// other byte that cannot continue them (taken), or at silence or ESC.K.
class ParameterScanner {
  public:
    explicit ParameterScanner(ScannerInput& input) : input_(input) {}

    // The next number; false when the parameters have ended.
    bool next(double& value);
    // A sign or point without digits was met (error 3).
    bool illegal() const { return illegal_; }
    // ESC.K arrived inside the instruction.
    bool aborted() const { return aborted_; }

  private:
    double readNumber(int first);

    ScannerInput& input_;
    bool ended_ = false;
    bool illegal_ = false;
    bool aborted_ = false;
};

// Numbers as replies write them: whole ones rounded half up; decimals with
// at most four places, no trailing zeros and no "-0". The callers hold the
// values to their model's range first.
std::string wholeText(double value);
std::string decimalText(double value);
// A reply's fields, separated by commas.
std::string joined(std::initializer_list<std::string> parts);

// One instruction's numbers: the first N kept, every one counted.
template <size_t N> struct Parameters {
    std::array<double, N> v{};
    int count = 0; // every parameter, also those past v
    bool illegal = false;
    bool aborted = false;
};

template <size_t N> Parameters<N> collectParameters(ParameterScanner& scanner) {
    Parameters<N> values;
    double value = 0.0;
    while (scanner.next(value)) {
        if (values.count < static_cast<int>(N)) values.v[static_cast<size_t>(values.count)] = value;
        // Past the kept values only the count matters, and it stops growing
        // where every instruction has long had too many.
        values.count = std::min(values.count + 1, 1000);
    }
    values.illegal = scanner.illegal();
    values.aborted = scanner.aborted();
    return values;
}

} // namespace plotanix
