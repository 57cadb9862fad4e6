#include "hpgl/tokenizer.h"

#include <algorithm>

namespace plotanix {

namespace {

// Digits past these add nothing a parameter can use; the value keeps
// growing only until it is far out of every range.
constexpr double numberCeiling = 1.0e12;
constexpr int fractionDigits = 12;

// The place value of each fraction digit, 0.1, 0.01, ..., each the one
// before divided by ten: the values the digits always had, without a
// division a digit.
struct FractionPlaces {
    double place[fractionDigits]{};
    constexpr FractionPlaces() {
        double scale = 1;
        for (double& p : place)
            p = scale /= 10.0;
    }
};
constexpr FractionPlaces fractionPlaces;

} // namespace

void HpglTokenizer::put(int event) {
    while (step(event)) {
    }
}

bool HpglTokenizer::step(int event) {
    switch (state_) {
    case State::idle:
        return idleStep(event);
    case State::mnemonic:
        return mnemonicStep(event);
    case State::between:
        return betweenStep(event);
    case State::number:
        return numberStep(event);
    case State::bytes:
        return bytesStep(event);
    }
    return false;
}

bool HpglTokenizer::idleStep(int event) {
    client_.betweenInstructions();
    // Terminators, separators and stray bytes between instructions are
    // passed over.
    if (isLetter(event)) {
        first_ = static_cast<char>(event);
        state_ = State::mnemonic;
    }
    return false;
}

bool HpglTokenizer::mnemonicStep(int event) {
    // Separators may stand between the letters; a letter alone is an
    // instruction no plotter knows.
    if (isSeparator(event)) return false;
    if (isLetter(event)) {
        const char letters[] = {first_, static_cast<char>(event)};
        startBody(client_.instruction({letters, 2}));
        return false;
    }
    startBody(client_.instruction({&first_, 1}));
    // The byte is the body's first; a cut-off here cuts nothing.
    return event != abortEvent;
}

void HpglTokenizer::startBody(Body body) {
    body_ = body;
    switch (body) {
    case Body::none:
        instructionOver();
        break;
    case Body::numbers:
    case Body::stream:
        collected_ = Numbers{};
        state_ = State::between;
        break;
    case Body::bytes:
        state_ = State::bytes;
        break;
    }
}

bool HpglTokenizer::betweenStep(int event) {
    if (isSeparator(event)) return false;
    if (isDigit(event) || event == '+' || event == '-' || event == '.') {
        state_ = State::number;
        phase_ = Phase::whole;
        negative_ = event == '-';
        digits_ = fractionTaken_ = 0;
        whole_ = fraction_ = 0;
        // A sign is taken; a digit or point is the number's first.
        return event != '+' && event != '-';
    }
    // The numbers end: at a letter (the next mnemonic's), at a cut-off, or
    // at any other byte (';' among them), which is taken.
    collected_.aborted = event == abortEvent;
    endNumbers();
    return isLetter(event);
}

bool HpglTokenizer::numberStep(int event) {
    if (phase_ == Phase::whole) {
        if (isDigit(event)) {
            whole_ = std::min(numberCeiling, whole_ * 10.0 + (event - '0'));
            ++digits_;
            return false;
        }
        if (event == '.') {
            phase_ = Phase::fraction;
            return false;
        }
        return numberEnded(event);
    }
    if (isDigit(event)) {
        if (fractionTaken_ < fractionDigits)
            fraction_ += (event - '0') * fractionPlaces.place[fractionTaken_];
        ++fractionTaken_;
        ++digits_;
        return false;
    }
    return numberEnded(event);
}

bool HpglTokenizer::numberEnded(int event) {
    // A separator or sign starts the next number and a letter the next
    // mnemonic; anything else ends the numbers and is taken.
    const bool giveBack =
        event == '+' || event == '-' || event == '.' || isLetter(event) || isSeparator(event);
    if (digits_ == 0) {
        collected_.illegal = true;
        collected_.aborted = event == abortEvent;
        endNumbers();
        return giveBack;
    }
    const double value = negative_ ? -(whole_ + fraction_) : whole_ + fraction_;
    if (body_ == Body::stream) {
        client_.number(value);
    } else {
        collected_.add(value);
    }
    if (giveBack) {
        state_ = State::between;
        return true;
    }
    collected_.aborted = event == abortEvent;
    endNumbers();
    return false;
}

void HpglTokenizer::endNumbers() {
    if (body_ == Body::stream) {
        client_.numbersEnd(collected_.illegal, collected_.aborted);
    } else {
        client_.numbers(collected_);
    }
    instructionOver();
}

bool HpglTokenizer::bytesStep(int event) {
    const ByteStep next = client_.byte(event);
    if (event == endEvent) {
        instructionOver();
        return false;
    }
    switch (next) {
    case ByteStep::more:
        return false;
    case ByteStep::done:
        instructionOver();
        return false;
    case ByteStep::giveBack:
        instructionOver();
        return event >= 0;
    case ByteStep::thenNumbers:
        body_ = Body::numbers;
        collected_ = Numbers{};
        state_ = State::between;
        return false;
    }
    return false;
}

} // namespace plotanix
