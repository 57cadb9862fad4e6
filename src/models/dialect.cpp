#include "models/dialect.h"

#include "hpgl2/hpgl2.h"
#include "logfile/log_file.h"
#include "models/models.h"
#include "page/drawing.h"

#include <array>

namespace plotanix {

namespace {

// The HP-GL/2 model reading a file's syntax alone: no line, no transcript,
// no page.
class NoLine : public ByteLink {
  public:
    int writeSerial(std::string_view bytes) override { return static_cast<int>(bytes.size()); }
};

// The 7470A model's look-up is by table and most mnemonics of a file are
// its own: asked first, it answers most of them at once.
bool hpgl2OnlyPair(char first, char second) {
    const char mnemonic[] = {first, second};
    const std::string_view pair(mnemonic, 2);
    return !plotterKnows(PlotterModel::hp7470a, pair) && plotterKnows(PlotterModel::hpgl2, pair);
}

} // namespace

bool hpgl2Only(std::string_view mnemonic) {
    const auto upper = [](char letter) { return static_cast<char>(letter & ~0x20); };
    return mnemonic.size() == 2 && isLetter(mnemonic[0]) && isLetter(mnemonic[1]) &&
           hpgl2OnlyPair(upper(mnemonic[0]), upper(mnemonic[1]));
}

bool writtenForHpgl2(std::string_view bytes) {
    NoLine line;
    Drawing drawing;
    LogFile log;
    Hpgl2 model(drawing, line, log, nullptr, Paper::letter);
    model.readSyntaxOnly();
    // A file uses few mnemonics, many times over: those seen are looked at
    // after each slice, and the reading stops at the first that tells.
    constexpr size_t slice = 65536;
    std::array<bool, 26 * 26> looked{};
    for (size_t at = 0; at < bytes.size(); at += slice) {
        const std::string_view part = bytes.substr(at, slice);
        model.feed({reinterpret_cast<const uint8_t*>(part.data()), part.size()});
        if (model.pclJobSeen()) return true;
        for (char a = 'A'; a <= 'Z'; ++a) {
            for (char b = 'A'; b <= 'Z'; ++b) {
                const size_t pair = static_cast<size_t>((a - 'A') * 26 + (b - 'A'));
                if (looked[pair] || !model.mnemonicSeen(a, b)) continue;
                if (hpgl2OnlyPair(a, b)) return true;
                looked[pair] = true;
            }
        }
    }
    return false;
}

} // namespace plotanix
