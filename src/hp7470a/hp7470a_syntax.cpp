#include "hp7470a/hp7470a_syntax.h"

#include <algorithm>

namespace plotanix {

namespace {

constexpr int escapeByte = 27;
constexpr int32_t escapeParameterCeiling = 1000000;

} // namespace

void Hp7470aInput::end() {
    escape_ = Escape::none;
    tokenizer_.put(endEvent);
}

bool Hp7470aInput::step(int byte) {
    switch (escape_) {
    case Escape::none:
        if (byte == escapeByte) {
            escape_ = Escape::esc;
        } else if (!serial_.takesByte(byte) && byte != 0 && serial_.plotterOn()) {
            tokenizer_.put(byte);
        }
        return false;
    case Escape::esc:
        // A lone ESC is dropped; what follows it is read as usual.
        escape_ = byte == '.' ? Escape::dot : Escape::none;
        return byte != '.';
    case Escape::dot:
        escape_ = Escape::none;
        if (!Hp7470aSerial::isCommand(static_cast<char>(byte))) {
            // Dropped: nothing of a malformed sequence is HP-GL. An ESC starts
            // the next sequence.
            serial_.setIoError(Hp7470aSerial::badEscapeByte);
            return byte == escapeByte;
        }
        command_ = static_cast<char>(byte);
        if (!Hp7470aSerial::takesParameters(command_)) {
            execute(command_);
            return false;
        }
        escape_ = Escape::parameters;
        parameters_.clear();
        value_ = Hp7470aSerial::omitted;
        tooMany_ = false;
        return false;
    case Escape::parameters:
        return parameterStep(byte);
    }
    return false;
}

// "p;p;...:" of an ESC . instruction.
bool Hp7470aInput::parameterStep(int byte) {
    auto store = [&] {
        if (parameters_.size() < Hp7470aSerial::maxParameters) {
            parameters_.push_back(value_);
        } else {
            tooMany_ = true;
        }
        value_ = Hp7470aSerial::omitted;
    };
    if (isDigit(byte)) {
        const int32_t sofar = value_ == Hp7470aSerial::omitted ? 0 : value_;
        value_ = std::min(escapeParameterCeiling, sofar * 10 + (byte - '0'));
    } else if (byte == ';') {
        store();
    } else if (byte == ':') {
        // "ESC.M:" has no parameters at all; every field defaults.
        if (value_ != Hp7470aSerial::omitted || !parameters_.empty()) store();
        if (tooMany_) serial_.setIoError(Hp7470aSerial::tooManyParameters);
        escape_ = Escape::none;
        execute(command_);
    } else if (byte == escapeByte) {
        // A new instruction begins; the half-read one is dropped.
        escape_ = Escape::none;
        return true;
    } else if (byte != ' ') {
        // The instruction is dropped with the byte that spoiled it.
        serial_.setIoError(Hp7470aSerial::badParameterByte);
        escape_ = Escape::none;
    }
    return false;
}

void Hp7470aInput::execute(char command) {
    if (Hp7470aSerial::takesParameters(command)) {
        serial_.execute(command, parameters_);
    } else {
        serial_.execute(command, {});
    }
    // ESC.K: the instruction being read is dropped.
    if (serial_.takeAbort()) tokenizer_.put(abortEvent);
}

} // namespace plotanix
