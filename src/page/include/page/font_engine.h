#pragma once
// Inside the font library only: the FreeType side of the label font. The
// FreeTypeFont keeps an upright face for measuring; each text angle gets a
// FreeTypeRotated, a face of its own with the rotation set.

#include "page/label_font.h"

#include <ft2build.h>
#include FT_FREETYPE_H

#include <cstdint>
#include <memory>
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

class FreeTypeFont final : public PageFont {
  public:
    // Takes the face over.
    FreeTypeFont(std::shared_ptr<FontEngine> engine, FT_Face face, Metrics metrics)
        : engine_(std::move(engine)), face_(face) {
        metrics_ = std::move(metrics);
    }
    ~FreeTypeFont() override;

    std::unique_ptr<RotatedFont> rotated(float angle, int32_t tenths) const override;

  private:
    std::shared_ptr<FontEngine> engine_;
    FT_Face face_ = nullptr; // upright, for measuring
};

class FreeTypeRotated final : public RotatedFont {
  public:
    FreeTypeRotated(std::shared_ptr<FontEngine> engine, FT_Face face, float angle, int32_t tenths);
    ~FreeTypeRotated() override;

    void drawGlyph(uint8_t byte, double ox, double oy, CoverageMask& mask) const override;

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

    mutable std::unordered_map<uint32_t, Glyph> glyphs_;
    std::shared_ptr<FontEngine> engine_;
    FT_Face face_ = nullptr;
    FT_Matrix matrix_{};
};

} // namespace plotanix
