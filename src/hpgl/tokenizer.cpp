#include "hpgl/tokenizer.h"

#include <algorithm>
#include <bit>
#include <cstring>

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

// The leading digits of the eight bytes at p, read at once: how many there
// are (8 when all are), and, when fewer than eight, their value.
struct EightDigits {
    int count;
    uint64_t value;
};
inline EightDigits leadingDigits(const uint8_t* p) {
    constexpr uint64_t ones = 0x0101010101010101;
    uint64_t bytes;
    std::memcpy(&bytes, p, sizeof bytes);
    if constexpr (std::endian::native == std::endian::big) bytes = __builtin_bswap64(bytes);
    // A digit becomes 0-9; any other byte has its top bit set here, or
    // gets it adding 0x76. A carry only reaches later bytes, so the first
    // byte flagged is the first that is no digit.
    const uint64_t x = bytes ^ (ones * '0');
    const uint64_t flagged = ((x + ones * 0x76) | x) & (ones * 0x80);
    const int count = std::countr_zero(flagged) / 8;
    if (count == 0 || count == 8) return {count, 0};
    // The digits moved to the top, the first most significant, and paired
    // up: tens, then hundreds, then ten thousands.
    uint64_t v = x << (8 * (8 - count));
    v = (v * 10 + (v >> 8)) & 0x00FF00FF00FF00FF;
    v = (v * 100 + (v >> 16)) & 0x0000FFFF0000FFFF;
    v = (v * 10000 + (v >> 32)) & 0xFFFFFFFF;
    return {count, v};
}

} // namespace

inline bool HpglTokenizer::startsNumber(int event) {
    return isDigit(event) || event == '+' || event == '-' || event == '.';
}

inline void HpglTokenizer::startNumber(int event) {
    state_ = State::number;
    phase_ = Phase::whole;
    negative_ = event == '-';
    digits_ = fractionTaken_ = 0;
    whole_ = fraction_ = 0;
}

const uint8_t* HpglTokenizer::takeDigits(const uint8_t* p, const uint8_t* end) {
    // The number's state is kept in locals over a run of digits.
    int digits = digits_;
    if (phase_ == Phase::whole) {
        double whole = whole_;
        for (; p < end && isDigit(*p); ++p, ++digits)
            whole = std::min(numberCeiling, whole * 10.0 + (*p - '0'));
        whole_ = whole;
        digits_ = digits;
        if (p == end || *p != '.') return p;
        phase_ = Phase::fraction;
        ++p;
    }
    double fraction = fraction_;
    int taken = fractionTaken_;
    for (; p < end && isDigit(*p); ++p, ++digits, ++taken)
        if (taken < fractionDigits) fraction += (*p - '0') * fractionPlaces.place[taken];
    fraction_ = fraction;
    fractionTaken_ = taken;
    digits_ = digits;
    return p;
}

bool HpglTokenizer::takeInNumber(int event) {
    if (event < 0) return false;
    const auto byte = static_cast<uint8_t>(event);
    return takeDigits(&byte, &byte + 1) != &byte;
}

void HpglTokenizer::numberTaken() {
    handOver(negative_ ? -(whole_ + fraction_) : whole_ + fraction_);
}

inline void HpglTokenizer::handOver(double value) {
    if (body_ == Body::stream) {
        client_.number(value);
    } else {
        collected_.add(value);
    }
}

const uint8_t* HpglTokenizer::quickNumber(const uint8_t* p, const uint8_t* end) {
    // Whole digits of no more than quickDigits make an integer below the
    // ceiling, exact in a double, as takeDigits would have made it; the
    // fraction's digits are added in the same order to the same places.
    constexpr int quickDigits = 12;
    const bool negative = *p == '-';
    if (*p == '+' || *p == '-') ++p;
    const uint8_t* const wholeStart = p;
    const uint8_t* const wholeLimit = p + std::min<ptrdiff_t>(quickDigits, end - p);
    uint64_t whole = 0;
    if (end - p >= 8) {
        const EightDigits first = leadingDigits(p);
        if (first.count < 8) {
            whole = first.value;
            p += first.count;
        }
    }
    for (; p < wholeLimit && isDigit(*p); ++p)
        whole = whole * 10 + uint64_t(*p - '0');
    bool any = p != wholeStart;
    double fraction = 0;
    if (p < end && *p == '.') {
        const uint8_t* const fractionStart = ++p;
        for (int taken = 0; p < end && isDigit(*p); ++p, ++taken)
            if (taken < fractionDigits) fraction += (*p - '0') * fractionPlaces.place[taken];
        any = any || p != fractionStart;
    }
    // Left to takeDigits: no digits at all, a number running on past the
    // bytes at hand, or one of too many digits. Whatever byte ends it is
    // read next between numbers, as numberEnded would read it.
    // A NUL or an escape is no end: the input drops NUL and carries out
    // an escape sequence apart, and the number goes on after them.
    if (!any || p == end || isDigit(*p) || *p == 0 || *p == 0x1b) return nullptr;
    const double value = double(whole) + fraction;
    handOver(negative ? -value : value);
    return p;
}

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
        collected_ = Numbers{};
        state_ = State::between;
        break;
    case Body::stream:
        // The client takes each number as it comes; only the flags are told.
        collected_.count = 0;
        collected_.illegal = collected_.aborted = false;
        state_ = State::between;
        break;
    case Body::bytes:
        state_ = State::bytes;
        break;
    }
}

bool HpglTokenizer::betweenStep(int event) {
    if (isSeparator(event)) return false;
    if (startsNumber(event)) {
        startNumber(event);
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
    if (takeInNumber(event)) return false;
    return numberEnded(event);
}

size_t HpglTokenizer::putNumbers(std::span<const uint8_t> bytes) {
    return static_cast<size_t>(takeNumbers(bytes.data(), bytes.data() + bytes.size()) -
                               bytes.data());
}

size_t HpglTokenizer::putInstructions(std::span<const uint8_t> bytes) {
    const uint8_t* p = bytes.data();
    const uint8_t* const end = p + bytes.size();
    if (state_ == State::idle) {
        // A mnemonic of two letters; anything else between instructions is
        // put() one byte at a time.
        if (end - p < 2 || !isLetter(p[0]) || !isLetter(p[1])) return 0;
        idleStep(p[0]);
        mnemonicStep(p[1]);
        return 2;
    }
    p = takeNumbers(p, end);
    // The ';' ending the numbers is taken as put() takes it; what the
    // client does at the end may change how the next byte is read.
    if (p < end && *p == ';') {
        if (state_ == State::between) {
            betweenStep(';');
            ++p;
        } else if (state_ == State::number) {
            numberStep(';');
            ++p;
        }
    }
    return static_cast<size_t>(p - bytes.data());
}

const uint8_t* HpglTokenizer::takeNumbers(const uint8_t* p, const uint8_t* const end) {
    // The steps of betweenStep and numberStep for the bytes that neither
    // end the instruction nor leave its numbers, in one loop.
    while (p < end) {
        if (state_ == State::number) {
            p = takeDigits(p, end);
            if (p == end) break;
            if (digits_ == 0 || !(isSeparator(*p) || startsNumber(*p))) break;
            numberTaken();
            state_ = State::between;
        }
        if (state_ != State::between) break;
        if (startsNumber(*p)) {
            // A whole number at hand is read in one go.
            if (const uint8_t* next = quickNumber(p, end)) {
                p = next;
                continue;
            }
            startNumber(*p);
            // A digit or point is read again as the number's first.
            if (*p == '+' || *p == '-') ++p;
        } else if (isSeparator(*p)) {
            ++p;
        } else {
            break;
        }
    }
    return p;
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
    numberTaken();
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
