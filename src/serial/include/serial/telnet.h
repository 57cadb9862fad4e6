#pragma once
// The telnet protocol (RFC 854) taken off a line's data, both ways: what the
// other end sends is data with commands mixed in, what the plotter sends is
// data that must not be read as commands. The line wants a plain 8-bit path,
// so of the options only binary transmission and suppress go-ahead are
// taken; every other is refused. A command split between two reads is put
// together.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace plotanix {

namespace telnet {
inline constexpr uint8_t iac = 255, dont = 254, do_ = 253, wont = 252, will = 251, sb = 250,
                         se = 240;
inline constexpr uint8_t binary = 0, suppressGoAhead = 3;
} // namespace telnet

class TelnetFilter {
  public:
    // What this end asks for as the connection begins: binary both ways and
    // no go-ahead, so neither CR nor 0xFF is translated beyond IAC IAC.
    std::string opening();

    // Decodes in place; returns the count of data bytes left at the front.
    // The answers the other end is owed are gathered in answers().
    size_t decode(uint8_t* bytes, size_t count);
    // Answers to the other end's option requests, not yet sent.
    std::string takeAnswers();

    // The plotter's bytes as they go on the wire: IAC doubled, and while the
    // other end has not agreed to binary, a CR not followed by LF sent as
    // CR NUL (a bare CR in the network's text form).
    std::string encode(std::string_view bytes) const;

    // Whether binary transmission stands for this end's sending, and for
    // the other end's: agreed by both, not merely asked for.
    bool sendsBinary() const { return ours_[telnet::binary] == Side::yes; }
    bool receivesBinary() const { return theirs_[telnet::binary] == Side::yes; }

  private:
    // One side of an option, after RFC 1143: asked for and not yet
    // answered (wantYes, wantNo), or settled. An option refused once is
    // not refused again: a peer that keeps asking gets no more answers.
    enum class Side : uint8_t { no, yes, wantNo, wantYes, refused };
    enum class State { data, command, option, sub, subCommand, afterCr };
    void negotiate(uint8_t verb, uint8_t option);
    // A request for the side (DO for ours, WILL for theirs) or its refusal
    // (DONT, WONT); agree/refuse are the verbs this end answers with.
    void request(Side& side, bool on, bool wanted, uint8_t agree, uint8_t refuse, uint8_t option);
    void answer(uint8_t verb, uint8_t option);

    State state_ = State::data;
    uint8_t verb_ = 0;
    std::array<Side, 256> ours_{};   // this end's sending of the option
    std::array<Side, 256> theirs_{}; // the other end's
    std::string answers_;
};

} // namespace plotanix
