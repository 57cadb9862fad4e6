#pragma once
// The page: one 800 x 600 image, 24 bits per pixel, rows stored bottom row
// first, each pixel as the bytes blue, green, red. A printer's page keeps
// palette indices instead (see printPalette): its dots are few colours, and
// a page at 600 dpi would not fit in a bounded memory as colours.

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace plotanix {

// Red in bits 0-7, green 8-15, blue 16-23; bits 24-31 are ignored.
using Colour = uint32_t;

// The colours of a printer's page by index: at one bit a pixel the first
// two (paper white and black), at four all: the pure primaries a printer's
// planes make, then greys from light to dark for the edges of text on
// white. Each row's pixels are packed from the high bits of its bytes, as
// a PNG packs palette indices.
inline constexpr std::array<Colour, 16> printPalette = {
    0xFFFFFF, 0x000000, 0x0000FF, 0x00FF00, 0xFF0000, 0xFFFF00, 0xFF00FF, 0x00FFFF,
    0xE3E3E3, 0xC6C6C6, 0xAAAAAA, 0x8E8E8E, 0x717171, 0x555555, 0x393939, 0x1C1C1C};
inline constexpr uint8_t firstGrey = 8;

// An image's pixel bytes, stride bytes a row, stored bottom row first.
// Rows are made lazily: making or filling the image writes no row, and a
// row is painted in the paper colour when it is first written on, with the
// rows between it and those already made (the rows made stay one block).
// A row not made reads as paper without being touched, so a page drawn on
// little costs neither a whole fill nor the memory pages of the rest.
class PixelRows {
  public:
    PixelRows() = default;
    // Bytes put together by hand: every row made, as given.
    PixelRows(std::vector<uint8_t> bytes, int32_t width, int32_t stride);
    PixelRows(const PixelRows& other);
    PixelRows& operator=(const PixelRows& other);
    PixelRows(PixelRows&& other) noexcept { *this = std::move(other); }
    PixelRows& operator=(PixelRows&& other) noexcept;

    // Bytes for rows of stride bytes, none made, the paper colour given;
    // false when memory is short (the rows then as they were). Rows of
    // palette indices (bits 1 or 4) are paper as index 0. The bytes it
    // already has are used again when they are enough.
    bool allocate(int32_t width, int32_t stride, int32_t rows, Colour paper, int32_t bits = 24);

    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    // The bytes as stored, every row made first: for writing or reading the
    // whole at once.
    uint8_t* data();
    uint8_t* begin() { return data(); }
    uint8_t* end() { return data() + size_; }
    uint8_t& operator[](size_t i) { return data()[i]; }
    // A copy of the bytes, rows not made as paper.
    operator std::vector<uint8_t>() const;
    friend bool operator==(const PixelRows& a, const PixelRows& b);
    friend bool operator==(const PixelRows& a, const std::vector<uint8_t>& b);

    // Stored row i (0 = the bottom picture row), made if it was not.
    [[gnu::always_inline]] uint8_t* at(int32_t i) {
        if (i < low_ || i >= high_) [[unlikely]]
            make(i);
        return bytes_.get() + static_cast<size_t>(i) * stride_;
    }
    // Stored row i for reading: a row not made reads as paper.
    const uint8_t* at(int32_t i) const {
        return i < low_ || i >= high_ ? paperRow_.data()
                                      : bytes_.get() + static_cast<size_t>(i) * stride_;
    }
    // The stored rows made, low included, high not.
    std::pair<int32_t, int32_t> made() const { return {low_, high_}; }
    // The rows there is room for.
    int32_t rows() const { return rows_; }
    // Every row back to paper of this colour, no row made.
    void clear(Colour paper) { setPaper(paper), low_ = high_ = 0; }
    Colour paper() const { return paper_; }

  private:
    void make(int32_t i);
    void paintRows(int32_t from, int32_t to);
    void setPaper(Colour paper);

    std::unique_ptr<uint8_t[]> bytes_;
    size_t size_ = 0, capacity_ = 0;
    int32_t width_ = 0;
    int32_t stride_ = 0;
    int32_t rows_ = 0;
    int32_t low_ = 0, high_ = 0;
    int32_t bits_ = 24;
    Colour paper_ = 0;
    std::vector<uint8_t> paperRow_; // one row of paper, padding zero
    bool paperUniform_ = true;      // every byte of paperRow_ the same
};

struct PageImage {
    PageImage() = default;
    // An image put together by hand: every row counts as drawn on.
    PageImage(int16_t width, int16_t height, uint8_t depth, int32_t stride,
              std::vector<uint8_t> pixels)
        : width(width), height(height), depth(depth), stride(stride),
          pixels(std::move(pixels), width, stride) {}

    // The picture: a printer's may be smaller than the room its rows have
    // (stride, pixels.rows()), the picture growing into it; its top row is
    // the last stored, wherever its bottom lies.
    int16_t width = 0;
    int16_t height = 0;
    uint8_t depth = 0;  // 24, or 1 or 4 for palette indices
    int32_t stride = 0; // the row's bytes rounded up to a multiple of 4
    PixelRows pixels;
    // A printer's page: its pixels an inch (0 for a plotter's page).
    int32_t dpi = 0;

    bool indexed() const { return depth != 24; }
    // The palette index of pixel x in a row of an indexed image.
    static unsigned indexIn(const uint8_t* row, int x, int depth) {
        if (depth == 1) return (row[x >> 3] >> (7 - (x & 7))) & 1u;
        return (row[x >> 1] >> ((x & 1) ? 0 : 4)) & 15u;
    }

    // Start of picture row y (0 = top row as shown and saved). Writing goes
    // through here, so the row counts as drawn on.
    [[gnu::always_inline]] uint8_t* row(int y) { return pixels.at(pixels.rows() - 1 - y); }
    const uint8_t* row(int y) const { return pixels.at(pixels.rows() - 1 - y); }
    // The colour at picture pixel (x, y), as a Colour value.
    Colour pixel(int x, int y) const {
        if (indexed()) return printPalette[indexIn(row(y), x, depth)];
        const uint8_t* p = row(y) + 3 * x;
        return static_cast<Colour>(p[2]) | static_cast<Colour>(p[1]) << 8 |
               static_cast<Colour>(p[0]) << 16;
    }
    // Picture row y as colours, the bytes blue, green, red: the row itself
    // for a 24-bit image, else expanded into out (3 * width bytes).
    const uint8_t* colourRow(int y, uint8_t* out) const;

    // The whole image in one colour: no row is written until drawn on.
    void fill(Colour colour) { pixels.clear(colour); }
    // The picture rows written since the image was last filled whole, top
    // included, bottom not (empty when top >= bottom); outside them every
    // pixel is paper(). For an image put together by hand: all.
    std::pair<int32_t, int32_t> rowsDrawn() const {
        const auto [low, high] = pixels.made();
        const int32_t top = std::max(pixels.rows() - high, 0);
        const int32_t bottom = std::min<int32_t>(pixels.rows() - low, height);
        if (low >= high || top >= bottom) return {height, 0};
        return {top, bottom};
    }
    Colour paper() const { return pixels.paper(); }
};

// An image all in the paper colour (black unless given), or nullptr when
// the sizes are unusable or memory is short. Born in its colour: the pixels
// are written once, not cleared and then painted. Depth 24, or 1 or 4 for
// palette indices on white paper.
std::unique_ptr<PageImage> createPageImage(int32_t width, int32_t height, int32_t depth,
                                           Colour paper = 0);
// The same made again in image, in the bytes it has when they are enough;
// false (the image as it was) when the sizes are unusable or memory short.
bool remakePageImage(PageImage& image, int32_t width, int32_t height, int32_t depth,
                     Colour paper = 0);

// Whether two images have the same size and pixels; rows neither has drawn
// on since a fill in the same colour are known alike and not compared, nor
// is the room a picture has beyond its size.
bool samePixels(const PageImage& a, const PageImage& b);

} // namespace plotanix
