// Plotanix: an HP 7470A pen plotter for an HP-86B computer's serial line.

#include "app/plotter_app.h"

int main() {
    plotanix::PlotterApp app;
    return app.run();
}
