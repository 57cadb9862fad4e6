// Plotanix: an HP 7470A pen plotter for an HP-86B computer's serial line.

#include "interactive.h"
#include "settings/settings.h"
#include "unattended.h"

#include <cstdlib>
#include <iostream>

#ifndef PLOTANIX_VERSION
#define PLOTANIX_VERSION "unknown"
#endif

int main(int argc, char** argv) {
    plotanix::Startup startup =
        plotanix::readSettings(argc, argv, std::getenv, std::cout, std::cerr, PLOTANIX_VERSION);
    if (startup.exitStatus) return *startup.exitStatus;
    // Without a terminal the notices the start screen would show go to stderr.
    if (startup.settings.unattended)
        return plotanix::runUnattended(startup.settings, startup.notices);
    plotanix::PlotterApp app(std::move(startup));
    return app.run();
}
