#include "models/models.h"

#include "hp7470a/hp7470a.h"
#include "hp86b/hp86b_plotter.h"
#include "hpgl2/hpgl2.h"

#include <utility>

namespace plotanix {

std::unique_ptr<Plotter> makePlotter(PlotterModel model, Paper paper, const PlotterParts& parts) {
    if (model == PlotterModel::hp7470a)
        return std::make_unique<Hp7470a>(parts.drawing, parts.link, parts.log, parts.status, paper);
    if (model == PlotterModel::hpgl2)
        return std::make_unique<Hpgl2>(parts.drawing, parts.link, parts.log, parts.status, paper);
    return std::make_unique<Hp86bPlotter>(parts.drawing, parts.link, parts.log, parts.status,
                                          hp7470aKnows);
}

namespace {

constexpr std::pair<PlotterModel, std::string_view> modelNames[] = {
    {PlotterModel::hp86b, "hp86b"},
    {PlotterModel::hp7470a, "7470a"},
    {PlotterModel::hpgl2, "hpgl2"}};

} // namespace

std::string_view modelName(PlotterModel model) {
    for (const auto& [named, name] : modelNames) {
        if (named == model) return name;
    }
    return {};
}

std::optional<PlotterModel> modelNamed(std::string_view name) {
    for (const auto& [model, named] : modelNames) {
        if (named == name) return model;
    }
    return std::nullopt;
}

bool plotterKnows(PlotterModel model, std::string_view mnemonic) {
    switch (model) {
    case PlotterModel::hp7470a:
        return hp7470aKnows(mnemonic);
    case PlotterModel::hpgl2:
        return hpgl2Knows(mnemonic);
    default:
        return Hp86bPlotter::isKnown(mnemonic);
    }
}

} // namespace plotanix
