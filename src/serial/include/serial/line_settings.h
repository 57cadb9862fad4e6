#pragma once
// How the serial line frames its characters and paces the two ends: plain
// values, shared by the settings, the screens and the link.

#include "hpgl/byte_link.h"

#include <cstdint>
#include <string>

namespace plotanix {

enum class Parity { none, even, odd, mark, space };

// How the line is set up: by default the plotter listens at 9600 baud, 7
// data bits, no parity, one stop bit, no flow control (the HP-86B's line).
struct LineSettings {
    int32_t baud = 9600;
    int dataBits = 7; // 7 or 8
    Parity parity = Parity::none;
    int stopBits = 1; // 1 or 2
    // xonxoff: XON and XOFF from the host pace the replies and never reach
    // the plotter; rtscts: RTS is asserted while the plotter can take data
    // (without it RTS is held off).
    FlowControl flow = FlowControl::none;
    // A listening network line: a connected computer that has sent nothing
    // for this many seconds while another waits gives way to it.
    double giveWaySeconds = 30;
};

// The framing alone, in the usual short form: "7N1", "8E2".
inline std::string describeFraming(const LineSettings& settings) {
    static constexpr char parityLetters[] = {'N', 'E', 'O', 'M', 'S'};
    return std::to_string(settings.dataBits) + parityLetters[static_cast<int>(settings.parity)] +
           std::to_string(settings.stopBits);
}

// The usual short form: "9600 7N1", "19200 8E2 xonxoff".
inline std::string describeLine(const LineSettings& settings) {
    std::string text = std::to_string(settings.baud) + " " + describeFraming(settings);
    if (settings.flow == FlowControl::xonxoff) text += " xonxoff";
    if (settings.flow == FlowControl::rtscts) text += " rtscts";
    return text;
}

} // namespace plotanix
