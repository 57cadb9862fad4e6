#include "hpgl2/hpgl2_input.h"

#include <algorithm>
#include <cctype>
#include <limits>

namespace plotanix {

namespace {

constexpr int escapeByte = 27;
// A PJL line is known by its start; the rest of a long one is dropped.
constexpr size_t pjlLineKept = 256;
constexpr int64_t valueCeiling = std::numeric_limits<int64_t>::max() / 16;

bool between(int byte, int lo, int hi) {
    return byte >= lo && byte <= hi;
}

std::string upperCase(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

} // namespace

bool Hpgl2Input::takeReset() {
    const bool was = reset_;
    reset_ = false;
    return was;
}

void Hpgl2Input::feed(std::span<const uint8_t> bytes) {
    for (size_t next = 0; next < bytes.size();) {
        if (escape_ == Escape::none && !foreign_) {
            // A run of numbers' bytes ends no instruction: counted after it.
            const size_t run = tokenizer_.putNumbers(bytes.subspan(next));
            taken_ += run;
            next += run;
        }
        if (next < bytes.size()) put(bytes[next++]);
    }
}

void Hpgl2Input::end() {
    escape_ = Escape::none;
    tokenizer_.put(endEvent);
}

bool Hpgl2Input::step(int byte) {
    if (escape_ != Escape::none) return escapeStep(byte);
    if (byte == escapeByte) {
        escape_ = Escape::first;
        return false;
    }
    if (!foreign_) {
        if (byte != 0) tokenizer_.put(byte); // NUL fills a line; it says nothing
        return false;
    }
    if (language_ != Language::pjl) return false;
    const bool again = pjlByte(byte);
    if (language_ == Language::hpgl2) {
        // Back in HP-GL/2: the instruction being read is over.
        foreign_ = false;
        tokenizer_.put(abortEvent);
    }
    return again;
}

bool Hpgl2Input::pjlByte(int byte) {
    if (byte == '\n' || byte == '\r') {
        const std::string line = upperCase(pjlLine_);
        pjlLine_.clear();
        if (!line.starts_with("@PJL")) return false;
        const size_t enter = line.find("ENTER");
        const size_t equals = line.find('=', enter == std::string::npos ? line.size() : enter);
        if (enter == std::string::npos || equals == std::string::npos ||
            line.find("LANGUAGE") == std::string::npos)
            return false;
        std::string name = line.substr(equals + 1);
        name.erase(
            std::remove_if(name.begin(), name.end(),
                           [](char c) { return c == ' ' || c == '\t' || c == '-' || c == '/'; }),
            name.end());
        language_ = name.starts_with("HPGL") ? Language::hpgl2 : Language::pcl;
        return false;
    }
    // A job that does not begin with PJL is read as HP-GL/2 from here.
    if (pjlLine_.empty() && byte != '@' && byte != ' ' && byte != '\t' && byte != '\f') {
        language_ = Language::hpgl2;
        return true;
    }
    if (pjlLine_.size() < pjlLineKept) pjlLine_.push_back(static_cast<char>(byte));
    if (pjlLine_ == "@PJL") pclJobSeen_ = true;
    return false;
}

bool Hpgl2Input::escapeStep(int byte) {
    switch (escape_) {
    case Escape::none:
        return false;
    case Escape::first:
        if (between(byte, 48, 126)) {
            // A two-character escape; of them only ESC E (reset) matters here.
            if (byte == 'E') {
                reset_ = pclJobSeen_ = true;
                language_ = Language::pcl;
            }
            return finishEscape(false);
        }
        // Not an escape sequence: the ESC alone is dropped.
        if (!between(byte, 33, 47)) return finishEscape(true);
        // ESC, the parameterised character, a group character, then value
        // fields, each ended by a parameter character: lower case goes on,
        // upper case ends the sequence.
        first_ = byte;
        group_ = 0;
        data_ = 0;
        escape_ = Escape::afterFirst;
        return false;
    case Escape::afterFirst:
        escape_ = Escape::value;
        startValue();
        if (!between(byte, 96, 126)) return true;
        group_ = byte;
        return false;
    case Escape::value:
        if (phase_ == Phase::sign) {
            phase_ = Phase::digits;
            if (byte == '+' || byte == '-') {
                negative_ = byte == '-';
                return false;
            }
        }
        if (phase_ == Phase::digits && between(byte, '0', '9')) {
            value_ = std::min(valueCeiling, value_ * 10 + (byte - '0'));
            return false;
        }
        if (phase_ == Phase::digits && byte == '.') {
            phase_ = Phase::fraction;
            return false;
        }
        if (phase_ == Phase::fraction && between(byte, '0', '9')) return false;
        return valueEnded(byte);
    case Escape::data:
        if (--data_ <= 0) {
            escape_ = Escape::none;
            escapeDone();
        }
        return false;
    }
    return false;
}

bool Hpgl2Input::valueEnded(int byte) {
    const int64_t value = negative_ ? -value_ : value_;
    const bool more = between(byte, 96, 126);
    // Malformed: the byte belongs to what follows (the counted data first).
    if (!more && !between(byte, 64, 94)) return finishEscape(true);
    const int command = std::toupper(byte);
    // The commands whose value counts binary bytes after the sequence.
    const bool counted = command == 'W' || (first_ == '&' && group_ == 'p' && command == 'X') ||
                         (first_ == '*' && group_ == 'b' && command == 'V');
    if (counted) data_ = std::min(valueCeiling, data_ + std::max<int64_t>(value, 0));
    if (first_ == '%' && group_ == 0) {
        if (command == 'B') language_ = Language::hpgl2, pclJobSeen_ = true;
        if (command == 'A' && language_ == Language::hpgl2) language_ = Language::pcl;
        if (command == 'X' && value == -12345) language_ = Language::pjl, pjlLine_.clear();
    }
    if (!more) return finishEscape(false);
    startValue();
    return false;
}

bool Hpgl2Input::finishEscape(bool again) {
    if (data_ > 0) {
        escape_ = Escape::data;
        return again;
    }
    escape_ = Escape::none;
    escapeDone();
    return again;
}

void Hpgl2Input::escapeDone() {
    data_ = 0;
    if (!foreign_) {
        foreign_ = language_ != Language::hpgl2;
    } else if (language_ == Language::hpgl2) {
        // Back in HP-GL/2, or reset: the instruction being read is over.
        foreign_ = false;
        tokenizer_.put(abortEvent);
    }
}

} // namespace plotanix
