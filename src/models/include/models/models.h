#pragma once
// The plotter models made by name: the one place that knows them all, so
// the session and the renderer choose a model without naming its class.

#include "hpgl/plotter.h"

#include <memory>
#include <string_view>

namespace plotanix {

std::unique_ptr<Plotter> makePlotter(PlotterModel model, Paper paper, const PlotterParts& parts);

// Whether the model knows this mnemonic, without making one.
bool plotterKnows(PlotterModel model, std::string_view mnemonic);

} // namespace plotanix
