// The 7470A's label state: terminator, direction, size, slant, character
// sets, symbol mode and character-cell moves. Labels are laid out cell by
// cell; the strokes of the characters come from the label font.

#include "hpgl/hp7470a.h"

#include <cmath>

namespace plotanix {

namespace {

constexpr double plotterUnitsPerCm = 400.0;
constexpr int enquiry = 5;
// Label text is handed on in pieces of this size, so a label that never
// ends needs no more memory than that.
constexpr size_t labelPiece = 256;

Point normalised(Point v) {
    const double length = std::hypot(v.x, v.y);
    if (length == 0.0) return {1.0, 0.0};
    return {v.x / length, v.y / length};
}

} // namespace

Point Hp7470a::cellSize() const {
    const Point size = state.characterSize;
    if (!state.sizeRelative) return {size.x * plotterUnitsPerCm, size.y * plotterUnitsPerCm};
    return {size.x / 100.0 * (state.p2.x - state.p1.x), size.y / 100.0 * (state.p2.y - state.p1.y)};
}

// One character cell along the label direction: 1.5 character widths.
Point Hp7470a::advance() const {
    Point d = state.direction;
    if (state.directionRelative) {
        d = {d.x / 100.0 * (state.p2.x - state.p1.x), d.y / 100.0 * (state.p2.y - state.p1.y)};
    }
    d = normalised(d);
    const double width = 1.5 * cellSize().x;
    return {d.x * width, d.y * width};
}

// One line up, square to the label direction: 2 character heights.
Point Hp7470a::lineUp() const {
    const Point a = normalised(advance());
    const double height = 2.0 * cellSize().y;
    return {-a.y * height, a.x * height};
}

void Hp7470a::drawLabelText(std::string_view text) {
    // The pen moves from cell to cell without drawing; the glyphs are not
    // drawn yet.
    for (const char c : text) {
        const auto code = static_cast<unsigned char>(c);
        const Point a = advance();
        if (code >= 32 && code < 127) {
            state.pen = {state.pen.x + a.x, state.pen.y + a.y};
        } else if (code == '\b') {
            state.pen = {state.pen.x - a.x, state.pen.y - a.y};
        } else if (code == '\r') {
            state.pen = state.carriageReturn;
        } else if (code == '\n') {
            const Point up = lineUp();
            state.pen = {state.pen.x - up.x, state.pen.y - up.y};
            state.carriageReturn = {state.carriageReturn.x - up.x, state.carriageReturn.y - up.y};
        } else if (code == 14 || code == 15) {
            state.alternateSelected = code == 14;
        }
    }
}

void Hp7470a::doLB(ParameterScanner&) {
    // The text runs to the label terminator, whatever it holds; silence or
    // ESC.K ends it too. A printing terminator is drawn with the label, a
    // control terminator does what it stands for.
    state.carriageReturn = state.pen;
    std::string piece;
    for (;;) {
        const int byte = input_.get();
        if (byte < 0) break;
        piece.push_back(static_cast<char>(byte));
        if (byte == state.labelTerminator || piece.size() == labelPiece) {
            drawLabelText(piece);
            piece.clear();
            if (byte == state.labelTerminator) return;
        }
    }
    drawLabelText(piece);
}

void Hp7470a::doDT(ParameterScanner&) {
    // The byte after DT is the terminator, even ';'.
    const int byte = input_.get();
    if (byte < 0) return;
    if (byte == enquiry) return raiseError(badParameter);
    state.labelTerminator = byte;
}

void Hp7470a::doSM(ParameterScanner&) {
    // A printing character turns symbol mode on; ';', a space or a control
    // code turns it off.
    const int byte = input_.get();
    if (byte < 0) return;
    state.symbol = byte > ' ' && byte != ';' && byte < 128 ? byte : 0;
}

void Hp7470a::doDI(ParameterScanner& s) {
    setDirection(s, false);
}
void Hp7470a::doDR(ParameterScanner& s) {
    setDirection(s, true);
}

void Hp7470a::setDirection(ParameterScanner& s, bool relative) {
    const Values p = collect(s);
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
    state.direction = direction;
    state.directionRelative = relative;
    state.carriageReturn = state.pen;
}

void Hp7470a::doSI(ParameterScanner& s) {
    setSize(s, false);
}
void Hp7470a::doSR(ParameterScanner& s) {
    setSize(s, true);
}

void Hp7470a::setSize(ParameterScanner& s, bool relative) {
    const Values p = collect(s);
    if (rejected(p)) return;
    if (p.count != 0 && p.count != 2) return raiseError(wrongParameterCount);
    if (p.count == 2 && (std::fabs(p.v[0]) >= 128.0 || std::fabs(p.v[1]) >= 128.0))
        return raiseError(badParameter);
    const Point fallback = relative ? Point{0.75, 1.5} : Point{0.1875, 0.27};
    state.characterSize = p.count == 2 ? Point{p.v[0], p.v[1]} : fallback;
    state.sizeRelative = relative;
}

void Hp7470a::doSL(ParameterScanner& s) {
    const Values p = collect(s);
    if (rejected(p)) return;
    if (p.count > 0 && std::fabs(p.v[0]) >= 128.0) return raiseError(badParameter);
    state.slant = p.count > 0 ? p.v[0] : 0.0; // further parameters are ignored
}

void Hp7470a::doCP(ParameterScanner& s) {
    const Values p = collect(s);
    if (rejected(p)) return;
    if (p.count == 0) {
        drawLabelText("\r\n");
        return;
    }
    if (p.count != 2) return raiseError(wrongParameterCount);
    if (p.v[0] < -128.0 || p.v[0] >= 128.0 || p.v[1] < -128.0 || p.v[1] >= 128.0)
        return raiseError(badParameter);
    // The pen moves by whole cells and lines; it does not draw.
    const Point a = advance();
    const Point up = lineUp();
    state.pen = {state.pen.x + p.v[0] * a.x + p.v[1] * up.x,
                 state.pen.y + p.v[0] * a.y + p.v[1] * up.y};
}

void Hp7470a::doCS(ParameterScanner& s) {
    const Values p = collect(s);
    if (rejected(p)) return;
    if (p.count > 0 && !(p.v[0] >= 0.0 && p.v[0] < 5.0)) return raiseError(badParameter);
    state.standardSet = p.count > 0 ? static_cast<int32_t>(p.v[0]) : 0;
}

void Hp7470a::doCA(ParameterScanner& s) {
    const Values p = collect(s);
    if (rejected(p)) return;
    if (p.count > 0 && !(p.v[0] >= 0.0 && p.v[0] < 5.0)) return raiseError(badParameter);
    state.alternateSet = p.count > 0 ? static_cast<int32_t>(p.v[0]) : 0;
}

void Hp7470a::doSS(ParameterScanner& s) {
    if (!collect(s).aborted) state.alternateSelected = false;
}
void Hp7470a::doSA(ParameterScanner& s) {
    if (!collect(s).aborted) state.alternateSelected = true;
}

void Hp7470a::doUC(ParameterScanner& s) {
    // The grid moves are read and dropped as they come (a list of any
    // length needs no memory); the pen ends one cell on.
    double value = 0.0;
    while (s.next(value)) {
    }
    if (s.aborted()) return;
    if (s.illegal()) return raiseError(badParameter);
    drawLabelText(" ");
}

void Hp7470a::doLT(ParameterScanner& s) {
    const Values p = collect(s);
    if (rejected(p)) return;
    if (p.count == 0) {
        state.lineType = -1;
        return;
    }
    if (p.count > 2) return raiseError(wrongParameterCount);
    const double type = std::floor(p.v[0]);
    if (type < 0.0 || type > 6.0 || (p.count == 2 && !(p.v[1] >= 0.0 && p.v[1] < 128.0)))
        return raiseError(badParameter);
    state.lineType = static_cast<int32_t>(type);
    if (p.count == 2) state.patternLength = p.v[1];
}

} // namespace plotanix
