#include "hp7470a/hp7470a_syntax.h"

#include "hpgl/reader.h"

#include <cmath>
#include <cstdio>

namespace plotanix {

namespace {

constexpr int escapeByte = 27;
// Digits past these add nothing a 7470A parameter can use; the value keeps
// growing only until it is far out of every range.
constexpr double numberCeiling = 1.0e12;
constexpr int fractionDigits = 12;
constexpr int32_t escapeParameterCeiling = 1000000;

} // namespace

bool isLetter(int byte) {
    return (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z');
}

bool isDigit(int byte) {
    return byte >= '0' && byte <= '9';
}

bool isSeparator(int byte) {
    return byte == ',' || byte == ' ' || byte == '\r' || byte == '\n' || byte == '\t';
}

std::string wholeText(double value) {
    return std::to_string(static_cast<int64_t>(std::floor(value + 0.5)));
}

std::string decimalText(double value) {
    char text[48];
    std::snprintf(text, sizeof text, "%.4f", value);
    std::string s(text);
    while (s.back() == '0')
        s.pop_back();
    if (s.back() == '.') s.pop_back();
    return s == "-0" ? "0" : s;
}

std::string joined(std::initializer_list<std::string> parts) {
    std::string out;
    for (const std::string& part : parts) {
        if (!out.empty()) out.push_back(',');
        out += part;
    }
    return out;
}

std::string readMnemonic(int first, ScannerInput& input) {
    std::string letters(1, static_cast<char>(first));
    int second = input.get();
    while (isSeparator(second))
        second = input.get();
    if (isLetter(second)) {
        letters.push_back(static_cast<char>(second));
    } else {
        input.unget(second);
    }
    return letters;
}

bool ReaderInput::lineSilent() const {
    return reader_.stopped();
}

int ReaderInput::takePushedBack() {
    const int byte = pushedBack_;
    pushedBack_ = silent;
    return byte;
}

int ReaderInput::raw() {
    if (rawPending_ != silent) {
        const int byte = rawPending_;
        rawPending_ = silent;
        return byte;
    }
    const int byte = reader_.readByte();
    if (lineSilent()) return silent;
    return byte & 0xFF;
}

int Hp7470aInput::get() {
    if (const int byte = takePushedBack(); byte != silent) return byte;
    for (;;) {
        const int byte = raw();
        if (byte == silent) return silent;
        if (byte == escapeByte) {
            deviceControl();
            if (serial_.takeAbort()) return aborted;
        } else if (!serial_.takesByte(byte) && byte != 0 && serial_.plotterOn()) {
            return byte;
        }
    }
}

void Hp7470aInput::deviceControl() {
    const int dot = raw();
    if (dot != '.') {
        // A lone ESC is dropped; what follows it is read as usual.
        rawPending_ = dot;
        return;
    }
    const int command = raw();
    if (command == silent) return;
    if (!Hp7470aSerial::isCommand(static_cast<char>(command))) {
        // Dropped: nothing of a malformed sequence is HP-GL. An ESC starts
        // the next sequence.
        serial_.setIoError(Hp7470aSerial::badEscapeByte);
        if (command == escapeByte) rawPending_ = command;
        return;
    }
    std::vector<int32_t> parameters;
    if (Hp7470aSerial::takesParameters(static_cast<char>(command)) &&
        !readEscapeParameters(parameters)) {
        return;
    }
    serial_.execute(static_cast<char>(command), parameters);
}

bool Hp7470aInput::readEscapeParameters(std::vector<int32_t>& parameters) {
    int32_t value = Hp7470aSerial::omitted;
    bool tooMany = false;
    auto store = [&] {
        if (parameters.size() < Hp7470aSerial::maxParameters) {
            parameters.push_back(value);
        } else {
            tooMany = true;
        }
        value = Hp7470aSerial::omitted;
    };
    for (;;) {
        const int byte = raw();
        if (byte == silent) return false;
        if (isDigit(byte)) {
            const int32_t sofar = value == Hp7470aSerial::omitted ? 0 : value;
            value = std::min(escapeParameterCeiling, sofar * 10 + (byte - '0'));
        } else if (byte == ';') {
            store();
        } else if (byte == ':') {
            // "ESC.M:" has no parameters at all; every field defaults.
            if (value != Hp7470aSerial::omitted || !parameters.empty()) store();
            if (tooMany) serial_.setIoError(Hp7470aSerial::tooManyParameters);
            return true;
        } else if (byte == escapeByte) {
            // A new instruction begins; the half-read one is dropped.
            rawPending_ = byte;
            return false;
        } else if (byte != ' ') {
            // The instruction is dropped with the byte that spoiled it.
            serial_.setIoError(Hp7470aSerial::badParameterByte);
            return false;
        }
    }
}

bool ParameterScanner::next(double& value) {
    if (ended_) return false;
    int byte = input_.get();
    while (isSeparator(byte))
        byte = input_.get();
    if (isDigit(byte) || byte == '+' || byte == '-' || byte == '.') {
        value = readNumber(byte);
        if (!illegal_) return true;
    } else if (isLetter(byte)) {
        input_.unget(byte);
    } else if (byte == Hp7470aInput::aborted) {
        aborted_ = true;
    }
    ended_ = true;
    return false;
}

double ParameterScanner::readNumber(int first) {
    const bool negative = first == '-';
    int byte = first == '+' || first == '-' ? input_.get() : first;
    double whole = 0.0;
    double fraction = 0.0;
    double scale = 1.0;
    int digits = 0;
    while (isDigit(byte)) {
        whole = std::min(numberCeiling, whole * 10.0 + (byte - '0'));
        ++digits;
        byte = input_.get();
    }
    if (byte == '.') {
        byte = input_.get();
        for (int taken = 0; isDigit(byte); ++taken) {
            if (taken < fractionDigits) fraction += (byte - '0') * (scale /= 10.0);
            ++digits;
            byte = input_.get();
        }
    }
    // The byte after the number: a separator or sign starts the next one,
    // anything else ends the parameters and is dealt with by next().
    if (byte == '+' || byte == '-' || byte == '.' || isLetter(byte) || isSeparator(byte)) {
        input_.unget(byte);
    } else {
        aborted_ = byte == Hp7470aInput::aborted;
        ended_ = true;
    }
    if (digits == 0) illegal_ = true;
    const double value = whole + fraction;
    return negative ? -value : value;
}

} // namespace plotanix
