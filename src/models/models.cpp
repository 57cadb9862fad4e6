#include "models/models.h"

#include "escp/escp_printer.h"
#include "hp7470a/hp7470a.h"
#include "hp86b/hp86b_plotter.h"
#include "hp86b/hp86b_reader.h"
#include "hpgl2/hpgl2.h"
#include "models/told_plotter.h"
#include "pcl/pcl_printer.h"

#include <algorithm>
#include <utility>

namespace plotanix {

std::unique_ptr<Plotter> makePlotter(PlotterModel model, Paper paper, const PlotterParts& parts) {
    if (model == PlotterModel::automatic)
        return std::make_unique<ToldPlotter>(PlotterModel::hp86b, true, paper, parts);
    if (model == PlotterModel::hp86b || model == PlotterModel::hp7470a)
        return std::make_unique<ToldPlotter>(model, false, paper, parts);
    return makeBarePlotter(model, paper, parts);
}

std::unique_ptr<Plotter> makeBarePlotter(PlotterModel model, Paper paper,
                                         const PlotterParts& parts) {
    if (model == PlotterModel::hp7470a)
        return std::make_unique<Hp7470a>(parts.drawing, parts.link, parts.status, paper);
    if (model == PlotterModel::hpgl2)
        return std::make_unique<Hpgl2>(parts.drawing, parts.link, parts.status, paper);
    if (model == PlotterModel::pcl) return std::make_unique<PclPrinter>(parts.link);
    if (model == PlotterModel::escp) return std::make_unique<EscpPrinter>(parts.link);
    return std::make_unique<Hp86bPlotter>(parts.drawing, parts.link, parts.status, hp7470aKnows);
}

// Tables by model have room for the automatic one after the five.
static_assert(static_cast<size_t>(PlotterModel::automatic) == std::size(modelNames));

// The help texts' list names every model, in order.
static_assert([] {
    std::string_view rest = modelChoices;
    for (const ModelName& m : modelNames) {
        if (!rest.starts_with(m.text)) return false;
        rest.remove_prefix(std::min(rest.size(), m.text.size() + 2));
        if (rest.starts_with("r ")) rest.remove_prefix(2); // "or "
    }
    return rest.empty();
}());

PlotterModel modelInUse(const Plotter& plotter, PlotterModel made) {
    const auto* told = dynamic_cast<const ToldPlotter*>(&plotter);
    return told ? told->inUse() : made;
}

Plotter& drawingModel(Plotter& plotter) {
    auto* told = dynamic_cast<ToldPlotter*>(&plotter);
    return told ? told->model() : plotter;
}

std::string_view modelName(PlotterModel model) {
    if (model == PlotterModel::automatic) return automaticName;
    for (const ModelName& m : modelNames) {
        if (m.value == model) return m.text;
    }
    return {};
}

std::optional<PlotterModel> modelNamed(std::string_view name) {
    for (const ModelName& m : modelNames) {
        if (m.text == name) return m.value;
    }
    return std::nullopt;
}

bool plotterKnows(PlotterModel model, std::string_view mnemonic) {
    switch (model) {
    case PlotterModel::hp7470a:
        return hp7470aKnows(mnemonic);
    case PlotterModel::hpgl2:
        return hpgl2Knows(mnemonic);
    case PlotterModel::pcl:
        return pclKnows(mnemonic);
    case PlotterModel::escp:
        return escpKnows(mnemonic);
    default:
        return Hp86bPlotter::isKnown(mnemonic);
    }
}

struct Hp86bReading::Follower : Hp86bReader::Listener {
    explicit Follower(std::function<void(std::string_view)> taken) : taken(std::move(taken)) {}
    void mnemonic(std::string_view text) override { taken(text); }
    std::function<void(std::string_view)> taken;
    Hp86bReader reader{*this};
};

Hp86bReading::Hp86bReading(std::function<void(std::string_view)> taken)
    : follower_(std::make_unique<Follower>(std::move(taken))) {}
Hp86bReading::~Hp86bReading() = default;

void Hp86bReading::take(uint8_t byte) {
    follower_->reader.take(byte);
}
bool Hp86bReading::inLabel() const {
    return follower_->reader.stands() == Hp86bReader::Stands::label;
}
void Hp86bReading::restart() {
    follower_->reader.restart();
}

} // namespace plotanix
