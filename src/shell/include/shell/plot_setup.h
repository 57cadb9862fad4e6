#pragma once
// What both front ends make from the settings: the plot session and the line.

#include "serial/serial_link.h"
#include "settings/settings.h"
#include "shell/plot_assembly.h"

namespace plotanix {

inline PlotSetup plotSetupOf(const Settings& settings) {
    std::optional<CopyFormat> vector;
    if (settings.vector == VectorCopy::svg) vector = CopyFormat::svg;
    if (settings.vector == VectorCopy::pdf) vector = CopyFormat::pdf;
    // A printed page is drawn again from what is kept of its drawing.
    return {settings.model, settings.paper, vector, settings.dir, settings.print.has_value(),
            settings.fit};
}

inline LineSettings lineSettingsOf(const Settings& settings) {
    return settings.line;
}

inline std::optional<GpibSettings> gpibOf(const Settings& settings) {
    std::optional<GpibSettings> gpib = settings.gpib;
    if (gpib) gpib->save = settings.gpibSave;
    return gpib;
}

} // namespace plotanix
