// Plotanix: an HP 7470A pen plotter for an HP-86B computer's serial line.

#include "acquire.h"
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
    if (startup.settings.listInstruments) {
        std::cout << plotanix::instrumentList();
        return 0;
    }
    // Asking an instrument for its plot needs no terminal either.
    if (!startup.settings.acquire.empty()) {
        for (const std::string& notice : startup.notices)
            std::cerr << "plotanix: " << notice << '\n';
        return plotanix::runAcquire(startup.settings);
    }
    // Without a terminal the notices the start screen would show go to stderr.
    if (startup.settings.unattended)
        return plotanix::runUnattended(startup.settings, startup.notices);
    int status = 0;
    std::string lastWord;
    {
        plotanix::PlotterApp app(std::move(startup));
        status = app.run();
        lastWord = app.lastWord();
    }
    // Where it stays: on the terminal given back.
    if (!lastWord.empty()) std::cerr << "plotanix: " << lastWord << '\n';
    return status;
}
