#include "hpgl2/hpgl2_mnemonics.h"

#include "hpgl2/hpgl2.h"

namespace plotanix {

ByteStep skipQuoted(int event, bool& quoted, bool cutEndsText) {
    if (quoted && (event >= 0 || (cutEndsText && event != endEvent))) {
        quoted = event >= 0 && event != '"';
        return ByteStep::more;
    }
    if (event < 0 || event == ';') return ByteStep::done;
    if (event == '"') quoted = true;
    return isLetter(event) ? ByteStep::giveBack : ByteStep::more;
}

Hpgl2Terminator takeTerminator(int event, int& step) {
    if (event < 0) return {ByteStep::done, std::nullopt, false};
    if (step == 1) {
        if (event == ',') return {ByteStep::thenNumbers, std::nullopt};
        return {event == ';' ? ByteStep::done : ByteStep::giveBack, std::nullopt};
    }
    if (event == ';') return {ByteStep::done, 3, false};
    if (event == 0 || event == '\n') return {ByteStep::done, std::nullopt, true};
    step = 1;
    return {ByteStep::more, event, false};
}

Body Hpgl2Mnemonics::instruction(std::string_view letters) {
    const std::optional<Body> body = hpgl2Body(letters);
    quoted_ = false;
    if (!body) {
        reading_ = Reading::unknown;
        return Body::bytes;
    }
    const auto upper = [](char letter) { return (letter & ~0x20) - 'A'; };
    const std::string_view m = letters;
    ++counts_[static_cast<size_t>(upper(m[0]) * 26 + upper(m[1]))];
    if (told_) told_(letters);
    const auto is = [&](std::string_view name) {
        return upper(m[0]) == name[0] - 'A' && upper(m[1]) == name[1] - 'A';
    };
    if (is("LB")) reading_ = Reading::label;
    if (is("DT")) reading_ = Reading::terminator, terminatorStep_ = 0;
    if (is("SM")) reading_ = Reading::symbol;
    if (is("BP")) reading_ = Reading::quoted;
    if (is("PE")) reading_ = Reading::encoded;
    return *body;
}

ByteStep Hpgl2Mnemonics::byte(int event) {
    switch (reading_) {
    case Reading::label:
        return event < 0 || event == terminator_ ? ByteStep::done : ByteStep::more;
    case Reading::terminator: {
        const Hpgl2Terminator read = takeTerminator(event, terminatorStep_);
        if (read.terminator) terminator_ = *read.terminator;
        return read.step;
    }
    case Reading::symbol:
        return ByteStep::done;
    case Reading::quoted:
    case Reading::unknown:
        return skipQuoted(event, quoted_, reading_ == Reading::quoted);
    case Reading::encoded:
        return event < 0 || event == ';' ? ByteStep::done : ByteStep::more;
    }
    return ByteStep::done;
}

} // namespace plotanix
