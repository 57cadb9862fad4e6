#include "hp86b/hp86b_plotter.h"

#include "hpgl/reader.h"
#include "logfile/log_file.h"
#include "logfile/transcript_format.h"
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

bool Hp86bPlotter::isKnown(std::string_view mnemonic) {
    return std::find(mnemonics.begin(), mnemonics.end(), mnemonic) != mnemonics.end();
}

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

void Hp86bPlotter::runInstructionLoop() {
    do {
        if (status_) status_->showStatus(counts().instructions, counts().ignored);
        const char first = static_cast<char>(reader_.readByte());
        const char second = static_cast<char>(reader_.readByte());
        if (reader_.stopped()) break;
        countInstruction();
        // The mnemonic is a text: a NUL byte ends it.
        std::string mnemonic;
        if (first != 0) {
            mnemonic.push_back(first);
            if (second != 0) mnemonic.push_back(second);
        }
        execute(mnemonic);
    } while (!reader_.stopped());
}

void Hp86bPlotter::execute(const std::string& m) {
    if (m == "PU" || m == "PD" || m == "PA") {
        const int count = reader_.readParameters();
        if (m == "PU") state.penDown = false;
        if (m == "PD") state.penDown = true;
        plotPairs(count);
    } else if (m == "SP") {
        selectPen(reader_.readParameters());
    } else if (m == "DI") {
        setDirection(reader_.readParameters());
    } else if (m == "CP") {
        moveByCells(reader_.readParameters());
    } else if (m == "LT" || m == "IW") {
        reader_.readParameters(); // accepted, without effect
    } else if (m == "LB") {
        drawLabel();
    } else if (m == "DF") {
        reader_.skipToTerminator();
        setDefaults();
    } else if (m == "OI") {
        answer("7470A");
    } else if (m == "OE") {
        answer("0");
    } else if (m == "OP") {
        answer("0,0,640,480");
    } else {
        log_.writeLogText(transcript::unknownRecord(m));
        countIgnored();
        reader_.skipToTerminator();
    }
}

void Hp86bPlotter::plotPairs(int count) {
    const auto& p = reader_.params;
    for (int i = 0; count >= 2; count -= 2, i += 2) {
        const double x = p[i];
        const double y = p[i + 1];
        if (state.penDown) {
            drawing_.drawLine(pictureX(state.penX), pictureY(state.penY), roundToInt32(x + marginX),
                              roundToInt32(baselineY - y));
        }
        state.penX = roundToInt32(x);
        state.penY = roundToInt32(y);
    }
}

void Hp86bPlotter::selectPen(int count) {
    if (count != 1) return;
    // |truncate(p)| modulo 10, exact in double for every finite float.
    const double pen = std::fmod(std::fabs(std::trunc(double{reader_.params[0]})), 10.0);
    state.frontColour = penColours[static_cast<size_t>(pen)];
    drawing_.setFrontColour(state.frontColour);
}

void Hp86bPlotter::setDirection(int count) {
    if (count != 2) {
        state.labelAngle = 0;
        return;
    }
    const double run = reader_.params[0];
    const double rise = reader_.params[1];
    if (run == 0.0) {
        state.labelAngle = rise > 0 ? 90 : rise < 0 ? -90 : 0;
        return;
    }
    state.labelAngle = roundToInt32(std::atan(rise / run) * 180.0 / std::numbers::pi);
}

void Hp86bPlotter::moveByCells(int count) {
    if (count != 2) return;
    const double width = drawing_.textWidth("X");
    const double height = drawing_.textHeight("X");
    state.penX = roundToInt32(state.penX + reader_.params[0] * width);
    state.penY = roundToInt32(state.penY + reader_.params[1] * height);
}

// Drawn as soon as its ETX is read: what follows up to the ';' is skipped
// and cannot change it, and the page shown at a pause has it.
void Hp86bPlotter::drawLabel() {
    const std::string text = reader_.readLabelText();
    const int32_t height = drawing_.textHeight("X");
    const int32_t y = clampToInt32(int64_t{baselineY} - state.penY - height / 2);
    drawing_.drawRotatedText(pictureX(state.penX), y, text, static_cast<float>(state.labelAngle));
    reader_.skipToTerminator();
}

void Hp86bPlotter::answer(const char* text) {
    pendingReply_ = text;
    reader_.skipToTerminator();
    if (pendingReply_ != nullptr) sendReply(std::exchange(pendingReply_, nullptr));
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
