#include "hp86b/hp86b_reader.h"

#include <algorithm>
#include <charconv>
#include <limits>
#include <utility>

namespace plotanix {

namespace {

constexpr uint8_t etx = 0x03;

Hp86bReader::Takes takesAfter(std::string_view mnemonic) {
    for (const Hp86bReader::Instruction& instruction : Hp86bReader::instructions)
        if (instruction.mnemonic == mnemonic) return instruction.takes;
    return Hp86bReader::Takes::nothing;
}

} // namespace

namespace {

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}
bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Length of the decimal number at the start of s (0 when there is none),
// with the exponent letter normalised to 'e' in out.
size_t numberPrefix(std::string_view s, std::string& out) {
    size_t i = 0;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) out.push_back(s[i++]);
    size_t digits = 0;
    while (i < s.size() && isDigit(s[i]))
        out.push_back(s[i++]), ++digits;
    if (i < s.size() && s[i] == '.') {
        out.push_back(s[i++]);
        while (i < s.size() && isDigit(s[i]))
            out.push_back(s[i++]), ++digits;
    }
    if (digits == 0) return 0;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E' || s[i] == 'd' || s[i] == 'D')) {
        size_t j = i + 1;
        std::string exponent = "e";
        if (j < s.size() && (s[j] == '+' || s[j] == '-')) exponent.push_back(s[j++]);
        if (j < s.size() && isDigit(s[j])) {
            while (j < s.size() && isDigit(s[j]))
                exponent.push_back(s[j++]);
            out += exponent;
            i = j;
        }
    }
    return i;
}

} // namespace

float parameterValue(const std::string& text) {
    std::string_view s(text);
    while (!s.empty() && isSpace(s.front()))
        s.remove_prefix(1);
    std::string number;
    if (numberPrefix(s, number) == 0) return 0.0f;
    const char* first = number.data();
    if (*first == '+') ++first; // from_chars takes no plus sign
    double value = 0.0;
    auto [end, ec] = std::from_chars(first, number.data() + number.size(), value);
    (void)end;
    const bool negative = number.front() == '-';
    constexpr float largest = std::numeric_limits<float>::max();
    if (ec == std::errc::result_out_of_range) {
        // Either far too large or far too small: tell them apart by the
        // exponent's sign.
        const bool tiny = number.find("e-") != std::string::npos;
        if (tiny) return negative ? -0.0f : 0.0f;
        return negative ? -largest : largest;
    }
    if (value > largest) return largest;
    if (value < -largest) return -largest;
    return static_cast<float>(value);
}

bool Hp86bReader::isKnown(std::string_view mnemonic) {
    return std::any_of(instructions.begin(), instructions.end(),
                       [&](const Instruction& i) { return i.mnemonic == mnemonic; });
}

std::string mnemonicText(uint8_t first, uint8_t second) {
    std::string text;
    if (first != 0) {
        text.push_back(static_cast<char>(first));
        if (second != 0) text.push_back(static_cast<char>(second));
    }
    return text;
}

void Hp86bReader::restart() {
    stands_ = Stands::mnemonic;
    text_.clear();
    taken_ = 0;
    full_ = false;
}

void Hp86bReader::take(uint8_t byte) {
    switch (stands_) {
    case Stands::mnemonic:
        first_ = byte;
        stands_ = Stands::secondByte;
        break;
    case Stands::secondByte:
        mnemonicRead(byte);
        break;
    case Stands::parameters:
        if (byte == ';') {
            if (!text_.empty()) endField();
            ended();
            break;
        }
        // Past the cap the rest is read and dropped, the field that was cut
        // included, so no value is half read.
        if (!full_ && ++taken_ > maxTextBytes) {
            full_ = true;
            text_.clear();
        }
        if (full_) break;
        if (byte == ',') {
            endField();
        } else if (byte != 0) { // a NUL adds nothing to a text
            text_.push_back(static_cast<char>(byte));
        }
        break;
    case Stands::label:
        if (byte == etx) {
            listener_.label(text_);
            text_.clear();
            stands_ = Stands::toTerminator; // what follows up to the ';' is skipped
        } else if (byte != 0 && text_.size() < maxTextBytes) {
            text_.push_back(static_cast<char>(byte));
        }
        break;
    case Stands::toTerminator:
        if (byte == ';') ended();
        break;
    case Stands::ended:
        break;
    }
}

void Hp86bReader::mnemonicRead(uint8_t second) {
    const std::string mnemonic = mnemonicText(first_, second);
    switch (takesAfter(mnemonic)) {
    case Takes::parameters:
        stands_ = Stands::parameters;
        taken_ = 0;
        full_ = false;
        break;
    case Takes::label:
        stands_ = Stands::label;
        break;
    case Takes::nothing:
        stands_ = Stands::toTerminator;
        break;
    }
    text_.clear();
    listener_.mnemonic(mnemonic);
}

void Hp86bReader::endField() {
    listener_.parameter(parameterValue(text_));
    text_.clear();
}

void Hp86bReader::ended() {
    stands_ = Stands::mnemonic;
    listener_.instructionEnded();
}

void Hp86bReader::endOfStream() {
    const Stands was = std::exchange(stands_, Stands::ended);
    switch (was) {
    case Stands::parameters:
        if (!text_.empty() && !full_) endField();
        listener_.instructionEnded();
        break;
    case Stands::label:
        listener_.label(text_);
        listener_.instructionEnded();
        break;
    case Stands::toTerminator:
        listener_.instructionEnded();
        break;
    default:
        break;
    }
    text_.clear();
}

} // namespace plotanix
