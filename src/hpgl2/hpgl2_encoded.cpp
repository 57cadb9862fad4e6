// PE: HP-GL/2's encoded polylines, read a byte at a time as they come.

#include "hpgl2/hpgl2.h"

#include <algorithm>
#include <cmath>

namespace plotanix {

void Hpgl2::startEncoded() {
    encoded_ = {};
}

ByteStep Hpgl2::doPE(int byte) {
    // Encoded numbers, least significant digit first, the last one from
    // the terminator range; the sign in bit 0. Flags (their eighth bit
    // ignored) say what the next number or pair is.
    using Next = EncodedPath::Next;
    EncodedPath& e = encoded_;
    constexpr uint64_t lastPlace = uint64_t{1} << 56;
    if (byte < 0 || byte == ';') {
        // The pen stays as the last move left it.
        if (e.moved) state.penDown = !e.lastUp;
        return ByteStep::done;
    }
    const int flag = byte & 0x7F;
    const bool flagByte = byte < 191 || e.sevenBit;
    if (flagByte && (flag == ':' || flag == '<' || flag == '>' || flag == '=' || flag == '7')) {
        if (flag == ':') e.next = Next::pen;
        if (flag == '>') e.next = Next::fraction;
        if (flag == '<') e.up = true;
        if (flag == '=') e.absolute = true;
        if (flag == '7') e.sevenBit = true;
        e.value = 0, e.place = 1, e.tooLarge = false; // a number cut by a flag is dropped
        return ByteStep::more;
    }
    const int b = e.sevenBit ? flag : byte;
    const int base = e.sevenBit ? 32 : 64;
    const int terminatorsFrom = e.sevenBit ? 95 : 191;
    int digit = -1;
    bool ends = false;
    if (b >= 63 && b < 63 + base) {
        digit = b - 63;
    } else if (b >= terminatorsFrom && b < terminatorsFrom + base) {
        digit = b - terminatorsFrom, ends = true;
    }
    if (digit < 0) return ByteStep::more; // spaces, control codes and the like
    if (e.place <= lastPlace) {
        e.value += static_cast<uint64_t>(digit) * e.place;
        e.place *= static_cast<uint64_t>(base);
    } else if (digit != 0) {
        e.tooLarge = true;
    }
    if (!ends) return ByteStep::more;
    const double magnitude = e.tooLarge ? INFINITY : static_cast<double>(e.value >> 1);
    const double number = (e.value & 1) ? -magnitude : magnitude;
    e.value = 0, e.place = 1, e.tooLarge = false;
    if (e.next == Next::pen) {
        e.next = Next::coordinate;
        if (!state.polygonMode && std::isfinite(number)) {
            finishLine();
            selectPen(number);
        }
    } else if (e.next == Next::fraction) {
        e.next = Next::coordinate;
        if (std::isfinite(number))
            e.scale = std::ldexp(1.0, -static_cast<int>(std::clamp(number, -26.0, 26.0)));
    } else if (!e.haveX) {
        e.x = number * e.scale;
        e.haveX = true;
    } else {
        e.haveX = false;
        Point target;
        if (takeTarget(e.x, number * e.scale, !e.absolute, target)) {
            moveTo(target, !e.up);
            e.moved = true;
            e.lastUp = e.up;
        }
        e.up = e.absolute = false;
    }
    return ByteStep::more;
}

} // namespace plotanix
