#include "network_notice.h"

#include "serial/net_line.h"

#include <cerrno>

namespace plotanix {

std::string networkLineNote() {
    return "(network line; baud, parity and flow ignored)";
}

// A connection still being made is said to be made when it is (the line's
// own note).
std::string networkOpened(const NetLine& line, const std::string& port) {
    const std::optional<NetAddress> address = parseNetAddress(port);
    if (!address) return port;
    const bool v6 = address->host.find(':') != std::string::npos;
    const std::string host = v6 ? "[" + address->host + "]" : address->host;
    if (!address->listen)
        return (line.connecting() ? "Connecting to " : "Connected to ") + host + ":" +
               address->port;
    return "Listening on " + host + ":" + std::to_string(line.localPort()) +
           " for one computer at a time";
}

bool hostNotThereYet(const std::string& port, int error) {
    const std::optional<NetAddress> address = parseNetAddress(port);
    if (!address || address->listen) return false;
    return error == ECONNREFUSED || error == ETIMEDOUT || error == EHOSTUNREACH ||
           error == ENETUNREACH || error == ECONNRESET;
}

} // namespace plotanix
