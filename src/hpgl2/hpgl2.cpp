#include "hpgl2/hpgl2.h"

#include "hpgl2/hpgl2_mnemonics.h"
#include "page/drawing.h"
#include "page/stroke_font.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace plotanix {

const std::array<Hpgl2::Instruction, 74> Hpgl2::instructions_ = {{
    Instruction::takes("IN", &Hpgl2::doIN, true),
    Instruction::takes("DF", &Hpgl2::doDF, true),
    Instruction::takes("PS", &Hpgl2::doPS),
    Instruction::takes("RO", &Hpgl2::doRO),
    Instruction::takes("IP", &Hpgl2::doIP),
    Instruction::takes("IR", &Hpgl2::doIR),
    Instruction::takes("SC", &Hpgl2::doSC),
    Instruction::takes("IW", &Hpgl2::doIW),
    Instruction::reads("BP", &Hpgl2::doBP, false, &Hpgl2::startQuoted),
    Instruction::streams("PA", Stream::pairs, &Hpgl2::doPA),
    Instruction::streams("PR", Stream::pairs, &Hpgl2::doPR),
    Instruction::streams("PU", Stream::pairs, &Hpgl2::doPU),
    Instruction::streams("PD", Stream::pairs, &Hpgl2::doPD),
    Instruction::reads("PE", &Hpgl2::doPE, true, &Hpgl2::startEncoded),
    Instruction::takes("CI", &Hpgl2::doCI, true),
    Instruction::takes("AA", &Hpgl2::doAA, true),
    Instruction::takes("AR", &Hpgl2::doAR, true),
    Instruction::takes("AT", &Hpgl2::doAT, true),
    Instruction::takes("RT", &Hpgl2::doRT, true),
    Instruction::streams("BZ", Stream::bezier, &Hpgl2::doBZ),
    Instruction::streams("BR", Stream::bezier, &Hpgl2::doBR),
    Instruction::takes("PM", &Hpgl2::doPM, true),
    Instruction::takes("FP", &Hpgl2::doFP),
    Instruction::takes("EP", &Hpgl2::doEP),
    Instruction::takes("RA", &Hpgl2::doRA),
    Instruction::takes("RR", &Hpgl2::doRR),
    Instruction::takes("EA", &Hpgl2::doEA),
    Instruction::takes("ER", &Hpgl2::doER),
    Instruction::takes("WG", &Hpgl2::doWG),
    Instruction::takes("EW", &Hpgl2::doEW),
    Instruction::takes("FT", &Hpgl2::doFT),
    Instruction::takes("AC", &Hpgl2::doAC),
    Instruction::takes("SP", &Hpgl2::doSP),
    Instruction::takes("NP", &Hpgl2::doNP),
    Instruction::takes("PC", &Hpgl2::doPC),
    Instruction::takes("CR", &Hpgl2::doCR),
    Instruction::takes("PW", &Hpgl2::doPW),
    Instruction::takes("WU", &Hpgl2::doWU),
    Instruction::takes("LA", &Hpgl2::doLA),
    Instruction::takes("LT", &Hpgl2::doLT),
    Instruction::takes("UL", &Hpgl2::doUL),
    Instruction::takes("TR", &Hpgl2::doTR),
    Instruction::reads("LB", &Hpgl2::doLB, false, &Hpgl2::startLabel),
    {"DT", false, Body::bytes, &Hpgl2::terminatorMode, &Hpgl2::startTerminator, &Hpgl2::doDT},
    Instruction::takes("SI", &Hpgl2::doSI),
    Instruction::takes("SR", &Hpgl2::doSR),
    Instruction::takes("DI", &Hpgl2::doDI),
    Instruction::takes("DR", &Hpgl2::doDR),
    Instruction::takes("SL", &Hpgl2::doSL),
    Instruction::takes("CP", &Hpgl2::doCP),
    Instruction::takes("LO", &Hpgl2::doLO),
    Instruction::takes("SD", &Hpgl2::doSD),
    Instruction::takes("AD", &Hpgl2::doAD),
    Instruction::takes("SS", &Hpgl2::doSS),
    Instruction::takes("SA", &Hpgl2::doSA),
    Instruction::reads("SM", &Hpgl2::doSM),
    Instruction::answers("OA", &Hpgl2::doOA),
    Instruction::answers("OC", &Hpgl2::doOC),
    Instruction::answers("OE", &Hpgl2::doOE),
    Instruction::answers("OF", &Hpgl2::doOF),
    Instruction::answers("OH", &Hpgl2::doOH),
    Instruction::answers("OI", &Hpgl2::doOI),
    Instruction::answers("OP", &Hpgl2::doOP),
    Instruction::answers("OS", &Hpgl2::doOS),
    Instruction::answers("OT", &Hpgl2::doOT),
    Instruction::answers("OW", &Hpgl2::doOW),
    // Cutter, merge control, page advance (the operator's menu makes pages),
    // chord mode, replot, frame advance, quality, pixel placement: nothing
    // to draw.
    Instruction::takes("EC", &Hpgl2::doNothing),
    Instruction::takes("MC", &Hpgl2::doNothing),
    Instruction::takes("PG", &Hpgl2::doPG),
    Instruction::takes("CT", &Hpgl2::doNothing),
    Instruction::takes("NR", &Hpgl2::doNothing),
    Instruction::takes("FR", &Hpgl2::doNothing),
    Instruction::takes("QL", &Hpgl2::doNothing),
    Instruction::takes("PP", &Hpgl2::doNothing),
}};

const Hpgl2::Instruction* Hpgl2::find(std::string_view mnemonic) {
    static const InstructionIndex index(instructions_);
    return index.find(mnemonic);
}

bool hpgl2Knows(std::string_view mnemonic) {
    return Hpgl2::find(mnemonic) != nullptr;
}

std::optional<Body> hpgl2Body(std::string_view mnemonic) {
    const Hpgl2::Instruction* instruction = Hpgl2::find(mnemonic);
    return instruction ? std::optional(instruction->body) : std::nullopt;
}

Hpgl2::Hpgl2(Drawing& drawing, ByteLink& link, StatusLine* status, Paper paper)
    : HpglCore(dialect, state, drawing, status),
      link_(link), paper_{paper == Paper::a4 ? 10900.0 : 10300.0, 7650.0}, page_(paper_) {
    initialise();
    showPage();
}

void Hpgl2::startPage() {
    selectColour();
    showPage();
}

bool Hpgl2::knows(std::string_view mnemonic) const {
    return hpgl2Knows(mnemonic);
}

void Hpgl2::feed(std::span<const uint8_t> bytes) {
    input_.feed(bytes);
}

void Hpgl2::settle() {
    paintPending();
    flushPieces();
}

void Hpgl2::endOfStream() {
    // The instruction being read is carried out as far as its bytes go; a
    // wide path ends there, its cap drawn.
    input_.end();
    paintPending();
    finishLine();
    flushPieces();
}

void Hpgl2::betweenInstructions() {
    // ESC E: the printer's reset, the page back to the paper's.
    if (!input_.takeReset()) return;
    finishLine();
    flushPieces();
    sized_ = false;
    page_.setPaper(paper_);
    initialise();
}

Body Hpgl2::instruction(std::string_view letters) {
    countInstruction();
    current_ = letters.size() == 2 ? find(letters) : nullptr;
    if (!current_) {
        unknown(letters);
        quoted_ = false;
        return Body::bytes;
    }
    // Only moves go on with a wide path; anything else ends it first.
    static constexpr std::array<std::string_view, 10> moves = {"PA", "PR", "PD", "PE", "AA",
                                                               "AR", "AT", "RT", "BZ", "BR"};
    if (std::find(moves.begin(), moves.end(), current_->mnemonic) == moves.end()) finishLine();
    flushPieces();
    // A fill type, pen, pen width, line type or line ends set between areas
    // is told apart by each area's kind, a pen's new colour by the run's,
    // and a query changes nothing; a move may draw (the area waiting to be painted again goes
    // first), but what it draws, or puts in the buffer, ends the run by
    // itself.
    static constexpr std::array<std::string_view, 17> keepRun = {"FT", "SP", "LT", "PC", "PW", "WU",
                                                                 "LA", "OA", "OC", "OE", "OF", "OH",
                                                                 "OI", "OP", "OS", "OT", "OW"};
    static constexpr std::array<std::string_view, 4> movesOnly = {"PU", "PD", "PA", "PR"};
    const auto among = [&](const auto& list) {
        return std::find(list.begin(), list.end(), current_->mnemonic) != list.end();
    };
    if (current_ != lastArea_.instruction && !among(keepRun)) {
        paintPending();
        if (!among(movesOnly)) lastArea_ = {};
    }
    if (state.polygonMode && !current_->inPolygon) {
        // HP-GL/2 passes it over in polygon mode.
        static const Instruction passOver = Instruction::takes("", &Hpgl2::doNothing);
        current_ = &passOver;
        return Body::numbers;
    }
    if (current_->start) (this->*current_->start)();
    return current_->body;
}

void Hpgl2::numbers(const Numbers& values) {
    (this->*current_->numbers)(values);
}

void Hpgl2::number(double value) {
    if (current_->stream == Stream::pairs) return plotPair(value);
    if (current_->stream == Stream::bezier) return bezierNumber(value);
}

void Hpgl2::numbersEnd(bool illegal, bool aborted) {
    if (current_->stream == Stream::pairs) return pairsEnd(illegal, aborted);
    // BZ, BR: a curve left without its six numbers.
    if (curveTaken_ != 0 && !aborted) raiseError(wrongParameterCount);
}

ByteStep Hpgl2::byte(int event) {
    if (!current_) return skipQuoted(event, quoted_, false);
    return (this->*current_->bytes)(event);
}

void Hpgl2::reply(std::string_view text) {
    link_.waitOutputDrained();
    link_.writeSerial(std::string(text) + "\r");
    link_.replyComplete();
}

// ---- Setup

void Hpgl2::setDefaults() {
    state.relative = false;
    state.request = {};
    state.windowSet = false;
    state.polygonMode = false;
    buffer_.clear();
    state.fillType = 1;
    state.hatchSpacing = {0, 0};
    state.hatchInUserUnits = {false, false};
    state.hatchAngle = {0, 0};
    state.shading = 100;
    state.anchor = {};
    state.lineType = state.previousType = 0;
    state.lineTypeSet = state.previousSet = false;
    state.patternLength = 4;
    state.patternMetric = false;
    state.ends = {};
    for (auto& layout : userTypes_)
        layout.clear();
    state.label = LabelState{};
    state.label.carriageReturn = state.pen;
    state.terminator = 3;
    state.terminatorPrinted = false;
    state.fonts = {};
    state.sizeFixed = state.sizeRelative = false;
    state.directionRelative = false;
    state.labelOrigin = 1;
    state.symbol = 0;
    applyScale();
    applyWindow();
    applyLabelSize();
    applyLineType();
    applyPenStyle();
}

void Hpgl2::initialise() {
    paintPending();
    lastArea_ = {};
    page_.setRotation(0);
    defaultScalingPoints();
    state.pen = {};
    state.penDown = false;
    // Many files never select a pen: pen 1 counts as selected.
    state.selectedPen = 1;
    state.palette.clear();
    state.widths.clear();
    state.relativeWidths = false;
    resizePalette(8);
    state.transparent = true;
    state.colourRange = {0, 255, 0, 255, 0, 255};
    state.error = noError;
    state.errorMask = -1; // every error sets the status byte's error bit
    state.errorBit = false;
    state.initialised = true;
    state.scalingPointsChanged = false;
    setDefaults();
    selectColour();
}

void Hpgl2::defaultScalingPoints() {
    // The default corners on the paper, as the turned axes see them: the
    // 7470A's scaling points while no PS has set the page.
    const Point a = page_.fromPaper(sized_ ? Point{0, 0} : hp7470aP1);
    const Point b = page_.fromPaper(sized_ ? page_.paper() : hp7470aP2);
    state.p1 = {std::min(a.x, b.x), std::min(a.y, b.y)};
    state.p2 = {std::max(a.x, b.x), std::max(a.y, b.y)};
}

void Hpgl2::scalingPointsMoved() {
    // P1 and P2 never coincide on an axis.
    if (state.p2.x == state.p1.x) state.p2.x += 1;
    if (state.p2.y == state.p1.y) state.p2.y += 1;
    state.scalingPointsChanged = true;
    applyScale();
    applyLabelSize();
    applyLineType();
    applyPenStyle();
}

double Hpgl2::diagonal() const {
    return std::hypot(state.p2.x - state.p1.x, state.p2.y - state.p1.y);
}

void Hpgl2::applyScale() {
    const ScaleRequest& r = state.request;
    const Point span{state.p2.x - state.p1.x, state.p2.y - state.p1.y};
    UserScale scale;
    scale.on = r.on && span.x != 0 && span.y != 0;
    if (scale.on && r.type == 2) {
        // Point factor: plotter units per user unit, from (xmin, ymin) at P1.
        scale.on = r.v[1] != 0 && r.v[3] != 0;
        scale.xMin = r.v[0], scale.xMax = r.v[0] + span.x / r.v[1];
        scale.yMin = r.v[2], scale.yMax = r.v[2] + span.y / r.v[3];
    } else if (scale.on) {
        scale.on = r.v[0] != r.v[1] && r.v[2] != r.v[3];
        scale.xMin = r.v[0], scale.xMax = r.v[1], scale.yMin = r.v[2], scale.yMax = r.v[3];
        if (scale.on && r.type == 1) {
            // Isotropic: the smaller unit on both axes, the user area placed
            // within P1-P2 by the left and bottom percentages.
            const Point user{r.v[1] - r.v[0], r.v[3] - r.v[2]};
            const double size = std::min(std::fabs(span.x / user.x), std::fabs(span.y / user.y));
            const Point unit{std::copysign(size, span.x / user.x),
                             std::copysign(size, span.y / user.y)};
            const Point slack{std::fabs(span.x) - std::fabs(user.x) * size,
                              std::fabs(span.y) - std::fabs(user.y) * size};
            const Point offset{std::copysign(r.left / 100 * slack.x, span.x),
                               std::copysign(r.bottom / 100 * slack.y, span.y)};
            scale.xMin = r.v[0] - offset.x / unit.x, scale.xMax = scale.xMin + span.x / unit.x;
            scale.yMin = r.v[2] - offset.y / unit.y, scale.yMax = scale.yMin + span.y / unit.y;
        }
    }
    state.scale = scale;
}

void Hpgl2::clipAtPaper(bool clip) {
    paperClips_ = clip;
    applyWindow();
}

Window Hpgl2::windowOnPaper(bool paperClips) const {
    const Point frame = page_.frame();
    if (!paperClips)
        return state.windowSet ? windowGiven_
                               : Window{-hpgl2Reach, -hpgl2Reach, hpgl2Reach, hpgl2Reach};
    if (!state.windowSet) return {0, 0, frame.x, frame.y};
    return {std::max(windowGiven_.xll, 0.0), std::max(windowGiven_.yll, 0.0),
            std::min(windowGiven_.xur, frame.x), std::min(windowGiven_.yur, frame.y)};
}

void Hpgl2::applyWindow() {
    const Window w = windowOnPaper(paperClips_);
    state.window = w;
    applyDashScale();
    setClips();
    windowPixels_ = w.empty() ? PixelRect{} : page_.pixels(w.box());
}

Point Hpgl2::toPlotter(Point user) const {
    return plotanix::toPlotter(state.scale, state.p1, state.p2, user);
}

void Hpgl2::doPS(const Numbers& p) {
    if (rejected(p)) return;
    if (p.count > 2) return raiseError(wrongParameterCount);
    const Point size{p.count > 0 ? p.v[0] : paper_.x,
                     p.count > 1 ? p.v[1] : (p.count > 0 ? page_.paper().y : paper_.y)};
    // A page of no size, or beyond HP-GL/2's integers, is no page at all.
    if (!(size.x >= 1 && size.x < hpgl2Reach && size.y >= 1 && size.y < hpgl2Reach))
        return raiseError(badParameter);
    sized_ = p.count > 0;
    page_.setPaper(size);
    showPage();
    // A new page size puts the scaling points, the window and the pen back.
    buffer_.clear();
    defaultScalingPoints();
    state.windowSet = false;
    applyWindow();
    scalingPointsMoved();
    state.pen = state.p1;
}

void Hpgl2::doRO(const Numbers& p) {
    if (rejected(p)) return;
    const double angle = p.count > 0 ? p.v[0] : 0;
    if (angle != 0 && angle != 90 && angle != 180 && angle != 270) return raiseError(badParameter);
    // The pen stays where it is on the paper; its coordinates turn. P1 and
    // P2 keep their values, so they move on the paper.
    const Point onPaper = page_.toPaper(state.pen);
    page_.setRotation(static_cast<int32_t>(angle));
    state.pen = page_.fromPaper(onPaper);
    applyWindow();
    applyLineType();
}

void Hpgl2::doIR(const Numbers& p) {
    const Point frame = page_.frame();
    if (!rejected(p)) setScalingPoints(p, {frame.x / 100, frame.y / 100});
}

void Hpgl2::doSC(const Numbers& p) {
    if (rejected(p)) return;
    if (p.count == 0) {
        state.request.on = false;
        return applyScale();
    }
    if (p.count != 4 && p.count != 5 && p.count != 7) return raiseError(wrongParameterCount);
    const int32_t type = p.count > 4 ? static_cast<int32_t>(p.v[4]) : 0;
    const bool finite = std::all_of(p.v.begin(), p.v.begin() + std::min(p.count, 7),
                                    [](double v) { return std::isfinite(v) && withinReach(v); });
    if (!finite || type < 0 || type > 2) return raiseError(badParameter);
    ScaleRequest r{true, type, {p.v[0], p.v[1], p.v[2], p.v[3]}, 50, 50};
    if (p.count == 7) r.left = p.v[5], r.bottom = p.v[6];
    state.request = r;
    applyScale();
    if (!state.scale.on) raiseError(badParameter);
}

void Hpgl2::setWindow(std::optional<Window> corners) {
    // Kept in plotter units, any two opposite corners.
    state.windowSet = corners.has_value();
    if (corners) {
        const Window& w = *corners;
        windowGiven_ = {std::min(w.xll, w.xur), std::min(w.yll, w.yur), std::max(w.xll, w.xur),
                        std::max(w.yll, w.yur)};
    }
    applyWindow();
}

void Hpgl2::startQuoted() {
    quoted_ = false;
}

ByteStep Hpgl2::doBP(int byte) {
    // Kind and value pairs, the plot's name a quoted text: none of them
    // draws. A cut-off ends a name.
    return skipQuoted(byte, quoted_, true);
}

void Hpgl2::doPG(const Numbers&) {
    advancePage();
}

// ---- Moving

void Hpgl2::moveTo(Point target) {
    moveTo(target, state.penDown);
}

void Hpgl2::moveTo(Point target, bool down) {
    if (state.polygonMode) {
        // Stored, not drawn; a pen-up move starts a subpath.
        if (down) {
            buffer_.lineTo(target, true);
        } else {
            buffer_.start(target);
        }
        if (buffer_.overflowed()) raiseError(bufferOverflow);
    } else if (down) {
        plotLine(state.pen, target);
    } else {
        ++tally().moves;
        finishLine();
        pattern_.reset();
    }
    state.pen = target;
    state.label.carriageReturn = target;
    if (state.symbol != 0 && !state.polygonMode) drawSymbol(target);
}

// ---- Circles and arcs

bool Hpgl2::circleStored(const Circle& circle) {
    if (!state.polygonMode) return false;
    // A closed subpath of its own; what follows starts another.
    buffer_.close();
    buffer_.start(circle.at(0));
    for (int64_t i = 1; i <= circle.chords; ++i)
        buffer_.lineTo(circle.at(i), true);
    buffer_.close();
    if (buffer_.overflowed()) raiseError(bufferOverflow);
    return true;
}

void Hpgl2::circleDrawn() {
    wide_.close(sinks_);
}

void Hpgl2::doAT(const Numbers& p) {
    threePointArc(p, true);
}

void Hpgl2::doRT(const Numbers& p) {
    threePointArc(p, false);
}

void Hpgl2::threePointArc(const Numbers& p, bool absolute) {
    if (rejected(p)) return;
    if (p.count < 4 || p.count > 5) return raiseError(wrongParameterCount);
    // In user units, where the arc is round.
    const Point start = toUser(state.scale, state.p1, state.p2, state.pen);
    const Point offset = absolute ? Point{} : start;
    const Point middle = offset + Point{p.v[0], p.v[1]}, end = offset + Point{p.v[2], p.v[3]};
    Point target;
    if (!takeTarget(end.x, end.y, false, target)) return;
    const Point a = middle - start, b = end - start;
    const double cross = a.x * b.y - a.y * b.x;
    Point centre;
    double sweep = 0;
    if (start == end) {
        // Back to the start: the circle whose diameter ends at the middle point.
        centre = (start + middle) * 0.5;
        sweep = 360;
    } else if (cross == 0 || !std::isfinite(cross)) {
        return moveTo(target); // in a line: a line
    } else {
        const double a2 = a.x * a.x + a.y * a.y, b2 = b.x * b.x + b.y * b.y;
        centre =
            start + Point{(b.y * a2 - a.y * b2) / (2 * cross), (a.x * b2 - b.x * a2) / (2 * cross)};
        const auto angle = [&](Point q) { return std::atan2(q.y - centre.y, q.x - centre.x); };
        const double turn = 2 * std::numbers::pi;
        const double toEnd = std::fmod(angle(end) - angle(start) + 2 * turn, turn);
        const double toMiddle = std::fmod(angle(middle) - angle(start) + 2 * turn, turn);
        sweep = (toMiddle < toEnd ? toEnd : toEnd - turn) * 180.0 / std::numbers::pi;
    }
    const Point centreOnPlotter = toPlotter(centre);
    if (!inReach(centreOnPlotter)) return raiseError(positionOverflow);
    arcTo(centreOnPlotter, sweep, hpgl2Chord(p.count == 5 ? p.v[4] : 5));
    if (start != end) moveTo(target); // exactly at the end
}

void Hpgl2::doBZ() {
    curveAbsolute_ = true;
    curveTaken_ = 0;
}

void Hpgl2::doBR() {
    curveAbsolute_ = false;
    curveTaken_ = 0;
}

// Curves of three points each, the pen the first control point, as they
// arrive; each is laid out in chords of about two pixels.
void Hpgl2::bezierNumber(double value) {
    std::array<double, 6>& v = curve_;
    v[static_cast<size_t>(curveTaken_++)] = value;
    if (curveTaken_ < 6) return;
    curveTaken_ = 0;
    const Point p0 = toUser(state.scale, state.p1, state.p2, state.pen);
    const Point offset = curveAbsolute_ ? Point{} : p0;
    const Point p1 = offset + Point{v[0], v[1]}, p2 = offset + Point{v[2], v[3]},
                p3 = offset + Point{v[4], v[5]};
    Point ends[3];
    if (!takeTarget(p1.x, p1.y, false, ends[0]) || !takeTarget(p2.x, p2.y, false, ends[1]) ||
        !takeTarget(p3.x, p3.y, false, ends[2]))
        return;
    const double length = std::hypot(ends[0].x - state.pen.x, ends[0].y - state.pen.y) +
                          std::hypot(ends[1].x - ends[0].x, ends[1].y - ends[0].y) +
                          std::hypot(ends[2].x - ends[1].x, ends[2].y - ends[1].y);
    const int steps = static_cast<int>(std::clamp(length * page_.scale() / 2, 1.0, 256.0));
    for (int i = 1; i <= steps; ++i) {
        const double t = double(i) / steps, r = 1 - t;
        const Point q =
            p0 * (r * r * r) + p1 * (3 * r * r * t) + p2 * (3 * r * t * t) + p3 * (t * t * t);
        moveTo(i == steps ? ends[2] : toPlotter(q));
    }
}

// ---- Replies.

void Hpgl2::doOA() {
    reply(joined({whole(state.pen.x), whole(state.pen.y), state.penDown ? "1" : "0"}));
}

void Hpgl2::doOH() {
    const Point frame = page_.frame();
    reply(joined({"0", "0", whole(frame.x), whole(frame.y)}));
}

void Hpgl2::doOT() {
    reply("0,255"); // no carousel to report; pens 1 to 8 in place
}

} // namespace plotanix
