#pragma once
// The one rule for every message the programs print (screens, status and
// notice lines, the journal, error lines): text from outside (file and
// device names, settings, what a library says) is shown with each control
// byte (below 0x20, DEL, and the C1 controls U+0080 to U+009F) and each
// byte that is not part of valid UTF-8 written as \xNN, two lower-case hex
// digits. Nothing else changes, so applying it twice changes nothing more,
// and no message can send the terminal a command or start a line of its
// own in a journal.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace plotanix {

namespace printable_detail {

// The length of the valid UTF-8 sequence of two or more bytes at the start
// of text, or 0.
inline std::size_t sequenceLength(std::string_view text) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF; // the second byte's range
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;  // no overlong forms
        if (lead == 0xED) high = 0x9F; // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F; // nothing past U+10FFFF
    }
    if (length == 0 || text.size() < length) return 0;
    if (byte(1) < low || byte(1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
    }
    // U+0080 to U+009F are controls too.
    if (lead == 0xC2 && byte(1) < 0xA0) return 0;
    return length;
}

inline bool isControl(unsigned char byte) {
    return byte < 0x20 || byte == 0x7F;
}

} // namespace printable_detail

inline std::string printable(std::string_view text) {
    static constexpr char hex[] = "0123456789abcdef";
    std::string shown;
    shown.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x80 && !printable_detail::isControl(byte)) {
            shown += text[i++];
            continue;
        }
        if (const std::size_t length = printable_detail::sequenceLength(text.substr(i))) {
            shown.append(text.substr(i, length));
            i += length;
            continue;
        }
        shown += "\\x";
        shown += hex[byte >> 4];
        shown += hex[byte & 0xF];
        ++i;
    }
    return shown;
}

// The first control byte (below 0x20, NUL among them, or DEL) in text.
inline std::optional<unsigned char> controlByteIn(std::string_view text) {
    for (const char c : text) {
        if (printable_detail::isControl(static_cast<unsigned char>(c)))
            return static_cast<unsigned char>(c);
    }
    return std::nullopt;
}

} // namespace plotanix
