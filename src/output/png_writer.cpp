#include "output/png_writer.h"

#include "page/page_image.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <png.h>
#include <utility>
#include <vector>
#include <zlib.h>

namespace plotanix {

namespace {

// The encoder's errors end the save quietly: nothing may reach the console.
[[noreturn]] void failEncoding(png_structp png, png_const_charp) {
    png_longjmp(png, 1);
}
void ignoreWarning(png_structp, png_const_charp) {}

bool usableImage(const PageImage& image) {
    return (image.depth == 24 || image.depth == 1 || image.depth == 4) && image.width > 0 &&
           image.height > 0 &&
           static_cast<int64_t>(image.stride) * 8 >= int64_t{image.depth} * image.width &&
           image.pixels.size() >= static_cast<size_t>(image.stride) * image.height;
}

// The page's colours when a palette can hold them: each index's colour, and
// a small hash table from colour to index.
class Palette {
  public:
    static constexpr int largest = 256;
    int size() const { return size_; }
    const png_color* colours() const { return colours_.data(); }

    // The index of the colour of the pixel at p (bytes blue, green, red);
    // -1 when the palette is full.
    int indexOf(const uint8_t* p) {
        const uint32_t key = (p[0] | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16) + 1;
        for (uint32_t slot = (key * 2654435761u) >> 22;; slot = (slot + 1) % slots) {
            if (keys_[slot] == key) return indices_[slot];
            if (keys_[slot] != 0) continue;
            if (size_ == largest) return -1;
            keys_[slot] = key;
            indices_[slot] = static_cast<uint8_t>(size_);
            colours_[size_] = {p[2], p[1], p[0]};
            return size_++;
        }
    }

  private:
    static constexpr uint32_t slots = 1024; // at most a quarter full
    std::array<uint32_t, slots> keys_{};    // colour + 1; 0 for a free slot
    std::array<uint8_t, slots> indices_{};
    std::array<png_color, largest> colours_{};
    int size_ = 0;
};

// Eight pixels (24 bytes) as three words, to compare runs a word at a time.
struct EightPixels {
    uint64_t words[3];
    EightPixels() = default;
    explicit EightPixels(const uint8_t* p) { std::memcpy(words, p, sizeof words); }
    bool operator==(const EightPixels&) const = default;
};

uint32_t pixelKey(const uint8_t* p) {
    return p[0] | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16;
}

// One row as palette indices, a byte each; false when the palette is full.
// A pixel like the one before takes its index without a look-up, and in a
// run of one colour eight pixels at a time are compared with that colour;
// a pixel like the one before the last colour change (two colours taking
// turns, as in a hatched or dotted row) is not looked up either.
bool indexRow(const uint8_t* row, int width, Palette& palette, uint8_t* out) {
    uint32_t key = pixelKey(row), otherKey = ~0u;
    int index = palette.indexOf(row), otherIndex = -1;
    if (index < 0) return false;
    EightPixels run{}, otherRun{};
    const auto eightOf = [&row](int x) {
        uint8_t eight[24];
        for (size_t i = 0; i < sizeof eight; i += 3)
            std::memcpy(eight + i, row + 3 * x, 3);
        return EightPixels(eight);
    };
    run = eightOf(0);
    out[0] = static_cast<uint8_t>(index);
    for (int x = 1; x < width;) {
        const uint8_t* p = row + 3 * x;
        const uint32_t next = pixelKey(p);
        if (next == key) {
            if (x + 8 <= width && EightPixels(p) == run) {
                std::memset(out + x, index, 8);
                x += 8;
                continue;
            }
            out[x++] = static_cast<uint8_t>(index);
            continue;
        }
        std::swap(key, otherKey);
        std::swap(index, otherIndex);
        std::swap(run, otherRun);
        if (next != key) {
            key = next;
            index = palette.indexOf(p);
            if (index < 0) return false;
            run = eightOf(x);
        }
        out[x++] = static_cast<uint8_t>(index);
    }
    return true;
}

// 8 / bits indices (each below 2^bits) as one byte, the first in the high
// bits. On a little-endian machine one multiplication moves each index to
// its place in the top byte: no two products share a bit, so none carries.
template <int bits> uint8_t packByte(const uint8_t* from) {
    if constexpr (std::endian::native == std::endian::little && bits == 1) {
        uint64_t eight;
        std::memcpy(&eight, from, sizeof eight);
        return static_cast<uint8_t>((eight * 0x8040201008040201u) >> 56);
    } else if constexpr (std::endian::native == std::endian::little && bits == 2) {
        uint32_t four;
        std::memcpy(&four, from, sizeof four);
        return static_cast<uint8_t>((four * 0x40100401u) >> 24);
    } else {
        unsigned byte = 0;
        for (int k = 0; k < 8 / bits; ++k)
            byte = byte << bits | from[k];
        return static_cast<uint8_t>(byte);
    }
}

// The fast encoding's rows: palette indices at 1, 2, 4 or 8 bits a pixel,
// the fewest that hold the page's colours, or none when the page has more
// than 256 colours. The page is read once: a row of one colour (most of a
// drawing's rows) is told as such, any other is kept as its indices.
struct IndexedRows {
    Palette palette;
    int depth = 0;                // 0: RGB
    std::vector<int16_t> uniform; // a row's one colour, or -1
    // A byte a pixel, row y at y * width; only the rows of several colours
    // are written, so the memory of the others is never touched.
    std::unique_ptr<uint8_t[]> indices;
    std::vector<uint8_t> packed;

    explicit IndexedRows(const PageImage& image)
        : uniform(image.height, -1), indices(std::make_unique_for_overwrite<uint8_t[]>(
                                         static_cast<size_t>(image.width) * image.height)),
          packed(image.width) {
        const size_t rowBytes = 3 * static_cast<size_t>(image.width);
        // Rows never drawn on are paper: known without reading them.
        const auto [top, bottom] = image.rowsDrawn();
        const Colour paper = image.paper();
        const uint8_t paperPixel[3] = {uint8_t(paper >> 16), uint8_t(paper >> 8), uint8_t(paper)};
        for (int y = 0; y < image.height; ++y) {
            const uint8_t* row = y < top || y >= bottom ? paperPixel : image.row(y);
            if (row == paperPixel || std::memcmp(row, row + 3, rowBytes - 3) == 0) {
                uniform[y] = static_cast<int16_t>(palette.indexOf(row));
                if (uniform[y] < 0) return;
            } else if (!indexRow(row, image.width, palette, rowIndices(image, y))) {
                return;
            }
        }
        const int colours = palette.size();
        depth = colours <= 2 ? 1 : colours <= 4 ? 2 : colours <= 16 ? 4 : 8;
    }
    uint8_t* rowIndices(const PageImage& image, int y) {
        return indices.get() + static_cast<size_t>(y) * image.width;
    }
    // Row y as the PNG takes it: pixels packed from the high bits of each byte.
    const uint8_t* row(const PageImage& image, int y) {
        const size_t bytes = (static_cast<size_t>(image.width) * depth + 7) / 8;
        if (uniform[y] >= 0) {
            // The index repeated across the byte: 0xFF / (2^depth - 1) is
            // 0xFF, 0x55, 0x11 or 0x01.
            const unsigned repeat = 0xFFu / ((1u << depth) - 1);
            std::memset(packed.data(), static_cast<int>(unsigned(uniform[y]) * repeat), bytes);
            return packed.data();
        }
        const uint8_t* from = rowIndices(image, y);
        if (depth == 8) return from;
        if (depth == 4) pack<4>(from, image.width);
        if (depth == 2) pack<2>(from, image.width);
        if (depth == 1) pack<1>(from, image.width);
        return packed.data();
    }
    // Whole bytes first, then the last one padded with index 0.
    template <int bits> void pack(const uint8_t* from, int width) {
        constexpr int perByte = 8 / bits;
        const int whole = width / perByte;
        for (int i = 0; i < whole; ++i, from += perByte)
            packed[i] = packByte<bits>(from);
        if (whole * perByte == width) return;
        unsigned byte = 0;
        for (int k = 0; k < perByte; ++k)
            byte = byte << bits | (whole * perByte + k < width ? from[k] : 0u);
        packed[whole] = static_cast<uint8_t>(byte);
    }
};

// ---- The fast encoding's own deflate
//
// A page of line drawing in palette indices is long runs of one byte. zlib's
// run-length strategy finds them a byte at a time and its blocks end every
// thousand or so symbols, each with its own code tables; here the runs are
// found a word at a time and the whole picture is one block, coded with
// the codes its own symbols ask for (or the fixed ones, when smaller):
// the same symbols zlib would choose (a byte, or a copy of the byte before
// of 3 to 258), in less time and no more bytes.

// Bits gathered from the lowest up, as deflate packs them.
class Bits {
  public:
    explicit Bits(std::vector<uint8_t>& out) : out_(out) {}
    // count at most 16 bits.
    void put(uint32_t value, int count) {
        held_ |= uint64_t(value) << count_;
        count_ += count;
        if (count_ < 32) return;
        const uint8_t four[4] = {uint8_t(held_), uint8_t(held_ >> 8), uint8_t(held_ >> 16),
                                 uint8_t(held_ >> 24)};
        out_.insert(out_.end(), four, four + 4);
        held_ >>= 32;
        count_ -= 32;
    }
    // A code from canonicalCodes, already reversed.
    void code(uint32_t code, int length) { put(code, length); }
    void finish() {
        for (; count_ > 0; count_ -= 8, held_ >>= 8)
            out_.push_back(static_cast<uint8_t>(held_));
        held_ = 0, count_ = 0;
    }

  private:
    std::vector<uint8_t>& out_;
    uint64_t held_ = 0;
    int count_ = 0;
};

// Deflate's length codes: a copy of 3 to 258 bytes as symbol 257 + index,
// with extra bits beyond the base.
constexpr std::array<uint16_t, 29> lengthBase{3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                              15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                              67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr std::array<uint8_t, 29> lengthExtra{0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                              2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};

// The length code's index of each copy length, 3 to 258.
constexpr std::array<uint8_t, 259> lengthIndices = [] {
    std::array<uint8_t, 259> indices{};
    for (size_t length = 3, index = 0; length <= 258; ++length) {
        while (index + 1 < lengthBase.size() && lengthBase[index + 1] <= length)
            ++index;
        indices[length] = static_cast<uint8_t>(index);
    }
    return indices;
}();

int lengthIndex(int length) {
    return lengthIndices[size_t(length)];
}

// Code lengths for the counted symbols, none longer than longest: Huffman's
// tree, its counts halved until it fits. A single symbol gets a length of 1.
std::vector<uint8_t> codeLengths(const std::vector<uint32_t>& counts, int longest) {
    std::vector<uint32_t> weights = counts;
    std::vector<uint8_t> lengths(counts.size(), 0);
    while (true) {
        struct Node {
            uint64_t weight;
            int left, right; // children; symbol nodes have -1
        };
        std::vector<Node> nodes;
        std::vector<std::pair<uint64_t, int>> queue; // a min-heap of (weight, node)
        for (size_t i = 0; i < weights.size(); ++i) {
            if (weights[i] == 0) continue;
            nodes.push_back({weights[i], -1, int(i)}); // right holds the symbol
            queue.emplace_back(weights[i], int(nodes.size() - 1));
        }
        if (nodes.empty()) return lengths;
        if (nodes.size() == 1) {
            lengths[size_t(nodes[0].right)] = 1;
            return lengths;
        }
        const auto later = [](const auto& a, const auto& b) { return a > b; };
        std::make_heap(queue.begin(), queue.end(), later);
        while (queue.size() > 1) {
            std::pop_heap(queue.begin(), queue.end(), later);
            const auto a = queue.back();
            queue.pop_back();
            std::pop_heap(queue.begin(), queue.end(), later);
            const auto b = queue.back();
            queue.pop_back();
            nodes.push_back({a.first + b.first, a.second, b.second});
            queue.emplace_back(a.first + b.first, int(nodes.size() - 1));
            std::push_heap(queue.begin(), queue.end(), later);
        }
        // Depths from the root down: parents come after their children.
        std::vector<int> depth(nodes.size(), 0);
        int deepest = 0;
        for (size_t i = nodes.size(); i-- > 0;) {
            const Node& n = nodes[i];
            if (n.left < 0) {
                lengths[size_t(n.right)] = static_cast<uint8_t>(depth[i]);
                deepest = std::max(deepest, depth[i]);
                continue;
            }
            depth[size_t(n.left)] = depth[size_t(n.right)] = depth[i] + 1;
        }
        if (deepest <= longest) return lengths;
        for (uint32_t& w : weights)
            w = w == 0 ? 0 : w / 2 + 1;
    }
}

// The canonical codes of the lengths, each bit-reversed: deflate sends a
// code's highest bit first, the bit writer takes the lowest first.
std::vector<uint16_t> canonicalCodes(const std::vector<uint8_t>& lengths) {
    std::array<uint16_t, 16> count{}, next{};
    for (uint8_t length : lengths)
        ++count[length];
    count[0] = 0;
    for (int bits = 1, code = 0; bits < 16; ++bits) {
        code = (code + count[size_t(bits) - 1]) << 1;
        next[size_t(bits)] = static_cast<uint16_t>(code);
    }
    std::vector<uint16_t> codes(lengths.size(), 0);
    for (size_t i = 0; i < lengths.size(); ++i) {
        if (lengths[i] == 0) continue;
        unsigned code = next[lengths[i]]++, reversed = 0;
        for (int bit = 0; bit < lengths[i]; ++bit, code >>= 1)
            reversed = reversed << 1 | (code & 1);
        codes[i] = static_cast<uint16_t>(reversed);
    }
    return codes;
}

// The raw rows (a filter byte of 0, then the row) as deflate's symbols: a
// byte as itself, a copy of the byte before as 256 + its length.
std::vector<uint16_t> runSymbols(const std::vector<uint8_t>& raw) {
    std::vector<uint16_t> symbols;
    symbols.reserve(raw.size() / 64 + 64);
    const size_t size = raw.size();
    for (size_t i = 0; i < size;) {
        // A byte unlike the one before starts no copy: the busy rows' case.
        if (i > 0 && raw[i] == raw[i - 1]) {
            // How far the byte before runs on, eight bytes at a time.
            const uint8_t byte = raw[i - 1];
            const uint64_t eight = 0x0101010101010101u * byte;
            size_t run = 0;
            const size_t most = std::min<size_t>(258, size - i);
            while (run + 8 <= most) {
                uint64_t word;
                std::memcpy(&word, raw.data() + i + run, 8);
                if (word != eight) break;
                run += 8;
            }
            while (run < most && raw[i + run] == byte)
                ++run;
            if (run >= 3) {
                symbols.push_back(static_cast<uint16_t>(256 + run));
                i += run;
                continue;
            }
        }
        symbols.push_back(raw[i++]);
    }
    return symbols;
}

// The bits a block takes with these codes: its symbols, and for copies
// their extra bits and distance code.
uint64_t blockBits(const std::vector<uint32_t>& counts, const uint8_t* lengths, uint32_t copies,
                   uint8_t distanceLength) {
    uint64_t bits = uint64_t(copies) * distanceLength;
    for (size_t i = 0; i < counts.size(); ++i) {
        bits += uint64_t(counts[i]) * lengths[i];
        if (i >= 257) bits += uint64_t(counts[i]) * lengthExtra[i - 257];
    }
    return bits;
}

// A block's symbols counted: each byte, each length code (257 + index)
// and the end (256); copies, for their distance codes.
struct BlockCounts {
    std::vector<uint32_t> counts = std::vector<uint32_t>(286, 0);
    uint32_t copies = 0;
    BlockCounts() { counts[256] = 1; }
    void add(uint16_t symbol) {
        if (symbol < 256) {
            ++counts[symbol];
        } else {
            ++counts[257 + size_t(lengthIndex(symbol - 256))];
            ++copies;
        }
    }
    void add(const BlockCounts& other) {
        for (size_t i = 0; i < counts.size(); ++i)
            counts[i] += i == 256 ? 0 : other.counts[i];
        copies += other.copies;
    }
};

// How a block is coded: the fixed codes, or its own with their header.
struct BlockCode {
    bool fixed = true;
    std::vector<uint8_t> lengths; // 288 for the fixed codes
    size_t literals = 0, sent = 0;
    std::vector<uint8_t> lengthLengths;
    struct LengthSymbol {
        uint8_t symbol, extra;
    };
    std::vector<LengthSymbol> lengthSymbols;
    uint64_t bits = 0; // the whole block's, its three header bits aside
};

constexpr std::array<uint8_t, 19> lengthOrder{16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                              11, 4,  12, 3, 13, 2, 14, 1, 15};

BlockCode blockCode(const BlockCounts& c) {
    BlockCode own;
    own.fixed = false;
    own.lengths = codeLengths(c.counts, 15);
    // The code lengths themselves, run-length coded: 16 repeats the last
    // 3-6 times, 17 and 18 give 3-10 and 11-138 zeros.
    own.literals = 286;
    while (own.literals > 257 && own.lengths[own.literals - 1] == 0)
        --own.literals;
    std::vector<uint8_t> all(own.lengths.begin(), own.lengths.begin() + ptrdiff_t(own.literals));
    all.push_back(1); // one distance code, of one bit
    for (size_t i = 0; i < all.size();) {
        size_t run = 1;
        while (i + run < all.size() && all[i + run] == all[i])
            ++run;
        if (all[i] == 0 && run >= 3) {
            const size_t n = std::min<size_t>(run, 138);
            own.lengthSymbols.push_back(n >= 11 ? BlockCode::LengthSymbol{18, uint8_t(n - 11)}
                                                : BlockCode::LengthSymbol{17, uint8_t(n - 3)});
            i += n;
        } else if (all[i] != 0 && run >= 4) {
            const size_t n = std::min<size_t>(run - 1, 6);
            own.lengthSymbols.push_back({all[i], 0});
            own.lengthSymbols.push_back({16, uint8_t(n - 3)});
            i += 1 + n;
        } else {
            own.lengthSymbols.push_back({all[i], 0});
            ++i;
        }
    }
    std::vector<uint32_t> lengthCounts(19, 0);
    for (const auto& l : own.lengthSymbols)
        ++lengthCounts[l.symbol];
    own.lengthLengths = codeLengths(lengthCounts, 7);
    own.sent = 19;
    while (own.sent > 4 && own.lengthLengths[lengthOrder[own.sent - 1]] == 0)
        --own.sent;
    own.bits = 5 + 5 + 4 + 3 * own.sent + blockBits(c.counts, own.lengths.data(), c.copies, 1);
    for (const auto& l : own.lengthSymbols)
        own.bits += own.lengthLengths[l.symbol] + (l.symbol == 16   ? 2u
                                                   : l.symbol == 17 ? 3u
                                                   : l.symbol == 18 ? 7u
                                                                    : 0u);
    static const std::vector<uint8_t> fixedLengths = [] {
        std::vector<uint8_t> lengths(288, 8);
        std::fill(lengths.begin() + 144, lengths.begin() + 256, 9);
        std::fill(lengths.begin() + 256, lengths.begin() + 280, 7);
        return lengths;
    }();
    const uint64_t fixedBits = blockBits(c.counts, fixedLengths.data(), c.copies, 5);
    if (fixedBits > own.bits) return own;
    BlockCode fixed;
    fixed.lengths = fixedLengths;
    fixed.bits = fixedBits;
    return fixed;
}

void writeBlock(Bits& bits, const BlockCode& code, const uint16_t* symbols, size_t count,
                bool last) {
    bits.put(last ? 1 : 0, 1);
    bits.put(code.fixed ? 1 : 2, 2);
    if (!code.fixed) {
        bits.put(uint32_t(code.literals - 257), 5);
        bits.put(0, 5); // one distance code
        bits.put(uint32_t(code.sent - 4), 4);
        for (size_t i = 0; i < code.sent; ++i)
            bits.put(code.lengthLengths[lengthOrder[i]], 3);
        const std::vector<uint16_t> lengthCodes = canonicalCodes(code.lengthLengths);
        for (const auto& l : code.lengthSymbols) {
            bits.code(lengthCodes[l.symbol], code.lengthLengths[l.symbol]);
            if (l.symbol >= 16) bits.put(l.extra, l.symbol == 16 ? 2 : l.symbol == 17 ? 3 : 7);
        }
    }
    const std::vector<uint8_t>& lengths = code.lengths;
    const std::vector<uint16_t> codes = canonicalCodes(lengths);
    for (size_t i = 0; i < count; ++i) {
        const uint16_t s = symbols[i];
        if (s < 256) {
            bits.code(codes[s], lengths[s]);
            continue;
        }
        const auto index = size_t(lengthIndex(s - 256));
        bits.code(codes[257 + index], lengths[257 + index]);
        bits.put(uint32_t(s - 256 - lengthBase[index]), lengthExtra[index]);
        bits.code(0, code.fixed ? 5 : 1); // distance 1: code 0
    }
    bits.code(codes[256], lengths[256]);
}

// The rows as a zlib stream. The symbols are taken in pieces of the size
// zlib's blocks have at the level it would be given; a piece joins the
// block before when the two cost no more together, so that no block is
// dearer than zlib's would be.
std::vector<uint8_t> deflateRows(const std::vector<uint8_t>& raw) {
    const std::vector<uint16_t> symbols = runSymbols(raw);
    constexpr size_t piece = 1023;
    std::vector<uint8_t> out{0x78, 0x01};
    out.reserve(raw.size() / 16 + 64);
    Bits bits(out);
    size_t start = 0;
    BlockCounts block;
    for (size_t i = 0; i < std::min(piece, symbols.size()); ++i)
        block.add(symbols[i]);
    BlockCode code = blockCode(block);
    for (size_t at = std::min(piece, symbols.size()); at < symbols.size(); at += piece) {
        const size_t end = std::min(at + piece, symbols.size());
        BlockCounts next;
        for (size_t i = at; i < end; ++i)
            next.add(symbols[i]);
        BlockCounts joined = block;
        joined.add(next);
        BlockCode joinedCode = blockCode(joined);
        BlockCode nextCode = blockCode(next);
        if (joinedCode.bits <= code.bits + nextCode.bits) {
            block = std::move(joined);
            code = std::move(joinedCode);
            continue;
        }
        writeBlock(bits, code, symbols.data() + start, at - start, false);
        start = at;
        block = std::move(next);
        code = std::move(nextCode);
    }
    writeBlock(bits, code, symbols.data() + start, symbols.size() - start, true);
    bits.finish();
    const uLong check = adler32(adler32(0, nullptr, 0), raw.data(), static_cast<uInt>(raw.size()));
    for (int shift : {24, 16, 8, 0})
        out.push_back(static_cast<uint8_t>(check >> shift));
    return out;
}

// One chunk: its length, type and data, and the CRC of type and data.
bool writeChunk(FILE* file, const char* type, const uint8_t* data, size_t size) {
    uint8_t head[8] = {uint8_t(size >> 24), uint8_t(size >> 16), uint8_t(size >> 8), uint8_t(size)};
    std::memcpy(head + 4, type, 4);
    uLong crc = crc32(crc32(0, nullptr, 0), head + 4, 4);
    if (size > 0) crc = crc32(crc, data, static_cast<uInt>(size));
    const uint8_t tail[4] = {uint8_t(crc >> 24), uint8_t(crc >> 16), uint8_t(crc >> 8),
                             uint8_t(crc)};
    return std::fwrite(head, 1, 8, file) == 8 &&
           (size == 0 || std::fwrite(data, 1, size, file) == size) &&
           std::fwrite(tail, 1, 4, file) == 4;
}

// Kept free of objects with destructors: an encoder error leaves through
// longjmp, which would skip them. indexed is given for the fast encoding.
bool encodeImage(FILE* file, const PageImage& image, PngCompression compression,
                 IndexedRows* indexed) {
    png_structp png =
        png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, failEncoding, ignoreWarning);
    if (png == nullptr) return false;
    png_infop info = png_create_info_struct(png);
    if (info == nullptr) {
        png_destroy_write_struct(&png, nullptr);
        return false;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_init_io(png, file);
    png_set_filter(png, 0, PNG_FILTER_NONE);
    // A printer's page is written as it is kept, its rows one after the
    // other: palette indices, and its resolution, so that it shows at its
    // true size. Its rows repeat the row above more than a byte the one
    // before: zlib's own matching finds that.
    const bool printed = image.indexed();
    if (printed) {
        png_set_compression_level(png, compression == PngCompression::fast ? 1 : 9);
    } else if (compression == PngCompression::fast) {
        png_set_compression_level(png, 1);
        png_set_compression_strategy(png, Z_RLE);
        // Runs look one byte back: a small window and hash table are memory
        // that need not be touched (some 60 page faults fewer).
        png_set_compression_mem_level(png, 4);
        png_set_compression_window_bits(png, 12);
    } else {
        png_set_compression_level(png, 9);
    }
    const bool palette = printed || (indexed != nullptr && indexed->depth != 0);
    png_set_IHDR(png, info, image.width, image.height,
                 printed   ? image.depth
                 : palette ? indexed->depth
                           : 8,
                 palette ? PNG_COLOR_TYPE_PALETTE : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (printed) {
        png_color colours[16];
        const int count = 1 << image.depth;
        for (int i = 0; i < count; ++i)
            colours[i] = {uint8_t(printPalette[i]), uint8_t(printPalette[i] >> 8),
                          uint8_t(printPalette[i] >> 16)};
        png_set_PLTE(png, info, colours, count);
        if (image.dpi > 0) {
            const auto perMetre = static_cast<png_uint_32>(std::lround(image.dpi / 0.0254));
            png_set_pHYs(png, info, perMetre, perMetre, PNG_RESOLUTION_METER);
        }
    } else if (palette) {
        png_set_PLTE(png, info, indexed->palette.colours(), indexed->palette.size());
        png_set_check_for_invalid_index(png, 0); // every index is in the palette
    }
    png_write_info(png, info);
    if (!palette) png_set_bgr(png);
    for (int y = 0; y < image.height; ++y)
        png_write_row(png, printed   ? image.row(y)
                           : palette ? indexed->row(image, y)
                                     : image.row(y));
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return true;
}

// A palette page written whole here, without libpng: the signature, IHDR,
// PLTE, one IDAT and IEND.
bool encodeIndexed(FILE* file, const PageImage& image, IndexedRows& indexed) {
    const size_t rowBytes = (static_cast<size_t>(image.width) * indexed.depth + 7) / 8;
    std::vector<uint8_t> raw((rowBytes + 1) * static_cast<size_t>(image.height));
    for (int y = 0; y < image.height; ++y) {
        uint8_t* at = raw.data() + (rowBytes + 1) * static_cast<size_t>(y);
        at[0] = 0; // no filter
        std::memcpy(at + 1, indexed.row(image, y), rowBytes);
    }
    const std::vector<uint8_t> compressed = deflateRows(raw);
    static constexpr uint8_t signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    const auto big = [](uint32_t v, uint8_t* to) {
        to[0] = uint8_t(v >> 24), to[1] = uint8_t(v >> 16), to[2] = uint8_t(v >> 8),
        to[3] = uint8_t(v);
    };
    uint8_t header[13] = {};
    big(static_cast<uint32_t>(image.width), header);
    big(static_cast<uint32_t>(image.height), header + 4);
    header[8] = static_cast<uint8_t>(indexed.depth);
    header[9] = 3; // palette; compression, filter and interlace 0
    std::vector<uint8_t> palette;
    for (int i = 0; i < indexed.palette.size(); ++i) {
        const png_color& c = indexed.palette.colours()[i];
        palette.insert(palette.end(), {c.red, c.green, c.blue});
    }
    return std::fwrite(signature, 1, 8, file) == 8 && writeChunk(file, "IHDR", header, 13) &&
           writeChunk(file, "PLTE", palette.data(), palette.size()) &&
           writeChunk(file, "IDAT", compressed.data(), compressed.size()) &&
           writeChunk(file, "IEND", nullptr, 0);
}

// The pixels: the page as it is, or as palette indices when fast.
bool encode(FILE* file, const PageImage& image, PngCompression compression) {
    if (compression != PngCompression::fast || image.indexed())
        return encodeImage(file, image, compression, nullptr);
    IndexedRows indexed(image);
    if (indexed.depth != 0) return encodeIndexed(file, image, indexed);
    return encodeImage(file, image, compression, &indexed);
}

} // namespace

bool savePng(const PageImage& image, const std::string& fileName, Durability durability,
             PngCompression compression) {
    if (fileName.empty() || !usableImage(image)) return false;
    return writeFileAtomically(fileName, durability, [&image, compression](FILE* file) {
        return encode(file, image, compression);
    });
}

bool writePng(FILE* file, const PageImage& image, PngCompression compression) {
    return usableImage(image) && encode(file, image, compression) && std::fflush(file) == 0;
}

} // namespace plotanix
