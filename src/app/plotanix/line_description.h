#pragma once
// The line as the start screen, the rows under "Waiting...", the journal
// and the web view say it, made in one place: where the plotter is and how
// the line is framed. A network line has no speed or framing, and says so.

#include "settings/settings.h"

#include <chrono>
#include <string>

namespace plotanix {

struct LineDescription {
    std::string port;    // as named, escaped: "COM1", "/dev/ttyUSB0", "tcp-listen:5470"
    std::string device;  // the device the name stands for, when another: "/dev/ttyS0"
    std::string bus;     // through a USB-GPIB adapter: "HP-IB address 5"; else empty
    std::string framing; // "9600 7N1", "115200 8N1 xonxoff"; empty on a network line

    // "COM1 (/dev/ttyS0) at 9600 7N1", "HP-IB address 5 via /dev/ttyACM0 at
    // 115200 8N1", "tcp-listen:5470 (network line; baud, parity and flow
    // ignored)".
    std::string text() const;
    // Where the framing would be: " at 9600 7N1", or the network line's note.
    std::string framingText() const;
};

LineDescription describeLineOf(const Settings& settings);

// How long after the computer's last byte a plot run ends on this line (a
// whole read that brings nothing): the least page gap that can act.
std::chrono::milliseconds runEndsAfterLastByte(const Settings& settings);

} // namespace plotanix
