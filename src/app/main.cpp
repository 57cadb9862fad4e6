// Plotanix: an HP 7470A pen plotter for an HP-86B computer's serial line.

#include "app/plotter_app.h"
#include "app/settings.h"
#include "app/unattended.h"

#include <cstdlib>
#include <iostream>

#ifndef PLOTANIX_VERSION
#define PLOTANIX_VERSION "unknown"
#endif

namespace {

plotanix::UnattendedOptions unattendedOptions(const plotanix::Settings& settings) {
    plotanix::UnattendedOptions options;
    options.port = settings.port();
    options.line.baud = settings.baud();
    options.dir = settings.dir();
    options.pageGapSeconds = settings.pageGapSeconds();
    options.window = settings.isOn("window");
    options.model = settings.model();
    options.paper = settings.paper();
    options.vector = settings.vectorCopy();
    return options;
}

} // namespace

int main(int argc, char** argv) {
    plotanix::Startup startup =
        plotanix::readSettings(argc, argv, std::getenv, std::cout, std::cerr, PLOTANIX_VERSION);
    if (startup.exitStatus) return *startup.exitStatus;
    // Without a terminal the notices the start screen would show go to stderr.
    if (startup.settings.isOn("unattended")) {
        for (const std::string& notice : startup.notices)
            std::cerr << "plotanix: " << notice << '\n';
        return plotanix::runUnattended(unattendedOptions(startup.settings));
    }
    plotanix::PlotterApp app(std::move(startup));
    return app.run();
}
