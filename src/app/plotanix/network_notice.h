#pragma once
// What the screens and the journal say about a network line, where a tty's
// speed and framing would be.

#include <string>

namespace plotanix {

class NetLine;

// Said where a tty's speed and framing would be: "(network line; baud,
// parity and flow ignored)".
std::string networkLineNote();
// The line open: "Listening on 127.0.0.1:5470 for one computer at a time"
// or "Connected to dosbox.lan:5470".
std::string networkOpened(const NetLine& line, const std::string& port);
// An open error worth trying again: the host is not there yet (refused,
// unreachable, timed out). A name that does not resolve, an address in use
// or one that is not this machine's is the operator's to mend.
bool hostNotThereYet(const std::string& port, int error);

} // namespace plotanix
