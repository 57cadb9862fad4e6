#include "hp7470a/hp7470a_serial.h"

#include <cmath>
#include <string_view>
#include <utility>

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
        // Bit 0 of the second value: the hardwire handshake.
        hardwire_ = (parameterAt(parameters, 1, 0) & 1) != 0;
        askFlowControl();
        break;
    case 'B':
    case 'L':
        sendReply(freeBufferSpace);
        break;
    case 'E':
        // Cleared first: a reply that cannot go out sets error 10 afresh.
        sendReply(std::to_string(std::exchange(ioError_, noIoError)));
        break;
    case 'H':
        setHandshake(1, parameters);
        break;
    case 'I':
        setHandshake(2, parameters);
        break;
    case 'J':
        // A half-read device-control instruction is already dropped; the
        // output waiting for its trigger goes too, and so does the wait
        // for an echo.
        replyAwaitsTrigger_ = echoing_ = false;
        heldReply_.clear();
        break;
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
    // Without a trigger a held reply would wait for nothing, and without an
    // echo terminator the echo would be passed over for ever.
    if (trigger_ == 0 && replyAwaitsTrigger_) {
        replyAwaitsTrigger_ = false;
        transmit(std::exchange(heldReply_, {}), true);
    }
    if (echo_ == 0) echoing_ = false;
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
    // ESC.H without an enquiry character is the XON/XOFF handshake.
    xonXoff_ = handshake_ == 1 && enquiry_ == 0;
    askFlowControl();
}

void Hp7470aSerial::resetHandshake() {
    handshake_ = 0;
    blockSize_ = 80;
    enquiry_ = 0;
    acknowledgement_.clear();
    ioError_ = noIoError;
    xonXoff_ = false;
    askFlowControl();
}

// The plotter always has room, so the handshake only needs the line to
// carry it: the host's XON and XOFF taken as flow control, or RTS up while
// data is taken.
void Hp7470aSerial::askFlowControl() {
    link_.requestFlowControl(hardwire_  ? FlowControl::rtscts
                             : xonXoff_ ? FlowControl::xonxoff
                                        : FlowControl::none);
}

bool Hp7470aSerial::takesWatched(int byte) {
    if (replyAwaitsTrigger_ && byte == trigger_) {
        replyAwaitsTrigger_ = false;
        transmit(std::exchange(heldReply_, {}), true);
        return true;
    }
    if (handshake_ != 0 && enquiry_ != 0 && byte == enquiry_) {
        answerEnquiry();
        return true;
    }
    if (!echoing_) return false;
    if (byte == echo_) echoing_ = false;
    return true;
}

void Hp7470aSerial::answerEnquiry() {
    if (handshake_ == 2) return transmit(acknowledgement_, false);
    std::string reply = acknowledgement_;
    if (terminator1_ != 0) reply.push_back(static_cast<char>(terminator1_));
    if (terminator2_ != 0) reply.push_back(static_cast<char>(terminator2_));
    output(std::move(reply));
}

void Hp7470aSerial::sendReply(std::string_view text) {
    std::string reply;
    if (initiator_ != 0) reply.push_back(static_cast<char>(initiator_));
    reply.append(text);
    if (terminator1_ != 0) reply.push_back(static_cast<char>(terminator1_));
    if (terminator2_ != 0) reply.push_back(static_cast<char>(terminator2_));
    output(std::move(reply));
}

void Hp7470aSerial::output(std::string reply) {
    if (replyAwaitsTrigger_) {
        ioError_ = outputInProgress;
    } else if (trigger_ != 0) {
        replyAwaitsTrigger_ = true;
        heldReply_ = std::move(reply);
    } else {
        transmit(reply, true);
    }
}

int32_t Hp7470aSerial::turnaroundMs() const {
    // The manual's formula, in milliseconds.
    const auto scaled = static_cast<int64_t>(delayParameter_ * 1.1875) % 65536;
    return static_cast<int32_t>(std::lround(static_cast<double>(scaled) / 1.2));
}

void Hp7470aSerial::transmit(std::string_view reply, bool echoed) {
    for (size_t i = 0; i < reply.size(); ++i) {
        link_.waitOutputDrained();
        if (i == 0) {
            link_.writeSerialAfter(turnaroundMs(), reply.substr(0, 1));
        } else {
            link_.writeSerial(reply.substr(i, 1));
        }
    }
    link_.replyComplete();
    if (echoed && echo_ != 0 && !reply.empty()) echoing_ = true;
}

} // namespace plotanix
