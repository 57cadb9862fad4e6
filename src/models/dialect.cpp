#include "models/dialect.h"

#include "hpgl2/hpgl2_mnemonics.h"
#include "models/models.h"

#include "hpgl/syntax.h"

#include <array>

namespace plotanix {

namespace {

// The 7470A model's look-up is by table and most mnemonics of a file are
// its own: asked first, it answers most of them at once.
bool hpgl2OnlyPair(char first, char second) {
    const char mnemonic[] = {first, second};
    const std::string_view pair(mnemonic, 2);
    return !plotterKnows(PlotterModel::hp7470a, pair) && plotterKnows(PlotterModel::hpgl2, pair);
}

} // namespace

bool writtenForHpgl2(std::string_view bytes) {
    Hpgl2Mnemonics read;
    // A file uses few mnemonics, many times over: those counted are looked
    // at after each slice, and the reading stops at the first that tells.
    constexpr size_t slice = 65536;
    std::array<bool, 26 * 26> looked{};
    for (size_t at = 0; at < bytes.size(); at += slice) {
        read.feed(bytes.substr(at, slice));
        if (read.pclJobSeen()) return true;
        for (char a = 'A'; a <= 'Z'; ++a) {
            for (char b = 'A'; b <= 'Z'; ++b) {
                const size_t pair = static_cast<size_t>((a - 'A') * 26 + (b - 'A'));
                if (looked[pair] || read.count(a, b) == 0) continue;
                if (hpgl2OnlyPair(a, b)) return true;
                looked[pair] = true;
            }
        }
    }
    return false;
}

bool readingsAgree(std::string_view bytes) {
    if (bytes.find('\x1b') != std::string_view::npos || bytes.find('"') != std::string_view::npos)
        return false;
    // NUL is dropped before either tokenizer, and separators may stand
    // between a mnemonic's letters.
    for (const char t : {'T', 't'}) {
        for (size_t at = bytes.find(t); at != std::string_view::npos; at = bytes.find(t, at + 1)) {
            size_t before = at;
            while (before > 0 && (isSeparator(bytes[before - 1]) || bytes[before - 1] == 0))
                --before;
            if (before > 0 && (bytes[before - 1] == 'D' || bytes[before - 1] == 'd')) return false;
        }
    }
    return true;
}

bool toldHpgl2(std::string_view mnemonic) {
    return plotterKnows(PlotterModel::hpgl2, mnemonic);
}

} // namespace plotanix
