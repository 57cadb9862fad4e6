#include "hp86b/hp86b_plotter.h"

#include "page/drawing.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <utility>

namespace plotanix {

namespace {

constexpr int32_t marginX = 80;    // plotter x 0 is picture column 80
constexpr int32_t baselineY = 540; // plotter y 0 is picture row 540

int32_t clampToInt32(int64_t value) {
    constexpr int64_t lo = std::numeric_limits<int32_t>::min();
    constexpr int64_t hi = std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(value < lo ? lo : value > hi ? hi : value);
}

int32_t pictureX(int32_t x) {
    return clampToInt32(int64_t{x} + marginX);
}
int32_t pictureY(int32_t y) {
    return clampToInt32(int64_t{baselineY} - y);
}

} // namespace

int32_t roundToInt32(double value) {
    if (std::isnan(value)) return 0;
    constexpr double lo = std::numeric_limits<int32_t>::min();
    constexpr double hi = std::numeric_limits<int32_t>::max();
    // nearbyint rounds ties to even in the default rounding mode, which
    // nothing in the program changes.
    const double rounded = std::nearbyint(value);
    if (rounded <= lo) return std::numeric_limits<int32_t>::min();
    if (rounded >= hi) return std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(rounded);
}

void Hp86bPlotter::setDefaults() {
    state.labelAngle = 0;
    state.penDown = true;
    state.frontColour = penColours[1];
    drawing_.setFrontColour(state.frontColour);
    state.penX = 0;
    state.penY = 0;
}

void Hp86bPlotter::startPage() {
    setDefaults();
    reader_.restart();
    current_.clear();
    pendingReply_ = nullptr;
}

void Hp86bPlotter::feed(std::span<const uint8_t> bytes) {
    if (!statusShown_ && !bytes.empty()) showStatus();
    reader_.feed(bytes);
}

void Hp86bPlotter::showStatus() {
    statusShown_ = true;
    if (status_) status_->showStatus(counts().instructions, counts().ignored);
}

std::string_view Hp86bPlotter::hint() const {
    if (foreignLines_)
        return "the computer ends its lines with CR LF: the 7470A model (--model 7470a) reads them";
    if (fullHpgl_)
        return "the computer speaks the 7470A's HP-GL: the 7470A model (--model 7470a) reads it";
    return {};
}

void Hp86bPlotter::mnemonic(std::string_view text) {
    countInstruction();
    current_ = text;
    count_ = 0;
    pairs_ = text == "PU" || text == "PD" || text == "PA";
    if (text == "PU") state.penDown = false;
    if (text == "PD") state.penDown = true;
    if (text == "OI") pendingReply_ = "7470A";
    if (text == "OE") pendingReply_ = "0";
    if (text == "OP") pendingReply_ = "0,0,640,480";
    if (isKnown(text)) return;
    ignoreUnknown(text);
    const char first = text.empty() ? '\0' : text.front();
    if (first == '\r' || first == '\n' || first == ' ' || (first >= 'a' && first <= 'z'))
        foreignLines_ = true;
    else if (fullHpglKnows_ != nullptr && fullHpglKnows_(text))
        fullHpgl_ = true;
}

void Hp86bPlotter::parameter(float value) {
    if (pairs_) {
        // A pair is drawn as soon as its Y is read: a long line need not be held.
        if (count_ % 2 == 1) plotTo(values_[0], value);
        if (count_ % 2 == 0) values_[0] = value;
    } else if (count_ < 2) {
        values_[static_cast<size_t>(count_)] = value;
    }
    ++count_;
}

void Hp86bPlotter::instructionEnded() {
    if (current_ == "SP") selectPen();
    if (current_ == "DI") setDirection();
    if (current_ == "CP") moveByCells();
    if (current_ == "DF") setDefaults();
    if (pendingReply_ != nullptr) sendReply(std::exchange(pendingReply_, nullptr));
    current_.clear();
    if (reader_.stands() != Hp86bReader::Stands::ended) showStatus();
}

void Hp86bPlotter::plotTo(double x, double y) {
    if (!state.penDown) ++tally().moves;
    if (state.penDown) {
        countStroke();
        drawing_.drawLine(pictureX(state.penX), pictureY(state.penY), roundToInt32(x + marginX),
                          roundToInt32(baselineY - y));
    }
    state.penX = roundToInt32(x);
    state.penY = roundToInt32(y);
}

// Pen 0 is the paper's white: it leaves no more ink than no pen at all.
void Hp86bPlotter::countStroke() {
    ++(state.frontColour == penColours[0] ? tally().penless : tally().strokes);
}

void Hp86bPlotter::selectPen() {
    if (count_ != 1) return;
    // |truncate(p)| modulo 10, exact in double for every finite float.
    const double pen = std::fmod(std::fabs(std::trunc(values_[0])), 10.0);
    state.frontColour = penColours[static_cast<size_t>(pen)];
    drawing_.setFrontColour(state.frontColour);
}

void Hp86bPlotter::setDirection() {
    if (count_ != 2) {
        state.labelAngle = 0;
        return;
    }
    const double run = values_[0];
    const double rise = values_[1];
    if (run == 0.0) {
        state.labelAngle = rise > 0 ? 90 : rise < 0 ? -90 : 0;
        return;
    }
    state.labelAngle = roundToInt32(std::atan(rise / run) * 180.0 / std::numbers::pi);
}

void Hp86bPlotter::moveByCells() {
    if (count_ != 2) return;
    const double width = drawing_.textWidth("X");
    const double height = drawing_.textHeight("X");
    state.penX = roundToInt32(state.penX + values_[0] * width);
    state.penY = roundToInt32(state.penY + values_[1] * height);
}

// Drawn as soon as its ETX is read: what follows up to the ';' is skipped
// and cannot change it, and the page shown at a pause has it.
void Hp86bPlotter::label(std::string_view text) {
    if (!text.empty()) countStroke();
    const int32_t height = drawing_.textHeight("X");
    const int32_t y = clampToInt32(int64_t{baselineY} - state.penY - height / 2);
    drawing_.drawRotatedText(pictureX(state.penX), y, text, static_cast<float>(state.labelAngle));
}

void Hp86bPlotter::lineSilent() {
    if (pendingReply_ != nullptr) sendReply(std::exchange(pendingReply_, nullptr));
}

void Hp86bPlotter::sendReply(const char* text) {
    const std::string line = std::string(text) + "\r\n";
    for (size_t i = 0; i < line.size(); ++i) {
        link_.waitOutputDrained();
        link_.writeSerial(std::string_view(line).substr(i, 1));
    }
    link_.replyComplete();
}

} // namespace plotanix
