#pragma once
// The plot session both front ends make from the settings.

#include "settings/settings.h"
#include "shell/plot_assembly.h"

namespace plotanix {

inline PlotSetup plotSetupOf(const Settings& settings) {
    std::optional<CopyFormat> vector;
    if (settings.vector == VectorCopy::svg) vector = CopyFormat::svg;
    if (settings.vector == VectorCopy::pdf) vector = CopyFormat::pdf;
    return {settings.model, settings.paper, vector, settings.dir};
}

} // namespace plotanix
