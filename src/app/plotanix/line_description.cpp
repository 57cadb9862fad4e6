#include "line_description.h"

#include "adapter_notice.h"
#include "common/printable.h"
#include "logfile/transcript_format.h"
#include "network_notice.h"
#include "serial/net_line.h"
#include "serial/serial_link.h"

namespace plotanix {

std::string LineDescription::framingText() const {
    return framing.empty() ? " " + networkLineNote() : " at " + framing;
}

std::string LineDescription::text() const {
    std::string place = port;
    if (!device.empty()) place += " (" + device + ")";
    if (!bus.empty()) place = bus + " via " + place;
    return place + framingText();
}

LineDescription describeLineOf(const Settings& settings) {
    const std::string device = devicePath(settings);
    LineDescription line;
    line.port = printable(settings.port);
    if (device != settings.port) line.device = printable(device);
    if (settings.gpib) line.bus = busPlace(*settings.gpib);
    // Speed and framing mean nothing on a network line.
    if (!isNetworkName(device)) line.framing = describeLine(settings.line);
    return line;
}

// A run ends when a whole read brings nothing. On a serial line the read
// that held the last byte ends its pause after it first; through an
// adapter at an HP-IB address each read is handed over as it comes.
std::chrono::milliseconds runEndsAfterLastByte(const Settings& settings) {
    const Clock::time_point start{};
    const ReadTiming quiet(start, static_cast<int>(transcript::chunkSize));
    ReadTiming last(start, static_cast<int>(transcript::chunkSize));
    last.byteArrived(start);
    Clock::duration silence = quiet.deadline() - start;
    const bool atOnce = settings.gpib && settings.gpib->role != GpibSettings::Role::listenOnly;
    if (!atOnce) silence += last.deadline() - start;
    return std::chrono::duration_cast<std::chrono::milliseconds>(silence);
}

} // namespace plotanix
