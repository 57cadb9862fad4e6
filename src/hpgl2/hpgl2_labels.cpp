// The HP-GL/2 model's labels, in the 7470A model's stroke font whatever
// font SD or AD asks for: their pitch and height size it, the rest (symbol
// set, posture, weight, typeface) is kept to nothing.

#include "hpgl2/hpgl2.h"
#include "hpgl2/hpgl2_mnemonics.h"

#include <cmath>

namespace plotanix {

namespace {

constexpr double unitsPerInch = 1016;
// The stroke font's capitals stand two thirds of its point size.
constexpr double capitalOfPoint = unitsPerInch / 72 * 2 / 3;
// A character takes 1.5 times its width across.
constexpr double cellOfWidth = 1.5;

Point unitVector(Point d) {
    const double length = std::hypot(d.x, d.y);
    return length > 0 && std::isfinite(length) ? Point{d.x / length, d.y / length} : Point{1, 0};
}

} // namespace

Point Hpgl2::fontSize() const {
    // The font SD or AD set for the character set in use.
    const LabelFont& font = state.fonts[state.label.alternateSelected ? 1 : 0];
    const double height = font.height * capitalOfPoint;
    // A proportional font has no pitch: its capitals keep the stick font's
    // proportions.
    return {font.proportional ? height * 75 / 108 : unitsPerInch / font.pitch / cellOfWidth,
            height};
}

void Hpgl2::drawLabel(std::string_view text) {
    LabelState& label = state.label;
    // LO: the label placed about the pen by the length of its first line.
    const int32_t origin = state.labelOrigin == 21 ? 1 : state.labelOrigin;
    const int32_t position = origin % 10;
    const int32_t across = (position - 1) / 3, up = (position - 1) % 3;
    size_t characters = 0;
    for (const char c : text) {
        const int code = static_cast<unsigned char>(c) & 0x7F;
        if (code == '\r' || code == '\n') break;
        if (code >= 0x20) ++characters;
        if (code == '\b' && characters > 0) --characters;
    }
    const double length =
        characters > 0 ? (cellOfWidth * static_cast<double>(characters) - 0.5) * label.width : 0;
    double shiftAlong = -0.5 * across * length, shiftUp = -0.5 * up * label.height;
    if (origin > 10) {
        // 11 to 19: half a character further from the pen.
        shiftAlong += (across == 0 ? 0.5 : across == 2 ? -0.5 : 0) * label.width;
        shiftUp += (up == 0 ? 0.5 : up == 2 ? -0.5 : 0) * label.height;
    }
    const Point along = unitVector(label.direction), normal{-along.y, along.x};
    const Point offset = along * shiftAlong + normal * shiftUp;
    const Point before = state.pen;
    label.carriageReturn = label.carriageReturn + offset;
    const Point end = writer_.label(label, text, before + offset, sinks_);
    label.carriageReturn = label.carriageReturn - offset;
    pattern_.reset();
    // Labels placed from their left run on from one to the next; the others
    // leave the pen where it was.
    const Point pen = across == 0 ? end - offset : before;
    if (withinReach(pen.x) && withinReach(pen.y)) {
        state.pen = pen;
    } else {
        raiseError(positionOverflow);
    }
}

void Hpgl2::startTerminator() {
    terminatorStep_ = 0;
}

ByteStep Hpgl2::doDT(int byte) {
    const Hpgl2Terminator read = takeTerminator(byte, terminatorStep_);
    if (read.terminator || read.bad) state.terminatorPrinted = false; // ",0" prints it
    if (read.terminator) state.terminator = *read.terminator;
    if (read.bad) raiseError(badParameter);
    return read.step;
}

void Hpgl2::terminatorMode(const Numbers& p) {
    if (p.count > 0) state.terminatorPrinted = p.v[0] == 0;
}

void Hpgl2::doLO(const Numbers& p) {
    if (rejected(p)) return;
    const double origin = p.count > 0 ? p.v[0] : 1;
    const bool known = origin == 21 || (origin >= 1 && origin <= 19 && origin != 10 &&
                                        origin == std::floor(origin));
    if (!known) return raiseError(badParameter);
    state.labelOrigin = static_cast<int32_t>(origin);
}

void Hpgl2::doSD(const Numbers& p) {
    setFont(p, 0);
}
void Hpgl2::doAD(const Numbers& p) {
    setFont(p, 1);
}

void Hpgl2::setFont(const Numbers& p, int32_t which) {
    if (rejected(p)) return;
    LabelFont& font = state.fonts[static_cast<size_t>(which)];
    if (p.count == 0) font = {};
    for (int i = 0; i + 1 < std::min(p.count, static_cast<int>(p.v.size())); i += 2) {
        const double kind = p.v[i], value = p.v[i + 1];
        if (kind == 2 && (value == 0 || value == 1)) {
            font.proportional = value == 1;
        } else if ((kind == 3 || kind == 4) && value > 0 && value < 1e4) {
            (kind == 3 ? font.pitch : font.height) = value;
        } else if (kind < 1 || kind > 7) {
            raiseError(badParameter);
        }
    }
    applyLabelSize();
}

} // namespace plotanix
