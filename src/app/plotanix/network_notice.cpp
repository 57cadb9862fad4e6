#include "network_notice.h"

#include "serial/net_line.h"

#include <cerrno>

namespace plotanix {

std::string networkLineNote() {
    return "(network line; baud, parity and flow ignored)";
}

std::string networkOpened(const std::string& port, int listeningPort) {
    const std::optional<NetAddress> address = parseNetAddress(port);
    if (!address) return port;
    const bool v6 = address->host.find(':') != std::string::npos;
    const std::string host = v6 ? "[" + address->host + "]" : address->host;
    if (!address->listen) return "Connected to " + host + ":" + address->port;
    return "Listening on " + host + ":" + std::to_string(listeningPort) +
           " for one computer at a time";
}

bool hostNotThereYet(const std::string& port, int error) {
    const std::optional<NetAddress> address = parseNetAddress(port);
    if (!address || address->listen) return false;
    return error == ECONNREFUSED || error == ETIMEDOUT || error == EHOSTUNREACH ||
           error == ENETUNREACH || error == ECONNRESET || error == EINTR;
}

} // namespace plotanix
