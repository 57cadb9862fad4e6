#include "hpgl/dialect.h"

#include "hpgl/hp7470a_syntax.h"
#include "hpgl/plotter.h"

#include <cctype>
#include <string>

namespace plotanix {

namespace {

constexpr char escape = '\x1b';
constexpr char endOfText = '\x03';

char upper(char letter) {
    return static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
}

// A PCL escape at the start of the bytes that opens HP-GL/2 or a PJL job.
bool pclJobAt(std::string_view bytes) {
    if (bytes.size() < 2 || bytes[0] != escape) return false;
    if (bytes[1] == 'E') return true;
    if (bytes[1] != '%') return false;
    size_t at = 2;
    const bool negative = at < bytes.size() && bytes[at] == '-';
    if (at < bytes.size() && (bytes[at] == '-' || bytes[at] == '+')) ++at;
    const size_t digits = at;
    long value = 0;
    while (at < bytes.size() && isDigit(bytes[at]) && at - digits < 9)
        value = value * 10 + (bytes[at++] - '0');
    if (at == digits || at >= bytes.size()) return false;
    if (bytes[at] == 'B') return true;
    return bytes[at] == 'X' && negative && value == 12345 &&
           bytes.substr(at + 1).starts_with("@PJL");
}

} // namespace

bool hpgl2Only(std::string_view mnemonic) {
    return plotterKnows(PlotterModel::hpgl2, mnemonic) &&
           !plotterKnows(PlotterModel::hp7470a, mnemonic);
}

bool writtenForHpgl2(std::string_view bytes) {
    char terminator = endOfText;
    size_t at = 0;
    // Past the bytes from `from` up to and including the first `end`.
    const auto skipTo = [&](size_t from, char end) {
        const size_t found = bytes.find(end, from);
        return found == std::string_view::npos ? bytes.size() : found + 1;
    };
    while (at < bytes.size()) {
        const char byte = bytes[at];
        if (byte == escape) {
            if (pclJobAt(bytes.substr(at))) return true;
            // ESC . and its control letter: a device control, no mnemonic.
            at += at + 1 < bytes.size() && bytes[at + 1] == '.' ? 3 : 1;
            continue;
        }
        if (byte == '"') {
            at = skipTo(at + 1, '"');
            continue;
        }
        if (!isLetter(byte)) {
            ++at;
            continue;
        }
        // Separators may stand between a mnemonic's letters.
        size_t second = at + 1;
        while (second < bytes.size() && isSeparator(bytes[second]))
            ++second;
        if (second >= bytes.size() || !isLetter(bytes[second])) {
            at = second;
            continue;
        }
        const std::string mnemonic{upper(byte), upper(bytes[second])};
        at = second + 1;
        if (hpgl2Only(mnemonic)) return true;
        const bool given = at < bytes.size() && bytes[at] != ';';
        if (mnemonic == "LB") {
            at = skipTo(at, terminator);
        } else if (mnemonic == "DT") {
            terminator = given ? bytes[at++] : endOfText;
        } else if (mnemonic == "SM" && given) {
            ++at;
        }
    }
    return false;
}

} // namespace plotanix
