#include "models/dialect.h"

#include "hpgl2/hpgl2_mnemonics.h"
#include "models/models.h"

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

} // namespace plotanix
