#pragma once
// The plotter models made by name: the one place that knows them all, so
// the session and the renderer choose a model without naming its class.

#include "hpgl/plotter.h"

#include <memory>
#include <optional>
#include <string_view>

namespace plotanix {

std::unique_ptr<Plotter> makePlotter(PlotterModel model, Paper paper, const PlotterParts& parts);

// A model's name as --model takes it (hp86b, 7470a, hpgl2), and back.
std::string_view modelName(PlotterModel model);
std::optional<PlotterModel> modelNamed(std::string_view name);

// Whether the model knows this mnemonic, without making one.
bool plotterKnows(PlotterModel model, std::string_view mnemonic);

} // namespace plotanix
