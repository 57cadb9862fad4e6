#include "output/png_writer.h"

#include "page/page_image.h"

#include <array>
#include <bit>
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
    return image.depth == 24 && image.width > 0 && image.height > 0 &&
           image.stride >= 3 * image.width &&
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
    if (compression == PngCompression::fast) {
        png_set_compression_level(png, 1);
        png_set_compression_strategy(png, Z_RLE);
        // Runs look one byte back: a small window and hash table are memory
        // that need not be touched (some 60 page faults fewer).
        png_set_compression_mem_level(png, 4);
        png_set_compression_window_bits(png, 12);
    } else {
        png_set_compression_level(png, 9);
    }
    const bool palette = indexed != nullptr && indexed->depth != 0;
    png_set_IHDR(png, info, image.width, image.height, palette ? indexed->depth : 8,
                 palette ? PNG_COLOR_TYPE_PALETTE : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (palette) {
        png_set_PLTE(png, info, indexed->palette.colours(), indexed->palette.size());
        png_set_check_for_invalid_index(png, 0); // every index is in the palette
    }
    png_write_info(png, info);
    if (!palette) png_set_bgr(png);
    for (int y = 0; y < image.height; ++y)
        png_write_row(png, palette ? indexed->row(image, y) : image.row(y));
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return true;
}

// The pixels: the page as it is, or as palette indices when fast.
bool encode(FILE* file, const PageImage& image, PngCompression compression) {
    if (compression != PngCompression::fast) return encodeImage(file, image, compression, nullptr);
    IndexedRows indexed(image);
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
