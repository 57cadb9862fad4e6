#pragma once
// HP-GL's syntax as the 7470A and HP-GL/2 models share it: the kinds of
// byte, the look-up of a mnemonic by its letter pair, one instruction's
// numbers, and the numbers' texts in replies.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace plotanix {

constexpr bool isLetter(int byte) {
    return (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z');
}
constexpr bool isDigit(int byte) {
    return byte >= '0' && byte <= '9';
}
// Commas, spaces and line ends between parameters and mnemonic letters.
constexpr bool isSeparator(int byte) {
    return byte == ',' || byte == ' ' || byte == '\r' || byte == '\n' || byte == '\t';
}

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
        if (m.size() != 2) return -1;
        const int first = letters_[static_cast<uint8_t>(m[0])];
        const int second = letters_[static_cast<uint8_t>(m[1])];
        return (first | second) < 0 ? -1 : first * 26 + second;
    }
    // Each byte's place in the alphabet (either case), -1 for all but letters.
    static constexpr std::array<int8_t, 256> letters_ = [] {
        std::array<int8_t, 256> places{};
        for (int byte = 0; byte < 256; ++byte)
            places[static_cast<size_t>(byte)] = static_cast<int8_t>(!isLetter(byte) ? -1
                                                                    : byte >= 'a'   ? byte - 'a'
                                                                                    : byte - 'A');
        return places;
    }();

    std::array<const Instruction*, 26 * 26> byPair_{};
};

// One instruction's numbers: the first ones kept, every one counted.
struct Numbers {
    static constexpr size_t kept = 24;
    std::array<double, kept> v{};
    int count = 0;        // every parameter, also those past v
    bool illegal = false; // a sign or point without digits (error 3)
    bool aborted = false; // the instruction was cut off (ESC.K, a PCL round trip)

    void add(double value) {
        if (count < static_cast<int>(kept)) v[static_cast<size_t>(count)] = value;
        // Past the kept values only the count matters, and it stops growing
        // where every instruction has long had too many.
        count = std::min(count + 1, 1000);
    }
};

// Numbers as replies write them: whole ones rounded half up; decimals with
// at most four places, no trailing zeros and no "-0". The callers hold the
// values to their model's range first.
std::string wholeText(double value);
std::string decimalText(double value);
// A reply's fields, separated by commas.
std::string joined(std::initializer_list<std::string> parts);

// A pen move's numbers taken one at a time and handed back as (x, y)
// pairs as each completes, so a pair list of any length needs no memory.
class CoordinatePairs {
  public:
    std::optional<std::pair<double, double>> take(double value) {
        if (!haveX_) {
            x_ = value;
            haveX_ = true;
            return std::nullopt;
        }
        haveX_ = false;
        return std::pair{x_, value};
    }
    // An x is waiting for its y.
    bool halfTaken() const { return haveX_; }
    void clear() { haveX_ = false; }

  private:
    double x_ = 0;
    bool haveX_ = false;
};

} // namespace plotanix
