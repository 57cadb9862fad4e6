#include "hp7470a/hp7470a.h"

#include "hpgl/tokenizer.h"
#include "page/drawing.h"

#include <algorithm>
#include <cmath>

namespace plotanix {

namespace {

bool inRange(double value, double lo, double hi) {
    return value >= lo && value < hi;
}

} // namespace

const std::array<Hp7470a::Instruction, 51> Hp7470a::instructions_ = {{
    Instruction::takes("IN", &Hp7470a::doIN),
    Instruction::takes("DF", &Hp7470a::doDF),
    Instruction::takes("IP", &Hp7470a::doIP),
    Instruction::takes("SC", &Hp7470a::doSC),
    Instruction::takes("IW", &Hp7470a::doIW),
    Instruction::streams("PA", Stream::pairs, &Hp7470a::doPA),
    Instruction::streams("PR", Stream::pairs, &Hp7470a::doPR),
    Instruction::streams("PU", Stream::pairs, &Hp7470a::doPU),
    Instruction::streams("PD", Stream::pairs, &Hp7470a::doPD),
    Instruction::takes("CI", &Hp7470a::doCI),
    Instruction::takes("AA", &Hp7470a::doAA),
    Instruction::takes("AR", &Hp7470a::doAR),
    Instruction::takes("XT", &Hp7470a::doXT),
    Instruction::takes("YT", &Hp7470a::doYT),
    Instruction::takes("TL", &Hp7470a::doTL),
    Instruction::takes("SP", &Hp7470a::doSP),
    Instruction::takes("VS", &Hp7470a::doVS),
    Instruction::takes("IM", &Hp7470a::doIM),
    Instruction::takes("DP", &Hp7470a::doDP),
    Instruction::takes("DC", &Hp7470a::doDC),
    // Replies go out as soon as the mnemonic is read: a host that sends no
    // terminator still gets its answer; what follows is passed over.
    Instruction::answers("OA", &Hp7470a::doOA),
    Instruction::answers("OC", &Hp7470a::doOC),
    Instruction::answers("OD", &Hp7470a::doOD),
    Instruction::answers("OE", &Hp7470a::doOE),
    Instruction::answers("OF", &Hp7470a::doOF),
    Instruction::answers("OI", &Hp7470a::doOI),
    Instruction::answers("OO", &Hp7470a::doOO),
    Instruction::answers("OP", &Hp7470a::doOP),
    Instruction::answers("OS", &Hp7470a::doOS),
    Instruction::answers("OW", &Hp7470a::doOW),
    Instruction::reads("LB", &Hp7470a::doLB, false, &Hp7470a::startLabel),
    Instruction::reads("DT", &Hp7470a::doDT),
    Instruction::reads("SM", &Hp7470a::doSM),
    Instruction::takes("DI", &Hp7470a::doDI),
    Instruction::takes("DR", &Hp7470a::doDR),
    Instruction::takes("SI", &Hp7470a::doSI),
    Instruction::takes("SR", &Hp7470a::doSR),
    Instruction::takes("SL", &Hp7470a::doSL),
    Instruction::takes("CP", &Hp7470a::doCP),
    Instruction::takes("CS", &Hp7470a::doCS),
    Instruction::takes("CA", &Hp7470a::doCA),
    Instruction::takes("SS", &Hp7470a::doSS),
    Instruction::takes("SA", &Hp7470a::doSA),
    Instruction::streams("UC", Stream::userCharacter, &Hp7470a::doUC),
    Instruction::takes("LT", &Hp7470a::doLT),
    Instruction::takes("AP", &Hp7470a::doNothing),
    Instruction::takes("AF", &Hp7470a::doNothing),
    Instruction::takes("AH", &Hp7470a::doNothing),
    Instruction::takes("VA", &Hp7470a::doNothing),
    Instruction::takes("VN", &Hp7470a::doNothing),
    Instruction::takes("EC", &Hp7470a::doNothing),
}};

const Hp7470a::Instruction* Hp7470a::find(std::string_view mnemonic) {
    static const InstructionIndex index(instructions_);
    return index.find(mnemonic);
}

bool hp7470aKnows(std::string_view mnemonic) {
    return Hp7470a::find(mnemonic) != nullptr;
}

Hp7470a::Hp7470a(Drawing& drawing, ByteLink& link, StatusLine* status, Paper paper)
    : HpglCore(dialect, state, drawing, status), limits_{paper == Paper::a4 ? 10900.0 : 10300.0,
                                                         7650.0},
      map_(limits_.x, limits_.y), serial_(link), input_(serial_, tokenizer_) {
    initialise();
}

void Hp7470a::startPage() {
    selectColour();
}

bool Hp7470a::knows(std::string_view mnemonic) const {
    return hp7470aKnows(mnemonic);
}

void Hp7470a::feed(std::span<const uint8_t> bytes) {
    input_.feed(bytes);
}

void Hp7470a::endOfStream() {
    // The instruction being read is carried out as far as its bytes go.
    input_.end();
}

Body Hp7470a::instruction(std::string_view letters) {
    countInstruction();
    current_ = find(letters);
    if (current_) {
        if (current_->start) (this->*current_->start)();
        return current_->body;
    }
    unknown(letters);
    // It ends where a known instruction would: at ';', at the next letter
    // (HP-GL written without terminators goes on there), or at a byte that
    // cannot continue its numbers. CR and LF separate numbers as commas
    // do; whatever follows them up to the next letter is passed over.
    current_ = &unknown_;
    return Body::stream;
}

void Hp7470a::number(double value) {
    switch (current_->stream) {
    case Stream::pairs:
        return plotPair(value);
    case Stream::userCharacter:
        if (userCharacter_.size() < userCharacterValues) userCharacter_.push_back(value);
        return;
    case Stream::none:
    case Stream::discard:
        return;
    }
}

void Hp7470a::numbersEnd(bool illegal, bool aborted) {
    switch (current_->stream) {
    case Stream::pairs:
        return pairsEnd(illegal, aborted);
    case Stream::userCharacter:
        return drawUserCharacter(illegal, aborted);
    case Stream::none:
    case Stream::discard:
        return;
    }
}

void Hp7470a::setDefaults() {
    state.velocity = 38.1;
    state.relative = false;
    state.window = paperWindow();
    state.scale.on = false;
    state.tickUp = state.tickDown = 0.5;
    state.lineType = -1;
    state.patternLength = 4.0;
    applyLineType();
    // The terminator goes with the text: a printing one is drawn, a control
    // one does what it stands for.
    state.terminator = 3;
    state.terminatorPrinted = true;
    state.label = LabelState{};
    state.label.carriageReturn = state.pen;
    state.sizeFixed = state.sizeRelative = state.directionRelative = false;
    state.symbol = 0;
    setClips();
}

void Hp7470a::initialise() {
    setDefaults();
    state.penDown = false;
    state.p1 = hp7470aP1;
    state.p2 = hp7470aP2;
    state.error = noError;
    state.errorBit = false;
    state.initialised = true;
    state.errorMask = 223;
    state.serviceMask = state.parallelMask = 0;
    // Many real streams never select a pen: pen 1 counts as selected.
    state.selectedPen = 1;
    selectColour();
}

void Hp7470a::selectColour() {
    drawing_.setFrontColour(penColours[static_cast<size_t>(state.selectedPen)]);
}

// ---- Setup, scaling and window

void Hp7470a::defaultScalingPoints() {
    state.p1 = hp7470aP1;
    state.p2 = hp7470aP2;
}

Point Hp7470a::followingP2(Point p2) const {
    // Held inside the paper, as the front panel holds it.
    return {std::clamp(p2.x, 0.0, limits_.x), std::clamp(p2.y, 0.0, limits_.y)};
}

void Hp7470a::scalingPointsMoved() {
    state.scalingPointsChanged = true;
    applyLabelSize();
    applyLineType();
}

void Hp7470a::doSC(const Numbers& p) {
    if (rejected(p)) return;
    if (p.count == 0) {
        state.scale.on = false;
        return;
    }
    if (p.count != 4) return raiseError(wrongParameterCount);
    const UserScale scale{true, std::floor(p.v[0]), std::floor(p.v[1]), std::floor(p.v[2]),
                          std::floor(p.v[3])};
    const bool allInRange = std::all_of(p.v.begin(), p.v.begin() + 4,
                                        [](double v) { return v >= -32768.0 && v <= 32767.0; });
    if (!allInRange) raiseError(badParameter);
    // Collapsed or out-of-range limits leave plotter units.
    state.scale = scale;
    state.scale.on = allInRange && scale.xMin != scale.xMax && scale.yMin != scale.yMax;
}

void Hp7470a::setWindow(std::optional<Window> corners) {
    // Held to the paper, corners as given: crossed ones leave no window.
    const Window paper = paperWindow();
    if (corners) {
        auto x = [&](double v) { return std::clamp(v, paper.xll, paper.xur); };
        auto y = [&](double v) { return std::clamp(v, paper.yll, paper.yur); };
        state.window = {x(corners->xll), y(corners->yll), x(corners->xur), y(corners->yur)};
    } else {
        state.window = paper;
    }
    setClips();
}

void Hp7470a::moveTo(Point target) {
    if (state.penDown) {
        plotLine(state.pen, target);
    } else {
        ++tally().moves;
    }
    state.pen = target;
    state.label.carriageReturn = target;
}

Window Hp7470a::paperWindow() const {
    // Beyond the 16-bit coordinates no pen goes.
    if (!paperClips_) return {-65536.0, -65536.0, 65536.0, 65536.0};
    return {0.0, 0.0, limits_.x, limits_.y};
}

bool Hp7470a::windowIsPaper() const {
    const Window paper = paperWindow();
    const Window& w = state.window;
    return w.xll == paper.xll && w.yll == paper.yll && w.xur == paper.xur && w.yur == paper.yur;
}

Window Hp7470a::toldWindow() const {
    // Held to the paper as setWindow holds it when the paper clips.
    const Window& w = state.window;
    auto x = [&](double v) { return std::clamp(v, 0.0, limits_.x); };
    auto y = [&](double v) { return std::clamp(v, 0.0, limits_.y); };
    return {x(w.xll), y(w.yll), x(w.xur), y(w.yur)};
}

void Hp7470a::clipAtPaper(bool clip) {
    const bool wasPaper = windowIsPaper();
    paperClips_ = clip;
    if (wasPaper) {
        state.window = paperWindow();
        setClips();
    }
}

void Hp7470a::plotLine(Point from, Point to) {
    countStrokes(1);
    if (state.selectedPen == 0) return; // no pen in the holder
    if (strokeWhollyInside(from, to, pen_)) return;
    if (!(onPaper(state.window, from) && onPaper(state.window, to)) && windowIsPaper())
        countOffPaper();
    strokeInWindow(from, to, pen_);
}

void Hp7470a::drawSolid(Point from, Point to) {
    if (state.selectedPen == 0) return;
    Point a = from, b = to;
    if (!clipToWindow(state.window, a, b)) return;
    noteCut(from, to, a, b);
    drawInWindow(a, b);
}

void Hp7470a::drawInWindow(Point from, Point to) {
    drawing_.drawLine(map_.column(from.x), map_.row(from.y), map_.column(to.x), map_.row(to.y),
                      map_.picture(from.x, from.y), map_.picture(to.x, to.y));
}

void Hp7470a::doXT(const Numbers&) {
    tick(true); // parameters are ignored
}
void Hp7470a::doYT(const Numbers&) {
    tick(false);
}

void Hp7470a::tick(bool vertical) {
    // Drawn whatever the pen state, solid; the pen does not move.
    const Point at = state.pen;
    if (vertical) {
        const double percent = (state.p2.y - state.p1.y) / 100.0;
        drawSolid({at.x, at.y - state.tickDown * percent}, {at.x, at.y + state.tickUp * percent});
    } else {
        const double percent = (state.p2.x - state.p1.x) / 100.0;
        drawSolid({at.x - state.tickDown * percent, at.y}, {at.x + state.tickUp * percent, at.y});
    }
}

void Hp7470a::doTL(const Numbers& p) {
    if (rejected(p)) return;
    if (p.count > 2) return raiseError(wrongParameterCount);
    for (int i = 0; i < p.count; ++i) {
        if (!inRange(p.v[i], -128.0, 128.0)) return raiseError(badParameter);
    }
    state.tickUp = p.count == 0 ? 0.5 : p.v[0];
    state.tickDown = p.count == 0 ? 0.5 : p.count == 2 ? p.v[1] : 0.0;
}

void Hp7470a::selectPen(double number) {
    if (!inReach(number)) return raiseError(badParameter);
    const auto pen = static_cast<int32_t>(std::trunc(number));
    // Pens 1-9 have colours of their own; beyond them, as in the
    // plotter's two stalls, odd numbers take pen 1 and even ones pen 2.
    state.selectedPen = (pen >= 0 && pen <= 9) ? pen : (pen % 2 != 0 ? 1 : 2);
    selectColour();
}

void Hp7470a::doVS(const Numbers& p) {
    if (rejected(p)) return;
    if (p.count == 0) {
        state.velocity = 38.1;
        return;
    }
    if (!inRange(p.v[0], 0.0, 97.0)) return raiseError(badParameter);
    state.velocity = std::min(38.1, std::max(0.38, std::round(p.v[0] / 0.38) * 0.38));
}

void Hp7470a::doIM(const Numbers& p) {
    if (rejected(p)) return;
    if (p.count > 3) return raiseError(wrongParameterCount);
    for (int i = 0; i < p.count; ++i) {
        if (!inRange(p.v[i], 0.0, 256.0)) return raiseError(badParameter);
    }
    state.errorMask = p.count > 0 ? static_cast<int32_t>(p.v[0]) : 223;
    state.serviceMask = p.count > 1 ? static_cast<int32_t>(p.v[1]) : 0;
    state.parallelMask = p.count > 2 ? static_cast<int32_t>(p.v[2]) : 0;
}

void Hp7470a::doDP(const Numbers& p) {
    if (!p.aborted) state.digitizing = true;
}
void Hp7470a::doDC(const Numbers& p) {
    if (!p.aborted) state.digitizing = false;
}

// ---- Replies.

void Hp7470a::doOA() {
    const Point at{std::clamp(state.pen.x, 0.0, limits_.x),
                   std::clamp(state.pen.y, 0.0, limits_.y)};
    const bool down = state.penDown && state.window.contains(state.pen);
    reply(joined({wholeText(at.x), wholeText(at.y), down ? "1" : "0"}));
}
void Hp7470a::doOD() {
    reply("0,0,0"); // no digitiser: never a point
}
void Hp7470a::doOO() {
    reply("0,1,0,0,1,0,0,0");
}

} // namespace plotanix
