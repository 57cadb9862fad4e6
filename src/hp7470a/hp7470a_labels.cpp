// The 7470A's labels, symbols, user characters and line types: the model
// keeps the settings and hands the layout to the stroke geometry, whose
// strokes come back here to be clipped and drawn.

#include "hp7470a/hp7470a.h"

#include <cmath>

namespace plotanix {

namespace {

constexpr double plotterUnitsPerCm = 400.0;
constexpr int enquiry = 5;
// Label text is handed on in pieces of this size, so a label that never
// ends needs no more memory than that.
constexpr size_t labelPiece = 256;

} // namespace

void Hp7470a::PenSink::polyline(std::span<const PlotPoint> points) {
    for (size_t i = 1; i < points.size(); ++i)
        model.drawSolid(points[i - 1], points[i]);
}

void Hp7470a::PenSink::piece(PlotPoint from, PlotPoint to) {
    model.drawSolid(from, to);
}

// SR sizes and DR directions follow P1/P2.
void Hp7470a::applyLabelScale() {
    const Point span{(state.p2.x - state.p1.x) / 100.0, (state.p2.y - state.p1.y) / 100.0};
    if (state.sizeRelative) {
        state.label.width = state.sizePercent.x * span.x;
        state.label.height = state.sizePercent.y * span.y;
    }
    if (state.directionRelative)
        state.label.direction = {state.directionPercent.x * span.x,
                                 state.directionPercent.y * span.y};
}

// The pattern length is a percentage of the P1-P2 diagonal.
void Hp7470a::applyLineType() {
    const double diagonal = std::hypot(state.p2.x - state.p1.x, state.p2.y - state.p1.y);
    pattern_.select(state.lineType, state.patternLength / 100.0 * diagonal);
}

void Hp7470a::setClips() {
    writer_.setClip(state.window.box());
    pattern_.setClip(state.window.box());
}

void Hp7470a::settleLabelPen(Point pen, const Point& penBefore, const LabelState& before) {
    // The pen moved lifted: a line type starts afresh after it.
    pattern_.reset();
    if (positionInRange(pen)) {
        state.pen = pen;
        return;
    }
    state.pen = penBefore;
    state.label = before;
    raiseError(positionOverflow);
}

void Hp7470a::drawLabelText(std::string_view text) {
    const Point before = state.pen;
    const LabelState label = state.label;
    settleLabelPen(writer_.label(state.label, text, state.pen, pen_), before, label);
}

void Hp7470a::drawSymbol(Point at) {
    writer_.symbol(state.label, static_cast<unsigned char>(state.symbol), at, pen_);
    pattern_.reset();
}

ByteStep Hp7470a::doLB(int byte) {
    // The text runs to the label terminator, whatever it holds; the end of
    // the stream or ESC.K ends it too. The terminator goes with the text: a
    // printing one is drawn, a control one does what it stands for.
    if (byte < 0) {
        drawLabelText(labelPiece_);
        labelPiece_.clear();
        return ByteStep::done;
    }
    labelPiece_.push_back(static_cast<char>(byte));
    if (byte == state.labelTerminator || labelPiece_.size() == labelPiece) {
        drawLabelText(labelPiece_);
        labelPiece_.clear();
        if (byte == state.labelTerminator) return ByteStep::done;
    }
    return ByteStep::more;
}

ByteStep Hp7470a::doDT(int byte) {
    // The byte after DT is the terminator, even ';'.
    if (byte < 0) return ByteStep::done;
    if (byte == enquiry) {
        raiseError(badParameter);
    } else {
        state.labelTerminator = byte;
    }
    return ByteStep::done;
}

ByteStep Hp7470a::doSM(int byte) {
    // A printing character turns symbol mode on; ';', a space or a control
    // code turns it off.
    if (byte >= 0) state.symbol = byte > ' ' && byte != ';' && byte < 128 ? byte : 0;
    return ByteStep::done;
}

void Hp7470a::doDI(const Numbers& p) {
    setDirection(p, false);
}
void Hp7470a::doDR(const Numbers& p) {
    setDirection(p, true);
}

void Hp7470a::setDirection(const Numbers& p, bool relative) {
    if (rejected(p)) return;
    if (p.count != 0 && p.count != 2) return raiseError(wrongParameterCount);
    Point direction{1.0, 0.0};
    if (p.count == 2) {
        const double run = p.v[0];
        const double rise = p.v[1];
        const bool inRange = std::fabs(run) < 128.0 && std::fabs(rise) < 128.0;
        const bool notZero = std::fabs(run) >= 0.0004 || std::fabs(rise) >= 0.0004;
        if (!inRange || !notZero) return raiseError(badParameter);
        direction = {run, rise};
    }
    state.directionRelative = relative;
    state.directionPercent = direction;
    state.label.direction = direction;
    applyLabelScale();
    state.label.carriageReturn = state.pen;
}

void Hp7470a::doSI(const Numbers& p) {
    setSize(p, false);
}
void Hp7470a::doSR(const Numbers& p) {
    setSize(p, true);
}

void Hp7470a::setSize(const Numbers& p, bool relative) {
    if (rejected(p)) return;
    if (p.count != 0 && p.count != 2) return raiseError(wrongParameterCount);
    if (p.count == 2 && (std::fabs(p.v[0]) >= 128.0 || std::fabs(p.v[1]) >= 128.0))
        return raiseError(badParameter);
    const Point fallback = relative ? Point{0.75, 1.5} : Point{0.1875, 0.27};
    const Point size = p.count == 2 ? Point{p.v[0], p.v[1]} : fallback;
    state.sizeRelative = relative;
    state.sizePercent = size;
    state.label.width = size.x * plotterUnitsPerCm;
    state.label.height = size.y * plotterUnitsPerCm;
    applyLabelScale();
}

void Hp7470a::doSL(const Numbers& p) {
    if (rejected(p)) return;
    if (p.count > 0 && std::fabs(p.v[0]) >= 128.0) return raiseError(badParameter);
    state.label.slant = p.count > 0 ? p.v[0] : 0.0; // further parameters are ignored
}

void Hp7470a::doCP(const Numbers& p) {
    if (rejected(p)) return;
    const Point before = state.pen;
    const LabelState label = state.label;
    if (p.count == 0) return settleLabelPen(newLine(state.label), before, label);
    if (p.count != 2) return raiseError(wrongParameterCount);
    if (p.v[0] < -128.0 || p.v[0] >= 128.0 || p.v[1] < -128.0 || p.v[1] >= 128.0)
        return raiseError(badParameter);
    // The pen moves by whole cells and lines; it does not draw.
    settleLabelPen(moveByCells(state.label, state.pen, p.v[0], p.v[1]), before, label);
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

void Hp7470a::doSS(const Numbers& p) {
    if (!p.aborted) state.label.alternateSelected = false;
}
void Hp7470a::doSA(const Numbers& p) {
    if (!p.aborted) state.label.alternateSelected = true;
}

void Hp7470a::doUC() {
    userCharacter_.clear();
}

void Hp7470a::drawUserCharacter(bool illegal, bool aborted) {
    if (aborted) return;
    if (illegal) return raiseError(badParameter);
    // The pen starts raised and ends one cell on, its up/down state unchanged.
    const Point before = state.pen;
    const LabelState label = state.label;
    settleLabelPen(writer_.userCharacter(state.label, userCharacter_, state.pen, pen_), before,
                   label);
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
