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

void HpglCore::pairsEnd(bool illegal, bool aborted) {
    if (pairs_.halfTaken() && !illegal && !aborted) raiseError(wrongParameterCount);
    pairs_.clear();
    if (illegal) raiseError(badParameter);
}

// ---- Labels

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
    const Window& w = core_.window;
    reply(joined({whole(w.xll), whole(w.yll), whole(w.xur), whole(w.yur)}));
}

} // namespace plotanix
