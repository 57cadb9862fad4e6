// Plotanix: an HP 7470A pen plotter for an HP-86B computer's serial line.

#include "app/plotter_app.h"
#include "app/unattended.h"

#include <cstdlib>
#include <string_view>

int main(int argc, char** argv) {
    plotanix::UnattendedOptions options{"COM1", {}, ".", 10, false};
    bool unattended = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : "";
        if (arg == "--unattended") unattended = true;
        if (arg == "--window") options.window = true;
        if (arg == "--port") options.port = value;
        if (arg == "--dir") options.dir = value;
        if (arg == "--page-gap") options.pageGapSeconds = std::atof(value);
    }
    if (unattended) return plotanix::runUnattended(options);
    plotanix::PlotterApp app;
    return app.run();
}
