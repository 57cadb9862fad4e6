#pragma once
// plotanix --unattended: every plot saved as a page file, with nobody at the
// keyboard. No terminal is needed (standard input may be /dev/null) and no
// window is shown unless asked for. One timestamped line per event goes to
// standard output, errors to standard error, so that under a service
// manager they become the journal.

#include "settings/settings.h"

namespace plotanix {

// Captures until SIGTERM, SIGINT or SIGHUP; returns the process's exit status.
int runUnattended(const Settings& settings);

} // namespace plotanix
