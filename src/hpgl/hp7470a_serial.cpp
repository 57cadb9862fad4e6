#include "hpgl/hp7470a_serial.h"

#include <cerrno>
#include <ctime>
#include <string_view>

namespace plotanix {

namespace {

constexpr std::string_view commands = "@BEHIJKLMNOR()YZ";
constexpr std::string_view parameterCommands = "@HIMN";

// The plotter is always ready: the largest free space an ESC.B reply allows.
constexpr const char* freeBufferSpace = "255";
constexpr const char* bufferEmptyStatus = "8";

int32_t parameterAt(const std::vector<int32_t>& parameters, size_t index, int32_t fallback) {
    if (index >= parameters.size() || parameters[index] == Hp7470aSerial::omitted) return fallback;
    return parameters[index];
}

} // namespace

bool Hp7470aSerial::isCommand(char command) {
    return commands.find(command) != std::string_view::npos;
}

bool Hp7470aSerial::takesParameters(char command) {
    return parameterCommands.find(command) != std::string_view::npos;
}

void Hp7470aSerial::execute(char command, const std::vector<int32_t>& parameters) {
    switch (command) {
    case '(':
    case 'Y':
        plotterOn_ = true;
        break;
    case ')':
    case 'Z':
        plotterOn_ = false;
        break;
    case '@':
        configuration_ = parameters;
        break;
    case 'B':
    case 'L':
        sendReply(freeBufferSpace);
        break;
    case 'E':
        sendReply(std::to_string(ioError_));
        ioError_ = noIoError;
        break;
    case 'H':
        setHandshake(1, parameters);
        break;
    case 'I':
        setHandshake(2, parameters);
        break;
    case 'J':
        break; // a half-read device-control instruction is already dropped
    case 'K':
        abort_ = true;
        break;
    case 'M':
        setOutputMode(parameters);
        break;
    case 'N':
        extendedMode_ = parameters;
        break;
    case 'O':
        sendReply(bufferEmptyStatus);
        break;
    case 'R':
        resetHandshake();
        break;
    default:
        break;
    }
}

bool Hp7470aSerial::takeAbort() {
    const bool was = abort_;
    abort_ = false;
    return was;
}

int32_t Hp7470aSerial::asciiParameter(const std::vector<int32_t>& parameters, size_t index,
                                      int32_t fallback) {
    const int32_t value = parameterAt(parameters, index, fallback);
    if (value >= 0 && value <= 127) return value;
    ioError_ = asciiOutOfRange;
    return fallback;
}

void Hp7470aSerial::setOutputMode(const std::vector<int32_t>& parameters) {
    const int32_t delay = parameterAt(parameters, 0, 0);
    delayParameter_ = delay <= 54612 ? delay : 0;
    trigger_ = asciiParameter(parameters, 1, 0);
    echo_ = asciiParameter(parameters, 2, 0);
    terminator1_ = asciiParameter(parameters, 3, '\r');
    terminator2_ = asciiParameter(parameters, 4, 0);
    initiator_ = asciiParameter(parameters, 5, 0);
}

void Hp7470aSerial::setHandshake(int mode, const std::vector<int32_t>& parameters) {
    blockSize_ = parameterAt(parameters, 0, 80) % 256;
    enquiry_ = asciiParameter(parameters, 1, 0);
    acknowledgement_.clear();
    for (size_t i = 2; i < parameters.size(); ++i) {
        const int32_t c = asciiParameter(parameters, i, 0);
        if (c != 0) acknowledgement_.push_back(static_cast<char>(c));
    }
    handshake_ = parameters.empty() ? 0 : mode;
}

void Hp7470aSerial::resetHandshake() {
    handshake_ = 0;
    blockSize_ = 80;
    enquiry_ = 0;
    acknowledgement_.clear();
    ioError_ = noIoError;
}

void Hp7470aSerial::answerEnquiry() {
    // Mode 1 applies the output mode to the acknowledgement; mode 2 only
    // the turnaround delay.
    turnaroundDelay();
    std::string reply = acknowledgement_;
    if (handshake_ == 1) {
        if (terminator1_ != 0) reply.push_back(static_cast<char>(terminator1_));
        if (terminator2_ != 0) reply.push_back(static_cast<char>(terminator2_));
    }
    writeBytes(reply);
}

void Hp7470aSerial::sendReply(std::string_view text) {
    turnaroundDelay();
    std::string reply;
    if (initiator_ != 0) reply.push_back(static_cast<char>(initiator_));
    reply.append(text);
    if (terminator1_ != 0) reply.push_back(static_cast<char>(terminator1_));
    if (terminator2_ != 0) reply.push_back(static_cast<char>(terminator2_));
    writeBytes(reply);
}

void Hp7470aSerial::turnaroundDelay() const {
    if (delayParameter_ <= 0) return;
    // The manual's formula, in milliseconds. A signal ends the wait early,
    // so that quitting is never held up.
    const auto micros = static_cast<int64_t>(
        static_cast<double>(static_cast<int64_t>(delayParameter_ * 1.1875) % 65536) / 1.2 * 1000);
    timespec wait{static_cast<time_t>(micros / 1000000),
                  static_cast<long>(micros % 1000000) * 1000};
    nanosleep(&wait, nullptr);
}

void Hp7470aSerial::writeBytes(std::string_view bytes) {
    for (size_t i = 0; i < bytes.size(); ++i) {
        link_.waitOutputDrained();
        link_.writeSerial(bytes.substr(i, 1));
    }
}

} // namespace plotanix
