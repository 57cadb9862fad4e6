#pragma once
// Unattended capture: every plot saved as a file, with no menus and no
// terminal (plotanix --unattended).

#include "serial/serial_link.h"

#include <string>

namespace plotanix {

struct UnattendedOptions {
    std::string port;
    LineSettings line;
    std::string dir;
    double pageGapSeconds = 10;
    bool window = false;
};

// Runs until ended by a signal; returns the process's exit status.
int runUnattended(const UnattendedOptions& options);

} // namespace plotanix
