#pragma once
// plotanix --unattended: every plot saved as a page file, with nobody at the
// keyboard. No terminal is needed (standard input may be /dev/null) and no
// window is shown unless asked for. One timestamped line per event goes to
// standard output, errors to standard error, so that under a service
// manager they become the journal (with systemd's priorities, and no
// timestamp of their own, when systemd's journal is the stream).

#include "settings/settings.h"

#include <string>
#include <vector>

namespace plotanix {

// Captures until SIGTERM, SIGINT or SIGHUP; returns the process's exit
// status. The notices (settings that could not be used) are said first.
int runUnattended(const Settings& settings, const std::vector<std::string>& notices);

} // namespace plotanix
