#include "hpgl/hpgl_core.h"

#include "page/stroke_font.h"

#include <algorithm>
#include <cmath>
#include <string>

namespace plotanix {

namespace {

constexpr double plotterUnitsPerCm = 400.0;

} // namespace

HpglCore::HpglCore(const Dialect& dialect, HpglState& state, Drawing& drawing, StatusLine* status)
    : dialect_(dialect), drawing_(drawing), status_(status), writer_(standardStrokeFont()),
      core_(state) {}

void HpglCore::instructionDone() {
    if (status_) status_->showStatus(counts().instructions, counts().ignored);
}

void HpglCore::unknown(std::string_view letters) {
    ignoreUnknown(letters);
    raiseError(unknownInstruction);
}

bool HpglCore::rejected(const Numbers& values) {
    if (values.aborted) return true;
    if (values.illegal) raiseError(badParameter);
    return values.illegal;
}

void HpglCore::raiseError(int32_t error) {
    core_.error = error;
    if ((core_.errorMask >> (error - 1)) & 1) core_.errorBit = true;
}

uint8_t HpglCore::statusByte() const {
    const HpglState& s = core_;
    return static_cast<uint8_t>((s.penDown ? 1 : 0) | (s.scalingPointsChanged ? 2 : 0) |
                                (s.initialised ? 8 : 0) | 16 | (s.errorBit ? 32 : 0));
}

void HpglCore::doIN(const Numbers& p) {
    if (p.aborted) return;
    if (!dialect_.initialiseTakesNumbers && (p.count != 0 || p.illegal))
        return raiseError(wrongParameterCount);
    initialise();
}

void HpglCore::doDF(const Numbers& p) {
    if (!p.aborted) setDefaults();
}

// ---- Pen moves

void HpglCore::doPA() {
    core_.relative = false;
    pairs_.clear();
}

void HpglCore::doPR() {
    core_.relative = true;
    pairs_.clear();
}

void HpglCore::doPU() {
    core_.penDown = false;
    penLifted();
    pattern_.reset();
    pairs_.clear();
}

void HpglCore::doPD() {
    core_.penDown = true;
    pairs_.clear();
}

// Pairs are plotted as they arrive.
void HpglCore::plotPair(double value) {
    const auto pair = pairs_.take(value);
    if (!pair) return;
    Point target;
    if (!takeTarget(pair->first, pair->second, core_.relative, target)) return;
    moveTo(target);
    if (dialect_.symbolsAtPairs && core_.symbol != 0) drawSymbol(target);
}

void HpglCore::pairsEnd(bool illegal, bool aborted) {
    if (pairs_.halfTaken() && !illegal && !aborted) raiseError(wrongParameterCount);
    pairs_.clear();
    if (illegal) raiseError(badParameter);
}

Point HpglCore::unit() const {
    return unitSize(core_.scale, core_.p1, core_.p2);
}

Point HpglCore::plotterUnits(Point p) const {
    return dialect_.sixteenBit ? Point{std::floor(p.x), std::floor(p.y)} : p;
}

Point HpglCore::targetOf(double x, double y, bool relative) const {
    // User units keep their fraction.
    const Point value = core_.scale.on ? Point{x, y} : plotterUnits({x, y});
    if (!relative) return toPlotter(core_.scale, core_.p1, core_.p2, value);
    const Point u = unit();
    return {core_.pen.x + value.x * u.x, core_.pen.y + value.y * u.y};
}

bool HpglCore::numbersInReach(const Numbers& p, int from, int to) const {
    for (int i = from; i < to; ++i) {
        if (!inReach(p.v[i])) return false;
    }
    return true;
}

bool HpglCore::takeTarget(double x, double y, bool relative, Point& target) {
    if (dialect_.sixteenBit && !(inReach(x) && inReach(y))) {
        raiseError(badParameter);
        return false;
    }
    target = targetOf(x, y, relative);
    if (inReach(target)) return true;
    raiseError(positionOverflow);
    return false;
}

void HpglCore::drawSymbol(Point at) {
    writer_.symbol(core_.label, static_cast<unsigned char>(core_.symbol), at, strokes());
    pattern_.reset();
}

void HpglCore::strokeInWindow(Point from, Point to, PieceSink& sink) {
    Point a = from, b = to;
    if (!clipToWindow(core_.window, a, b)) {
        countOutside(1);
        pattern_.reset();
        return;
    }
    if (pattern_.pattern() == LinePattern::solid) {
        // Straight to the drawer: the window's is the one cut.
        if (a != from) pattern_.reset();
        pattern_.strokeWindowed(a, b, sink);
    } else if (pattern_.pattern() == 0) {
        // Dots only at the plotted points; the pattern keeps them in the window.
        pattern_.stroke(from, to, sink);
    } else {
        // The pen comes down at the window's edge: the dashes start afresh.
        if (a != from) pattern_.reset();
        pattern_.stroke(a, b, sink);
    }
    if (b != to) pattern_.reset(); // lifted at the edge
}

void HpglCore::countStrokes(int64_t strokes) {
    PenTally& t = tally();
    (!penSelected() ? t.penless : !inkShows() ? t.inWhite : t.strokes) += strokes;
}

void HpglCore::countOutside(int64_t strokes) {
    (windowIsPaper() ? tally().offPaper : tally().outsideWindow) += strokes;
}

void HpglCore::noteCut(Point from, Point to, Point keptFrom, Point keptTo) {
    if ((keptFrom != from || keptTo != to) && windowIsPaper()) countOffPaper();
}

void HpglCore::setClips() {
    writer_.setClip(core_.window.box());
    pattern_.setClip(core_.window.box());
}

// ---- P1 and P2

void HpglCore::doIP(const Numbers& p) {
    if (!rejected(p)) setScalingPoints(p, {1, 1});
}

void HpglCore::setScalingPoints(const Numbers& p, Point unitOfValue) {
    if (p.count != 0 && p.count != 2 && p.count != 4) return raiseError(wrongParameterCount);
    for (int i = 0; i < p.count; ++i) {
        if (!inReach(p.v[i] * (i % 2 == 0 ? unitOfValue.x : unitOfValue.y)))
            return raiseError(badParameter);
    }
    if (p.count == 0) {
        defaultScalingPoints();
    } else {
        const Point size = core_.p2 - core_.p1;
        core_.p1 = plotterUnits({p.v[0] * unitOfValue.x, p.v[1] * unitOfValue.y});
        core_.p2 = p.count == 4 ? plotterUnits({p.v[2] * unitOfValue.x, p.v[3] * unitOfValue.y})
                                : followingP2(core_.p1 + size);
    }
    scalingPointsMoved();
}

// ---- The window

void HpglCore::doIW(const Numbers& p) {
    if (rejected(p)) return;
    if (p.count == 0) return setWindow(std::nullopt);
    if (p.count != 4) return raiseError(wrongParameterCount);
    if (dialect_.sixteenBit && !numbersInReach(p, 0, 4)) return raiseError(badParameter);
    const auto corner = [&](double x, double y) {
        return dialect_.windowInCurrentUnits ? toPlotter(core_.scale, core_.p1, core_.p2, {x, y})
                                             : plotterUnits({x, y});
    };
    const Point a = corner(p.v[0], p.v[1]), b = corner(p.v[2], p.v[3]);
    if (!inReach(a) || !inReach(b)) return raiseError(badParameter);
    setWindow(Window{a.x, a.y, b.x, b.y});
}

// ---- Circles and arcs

Point HpglCore::Circle::at(int64_t i) const {
    return circlePoint(centre, unit, radius,
                       start + 360.0 * static_cast<double>(i) / static_cast<double>(chords));
}

void HpglCore::doCI(const Numbers& p) {
    if (rejected(p)) return;
    if (p.count < 1 || p.count > 2) return raiseError(wrongParameterCount);
    if (!numbersInReach(p, 0, dialect_.sixteenBit ? p.count : 1)) return raiseError(badParameter);
    const double radius = core_.scale.on ? p.v[0] : plotterUnits({p.v[0], 0}).x;
    const double chord = dialect_.chord(p.count == 2 ? p.v[1] : 5.0);
    const Circle circle{core_.pen, unit(), std::fabs(radius), radius < 0.0 ? 180.0 : 0.0,
                        chordCount(360.0, chord)};
    if (circleStored(circle)) return;
    // Drawn whatever the pen state; the pen stays at the centre.
    pattern_.reset();
    for (int64_t i = 1; i <= circle.chords; ++i)
        plotLine(circle.at(i - 1), circle.at(i));
    circleDrawn();
    pattern_.reset();
}

void HpglCore::doAA(const Numbers& p) {
    doArc(p, true);
}
void HpglCore::doAR(const Numbers& p) {
    doArc(p, false);
}

void HpglCore::doArc(const Numbers& p, bool absolute) {
    if (rejected(p)) return;
    if (p.count < 3 || p.count > 4) return raiseError(wrongParameterCount);
    // 16-bit numbers are checked as numbers; any others by the centre they give.
    if (dialect_.sixteenBit && !numbersInReach(p, 0, p.count)) return raiseError(badParameter);
    const Point centre = targetOf(p.v[0], p.v[1], !absolute);
    if (!dialect_.sixteenBit && !inReach(centre)) {
        raiseError(positionOverflow);
        return raiseError(badParameter);
    }
    if (!std::isfinite(p.v[2])) return raiseError(badParameter);
    arcTo(centre, dialect_.sweep(p.v[2]), dialect_.chord(p.count == 4 ? p.v[3] : 5.0));
}

void HpglCore::arcTo(Point centre, double sweep, double chord) {
    forEachArcPoint(core_.pen, centre, unit(), sweep, chord, [this](Point to) { moveTo(to); });
}

// ---- Pens

void HpglCore::doSP(const Numbers& p) {
    if (!rejected(p)) selectPen(p.count > 0 ? p.v[0] : 0);
}

// ---- Labels

ByteStep HpglCore::doLB(int byte) {
    // The text runs to the terminator; the end of the stream (or the
    // 7470A's ESC.K) ends it too.
    const bool ends = byte < 0 || byte == core_.terminator;
    if (byte >= 0 && (ends ? core_.terminatorPrinted : label_.size() < maxLabelBytes))
        label_.push_back(static_cast<char>(byte));
    if (ends || (dialect_.labelPiece != 0 && label_.size() == dialect_.labelPiece)) {
        const LabelWriter::Tally before = writer_.tally();
        drawLabel(label_);
        label_.clear();
        // A character wholly beyond the window is passed over before it is
        // drawn: counted here, as the window's cut of the others is where
        // they are drawn.
        const LabelWriter::Tally after = writer_.tally();
        countStrokes(after.drawn - before.drawn + after.skipped - before.skipped);
        if (after.skipped != before.skipped && penSelected() && inkShows()) {
            countOutside(after.skipped - before.skipped);
            if (windowIsPaper()) countOffPaper();
        }
    }
    return ends ? ByteStep::done : ByteStep::more;
}

void HpglCore::applyLabelSize() {
    HpglState& s = core_;
    const Point span{(s.p2.x - s.p1.x) / 100.0, (s.p2.y - s.p1.y) / 100.0};
    if (s.sizeRelative) {
        s.label.width = s.sizeGiven.x * span.x;
        s.label.height = s.sizeGiven.y * span.y;
    } else if (s.sizeFixed) {
        s.label.width = s.sizeGiven.x * plotterUnitsPerCm;
        s.label.height = s.sizeGiven.y * plotterUnitsPerCm;
    } else {
        const Point size = fontSize();
        s.label.width = size.x;
        s.label.height = size.y;
    }
    if (s.directionRelative)
        s.label.direction = {s.directionGiven.x * span.x, s.directionGiven.y * span.y};
}

void HpglCore::settleLabelPen(Point pen, const LabelState& before) {
    // The pen moved lifted: a line type starts afresh after it.
    pattern_.reset();
    if (inReach(pen)) {
        core_.pen = pen;
        return;
    }
    core_.label = before;
    raiseError(positionOverflow);
}

void HpglCore::doSI(const Numbers& p) {
    setSize(p, false);
}
void HpglCore::doSR(const Numbers& p) {
    setSize(p, true);
}

void HpglCore::setSize(const Numbers& p, bool relative) {
    if (rejected(p)) return;
    if (p.count != 0 && p.count != 2) return raiseError(wrongParameterCount);
    const double limit = dialect_.labelLimit;
    if (p.count == 2 && !(std::fabs(p.v[0]) < limit && std::fabs(p.v[1]) < limit))
        return raiseError(badParameter);
    // SI; goes back to the font's size, SR; to its own default.
    core_.sizeRelative = relative;
    core_.sizeFixed = relative || p.count == 2;
    core_.sizeGiven = p.count == 2 ? Point{p.v[0], p.v[1]} : Point{0.75, 1.5};
    applyLabelSize();
}

void HpglCore::doDI(const Numbers& p) {
    setDirection(p, false);
}
void HpglCore::doDR(const Numbers& p) {
    setDirection(p, true);
}

void HpglCore::setDirection(const Numbers& p, bool relative) {
    if (rejected(p)) return;
    if (p.count != 0 && p.count != 2) return raiseError(wrongParameterCount);
    const Point direction = p.count == 2 ? Point{p.v[0], p.v[1]} : Point{1, 0};
    const double limit = dialect_.directionLimit, least = dialect_.leastDirection;
    const Point size{std::fabs(direction.x), std::fabs(direction.y)};
    const bool valid = size.x < limit && size.y < limit &&
                       std::isfinite(direction.x + direction.y) &&
                       (size.x >= least || size.y >= least);
    if (!valid) return raiseError(badParameter);
    core_.directionRelative = relative && (p.count == 2 || dialect_.bareDirectionRelative);
    core_.directionGiven = direction;
    core_.label.direction = direction;
    applyLabelSize();
    core_.label.carriageReturn = core_.pen;
}

void HpglCore::doSL(const Numbers& p) {
    if (rejected(p)) return;
    if (p.count > 0 && !(std::fabs(p.v[0]) < dialect_.labelLimit)) return raiseError(badParameter);
    core_.label.slant = p.count > 0 ? p.v[0] : 0.0; // further parameters are ignored
}

void HpglCore::doCP(const Numbers& p) {
    if (rejected(p)) return;
    if (p.count != 0 && p.count != 2) return raiseError(wrongParameterCount);
    const auto cells = [&](double v) { return v >= dialect_.cellLowest && v < dialect_.cellLimit; };
    if (p.count == 2 && !(cells(p.v[0]) && cells(p.v[1]))) return raiseError(badParameter);
    // The pen moves by whole cells and lines; it does not draw.
    const LabelState before = core_.label;
    const Point pen =
        p.count == 0 ? newLine(core_.label) : moveByCells(core_.label, core_.pen, p.v[0], p.v[1]);
    settleLabelPen(pen, before);
}

void HpglCore::doSS(const Numbers& p) {
    selectSet(p, false);
}
void HpglCore::doSA(const Numbers& p) {
    selectSet(p, true);
}

void HpglCore::selectSet(const Numbers& p, bool alternate) {
    if (p.aborted) return;
    core_.label.alternateSelected = alternate;
    applyLabelSize(); // each set may have a font of its own
}

ByteStep HpglCore::doSM(int byte) {
    // A printing character turns symbol mode on; ';', a space or a control
    // code turns it off.
    if (byte >= 0) core_.symbol = byte > ' ' && byte != ';' && byte < 128 ? byte : 0;
    return ByteStep::done;
}

// ---- Replies

std::string HpglCore::whole(double value) const {
    return wholeText(std::clamp(value, -dialect_.reach, dialect_.replyHighest));
}
std::string HpglCore::decimal(double value) const {
    return decimalText(std::clamp(value, -dialect_.reach, dialect_.replyHighest));
}

void HpglCore::doOC() {
    const Point at = toUser(core_.scale, core_.p1, core_.p2, core_.pen);
    reply(joined({decimal(at.x), decimal(at.y), core_.penDown ? "1" : "0"}));
}

void HpglCore::doOE() {
    reply(std::to_string(core_.error));
    core_.error = noError;
    core_.errorBit = false;
}

void HpglCore::doOF() {
    reply("40,40");
}

void HpglCore::doOI() {
    reply("7470A");
}

void HpglCore::doOP() {
    const HpglState& s = core_;
    reply(joined({whole(s.p1.x), whole(s.p1.y), whole(s.p2.x), whole(s.p2.y)}));
    core_.scalingPointsChanged = false;
}

void HpglCore::doOS() {
    reply(std::to_string(statusByte()));
    core_.initialised = false;
}

void HpglCore::doOW() {
    const Window w = toldWindow();
    reply(joined({whole(w.xll), whole(w.yll), whole(w.xur), whole(w.yur)}));
}

} // namespace plotanix
