#include "serial/telnet.h"

namespace plotanix {

namespace {

// A plain line needs an 8-bit path and no go-ahead; echo, terminal types,
// line modes and the rest have no meaning for a plotter.
bool wanted(uint8_t option) {
    return option == telnet::binary || option == telnet::suppressGoAhead;
}

} // namespace

std::string TelnetFilter::opening() {
    using namespace telnet;
    std::string bytes;
    for (const uint8_t option : {binary, suppressGoAhead}) {
        ours_[option] = theirs_[option] = true;
        bytes += {static_cast<char>(iac), static_cast<char>(will), static_cast<char>(option),
                  static_cast<char>(iac), static_cast<char>(do_),  static_cast<char>(option)};
    }
    return bytes;
}

std::string TelnetFilter::takeAnswers() {
    std::string taken;
    taken.swap(answers_);
    return taken;
}

void TelnetFilter::answer(uint8_t verb, uint8_t option) {
    answers_ +=
        {static_cast<char>(telnet::iac), static_cast<char>(verb), static_cast<char>(option)};
}

// Only a change is answered, so two ends agreeing never loop; a refusal is
// answered every time it is asked.
void TelnetFilter::negotiate(uint8_t verb, uint8_t option) {
    using namespace telnet;
    switch (verb) {
    case do_:
        if (!wanted(option)) return answer(wont, option);
        if (!ours_[option]) answer(will, option);
        ours_[option] = true;
        break;
    case dont:
        if (ours_[option]) answer(wont, option);
        ours_[option] = false;
        break;
    case will:
        if (!wanted(option)) return answer(dont, option);
        if (!theirs_[option]) answer(do_, option);
        theirs_[option] = true;
        break;
    default: // wont
        if (theirs_[option]) answer(dont, option);
        theirs_[option] = false;
        break;
    }
}

size_t TelnetFilter::decode(uint8_t* bytes, size_t count) {
    using namespace telnet;
    size_t out = 0;
    for (size_t i = 0; i < count; ++i) {
        const uint8_t byte = bytes[i];
        switch (state_) {
        case State::afterCr:
            state_ = State::data;
            if (byte == 0) break; // CR NUL: a bare CR in the network's text form
            [[fallthrough]];
        case State::data:
            if (byte == iac) {
                state_ = State::command;
            } else {
                bytes[out++] = byte;
                if (byte == '\r' && !theirs_[binary]) state_ = State::afterCr;
            }
            break;
        case State::command:
            state_ = State::data;
            if (byte == iac) {
                bytes[out++] = byte; // IAC IAC: the data byte 255
            } else if (byte >= will && byte <= dont) {
                verb_ = byte;
                state_ = State::option;
            } else if (byte == sb) {
                state_ = State::sub;
            } // any other command (NOP, GA, AYT, BRK, ...) is dropped
            break;
        case State::option:
            negotiate(verb_, byte);
            state_ = State::data;
            break;
        case State::sub:
            if (byte == iac) state_ = State::subCommand;
            break;
        case State::subCommand:
            // IAC IAC is a byte of the subnegotiation; IAC SE ends it, and so
            // does any other command, which is then taken as one.
            state_ = State::sub;
            if (byte == iac) break;
            state_ = State::data;
            if (byte == se) break;
            state_ = State::command;
            --i;
            break;
        }
    }
    return out;
}

std::string TelnetFilter::encode(std::string_view bytes) const {
    std::string wire;
    wire.reserve(bytes.size() + 8);
    for (size_t i = 0; i < bytes.size(); ++i) {
        const char c = bytes[i];
        wire.push_back(c);
        if (static_cast<uint8_t>(c) == telnet::iac) wire.push_back(c);
        const bool lineFeedNext = i + 1 < bytes.size() && bytes[i + 1] == '\n';
        if (c == '\r' && !ours_[telnet::binary] && !lineFeedNext) wire.push_back('\0');
    }
    return wire;
}

} // namespace plotanix
