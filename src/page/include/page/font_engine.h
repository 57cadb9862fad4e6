#pragma once
// Inside the page module only: the FreeType side of the label font. The
// PageFont keeps an upright face for measuring; each text angle gets a
// RotatedFont, a face of its own with the rotation set, that renders glyph
// coverage into a work mask.

#include "page/label_font.h"

#include <ft2build.h>
#include FT_FREETYPE_H

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace plotanix {

// The FreeType library and the face file's bytes, shared by the upright face
// and every rotated copy so that none outlives what it reads.
struct FontEngine {
    FT_Library library = nullptr;
    std::vector<unsigned char> fileBytes;
    long faceIndex = 0;

    FontEngine() = default;
    FontEngine(const FontEngine&) = delete;
    FontEngine& operator=(const FontEngine&) = delete;
    ~FontEngine();

    // A new face from the file bytes at the em height, or nullptr.
    FT_Face openFace(int emHeight) const;
};

struct PageFont::Impl {
    std::shared_ptr<FontEngine> engine;
    FT_Face face = nullptr; // upright, for measuring
    std::string filePath;
    int emHeight = 0;
    int ascent = 0;                      // whole pixels above the baseline
    int descent = 0;                     // whole pixels below it
    std::array<int32_t, 256> advances{}; // whole pixels, per byte value
    double inkRadius = 0;                // no glyph's ink lies farther than this from its origin

    Impl() = default;
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;
    ~Impl();
};

// Coverage, one byte per pixel, 0 = none.
struct CoverageMask {
    int32_t width = 0;
    int32_t height = 0;
    std::vector<uint8_t> coverage;
};

class RotatedFont {
  public:
    // A copy of the font turned counter-clockwise by tenths / 10 degrees.
    static std::unique_ptr<RotatedFont> make(const PageFont& font, float angle, int32_t tenths);
    ~RotatedFont();
    RotatedFont(const RotatedFont&) = delete;
    RotatedFont& operator=(const RotatedFont&) = delete;

    float angle() const { return angle_; }
    double cosine() const { return cosine_; }
    double sine() const { return sine_; }

    // Renders the glyph for byte with its origin at (ox, oy) of the mask (y
    // downward); the brighter coverage wins where glyphs overlap.
    void drawGlyph(uint8_t byte, double ox, double oy, CoverageMask& mask) const;

  private:
    // A glyph as FreeType rendered it at one sub-pixel offset: labels repeat
    // their characters at few offsets (advances are whole pixels), and
    // rendering costs far more than copying.
    struct Glyph {
        int32_t left = 0, top = 0; // the bitmap's corner from the whole-pixel origin
        int32_t width = 0, rows = 0;
        std::vector<uint8_t> coverage;
    };
    static constexpr size_t glyphsKept = 4096;
    const Glyph* glyph(uint8_t byte, FT_Vector delta) const;

    RotatedFont() = default;
    mutable std::unordered_map<uint32_t, Glyph> glyphs_;
    std::shared_ptr<FontEngine> engine_;
    FT_Face face_ = nullptr;
    FT_Matrix matrix_{};
    float angle_ = 0;
    double cosine_ = 1;
    double sine_ = 0;
};

} // namespace plotanix
