#include "models/dialect.h"

#include "hp86b/hp86b_plotter.h"
#include "hpgl2/hpgl2_mnemonics.h"
#include "models/models.h"

#include "hpgl/syntax.h"

#include "escp/escp_printer.h"

#include <algorithm>
#include <array>
#include <cctype>

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

namespace {

// ESC%#B anywhere, or a PJL line entering HP-GL/2.
bool entersHpgl2(std::string_view bytes) {
    for (size_t at = bytes.find("\x1b%"); at != std::string_view::npos;
         at = bytes.find("\x1b%", at + 1)) {
        size_t next = at + 2;
        if (next < bytes.size() && (bytes[next] == '-' || bytes[next] == '+')) ++next;
        const size_t digits = next;
        while (next < bytes.size() && std::isdigit(static_cast<unsigned char>(bytes[next])))
            ++next;
        if (next > digits && next < bytes.size() && bytes[next] == 'B') return true;
    }
    for (size_t at = bytes.find("LANGUAGE"); at != std::string_view::npos;
         at = bytes.find("LANGUAGE", at + 1)) {
        const std::string_view line = bytes.substr(at, bytes.find('\n', at) - at);
        std::string upper(line.substr(0, 64));
        std::transform(upper.begin(), upper.end(), upper.begin(),
                       [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
        if (upper.find("HPGL") != std::string::npos || upper.find("HP-GL") != std::string::npos)
            return true;
    }
    return false;
}

} // namespace

std::optional<PlotterModel> printerLanguage(std::string_view bytes) {
    constexpr std::string_view pclStarts[] = {"\x1b"
                                              "E",
                                              "\x1b*", "\x1b&", "\x1b%-12345X"};
    for (const std::string_view start : pclStarts) {
        // ESC* with a mode byte is Epson's: PCL's group is a letter.
        if (bytes.starts_with(start) &&
            !(start == "\x1b*" && bytes.size() > 2 && static_cast<uint8_t>(bytes[2]) < 96))
            return entersHpgl2(bytes) ? std::nullopt : std::optional(PlotterModel::pcl);
    }
    const size_t first = bytes.find('\x1b');
    if (first == std::string_view::npos || first + 1 >= bytes.size()) return std::nullopt;
    const char command = bytes[first + 1];
    if (command == '@' || command == 'K' || command == 'L' || command == 'Y' || command == 'Z')
        return PlotterModel::escp;
    if (command == '*' && first + 2 < bytes.size() &&
        bitImageMode(static_cast<uint8_t>(bytes[first + 2])))
        return PlotterModel::escp;
    return std::nullopt;
}

struct StreamDialect::Reading {
    Hpgl2Mnemonics mnemonics;
};

namespace {

// The bytes that tell a print from a plot: the longest of PCL's starts (the
// universal exit, nine bytes) and an escape's next byte.
constexpr size_t printLook = 10;

std::string upperPair(std::string_view letters) {
    std::string pair(letters.substr(0, 2));
    for (char& c : pair)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return pair;
}

} // namespace

StreamDialect::StreamDialect() : reading_(std::make_unique<Reading>()) {
    reading_->mnemonics.onMnemonic([this](std::string_view letters) { mnemonic(letters); });
}
StreamDialect::~StreamDialect() = default;

bool StreamDialect::settled() const {
    return told_ == PlotterModel::hpgl2 || told_ == PlotterModel::escp;
}

bool StreamDialect::take(uint8_t byte) {
    if (settled()) return false;
    const PlotterModel before = told_;
    ++taken_;
    if (print_ != Print::no) lookForPrint(byte);
    if (!settled()) reading_->mnemonics.feed({reinterpret_cast<const char*>(&byte), 1});
    return told_ != before;
}

void StreamDialect::take(std::string_view bytes) {
    // A byte at a time only while the first bytes may be a print's.
    while (!bytes.empty() && print_ != Print::no && !settled()) {
        take(static_cast<uint8_t>(bytes.front()));
        bytes.remove_prefix(1);
    }
    if (settled() || bytes.empty()) return;
    taken_ += bytes.size();
    reading_->mnemonics.feed(bytes);
}

void StreamDialect::lookForPrint(uint8_t byte) {
    // A PCL job is a print at the first ink a printer puts down (a raster
    // row, or a page end); a plot once it enters HP-GL/2 (its instructions
    // tell).
    tail_ = ((tail_ << 8) | byte) & 0xFFFFFF;
    const bool ink = tail_ == 0x1b2a62 /* ESC * b */ || byte == '\f';
    if (print_ == Print::maybePcl) {
        if (ink) rise(PlotterModel::pcl, "the stream is a PCL print");
        return;
    }
    if (taken_ == 1 && byte != 0x1b) {
        print_ = Print::no;
        return;
    }
    first_.push_back(static_cast<char>(byte));
    inkSeen_ = inkSeen_ || ink;
    if (first_.size() < printLook) return;
    const std::optional<PlotterModel> printer = printerLanguage(first_);
    if (printer == PlotterModel::escp)
        return rise(PlotterModel::escp, "the stream is an Epson print");
    print_ = printer ? Print::maybePcl : Print::no;
    if (printer && inkSeen_) return rise(PlotterModel::pcl, "the stream is a PCL print");
    // What was read meanwhile tells now, as it would have.
    for (size_t at = 0; at + 2 <= pending_.size() && !settled(); at += 2)
        mnemonic(std::string_view(pending_).substr(at, 2));
    pending_.clear();
}

void StreamDialect::mnemonic(std::string_view letters) {
    if (settled() || letters.size() < 2) return;
    if (print_ == Print::unknown) {
        pending_ += letters.substr(0, 2);
        return;
    }
    const std::string pair = upperPair(letters);
    if (print_ == Print::maybePcl || reading_->mnemonics.pclJobSeen())
        return rise(PlotterModel::hpgl2, "the stream is HP-GL/2 in a PCL job");
    if (!plotterKnows(PlotterModel::hp7470a, pair) && toldHpgl2(pair))
        return rise(PlotterModel::hpgl2, "the stream uses HP-GL/2's " + pair);
    if (told_ == PlotterModel::hp86b && !Hp86bPlotter::isKnown(letters.substr(0, 2)) &&
        plotterKnows(PlotterModel::hp7470a, pair))
        rise(PlotterModel::hp7470a, "the stream uses the 7470A's " + pair);
}

void StreamDialect::rise(PlotterModel model, std::string why) {
    told_ = model;
    why_ = std::move(why);
    print_ = Print::no;
}

} // namespace plotanix
