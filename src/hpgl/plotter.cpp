#include "hpgl/plotter.h"

#include "hpgl/hp7470a.h"
#include "hpgl/hpgl2.h"
#include "hpgl/interpreter.h"

namespace plotanix {

std::unique_ptr<Plotter> makePlotter(PlotterModel model, Paper paper, const PlotterParts& parts) {
    if (model == PlotterModel::hp7470a)
        return std::make_unique<Hp7470a>(parts.reader, parts.drawing, parts.link, parts.log,
                                         parts.status, paper);
    if (model == PlotterModel::hpgl2)
        return std::make_unique<Hpgl2>(parts.reader, parts.drawing, parts.link, parts.log,
                                       parts.status, paper);
    return std::make_unique<Interpreter>(parts.reader, parts.drawing, parts.link, parts.log,
                                         parts.status);
}

bool plotterKnows(PlotterModel model, std::string_view mnemonic) {
    switch (model) {
    case PlotterModel::hp7470a:
        return hp7470aKnows(mnemonic);
    case PlotterModel::hpgl2:
        return hpgl2Knows(mnemonic);
    default:
        return Interpreter::isKnown(mnemonic);
    }
}

} // namespace plotanix
