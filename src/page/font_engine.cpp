#include "page/font_engine.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace plotanix {

namespace {

FT_Fixed fixed16(double value) {
    return static_cast<FT_Fixed>(std::lround(value * 65536.0));
}

// One row of a rendered glyph as 0..255 coverage, whatever the pixel mode.
uint8_t bitmapCoverage(const FT_Bitmap& bitmap, const unsigned char* row, unsigned column) {
    if (bitmap.pixel_mode == FT_PIXEL_MODE_MONO) {
        return (row[column >> 3] & (0x80u >> (column & 7u))) ? 255 : 0;
    }
    return row[column];
}

const unsigned char* bitmapRow(const FT_Bitmap& bitmap, unsigned row) {
    // A negative pitch means the rows are stored bottom row first.
    if (bitmap.pitch >= 0) return bitmap.buffer + static_cast<size_t>(row) * bitmap.pitch;
    return bitmap.buffer + static_cast<size_t>(bitmap.rows - 1 - row) * -bitmap.pitch;
}

} // namespace

std::unique_ptr<RotatedFont> FreeTypeFont::rotated(float angle, int32_t tenths) const {
    FT_Face face = engine_->openFace(metrics_.emHeight);
    if (!face) return nullptr;
    return std::make_unique<FreeTypeRotated>(engine_, face, angle, tenths);
}

FreeTypeRotated::FreeTypeRotated(std::shared_ptr<FontEngine> engine, FT_Face face, float angle,
                                 int32_t tenths)
    : engine_(std::move(engine)), face_(face) {
    const double radians = tenths / 10.0 * std::numbers::pi / 180.0;
    angle_ = angle;
    cosine_ = std::cos(radians);
    sine_ = std::sin(radians);
    // Counter-clockwise in FreeType's upward y, which is counter-clockwise on the page too.
    matrix_.xx = fixed16(cosine_);
    matrix_.xy = fixed16(-sine_);
    matrix_.yx = fixed16(sine_);
    matrix_.yy = fixed16(cosine_);
}

FreeTypeRotated::~FreeTypeRotated() {
    if (face_) FT_Done_Face(face_);
}

const FreeTypeRotated::Glyph* FreeTypeRotated::glyph(uint8_t byte, FT_Vector delta) const {
    const uint32_t key = byte | static_cast<uint32_t>(delta.x & 0x7F) << 8 |
                         static_cast<uint32_t>(delta.y & 0x7F) << 16;
    if (const auto found = glyphs_.find(key); found != glyphs_.end()) return &found->second;
    FT_Set_Transform(face_, const_cast<FT_Matrix*>(&matrix_), &delta);
    if (FT_Load_Char(face_, byte, FT_LOAD_NO_BITMAP) != 0) return nullptr;
    FT_GlyphSlot slot = face_->glyph;
    if (FT_Render_Glyph(slot, FT_RENDER_MODE_NORMAL) != 0) return nullptr;
    const FT_Bitmap& bitmap = slot->bitmap;
    if (bitmap.pixel_mode != FT_PIXEL_MODE_GRAY && bitmap.pixel_mode != FT_PIXEL_MODE_MONO)
        return nullptr;
    if (glyphs_.size() >= glyphsKept) glyphs_.clear();
    Glyph& g = glyphs_[key];
    g = {slot->bitmap_left,
         slot->bitmap_top,
         static_cast<int32_t>(bitmap.width),
         static_cast<int32_t>(bitmap.rows),
         {}};
    g.coverage.resize(static_cast<size_t>(g.width) * static_cast<size_t>(g.rows));
    for (unsigned r = 0; r < bitmap.rows; ++r) {
        const unsigned char* row = bitmapRow(bitmap, r);
        for (unsigned c = 0; c < bitmap.width; ++c)
            g.coverage[r * bitmap.width + c] = bitmapCoverage(bitmap, row, c);
    }
    return &g;
}

void FreeTypeRotated::drawGlyph(uint8_t byte, double ox, double oy, CoverageMask& mask) const {
    // The whole pixel goes to the placement, the fraction to FreeType so that
    // glyphs along a slanted baseline keep their true spacing.
    const double wholeX = std::floor(ox);
    const double wholeY = std::floor(oy);
    const FT_Vector delta{static_cast<FT_Pos>(std::lround((ox - wholeX) * 64.0)),
                          static_cast<FT_Pos>(-std::lround((oy - wholeY) * 64.0))};
    const Glyph* g = glyph(byte, delta);
    if (!g) return;
    const int64_t left = static_cast<int64_t>(wholeX) + g->left;
    const int64_t top = static_cast<int64_t>(wholeY) - g->top;
    const int64_t first = std::max<int64_t>(0, -left);
    const int64_t last = std::min<int64_t>(g->width, mask.width - left);
    for (int64_t r = 0; r < g->rows; ++r) {
        const int64_t y = top + r;
        if (y < 0 || y >= mask.height) continue;
        const uint8_t* in = g->coverage.data() + r * g->width;
        uint8_t* out = mask.coverage.data() + static_cast<size_t>(y) * mask.width + left;
        for (int64_t c = first; c < last; ++c)
            out[c] = std::max(out[c], in[c]);
    }
}

} // namespace plotanix
