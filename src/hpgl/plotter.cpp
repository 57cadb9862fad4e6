#include "hpgl/plotter.h"

#include "hpgl/hp7470a.h"
#include "hpgl/interpreter.h"

namespace plotanix {

std::unique_ptr<Plotter> makePlotter(PlotterModel model, Paper paper, const PlotterParts& parts) {
    if (model == PlotterModel::hp7470a)
        return std::make_unique<Hp7470a>(parts.reader, parts.drawing, parts.link, parts.log,
                                         parts.status, paper);
    return std::make_unique<Interpreter>(parts.reader, parts.drawing, parts.link, parts.log,
                                         parts.status);
}

bool plotterKnows(PlotterModel model, std::string_view mnemonic) {
    return model == PlotterModel::hp7470a ? hp7470aKnows(mnemonic) : Interpreter::isKnown(mnemonic);
}

} // namespace plotanix
