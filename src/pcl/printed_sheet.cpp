#include "pcl/printed_sheet.h"

#include "page/drawing.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <map>
#include <mutex>
#include <utility>

// Loops over pixels alone: a fuzzer's edge counters in them would tell it
// only the size of what is drawn, at a counter a pixel row.
#if defined(__clang__)
#define PLOTANIX_PIXEL_LOOP __attribute__((no_sanitize("coverage")))
#else
#define PLOTANIX_PIXEL_LOOP
#endif

namespace plotanix {

namespace {

constexpr Colour white = 0xFFFFFF;
constexpr Colour black = 0x000000;

// The fixed-pitch font at the picture's resolution: 12 points (10
// characters an inch) where the label font's points are pixels at 96 dpi.
// Loaded once for each size, by whichever worker comes first.
const PageFont* fontFor(int32_t dpi) {
    static std::mutex loading;
    static std::map<int32_t, std::unique_ptr<PageFont>> fonts;
    const int32_t points = std::max(1, dpi / 8);
    const std::lock_guard lock(loading);
    auto [at, made] = fonts.try_emplace(points);
    if (made) at->second = loadFont("Courier New", points);
    return at->second.get();
}

bool monochrome(const RasterBlock& block) {
    return block.planes == 1 && block.palette[0] == white && block.palette[1] == black;
}

// The picture's index of a colour: the primaries and black and white all
// have one.
unsigned indexOf(Colour colour) {
    for (unsigned i = 0; i < firstGrey; ++i)
        if (printPalette[i] == (colour & 0xFFFFFF)) return i;
    return 1;
}

PLOTANIX_PIXEL_LOOP void putIndex(uint8_t* row, int64_t x, unsigned index, int depth) {
    if (depth == 1) {
        const auto bit = static_cast<uint8_t>(0x80u >> (x & 7));
        row[x >> 3] = static_cast<uint8_t>(index != 0 ? row[x >> 3] | bit : row[x >> 3] & ~bit);
        return;
    }
    uint8_t& byte = row[x >> 1];
    byte = static_cast<uint8_t>((x & 1) ? (byte & 0xF0) | index : (byte & 0x0F) | index << 4);
}

PLOTANIX_PIXEL_LOOP void fillRect(PageImage& image, int64_t x0, int64_t y0, int64_t x1, int64_t y1,
                                  unsigned index) {
    x0 = std::max<int64_t>(x0, 0), y0 = std::max<int64_t>(y0, 0);
    x1 = std::min<int64_t>(x1, image.width), y1 = std::min<int64_t>(y1, image.height);
    const int depth = image.depth;
    const int perByte = 8 / depth;
    // The pixels that share a byte with the run's ends one at a time, the
    // whole bytes between at once: a run of a colour plane may be a page wide.
    const int64_t first = (x0 + perByte - 1) / perByte, last = x1 / perByte;
    const auto pattern = static_cast<uint8_t>(depth == 1 ? (index != 0 ? 0xFF : 0) : index * 0x11);
    for (int64_t y = y0; y < y1; ++y) {
        uint8_t* row = image.row(static_cast<int>(y));
        if (first >= last) {
            for (int64_t x = x0; x < x1; ++x)
                putIndex(row, x, index, depth);
            continue;
        }
        for (int64_t x = x0; x < first * perByte; ++x)
            putIndex(row, x, index, depth);
        std::memset(row + first, pattern, static_cast<size_t>(last - first));
        for (int64_t x = last * perByte; x < x1; ++x)
            putIndex(row, x, index, depth);
    }
}

// A four-bit index with a glyph's ink of this level (0 to 9) over it: on
// white or grey the darker of the two (levels 1 to 8 the greys, 9 black),
// over black or a colour black where the glyph covers half the pixel.
constexpr unsigned inkedIndex(unsigned was, unsigned level) {
    if (was == 0 || was >= firstGrey) {
        const unsigned darker = std::max(level, was == 0 ? 0 : was - firstGrey + 1);
        return darker == 0 ? 0 : darker == 9 ? 1 : firstGrey + darker - 1;
    }
    return level >= 5 ? 1 : was;
}

// A byte of two indices with a pair of levels over it (the high pixel's
// level times 10 and the low one's): text is drawn two pixels at a time.
struct InkedBytes {
    std::array<uint8_t, 256 * 100> next{}; // by byte * 100 + pair
    InkedBytes() {
        for (unsigned byte = 0; byte < 256; ++byte)
            for (unsigned pair = 0; pair < 100; ++pair)
                next[byte * 100 + pair] = static_cast<uint8_t>(
                    inkedIndex(byte >> 4, pair / 10) << 4 | inkedIndex(byte & 15, pair % 10));
    }
};
const InkedBytes& inkedBytes() {
    static const InkedBytes table;
    return table;
}

// A glyph's row of pairs of levels inked over the span bytes at under.
PLOTANIX_PIXEL_LOOP void inkOver(uint8_t* under, const uint8_t* pairs, size_t span) {
    const uint8_t* inked = inkedBytes().next.data();
    for (size_t k = 0; k < span; ++k)
        under[k] = inked[under[k] * 100u + pairs[k]];
}

// A glyph's rows put down eight bytes at a time where everything under
// them is white (index 0: the glyph's bytes on white are the bytes):
// padded bytes of each of rows rows from under, a row further down next
// bytes on; onWhite holds the bytes, spanned 0xFF for each byte the glyph
// spans. False, and nothing written, when any byte it spans is not white.
PLOTANIX_PIXEL_LOOP bool putOnWhite(uint8_t* under, ptrdiff_t next, int64_t rows,
                                    const uint8_t* onWhite, const uint8_t* spanned, size_t padded) {
    uint64_t inked = 0;
    for (size_t k = 0; k < padded; k += 8) {
        uint64_t mask;
        std::memcpy(&mask, spanned + k, 8);
        uint8_t* at = under + k;
        for (int64_t y = 0; y < rows; ++y, at += next) {
            uint64_t word;
            std::memcpy(&word, at, 8);
            inked |= word & mask;
        }
    }
    if (inked != 0) return false;
    for (size_t k = 0; k < padded; k += 8) {
        const uint8_t* bytes = onWhite + k;
        uint8_t* at = under + k;
        for (int64_t y = 0; y < rows; ++y, at += next, bytes += padded) {
            uint64_t word, glyph;
            std::memcpy(&word, at, 8);
            std::memcpy(&glyph, bytes, 8);
            word |= glyph; // zero past the glyph's own bytes
            std::memcpy(at, &word, 8);
        }
    }
    return true;
}

// Black dots on white a pixel each, count of them from pixel x0 of a
// picture row a bit a pixel: the row's bytes shifted into place, cut at the
// picture's width.
PLOTANIX_PIXEL_LOOP void orDots(uint8_t* out, const uint8_t* row, int64_t count, int64_t x0,
                                int64_t width) {
    const int64_t dots = std::min<int64_t>(count, width - x0);
    if (dots <= 0) return;
    const auto bytes = static_cast<size_t>((dots + 7) / 8);
    const unsigned shift = static_cast<unsigned>(x0 & 7);
    uint8_t* at = out + (x0 >> 3);
    for (size_t i = 0; i < bytes; ++i) {
        unsigned dot = row[i];
        if (i + 1 == bytes && dots % 8 != 0) dot &= 0xFFu << (8 - dots % 8);
        if (dot == 0) continue;
        at[i] = static_cast<uint8_t>(at[i] | dot >> shift);
        if (const auto spill = static_cast<uint8_t>(dot << (8 - shift)); shift != 0 && spill != 0)
            at[i + 1] = static_cast<uint8_t>(at[i + 1] | spill);
    }
}

// The colour index of dot i of a row of planes.
unsigned indexAt(const std::vector<uint8_t>& row, size_t planeBytes, int32_t planes, int64_t i) {
    const size_t byte = static_cast<size_t>(i >> 3);
    if (byte >= planeBytes) return 0;
    const unsigned bit = 7u - static_cast<unsigned>(i & 7);
    unsigned index = 0;
    for (int32_t p = 0; p < planes; ++p)
        index |= ((row[static_cast<size_t>(p) * planeBytes + byte] >> bit) & 1u) << p;
    return index;
}

// The colour index every dot of byte b of a row of planes has, or -1 when
// they differ.
int uniformIndex(const std::vector<uint8_t>& row, size_t planeBytes, int32_t planes, size_t b) {
    int index = 0;
    for (int32_t p = 0; p < planes; ++p) {
        const uint8_t byte = row[static_cast<size_t>(p) * planeBytes + b];
        if (byte == 0xFF) {
            index |= 1 << p;
        } else if (byte != 0) {
            return -1;
        }
    }
    return index;
}

} // namespace

void PrintedSheet::Extent::add(int64_t l, int64_t t, int64_t r, int64_t b) {
    if (empty) {
        *this = {l, t, r, b, false};
        return;
    }
    left = std::min(left, l), top = std::min(top, t);
    right = std::max(right, r), bottom = std::max(bottom, b);
}

PrintedSheet::PrintedSheet() = default;
PrintedSheet::~PrintedSheet() = default;

RasterBlock& PrintedSheet::startBlock(const RasterBlock& block) {
    ++epoch_; // text over raster may ink it otherwise
    blocks_.push_back(block);
    blocks_.back().rows.clear();
    blocks_.back().widthDots = 0;
    items_.push_back({true, blocks_.size() - 1});
    ++version_;
    return blocks_.back();
}

bool PrintedSheet::addRow(std::vector<uint8_t> row) {
    if (blocks_.empty()) {
        dropped_ = true;
        return false;
    }
    RasterBlock& block = blocks_.back();
    const bool blank = std::all_of(row.begin(), row.end(), [](uint8_t b) { return b == 0; });
    const int64_t dots =
        block.fixedWidth > 0
            ? block.fixedWidth
            : static_cast<int64_t>(row.size() / static_cast<size_t>(block.planes)) * 8;
    const int64_t widthDots = std::max(block.widthDots, dots);
    if (blank && block.palette[0] == white) {
        row.clear(); // a blank row costs nothing
    } else if (blank) {
        // Index 0 inks (black in RGB): the row is as wide as the block so
        // far, whatever comes after it.
        row.assign(static_cast<size_t>(block.planes) * static_cast<size_t>((widthDots + 7) / 8), 0);
    }
    if (bytes_ + row.size() > sheetBytesMost) {
        dropped_ = true;
        return false;
    }
    block.widthDots = widthDots;
    finest_ = std::max({finest_, block.dpiX, block.dpiY});
    colour_ = colour_ || !monochrome(block);
    bytes_ += row.size() + sizeof(row);
    block.rows.push_back(std::move(row));
    ++version_;
    const int64_t r = static_cast<int64_t>(block.rows.size());
    const int64_t dotWidth = sheetUnitsPerInch / block.dpiX;
    const int64_t dotHeight = sheetUnitsPerInch / block.dpiY;
    extent_.add(block.left, block.top + (r - 1) * dotHeight,
                block.left + std::max<int64_t>(block.widthDots, 1) * dotWidth,
                block.top + r * dotHeight);
    return true;
}

void PrintedSheet::addText(int64_t x, int64_t baseline, char byte) {
    if (characters_ >= textMost) {
        dropped_ = true;
        return;
    }
    ++characters_;
    // The same character where it was already printed (since the last
    // raster) adds no ink: a line overprinted at the foot of the page, again
    // and again, is drawn once. Remembered in a small table, by place.
    const uint64_t key = static_cast<uint64_t>(x) << 48 ^
                         (static_cast<uint64_t>(baseline) & 0xFFFFFFFFFF) << 8 ^
                         static_cast<uint8_t>(byte);
    const size_t slot = (key * 0x9E3779B97F4A7C15u) >> 52;
    if (cellEpochs_[slot] == epoch_ && printedCells_[slot] == key) return;
    cellEpochs_[slot] = epoch_;
    printedCells_[slot] = key;
    ++version_;
    TextRun* last = items_.empty() || items_.back().block ? nullptr : &texts_[items_.back().index];
    if (last && last->baseline == baseline &&
        last->x + static_cast<int64_t>(last->text.size()) * textPitch == x) {
        last->text.push_back(byte);
    } else {
        texts_.push_back({x, baseline, std::string(1, byte)});
        items_.push_back({false, texts_.size() - 1});
    }
    // The cell: three quarters of a line above the baseline, a quarter below.
    extent_.add(x, baseline - lineSpacing * 3 / 4, x + textPitch, baseline + lineSpacing / 4);
}

void PrintedSheet::clear() {
    ++epoch_;
    blocks_.clear();
    texts_.clear();
    items_.clear();
    bytes_ = characters_ = 0;
    dropped_ = false;
    extent_ = {};
    finest_ = 0;
    colour_ = false;
    drawn_ = {};
    picture_ = nullptr;
    itemsDrawn_ = rowsDrawn_ = 0;
    glyphs_ = nullptr; // the next picture may be drawn on another thread
}

PrintedSheet::Geometry PrintedSheet::geometry(bool room) const {
    Geometry g;
    // Text alone is drawn at about the resolution a screen shows it, its
    // edges grey; with raster, as sharp as the dots.
    g.dpi = finest_ > 0 ? finest_ : 100;
    g.depth = finest_ > 0 && !colour_ ? 1 : 4;
    const auto pixelsAt = [](int64_t units, int32_t dpi) {
        return (units * dpi + sheetUnitsPerInch - 1) / sheetUnitsPerInch;
    };
    const auto sizeAt = [&](int32_t dpi) {
        const int64_t w = pixelsAt(extent_.right - extent_.left, dpi);
        const int64_t h = pixelsAt(extent_.bottom - extent_.top, dpi);
        return std::pair{w + 2 * marginPixels, h + 2 * marginPixels};
    };
    // An image's sides are 16-bit: pages printed below each other reach it.
    constexpr int64_t side = std::numeric_limits<int16_t>::max();
    const auto rowBytes = [&](int64_t w) { return (w * g.depth + 31) / 32 * 4; };
    const auto fits = [&](int64_t w, int64_t h) {
        return rowBytes(w) * h <= pictureBytesMost && w <= side && h <= side;
    };
    for (auto [w, h] = sizeAt(g.dpi); !fits(w, h) && g.dpi > 1; std::tie(w, h) = sizeAt(g.dpi))
        g.dpi /= 2;
    auto [w, h] = sizeAt(g.dpi);
    if (room) {
        // Half as much again across, in steps of growPixels, so that a
        // page that grows is drawn again a few times in all.
        const auto step = [](int64_t n) {
            return (n + n / 2 + growPixels - 1) / growPixels * growPixels;
        };
        // As wide as a sheet of Letter from the first (a line of text
        // reaches across it), if that fits; and every row the bytes allow:
        // rows not reached cost no memory, and a page that grows row by
        // row or line by line is not drawn again for it.
        const int64_t sheetWide = pixelsAt(sheetUnitsPerInch * 17 / 2, g.dpi) + 2 * marginPixels;
        if (const int64_t wide = std::max(step(w), sheetWide); fits(wide, h)) {
            w = wide;
        } else if (fits(step(w), h)) {
            w = step(w);
        }
        h = std::max(h, std::min(pictureBytesMost / rowBytes(w), side));
    }
    const int64_t margin = marginPixels * sheetUnitsPerInch / g.dpi;
    g.originX = extent_.left - margin;
    g.originY = extent_.top - margin;
    g.width = static_cast<int32_t>(w);
    g.height = static_cast<int32_t>(h);
    return g;
}

int64_t PrintedSheet::px(int64_t units, int64_t origin) const {
    const int64_t scaled = (units - origin) * drawn_.dpi;
    return scaled >= 0 ? scaled / sheetUnitsPerInch
                       : -((-scaled + sheetUnitsPerInch - 1) / sheetUnitsPerInch);
}

void PrintedSheet::draw(const PictureSource& source) {
    if (extent_.empty) return;
    // The picture is the printed area and its margin, drawn into room that
    // is kept while the area fits it; otherwise it is made again and drawn
    // afresh.
    const Geometry tight = geometry(false);
    const bool fits = picture_ && tight.dpi == drawn_.dpi && tight.depth == drawn_.depth &&
                      tight.originX == drawn_.originX && tight.originY == drawn_.originY &&
                      tight.width <= drawn_.width && tight.height <= drawn_.height;
    if (fits && version_ == drawnVersion_) return;
    if (!fits) {
        drawn_ = geometry(true);
        picture_ = source(drawn_.width, drawn_.height, drawn_.depth);
        itemsDrawn_ = rowsDrawn_ = 0;
        if (!picture_) {
            drawn_ = {};
            return;
        }
        picture_->dpi = drawn_.dpi;
    }
    drawnVersion_ = version_;
    // Drawn into all the room: ink that strays past the printed area shows
    // alike whenever the area grows over it.
    picture_->width = static_cast<int16_t>(drawn_.width);
    picture_->height = static_cast<int16_t>(drawn_.height);
    // Only the last item may still grow (rows to a block, characters to a
    // run of text): what was drawn of it is kept.
    for (; itemsDrawn_ < items_.size(); ++itemsDrawn_, rowsDrawn_ = 0) {
        const Item item = items_[itemsDrawn_];
        if (item.block) {
            drawBlock(*picture_, blocks_[item.index], rowsDrawn_);
            rowsDrawn_ = blocks_[item.index].rows.size();
        } else {
            drawText(*picture_, texts_[item.index], rowsDrawn_);
            rowsDrawn_ = texts_[item.index].text.size();
        }
        if (itemsDrawn_ + 1 == items_.size()) break;
    }
    picture_->width = static_cast<int16_t>(tight.width);
    picture_->height = static_cast<int16_t>(tight.height);
}

void PrintedSheet::drawBlock(PageImage& image, const RasterBlock& block, size_t fromRow) {
    const int64_t dotWidth = sheetUnitsPerInch / block.dpiX;
    const int64_t dotHeight = sheetUnitsPerInch / block.dpiY;
    const bool oneToOne = block.dpiX == drawn_.dpi && block.dpiY == drawn_.dpi;
    const int64_t x0 = px(block.left, drawn_.originX);
    const bool dotForPixel = oneToOne && monochrome(block) && image.depth == 1 && x0 >= 0;
    for (size_t r = fromRow; r < block.rows.size(); ++r) {
        const std::vector<uint8_t>& row = block.rows[r];
        const int64_t top = block.top + static_cast<int64_t>(r) * dotHeight;
        // Each row at least a pixel high: on a picture coarser than the
        // dots, rows that share a pixel row all leave their ink in it.
        const int64_t y0 = px(top, drawn_.originY);
        const int64_t y1 = std::max(px(top + dotHeight, drawn_.originY), y0 + 1);
        if (y0 < 0 || y0 >= image.height) continue;
        if (dotForPixel) {
            // The common page: black dots on white, one pixel each.
            if (!row.empty())
                orDots(image.row(static_cast<int>(y0)), row.data(),
                       static_cast<int64_t>(row.size()) * 8, x0, image.width);
            continue;
        }
        const size_t planeBytes = row.size() / static_cast<size_t>(block.planes);
        const auto dots = static_cast<int64_t>(planeBytes) * 8;
        for (int64_t i = 0; i < dots;) {
            const unsigned index = indexAt(row, planeBytes, block.planes, i);
            int64_t end = i + 1;
            while (end < dots) {
                // Eight dots of one colour at once: a byte of 0 or 0xFF in
                // every plane.
                if ((end & 7) == 0 && end + 8 <= dots &&
                    uniformIndex(row, planeBytes, block.planes, end >> 3) == int(index)) {
                    end += 8;
                    continue;
                }
                if (indexAt(row, planeBytes, block.planes, end) != index) break;
                ++end;
            }
            const Colour colour = block.palette[index];
            if (colour != white) {
                const int64_t left = px(block.left + i * dotWidth, drawn_.originX);
                const int64_t right = px(block.left + end * dotWidth, drawn_.originX);
                fillRect(image, left, y0, std::max(right, left + 1), y1, indexOf(colour));
            }
            i = end;
        }
    }
}

struct PrintedSheet::Glyphs {
    const PageFont* font = nullptr;
    std::unique_ptr<RotatedFont> upright;
    std::array<std::optional<Glyph>, 256> glyphs;
};

const PrintedSheet::Glyph* PrintedSheet::glyph(uint8_t byte) {
    if (glyphsDpi_ != drawn_.dpi || glyphs_ == nullptr) {
        thread_local std::map<int32_t, Glyphs> kept;
        glyphsDpi_ = drawn_.dpi;
        auto [at, made] = kept.try_emplace(glyphsDpi_);
        if (made) {
            at->second.font = fontFor(glyphsDpi_);
            if (at->second.font) at->second.upright = at->second.font->rotated(0, 0);
        }
        glyphs_ = &at->second;
    }
    if (!glyphs_->upright) return nullptr;
    std::optional<Glyph>& glyph = glyphs_->glyphs[byte];
    if (glyph) return &*glyph;
    // Rendered with room all round for the ink, then cut to the ink.
    const int32_t pad = static_cast<int32_t>(glyphs_->font->metrics().inkRadius) + 1;
    CoverageMask whole{2 * pad, 2 * pad, std::vector<uint8_t>(size_t(4) * pad * pad, 0)};
    glyphs_->upright->drawGlyph(byte, pad, pad, whole);
    int32_t left = whole.width, top = whole.height, right = 0, bottom = 0;
    for (int32_t y = 0; y < whole.height; ++y) {
        for (int32_t x = 0; x < whole.width; ++x) {
            if (whole.coverage[static_cast<size_t>(y) * whole.width + x] == 0) continue;
            left = std::min(left, x), right = std::max(right, x + 1);
            top = std::min(top, y), bottom = std::max(bottom, y + 1);
        }
    }
    glyph = Glyph{};
    if (left >= right) return &*glyph; // a blank
    glyph->left = left - pad;
    glyph->top = top - pad;
    glyph->mask.width = right - left;
    glyph->mask.height = bottom - top;
    for (int32_t y = top; y < bottom; ++y) {
        const auto from = whole.coverage.begin() + static_cast<std::ptrdiff_t>(y) * whole.width;
        glyph->mask.coverage.insert(glyph->mask.coverage.end(), from + left, from + right);
    }
    const CoverageMask& mask = glyph->mask;
    const auto bytes = static_cast<size_t>((mask.width + 7) / 8);
    const auto halves = static_cast<size_t>(mask.width / 2 + 1);
    glyph->bits.assign(bytes * static_cast<size_t>(mask.height), 0);
    for (std::vector<uint8_t>& pairs : glyph->pairs)
        pairs.assign(halves * static_cast<size_t>(mask.height), 0);
    for (int32_t y = 0; y < mask.height; ++y) {
        for (int32_t x = 0; x < mask.width; ++x) {
            const unsigned cover = mask.coverage[static_cast<size_t>(y) * mask.width + x];
            const unsigned level = (cover * 9 + 127) / 255;
            glyph->levels.push_back(static_cast<uint8_t>(level));
            if (cover >= 128)
                glyph->bits[y * bytes + x / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
            for (unsigned phase = 0; phase < 2; ++phase) {
                const unsigned at = phase + static_cast<unsigned>(x);
                glyph->pairs[phase][y * halves + at / 2] +=
                    static_cast<uint8_t>((at & 1) ? level : level * 10);
            }
        }
    }
    const uint8_t* inked = inkedBytes().next.data();
    for (unsigned phase = 0; phase < 2; ++phase) {
        const auto span = static_cast<size_t>((phase + mask.width + 1) / 2);
        const size_t padded = (span + 7) / 8 * 8;
        std::vector<uint8_t>& white = glyph->onWhite[phase];
        white.assign(padded * static_cast<size_t>(mask.height), 0);
        for (size_t y = 0; y < static_cast<size_t>(mask.height); ++y)
            for (size_t k = 0; k < span; ++k)
                white[y * padded + k] = inked[glyph->pairs[phase][y * halves + k]];
        glyph->spanned[phase].assign(padded, 0);
        std::fill_n(glyph->spanned[phase].begin(), span, uint8_t{0xFF});
    }
    return &*glyph;
}

void PrintedSheet::drawText(PageImage& image, const TextRun& run, size_t from) {
    const int64_t baseline = px(run.baseline, drawn_.originY);
    const int depth = image.depth;
    // Picture rows are stored bottom first: the next row down is a stride lower.
    const auto next = -static_cast<ptrdiff_t>(image.stride);
    for (size_t i = from; i < run.text.size(); ++i) {
        const Glyph* g = glyph(static_cast<uint8_t>(run.text[i]));
        if (!g) return;
        // Black ink over what is there: on white (or grey) a grey by its
        // coverage where the picture has greys, else black where the glyph
        // covers half the pixel or more.
        const CoverageMask& mask = g->mask;
        const int64_t left =
            px(run.x + static_cast<int64_t>(i) * textPitch, drawn_.originX) + g->left;
        const int64_t top = baseline + g->top;
        const int64_t x0 = std::max<int64_t>(0, -left);
        const int64_t x1 = std::min<int64_t>(mask.width, image.width - left);
        const int64_t y0 = std::max<int64_t>(0, -top);
        const int64_t y1 = std::min<int64_t>(mask.height, image.height - top);
        if (y0 >= y1 || x0 >= x1) continue;
        // Both end rows made, so is every row between: the glyph's rows are
        // then reached by stepping, not looked up one by one.
        image.row(static_cast<int>(top + y1 - 1));
        uint8_t* const firstRow = image.row(static_cast<int>(top + y0));
        const auto rowAt = [&](int64_t y) { return firstRow + (y - y0) * next; };
        if (depth == 1) {
            const auto bytes = static_cast<size_t>((mask.width + 7) / 8);
            for (int64_t y = y0; y < y1; ++y) {
                uint8_t* row = rowAt(y);
                if (x0 == 0) orDots(row, g->bits.data() + y * bytes, x1, left, image.width);
                for (int64_t x = x0; x0 > 0 && x < x1; ++x) // cut at the left edge
                    if (g->bits[y * bytes + x / 8] & (0x80 >> (x % 8)))
                        putIndex(row, left + x, 1, 1);
            }
            continue;
        }
        // Two pixels a byte; pixels cut at an edge one by one.
        const auto phase = static_cast<size_t>(left & 1);
        if (x0 == 0 && x1 == mask.width) {
            // On white, whole words at a time where the picture's rows have
            // room for them; otherwise by the table, over what is there,
            // but for its rows that still lie on white.
            const auto offset = static_cast<size_t>(left >> 1);
            const size_t padded = g->spanned[phase].size();
            const bool words = padded > 0 && static_cast<size_t>(image.stride) - offset >= padded;
            const uint8_t* spanned = g->spanned[phase].data();
            if (words &&
                putOnWhite(firstRow + offset, next, y1 - y0,
                           g->onWhite[phase].data() + y0 * int64_t(padded), spanned, padded))
                continue;
            const auto span = static_cast<size_t>((phase + mask.width + 1) / 2);
            const auto halves = static_cast<size_t>(mask.width / 2 + 1);
            for (int64_t y = y0; y < y1; ++y) {
                uint8_t* under = rowAt(y) + offset;
                if (words &&
                    putOnWhite(under, next, 1, g->onWhite[phase].data() + y * int64_t(padded),
                               spanned, padded))
                    continue;
                inkOver(under, g->pairs[phase].data() + y * halves, span);
            }
            continue;
        }
        for (int64_t y = y0; y < y1; ++y) {
            uint8_t* row = rowAt(y);
            const uint8_t* levels = g->levels.data() + y * mask.width;
            for (int64_t x = x0; x < x1; ++x) {
                const int64_t at = left + x;
                uint8_t& byte = row[at >> 1];
                const unsigned shift = (at & 1) ? 0 : 4;
                const unsigned ink = inkedIndex((byte >> shift) & 15u, levels[x]);
                byte = static_cast<uint8_t>((byte & ~(15u << shift)) | ink << shift);
            }
        }
    }
}

} // namespace plotanix
