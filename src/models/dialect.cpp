#include "models/dialect.h"

#include "models/models.h"

#include <array>

namespace plotanix {

namespace {

constexpr char escape = '\x1b';
constexpr char endOfText = '\x03';

// The bytes that may begin something to read: the rest (numbers, commas,
// line ends) are passed over a table look-up each, as every byte of a
// file passes here.
constexpr auto notable = [] {
    std::array<bool, 256> table{};
    for (int c = 'A'; c <= 'Z'; ++c)
        table[static_cast<size_t>(c)] = table[static_cast<size_t>(c + 32)] = true;
    table[static_cast<unsigned char>(escape)] = table['"'] = true;
    return table;
}();

bool letter(char byte) {
    return (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z');
}
bool separator(char byte) {
    return byte == ',' || byte == ' ' || byte == '\r' || byte == '\n' || byte == '\t';
}
char upper(char letter) {
    return static_cast<char>(letter & ~0x20);
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
    while (at < bytes.size() && bytes[at] >= '0' && bytes[at] <= '9' && at - digits < 9)
        value = value * 10 + (bytes[at++] - '0');
    if (at == digits || at >= bytes.size()) return false;
    if (bytes[at] == 'B') return true;
    return bytes[at] == 'X' && negative && value == 12345 &&
           bytes.substr(at + 1).starts_with("@PJL");
}

// The 7470A model's look-up is by table and most mnemonics of a file are
// its own: asked first, it answers most of them at once.
bool hpgl2OnlyPair(char first, char second) {
    const char mnemonic[] = {first, second};
    const std::string_view pair(mnemonic, 2);
    return !plotterKnows(PlotterModel::hp7470a, pair) && plotterKnows(PlotterModel::hpgl2, pair);
}

} // namespace

bool hpgl2Only(std::string_view mnemonic) {
    return mnemonic.size() == 2 && letter(mnemonic[0]) && letter(mnemonic[1]) &&
           hpgl2OnlyPair(upper(mnemonic[0]), upper(mnemonic[1]));
}

bool writtenForHpgl2(std::string_view bytes) {
    char terminator = endOfText;
    size_t at = 0;
    // A file uses few mnemonics, many times over: each is looked up once.
    std::array<bool, 26 * 26> plain{};
    // Past the bytes from `from` up to and including the first `end`.
    const auto skipTo = [&](size_t from, char end) {
        const size_t found = bytes.find(end, from);
        return found == std::string_view::npos ? bytes.size() : found + 1;
    };
    while (at < bytes.size()) {
        if (!notable[static_cast<unsigned char>(bytes[at])]) {
            ++at;
            continue;
        }
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
        // Separators may stand between a mnemonic's letters.
        size_t second = at + 1;
        while (second < bytes.size() && separator(bytes[second]))
            ++second;
        if (second >= bytes.size() || !letter(bytes[second])) {
            at = second;
            continue;
        }
        const char a = upper(byte), b = upper(bytes[second]);
        at = second + 1;
        const size_t pair = static_cast<size_t>((a - 'A') * 26 + (b - 'A'));
        if (!plain[pair]) {
            if (hpgl2OnlyPair(a, b)) return true;
            plain[pair] = true;
        }
        const bool given = at < bytes.size() && bytes[at] != ';';
        if (a == 'L' && b == 'B') {
            at = skipTo(at, terminator);
        } else if (a == 'D' && b == 'T') {
            terminator = given ? bytes[at++] : endOfText;
        } else if (a == 'S' && b == 'M' && given) {
            ++at;
        }
    }
    return false;
}

} // namespace plotanix
