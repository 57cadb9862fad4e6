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
        ours_[option] = theirs_[option] = Side::wantYes;
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

// Only a change of state is answered, so two ends never loop and a peer
// repeating a request makes no more answers than asking once.
void TelnetFilter::request(Side& side, bool on, bool wanted, uint8_t agree, uint8_t refuse,
                           uint8_t option) {
    switch (side) {
    case Side::no:
        if (!on) return;
        side = wanted ? Side::yes : Side::refused;
        return answer(wanted ? agree : refuse, option);
    case Side::yes:
        if (on) return;
        side = Side::no;
        return answer(refuse, option);
    case Side::wantYes: // the answer to this end's request
        side = on ? Side::yes : Side::no;
        return;
    case Side::wantNo:
        side = Side::no;
        return;
    case Side::refused:
        return;
    }
}

void TelnetFilter::negotiate(uint8_t verb, uint8_t option) {
    using namespace telnet;
    const bool take = wanted(option);
    if (verb == do_ || verb == dont)
        return request(ours_[option], verb == do_, take, will, wont, option);
    request(theirs_[option], verb == will, take, do_, dont, option);
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
                if (byte == '\r' && !receivesBinary()) state_ = State::afterCr;
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
        if (c == '\r' && !sendsBinary() && !lineFeedNext) wire.push_back('\0');
    }
    return wire;
}

} // namespace plotanix
