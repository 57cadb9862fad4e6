#pragma once
// plotanix --unattended: every plot saved as a page file, with nobody at the
// keyboard. No terminal is needed (standard input may be /dev/null) and no
// window is shown unless asked for. One timestamped line per event goes to
// standard output, errors to standard error, so that under a service
// manager they become the journal.

#include "serial/serial_link.h"
#include "session/plot_session.h"

#include <string>

namespace plotanix {

struct UnattendedOptions {
    std::string port; // a port name (COM1) or a device path
    LineSettings line;
    std::string dir;            // where PLOTTER.TXT and the pages go ("" is ".")
    double pageGapSeconds = 10; // silence after a run that ends the page
    bool window = false;        // show the page after each run
    PlotterModel model = PlotterModel::hp86b;
    Paper paper = Paper::letter;
    std::string vector = "off"; // a vector copy beside each page: off, svg or pdf
};

// Captures until SIGTERM, SIGINT or SIGHUP; returns the process's exit status.
int runUnattended(const UnattendedOptions& options);

} // namespace plotanix
