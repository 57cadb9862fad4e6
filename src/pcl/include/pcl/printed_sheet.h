#pragma once
// What a printer put on the current sheet, kept apart from the picture:
// raster blocks (rows of dots, one bit a dot in each colour plane) and
// runs of text, placed in 1/7200 inch, which every resolution the printers
// here use divides. The picture is drawn from it: the printed area with a
// small margin, at the finest resolution the sheet's raster uses, so that
// a page of one resolution has each dot one pixel. The picture keeps
// palette indices (printPalette), a bit a pixel when the raster is black
// and white, four when it is in colour or the page is text alone (its
// edges grey). Bounded: a sheet keeps at most sheetBytesMost of rows and
// textMost characters, its picture at most pictureBytesMost.

#include "page/label_font.h"
#include "page/page_image.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace plotanix {

inline constexpr int64_t sheetUnitsPerInch = 7200;

struct RasterBlock {
    int64_t left = 0, top = 0; // sheet units
    int32_t dpiX = 300, dpiY = 300;
    int32_t planes = 1;
    // Colour by index; the first plane holds the index's lowest bit.
    std::array<Colour, 8> palette{0xFFFFFF, 0x000000};
    // Each row: its planes one after the other, each size() / planes bytes,
    // the leftmost dot in a byte's top bit; an empty row is blank white.
    std::vector<std::vector<uint8_t>> rows;
    int64_t widthDots = 0;  // the longest row's
    int64_t fixedWidth = 0; // the raster width given, in dots: rows are that wide
};

struct TextRun {
    int64_t x = 0, baseline = 0; // sheet units
    std::string text;
};

// The fixed-pitch text of a printer at its defaults: 10 characters an
// inch, 6 lines an inch.
inline constexpr int64_t textPitch = sheetUnitsPerInch / 10;
inline constexpr int64_t lineSpacing = sheetUnitsPerInch / 6;

class PrintedSheet {
  public:
    // Past these the sheet takes no more: rows and text beyond are dropped.
    static constexpr size_t sheetBytesMost = size_t(24) << 20;
    static constexpr size_t textMost = 1 << 18;
    // The picture's bytes at most: a Legal sheet at 600 dpi in black and
    // white, or at 300 dpi in colour. A larger one is drawn at half its
    // resolution, or less, each dot at least a pixel.
    static constexpr int64_t pictureBytesMost = int64_t(6) << 20;
    static constexpr int32_t marginPixels = 8;

    PrintedSheet();
    ~PrintedSheet();
    PrintedSheet(const PrintedSheet&) = delete;
    PrintedSheet& operator=(const PrintedSheet&) = delete;

    bool empty() const { return items_.empty(); }
    // The lowest edge of what is printed, in sheet units (0 when empty).
    int64_t bottom() const { return extent_.empty ? 0 : extent_.bottom; }
    // A new block; rows are added to the last one.
    RasterBlock& startBlock(const RasterBlock& block);
    // The row in the last block; false when the sheet is full (dropped).
    bool addRow(std::vector<uint8_t> row);
    // Printable bytes at this place, after the text before when it lines up.
    void addText(int64_t x, int64_t baseline, char byte);
    // Whether anything was dropped since the sheet was cleared.
    bool dropped() const { return dropped_; }
    void clear();

    // The picture brought up to date with the sheet: the printed area and
    // its margin, drawn into room as wide as a sheet of Letter or half as
    // wide again (in steps of growPixels), with every row the picture's
    // bytes allow, so that a page arriving row by row, or looked at between
    // runs, is seldom drawn again, not at every row or look; only what is
    // new is drawn while the area fits the room, and the room not reached
    // costs no memory. Asks for a picture of another size (blank)
    // when it needs more room; nothing on an empty sheet.
    using PictureSource = std::function<PageImage*(int32_t width, int32_t height, int32_t depth)>;
    static constexpr int32_t growPixels = 256;
    void draw(const PictureSource& source);
    // The geometry the picture has: its resolution and where its first
    // pixel lies on the sheet.
    int32_t pictureDpi() const { return drawn_.dpi; }

  private:
    struct Geometry {
        int32_t dpi = 0, depth = 1;
        int64_t originX = 0, originY = 0;
        int32_t width = 0, height = 0;
        bool operator==(const Geometry&) const = default;
    };
    struct Item {
        bool block; // else text
        size_t index;
    };
    // The printed area and its margin, or with room to grow.
    Geometry geometry(bool room) const;
    void drawBlock(PageImage& image, const RasterBlock& block, size_t fromRow);
    void drawText(PageImage& image, const TextRun& run, size_t from);
    int64_t px(int64_t units, int64_t origin) const;

    struct Extent {
        int64_t left = 0, top = 0, right = 0, bottom = 0;
        bool empty = true;
        void add(int64_t l, int64_t t, int64_t r, int64_t b);
    };
    Extent extent_;
    // The finest resolution of the blocks with rows, and whether any of
    // them is in colour.
    int32_t finest_ = 0;
    bool colour_ = false;
    std::vector<RasterBlock> blocks_;
    std::vector<TextRun> texts_;
    std::vector<Item> items_;
    size_t bytes_ = 0, characters_ = 0;
    // Characters lately printed, each by its place and byte, to pass over
    // one printed again where it stands; those of another epoch (before
    // the last raster) are gone.
    std::array<uint64_t, 4096> printedCells_{};
    std::array<uint32_t, 4096> cellEpochs_{};
    uint32_t epoch_ = 1;
    uint64_t version_ = 0, drawnVersion_ = 0; // what was added, and drawn
    bool dropped_ = false;
    // What the picture holds: the geometry, the items drawn whole and what
    // was drawn of the next (rows of a block, characters of a run of text).
    Geometry drawn_;
    PageImage* picture_ = nullptr;
    size_t itemsDrawn_ = 0, rowsDrawn_ = 0;
    // The text's font at the picture's resolution, each glyph rendered once
    // for each thread.
    struct Glyph {
        CoverageMask mask;         // its ink alone
        int32_t left = 0, top = 0; // from the glyph's origin
        // Its pixels as the picture takes them: a bit where it covers half
        // or more (rows of (width + 7) / 8 bytes), and a level of ink from
        // 0 (none) to 9 (black) each; and those levels two by two as a
        // picture's byte of four-bit indices holds them, starting in the
        // byte's high half or its low (rows of width / 2 + 1 bytes, each
        // the high pixel's level times 10 and the low one's).
        std::vector<uint8_t> bits, levels;
        std::array<std::vector<uint8_t>, 2> pairs;
        // For each phase, the bytes the pairs give on white paper, each row
        // padded to whole words of eight, and a word's worth of 0xFF for
        // each byte the glyph spans (zero past it): text on a fresh page
        // goes down eight bytes at a time.
        std::array<std::vector<uint8_t>, 2> onWhite, spanned;
    };
    struct Glyphs;
    const Glyph* glyph(uint8_t byte);
    Glyphs* glyphs_ = nullptr; // at the picture's resolution
    int32_t glyphsDpi_ = 0;
};

} // namespace plotanix
