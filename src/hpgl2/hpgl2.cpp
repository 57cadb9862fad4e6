#include "hpgl2/hpgl2.h"

#include "hpgl/reader.h"
#include "logfile/log_file.h"
#include "logfile/transcript_format.h"
#include "page/drawing.h"
#include "page/stroke_font.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace plotanix {

namespace {

constexpr double reach = hpgl2Reach;

bool inReach(Point p) {
    return withinReach(p.x) && withinReach(p.y);
}

std::string whole(double value) {
    return wholeText(std::clamp(value, -reach, reach));
}
std::string decimal(double value) {
    return decimalText(std::clamp(value, -reach, reach));
}

// More than a turn draws one turn and the rest, so that the arc ends where
// it should while its chords stay few.
double sweepOf(double sweep) {
    if (std::fabs(sweep) <= 360) return sweep;
    return std::fmod(sweep, 360.0) + std::copysign(360.0, sweep);
}

} // namespace

const std::array<Hpgl2::Instruction, 74> Hpgl2::instructions_ = {{
    {"IN", &Hpgl2::doIN, true},
    {"DF", &Hpgl2::doDF, true},
    {"PS", &Hpgl2::doPS, false},
    {"RO", &Hpgl2::doRO, false},
    {"IP", &Hpgl2::doIP, false},
    {"IR", &Hpgl2::doIR, false},
    {"SC", &Hpgl2::doSC, false},
    {"IW", &Hpgl2::doIW, false},
    {"BP", &Hpgl2::doBP, false},
    {"PA", &Hpgl2::doPA, true},
    {"PR", &Hpgl2::doPR, true},
    {"PU", &Hpgl2::doPU, true},
    {"PD", &Hpgl2::doPD, true},
    {"PE", &Hpgl2::doPE, true},
    {"CI", &Hpgl2::doCI, true},
    {"AA", &Hpgl2::doAA, true},
    {"AR", &Hpgl2::doAR, true},
    {"AT", &Hpgl2::doAT, true},
    {"RT", &Hpgl2::doRT, true},
    {"BZ", &Hpgl2::doBZ, true},
    {"BR", &Hpgl2::doBR, true},
    {"PM", &Hpgl2::doPM, true},
    {"FP", &Hpgl2::doFP, false},
    {"EP", &Hpgl2::doEP, false},
    {"RA", &Hpgl2::doRA, false},
    {"RR", &Hpgl2::doRR, false},
    {"EA", &Hpgl2::doEA, false},
    {"ER", &Hpgl2::doER, false},
    {"WG", &Hpgl2::doWG, false},
    {"EW", &Hpgl2::doEW, false},
    {"FT", &Hpgl2::doFT, false},
    {"AC", &Hpgl2::doAC, false},
    {"SP", &Hpgl2::doSP, false},
    {"NP", &Hpgl2::doNP, false},
    {"PC", &Hpgl2::doPC, false},
    {"CR", &Hpgl2::doCR, false},
    {"PW", &Hpgl2::doPW, false},
    {"WU", &Hpgl2::doWU, false},
    {"LA", &Hpgl2::doLA, false},
    {"LT", &Hpgl2::doLT, false},
    {"UL", &Hpgl2::doUL, false},
    {"TR", &Hpgl2::doTR, false},
    {"LB", &Hpgl2::doLB, false},
    {"DT", &Hpgl2::doDT, false},
    {"SI", &Hpgl2::doSI, false},
    {"SR", &Hpgl2::doSR, false},
    {"DI", &Hpgl2::doDI, false},
    {"DR", &Hpgl2::doDR, false},
    {"SL", &Hpgl2::doSL, false},
    {"CP", &Hpgl2::doCP, false},
    {"LO", &Hpgl2::doLO, false},
    {"SD", &Hpgl2::doSD, false},
    {"AD", &Hpgl2::doAD, false},
    {"SS", &Hpgl2::doSS, false},
    {"SA", &Hpgl2::doSA, false},
    {"SM", &Hpgl2::doSM, false},
    {"OA", &Hpgl2::doOA, true},
    {"OC", &Hpgl2::doOC, true},
    {"OE", &Hpgl2::doOE, true},
    {"OF", &Hpgl2::doOF, true},
    {"OH", &Hpgl2::doOH, true},
    {"OI", &Hpgl2::doOI, true},
    {"OP", &Hpgl2::doOP, true},
    {"OS", &Hpgl2::doOS, true},
    {"OT", &Hpgl2::doOT, true},
    {"OW", &Hpgl2::doOW, true},
    // Cutter, merge control, page advance (the operator's menu makes pages),
    // chord mode, replot, frame advance, quality, pixel placement: nothing
    // to draw.
    {"EC", &Hpgl2::doNothing, false},
    {"MC", &Hpgl2::doNothing, false},
    {"PG", &Hpgl2::doPG, false},
    {"CT", &Hpgl2::doNothing, false},
    {"NR", &Hpgl2::doNothing, false},
    {"FR", &Hpgl2::doNothing, false},
    {"QL", &Hpgl2::doNothing, false},
    {"PP", &Hpgl2::doNothing, false},
}};

const Hpgl2::Instruction* Hpgl2::find(std::string_view mnemonic) {
    static const InstructionIndex index(instructions_);
    return index.find(mnemonic);
}

bool hpgl2Knows(std::string_view mnemonic) {
    return Hpgl2::find(mnemonic) != nullptr;
}

Hpgl2::Hpgl2(InstructionReader& reader, Drawing& drawing, ByteLink& link, LogFile& log,
             StatusLine* status, Paper paper)
    : drawing_(drawing), link_(link), log_(log),
      status_(status), paper_{paper == Paper::a4 ? 10900.0 : 10300.0, 7650.0}, page_(paper_),
      input_(reader), writer_(standardStrokeFont()) {
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

void Hpgl2::lineSilent() {
    // The page is shown now: a wide path's last cap with it.
    wide_.showEnd(sinks_);
}

void Hpgl2::runInstructionLoop() {
    for (;;) {
        if (status_) status_->showStatus(counts().instructions, counts().ignored);
        const int first = nextMnemonicLetter();
        if (first == ScannerInput::silent) break;
        const std::string letters = readMnemonic(first, input_);
        countInstruction();
        execute(letters);
        if (input_.lineSilent()) break;
    }
    finishLine();
}

int Hpgl2::nextMnemonicLetter() {
    for (;;) {
        const int byte = input_.get();
        // ESC E: the printer's reset, the page back to the paper's.
        if (input_.takeReset()) {
            finishLine();
            sized_ = false;
            page_.setPaper(paper_);
            initialise();
        }
        if (byte == ScannerInput::silent || isLetter(byte)) return byte;
    }
}

void Hpgl2::execute(const std::string& letters) {
    const Instruction* instruction = letters.size() == 2 ? find(letters) : nullptr;
    if (!instruction) return skipUnknown(letters);
    // Only moves go on with a wide path; anything else ends it first.
    static constexpr std::array<std::string_view, 10> moves = {"PA", "PR", "PD", "PE", "AA",
                                                               "AR", "AT", "RT", "BZ", "BR"};
    if (std::find(moves.begin(), moves.end(), instruction->mnemonic) == moves.end()) finishLine();
    ParameterScanner scanner(input_);
    if (state.polygonMode && !instruction->inPolygon) {
        collect(scanner); // HP-GL/2 passes it over in polygon mode
        return;
    }
    (this->*instruction->handler)(scanner);
}

void Hpgl2::skipUnknown(const std::string& letters) {
    log_.writeLogText(transcript::unknownRecord(letters));
    countIgnored();
    raiseError(hpgl2UnknownInstruction);
    // Its parameters run to a ';' or the next mnemonic; a quoted text may
    // hold letters.
    for (int byte = input_.get(); byte >= 0 && byte != ';'; byte = input_.get()) {
        if (byte == '"') {
            for (byte = input_.get(); byte >= 0 && byte != '"';)
                byte = input_.get();
            if (byte < 0) return;
        } else if (isLetter(byte)) {
            input_.unget(byte);
            return;
        }
    }
}

bool Hpgl2::rejected(const Values& values) {
    if (values.aborted) return true;
    if (values.illegal) raiseError(hpgl2BadParameter);
    return values.illegal;
}

uint8_t Hpgl2::statusByte() const {
    return static_cast<uint8_t>((state.penDown ? 1 : 0) | (state.scalingPointsChanged ? 2 : 0) |
                                (state.initialised ? 8 : 0) | 16 |
                                (state.error != hpgl2NoError ? 32 : 0));
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
    state.error = hpgl2NoError;
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

void Hpgl2::applyWindow() {
    const Point frame = page_.frame();
    Window w{0, 0, frame.x, frame.y};
    if (state.windowSet) {
        w = {std::max(windowGiven_.xll, 0.0), std::max(windowGiven_.yll, 0.0),
             std::min(windowGiven_.xur, frame.x), std::min(windowGiven_.yur, frame.y)};
    }
    state.window = w;
    // Dashes shorter than a pixel of this page draw solid; the window may
    // reach as far as HP-GL/2's coordinates do.
    pattern_.setScale(1 / page_.scale(), {-reach, -reach, reach, reach});
    setClips();
    windowPixels_ = w.empty() ? PixelRect{} : page_.pixels(w.box());
}

Point Hpgl2::unit() const {
    return unitSize(state.scale, state.p1, state.p2);
}

Point Hpgl2::toPlotter(Point user) const {
    return plotanix::toPlotter(state.scale, state.p1, state.p2, user);
}

void Hpgl2::doIN(ParameterScanner& s) {
    if (!collect(s).aborted) initialise();
}

void Hpgl2::doDF(ParameterScanner& s) {
    if (!collect(s).aborted) setDefaults();
}

void Hpgl2::doPS(ParameterScanner& s) {
    const Values p = collect(s);
    if (rejected(p)) return;
    if (p.count > 2) return raiseError(hpgl2WrongParameterCount);
    const Point size{p.count > 0 ? p.v[0] : paper_.x,
                     p.count > 1 ? p.v[1] : (p.count > 0 ? page_.paper().y : paper_.y)};
    // A page of no size, or beyond HP-GL/2's integers, is no page at all.
    if (!(size.x >= 1 && size.x < reach && size.y >= 1 && size.y < reach))
        return raiseError(hpgl2BadParameter);
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

void Hpgl2::doRO(ParameterScanner& s) {
    const Values p = collect(s);
    if (rejected(p)) return;
    const double angle = p.count > 0 ? p.v[0] : 0;
    if (angle != 0 && angle != 90 && angle != 180 && angle != 270)
        return raiseError(hpgl2BadParameter);
    // The pen stays where it is on the paper; its coordinates turn. P1 and
    // P2 keep their values, so they move on the paper.
    const Point onPaper = page_.toPaper(state.pen);
    page_.setRotation(static_cast<int32_t>(angle));
    state.pen = page_.fromPaper(onPaper);
    applyWindow();
    applyLineType();
}

void Hpgl2::setScalingPoints(const Values& p, Point unitOfValue) {
    if (p.count != 0 && p.count != 2 && p.count != 4) return raiseError(hpgl2WrongParameterCount);
    for (int i = 0; i < p.count; ++i) {
        if (!withinReach(p.v[i] * (i % 2 == 0 ? unitOfValue.x : unitOfValue.y)))
            return raiseError(hpgl2BadParameter);
    }
    if (p.count == 0) {
        defaultScalingPoints();
    } else {
        const Point size = state.p2 - state.p1;
        state.p1 = {p.v[0] * unitOfValue.x, p.v[1] * unitOfValue.y};
        state.p2 =
            p.count == 4 ? Point{p.v[2] * unitOfValue.x, p.v[3] * unitOfValue.y} : state.p1 + size;
        // P1 and P2 never coincide on an axis.
        if (state.p2.x == state.p1.x) state.p2.x += 1;
        if (state.p2.y == state.p1.y) state.p2.y += 1;
    }
    scalingPointsMoved();
}

void Hpgl2::doIP(ParameterScanner& s) {
    const Values p = collect(s);
    if (!rejected(p)) setScalingPoints(p, {1, 1});
}

void Hpgl2::doIR(ParameterScanner& s) {
    const Values p = collect(s);
    const Point frame = page_.frame();
    if (!rejected(p)) setScalingPoints(p, {frame.x / 100, frame.y / 100});
}

void Hpgl2::doSC(ParameterScanner& s) {
    const Values p = collect(s);
    if (rejected(p)) return;
    if (p.count == 0) {
        state.request.on = false;
        return applyScale();
    }
    if (p.count != 4 && p.count != 5 && p.count != 7) return raiseError(hpgl2WrongParameterCount);
    const int32_t type = p.count > 4 ? static_cast<int32_t>(p.v[4]) : 0;
    const bool finite = std::all_of(p.v.begin(), p.v.begin() + std::min(p.count, 7),
                                    [](double v) { return std::isfinite(v) && withinReach(v); });
    if (!finite || type < 0 || type > 2) return raiseError(hpgl2BadParameter);
    ScaleRequest r{true, type, {p.v[0], p.v[1], p.v[2], p.v[3]}, 50, 50};
    if (p.count == 7) r.left = p.v[5], r.bottom = p.v[6];
    state.request = r;
    applyScale();
    if (!state.scale.on) raiseError(hpgl2BadParameter);
}

void Hpgl2::doIW(ParameterScanner& s) {
    const Values p = collect(s);
    if (rejected(p)) return;
    if (p.count == 0) {
        state.windowSet = false;
        return applyWindow();
    }
    if (p.count != 4) return raiseError(hpgl2WrongParameterCount);
    // Given in the current units, kept in plotter units.
    const Point a = toPlotter({p.v[0], p.v[1]}), b = toPlotter({p.v[2], p.v[3]});
    if (!inReach(a) || !inReach(b)) return raiseError(hpgl2BadParameter);
    windowGiven_ = {std::min(a.x, b.x), std::min(a.y, b.y), std::max(a.x, b.x), std::max(a.y, b.y)};
    state.windowSet = true;
    applyWindow();
}

void Hpgl2::doBP(ParameterScanner&) {
    // Kind and value pairs, the plot's name a quoted text: none of them
    // draws. They end at ';' or the next mnemonic.
    for (int byte = input_.get(); byte >= 0 && byte != ';'; byte = input_.get()) {
        if (byte == '"') {
            while (byte >= 0 && (byte = input_.get()) != '"') {
            }
        } else if (isLetter(byte)) {
            return input_.unget(byte);
        }
    }
}

void Hpgl2::doNothing(ParameterScanner& s) {
    collect(s);
}

void Hpgl2::doPG(ParameterScanner& s) {
    collect(s);
    advancePage();
}

// ---- Moving

bool Hpgl2::takeTarget(double x, double y, bool relative, Point& target) {
    const Point u = unit();
    target = relative ? Point{state.pen.x + x * u.x, state.pen.y + y * u.y} : toPlotter({x, y});
    if (inReach(target)) return true;
    raiseError(hpgl2PositionOverflow);
    return false;
}

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
        if (buffer_.overflowed()) raiseError(hpgl2BufferOverflow);
    } else if (down) {
        plotLine(state.pen, target);
    } else {
        finishLine();
        pattern_.reset();
    }
    state.pen = target;
    state.label.carriageReturn = target;
    if (state.symbol != 0 && !state.polygonMode) drawSymbol(target);
}

void Hpgl2::doPA(ParameterScanner& s) {
    state.relative = false;
    plotPairs(s);
}

void Hpgl2::doPR(ParameterScanner& s) {
    state.relative = true;
    plotPairs(s);
}

void Hpgl2::doPU(ParameterScanner& s) {
    state.penDown = false;
    finishLine();
    pattern_.reset();
    plotPairs(s);
}

void Hpgl2::doPD(ParameterScanner& s) {
    state.penDown = true;
    plotPairs(s);
}

void Hpgl2::plotPairs(ParameterScanner& s) {
    // Pairs are plotted as they arrive: a list of any length needs no memory.
    double x = 0.0, y = 0.0;
    while (s.next(x)) {
        if (!s.next(y)) {
            if (!s.illegal() && !s.aborted()) raiseError(hpgl2WrongParameterCount);
            break;
        }
        Point target;
        if (takeTarget(x, y, state.relative, target)) moveTo(target);
    }
    if (s.illegal()) raiseError(hpgl2BadParameter);
}

void Hpgl2::doPE(ParameterScanner&) {
    // Encoded numbers, least significant digit first, the last one from
    // the terminator range; the sign in bit 0. Flags (their eighth bit
    // ignored) say what the next number or pair is.
    enum class Next { coordinate, pen, fraction };
    Next next = Next::coordinate;
    bool sevenBit = false, up = false, absolute = false, moved = false, lastUp = false;
    bool haveX = false;
    double x = 0, scale = 1;
    uint64_t value = 0, place = 1;
    bool tooLarge = false;
    constexpr uint64_t lastPlace = uint64_t{1} << 56;
    for (;;) {
        const int byte = input_.get();
        if (byte < 0 || byte == ';') break;
        const int flag = byte & 0x7F;
        const bool flagByte = byte < 191 || sevenBit;
        if (flagByte && (flag == ':' || flag == '<' || flag == '>' || flag == '=' || flag == '7')) {
            if (flag == ':') next = Next::pen;
            if (flag == '>') next = Next::fraction;
            if (flag == '<') up = true;
            if (flag == '=') absolute = true;
            if (flag == '7') sevenBit = true;
            value = 0, place = 1, tooLarge = false; // a number cut by a flag is dropped
            continue;
        }
        const int b = sevenBit ? flag : byte;
        const int base = sevenBit ? 32 : 64;
        const int terminatorsFrom = sevenBit ? 95 : 191;
        int digit = -1;
        bool ends = false;
        if (b >= 63 && b < 63 + base) {
            digit = b - 63;
        } else if (b >= terminatorsFrom && b < terminatorsFrom + base) {
            digit = b - terminatorsFrom, ends = true;
        }
        if (digit < 0) continue; // spaces, control codes and the like
        if (place <= lastPlace) {
            value += static_cast<uint64_t>(digit) * place;
            place *= static_cast<uint64_t>(base);
        } else if (digit != 0) {
            tooLarge = true;
        }
        if (!ends) continue;
        const double magnitude = tooLarge ? INFINITY : static_cast<double>(value >> 1);
        const double number = (value & 1) ? -magnitude : magnitude;
        value = 0, place = 1, tooLarge = false;
        if (next == Next::pen) {
            next = Next::coordinate;
            if (!state.polygonMode && std::isfinite(number)) {
                finishLine();
                selectPen(number);
            }
        } else if (next == Next::fraction) {
            next = Next::coordinate;
            if (std::isfinite(number))
                scale = std::ldexp(1.0, -static_cast<int>(std::clamp(number, -26.0, 26.0)));
        } else if (!haveX) {
            x = number * scale;
            haveX = true;
        } else {
            haveX = false;
            Point target;
            if (takeTarget(x, number * scale, !absolute, target)) {
                moveTo(target, !up);
                moved = true;
                lastUp = up;
            }
            up = absolute = false;
        }
    }
    // The pen stays as the last move left it.
    if (moved) state.penDown = !lastUp;
}

// ---- Circles and arcs

void Hpgl2::doCI(ParameterScanner& s) {
    const Values p = collect(s);
    if (rejected(p)) return;
    if (p.count < 1 || p.count > 2) return raiseError(hpgl2WrongParameterCount);
    if (!withinReach(p.v[0])) return raiseError(hpgl2BadParameter);
    const double chord = hpgl2Chord(p.count == 2 ? p.v[1] : 5);
    const int64_t chords = chordCount(360.0, chord);
    const double start = p.v[0] < 0 ? 180.0 : 0.0;
    const double radius = std::fabs(p.v[0]);
    const Point centre = state.pen, u = unit();
    const auto at = [&](int64_t i) {
        return circlePoint(centre, u, radius, start + 360.0 * static_cast<double>(i) / chords);
    };
    if (state.polygonMode) {
        // A closed subpath of its own; what follows starts another.
        buffer_.close();
        buffer_.start(at(0));
        for (int64_t i = 1; i <= chords; ++i)
            buffer_.lineTo(at(i), true);
        buffer_.close();
        if (buffer_.overflowed()) raiseError(hpgl2BufferOverflow);
        return;
    }
    // Drawn whatever the pen state; the pen comes back to the centre.
    pattern_.reset();
    for (int64_t i = 1; i <= chords; ++i)
        plotLine(at(i - 1), at(i));
    wide_.close(sinks_);
    pattern_.reset();
}

void Hpgl2::doAA(ParameterScanner& s) {
    doArc(s, true);
}

void Hpgl2::doAR(ParameterScanner& s) {
    doArc(s, false);
}

void Hpgl2::doArc(ParameterScanner& s, bool absolute) {
    const Values p = collect(s);
    if (rejected(p)) return;
    if (p.count < 3 || p.count > 4) return raiseError(hpgl2WrongParameterCount);
    Point centre;
    if (!takeTarget(p.v[0], p.v[1], !absolute, centre) || !std::isfinite(p.v[2]))
        return raiseError(hpgl2BadParameter);
    arcTo(centre, sweepOf(p.v[2]), hpgl2Chord(p.count == 4 ? p.v[3] : 5));
}

void Hpgl2::arcTo(Point centre, double sweep, double chord) {
    forEachArcPoint(state.pen, centre, unit(), sweep, chord, [this](Point to) { moveTo(to); });
}

void Hpgl2::doAT(ParameterScanner& s) {
    threePointArc(s, true);
}

void Hpgl2::doRT(ParameterScanner& s) {
    threePointArc(s, false);
}

void Hpgl2::threePointArc(ParameterScanner& s, bool absolute) {
    const Values p = collect(s);
    if (rejected(p)) return;
    if (p.count < 4 || p.count > 5) return raiseError(hpgl2WrongParameterCount);
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
    if (!inReach(centreOnPlotter)) return raiseError(hpgl2PositionOverflow);
    arcTo(centreOnPlotter, sweep, hpgl2Chord(p.count == 5 ? p.v[4] : 5));
    if (start != end) moveTo(target); // exactly at the end
}

void Hpgl2::doBZ(ParameterScanner& s) {
    bezier(s, true);
}

void Hpgl2::doBR(ParameterScanner& s) {
    bezier(s, false);
}

void Hpgl2::bezier(ParameterScanner& s, bool absolute) {
    // Curves of three points each, the pen the first control point, as
    // they arrive; each is laid out in chords of about two pixels.
    std::array<double, 6> v{};
    int taken = 0;
    double value = 0;
    while (s.next(value)) {
        v[taken++] = value;
        if (taken < 6) continue;
        taken = 0;
        const Point p0 = toUser(state.scale, state.p1, state.p2, state.pen);
        const Point offset = absolute ? Point{} : p0;
        const Point p1 = offset + Point{v[0], v[1]}, p2 = offset + Point{v[2], v[3]},
                    p3 = offset + Point{v[4], v[5]};
        Point ends[3];
        if (!takeTarget(p1.x, p1.y, false, ends[0]) || !takeTarget(p2.x, p2.y, false, ends[1]) ||
            !takeTarget(p3.x, p3.y, false, ends[2]))
            continue;
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
    if (taken != 0 && !s.aborted()) raiseError(hpgl2WrongParameterCount);
}

// ---- Replies. They go out as soon as the mnemonic is read; what follows
// is passed over.

void Hpgl2::doOA(ParameterScanner& s) {
    reply(joined({whole(state.pen.x), whole(state.pen.y), state.penDown ? "1" : "0"}));
    collect(s);
}

void Hpgl2::doOC(ParameterScanner& s) {
    const Point at = toUser(state.scale, state.p1, state.p2, state.pen);
    reply(joined({decimal(at.x), decimal(at.y), state.penDown ? "1" : "0"}));
    collect(s);
}

void Hpgl2::doOE(ParameterScanner& s) {
    reply(std::to_string(state.error));
    state.error = hpgl2NoError;
    collect(s);
}

void Hpgl2::doOF(ParameterScanner& s) {
    reply("40,40");
    collect(s);
}

void Hpgl2::doOH(ParameterScanner& s) {
    const Point frame = page_.frame();
    reply(joined({"0", "0", whole(frame.x), whole(frame.y)}));
    collect(s);
}

void Hpgl2::doOI(ParameterScanner& s) {
    reply("7470A");
    collect(s);
}

void Hpgl2::doOP(ParameterScanner& s) {
    reply(joined({whole(state.p1.x), whole(state.p1.y), whole(state.p2.x), whole(state.p2.y)}));
    state.scalingPointsChanged = false;
    collect(s);
}

void Hpgl2::doOS(ParameterScanner& s) {
    reply(std::to_string(statusByte()));
    state.initialised = false;
    collect(s);
}

void Hpgl2::doOT(ParameterScanner& s) {
    reply("0,255"); // no carousel to report; pens 1 to 8 in place
    collect(s);
}

void Hpgl2::doOW(ParameterScanner& s) {
    const Window& w = state.window;
    reply(joined({whole(w.xll), whole(w.yll), whole(w.xur), whole(w.yur)}));
    collect(s);
}

} // namespace plotanix
