#include "hpgl2/hpgl2_input.h"

#include "hpgl/reader.h"

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

int Hpgl2Input::get() {
    if (const int byte = takePushedBack(); byte != silent) return byte;
    for (;;) {
        const int byte = raw();
        if (byte == 0) continue; // NUL fills a line; it says nothing
        if (byte != escapeByte) return byte;
        escape();
        if (language_ == Language::hpgl2) continue; // an escape HP-GL/2 passes over
        skipForeign();
        // Back in HP-GL/2, or at the end: the instruction being read is over.
        return language_ == Language::hpgl2 ? aborted : silent;
    }
}

void Hpgl2Input::skipForeign() {
    while (language_ != Language::hpgl2) {
        const int byte = raw();
        if (byte == silent) return;
        if (byte == escapeByte) {
            escape();
        } else if (language_ == Language::pjl) {
            pjlByte(byte);
        }
    }
}

void Hpgl2Input::pjlByte(int byte) {
    if (byte == '\n' || byte == '\r') {
        const std::string line = upperCase(pjlLine_);
        pjlLine_.clear();
        if (!line.starts_with("@PJL")) return;
        const size_t enter = line.find("ENTER");
        const size_t equals = line.find('=', enter == std::string::npos ? line.size() : enter);
        if (enter == std::string::npos || equals == std::string::npos ||
            line.find("LANGUAGE") == std::string::npos)
            return;
        std::string name = line.substr(equals + 1);
        name.erase(
            std::remove_if(name.begin(), name.end(),
                           [](char c) { return c == ' ' || c == '\t' || c == '-' || c == '/'; }),
            name.end());
        language_ = name.starts_with("HPGL") ? Language::hpgl2 : Language::pcl;
        return;
    }
    // A job that does not begin with PJL is read as HP-GL/2 from here.
    if (pjlLine_.empty() && byte != '@' && byte != ' ' && byte != '\t' && byte != '\f') {
        language_ = Language::hpgl2;
        rawPending_ = byte;
        return;
    }
    if (pjlLine_.size() < pjlLineKept) pjlLine_.push_back(static_cast<char>(byte));
}

void Hpgl2Input::escape() {
    const int first = raw();
    if (first == silent) return;
    if (between(first, 48, 126)) {
        // A two-character escape; of them only ESC E (reset) matters here.
        if (first == 'E') {
            reset_ = true;
            language_ = Language::pcl;
        }
        return;
    }
    if (!between(first, 33, 47)) {
        rawPending_ = first; // not an escape sequence: the ESC alone is dropped
        return;
    }
    // ESC, the parameterised character, a group character (not for %), then
    // value fields, each ended by a parameter character: lower case goes on,
    // upper case ends the sequence.
    int byte = raw();
    int group = 0;
    if (between(byte, 96, 126)) {
        group = byte;
        byte = raw();
    }
    int64_t data = 0;
    for (;;) {
        const int64_t value = escapeValue(byte);
        if (byte == silent) return;
        const bool more = between(byte, 96, 126);
        if (!more && !between(byte, 64, 94)) {
            rawPending_ = byte; // malformed: the byte belongs to what follows
            break;
        }
        const int command = std::toupper(byte);
        // The commands whose value counts binary bytes after the sequence.
        const bool counted = command == 'W' || (first == '&' && group == 'p' && command == 'X') ||
                             (first == '*' && group == 'b' && command == 'V');
        if (counted) data = std::min(valueCeiling, data + std::max<int64_t>(value, 0));
        if (first == '%' && group == 0) {
            if (command == 'B') language_ = Language::hpgl2;
            if (command == 'A' && language_ == Language::hpgl2) language_ = Language::pcl;
            if (command == 'X' && value == -12345) language_ = Language::pjl, pjlLine_.clear();
        }
        if (!more) break;
        byte = raw();
    }
    skipData(data);
}

int64_t Hpgl2Input::escapeValue(int& byte) {
    bool negative = false;
    if (byte == '+' || byte == '-') {
        negative = byte == '-';
        byte = raw();
    }
    int64_t value = 0;
    while (between(byte, '0', '9')) {
        value = std::min(valueCeiling, value * 10 + (byte - '0'));
        byte = raw();
    }
    if (byte == '.') {
        byte = raw();
        while (between(byte, '0', '9'))
            byte = raw();
    }
    return negative ? -value : value;
}

void Hpgl2Input::skipData(int64_t count) {
    for (; count > 0; --count) {
        if (raw() == silent) return;
    }
}

} // namespace plotanix
