#include "hpgl/reader.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <limits>

namespace plotanix {

int InstructionReader::readByte() {
    if (rxPos_ >= rxLength_) {
        if (ended_) return 0;
        rxLength_ = static_cast<int>(source_.takeBytes(rxBuffer_));
        rxPos_ = 0;
        if (rxLength_ == 0) {
            ended_ = true;
            return 0;
        }
    }
    return static_cast<int8_t>(rxBuffer_[rxPos_++]);
}

void InstructionReader::skipToTerminator() {
    while (!stopped()) {
        if (readByte() == ';') return;
    }
}

int InstructionReader::readParameters() {
    params.clear();
    std::string current;
    size_t taken = 0; // bytes of this instruction's parameter text so far
    bool full = false;
    auto store = [&] {
        if (!full) params.push_back(parameterValue(current));
        current.clear();
    };
    int c = readByte();
    while (c != ';' && !stopped()) {
        // Past the cap the rest is read and dropped, the field that was cut
        // included, so the stream stays in step and no value is half read.
        if (!full && ++taken > maxTextBytes) {
            full = true;
            current.clear();
        }
        if (!full) {
            if (c == ',') {
                store();
            } else if (c != 0) { // a NUL adds nothing to a text
                current.push_back(static_cast<char>(c));
            }
        }
        c = readByte();
    }
    if (!current.empty()) store();
    return static_cast<int>(params.size());
}

std::string InstructionReader::readLabelText() {
    std::string text;
    int c = readByte();
    while (c != 0x03 && !stopped()) {
        if (c != 0 && text.size() < maxTextBytes) text.push_back(static_cast<char>(c));
        c = readByte();
    }
    return text;
}

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

} // namespace plotanix
