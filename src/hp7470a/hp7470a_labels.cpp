// The 7470A's labels, symbols, user characters and line types: the model
// keeps the settings and hands the layout to the stroke geometry, whose
// strokes come back here to be clipped and drawn.

#include "hp7470a/hp7470a.h"

#include <cmath>

namespace plotanix {

namespace {

constexpr int enquiry = 5;

} // namespace

void Hp7470a::PenSink::polyline(std::span<const PlotPoint> points) {
    for (size_t i = 1; i < points.size(); ++i)
        model.drawSolid(points[i - 1], points[i]);
}

void Hp7470a::PenSink::piece(PlotPoint from, PlotPoint to) {
    model.drawSolid(from, to);
}

// The pattern length is a percentage of the P1-P2 diagonal.
void Hp7470a::applyLineType() {
    const double diagonal = std::hypot(state.p2.x - state.p1.x, state.p2.y - state.p1.y);
    pattern_.select(state.lineType, state.patternLength / 100.0 * diagonal);
}

void Hp7470a::drawLabel(std::string_view text) {
    const LabelState before = state.label;
    settleLabelPen(writer_.label(state.label, text, state.pen, pen_), before);
}

ByteStep Hp7470a::doDT(int byte) {
    // The byte after DT is the terminator, even ';'.
    if (byte < 0) return ByteStep::done;
    if (byte == enquiry) {
        raiseError(badParameter);
    } else {
        state.terminator = byte;
    }
    return ByteStep::done;
}

void Hp7470a::doCS(const Numbers& p) {
    if (rejected(p)) return;
    if (p.count > 0 && !(p.v[0] >= 0.0 && p.v[0] < 5.0)) return raiseError(badParameter);
    state.label.standardSet = p.count > 0 ? static_cast<int32_t>(p.v[0]) : 0;
}

void Hp7470a::doCA(const Numbers& p) {
    if (rejected(p)) return;
    if (p.count > 0 && !(p.v[0] >= 0.0 && p.v[0] < 5.0)) return raiseError(badParameter);
    state.label.alternateSet = p.count > 0 ? static_cast<int32_t>(p.v[0]) : 0;
}

void Hp7470a::doUC() {
    userCharacter_.clear();
}

void Hp7470a::drawUserCharacter(bool illegal, bool aborted) {
    if (aborted) return;
    if (illegal) return raiseError(badParameter);
    // The pen starts raised and ends one cell on, its up/down state unchanged.
    const LabelState before = state.label;
    settleLabelPen(writer_.userCharacter(state.label, userCharacter_, state.pen, pen_), before);
}

void Hp7470a::doLT(const Numbers& p) {
    if (rejected(p)) return;
    if (p.count == 0) {
        state.lineType = LinePattern::solid;
        applyLineType();
        return;
    }
    if (p.count > 2) return raiseError(wrongParameterCount);
    const double type = std::floor(p.v[0]);
    if (type < 0.0 || type > 6.0 || (p.count == 2 && !(p.v[1] >= 0.0 && p.v[1] < 128.0)))
        return raiseError(badParameter);
    state.lineType = static_cast<int32_t>(type);
    if (p.count == 2) state.patternLength = p.v[1];
    applyLineType();
}

} // namespace plotanix
