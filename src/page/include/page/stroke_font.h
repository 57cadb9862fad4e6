#pragma once
// The pen plotter's stroke font: the Hershey Roman simplex face, read from
// the hershey-fonts-data package's .jhf file, for the printing ASCII codes
// 32-127. Glyph points are normalised to the character box: u = 0..1 across
// the character width, v = 0 at the baseline to 1 at the top of a capital
// letter. Wide letters (W, m) and descenders reach a little beyond the box.

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace plotanix {

struct GlyphPoint {
    float u, v;
};

// One pen-down run of a glyph: points[first .. first + count).
struct GlyphStroke {
    uint32_t first, count;
};

struct GlyphBounds {
    float uMin = 0, uMax = 0, vMin = 0, vMax = 0;
};

struct GlyphView {
    std::span<const GlyphStroke> strokes;
    const GlyphPoint* points = nullptr; // indexed by GlyphStroke::first
    GlyphBounds bounds;
};

class StrokeFont {
  public:
    static constexpr unsigned firstCode = 32, lastCode = 127;

    // Codes outside 32..127 have no strokes; so has the space.
    GlyphView glyph(unsigned code) const;
    // The most points any one stroke has: a buffer this long holds any stroke.
    size_t longestStroke() const { return face().longestStroke_; }
    // The box every glyph fits in.
    const GlyphBounds& bounds() const { return face().bounds_; }

    friend std::unique_ptr<StrokeFont> loadStrokeFont(const std::string& path, std::string& error);
    friend const StrokeFont* standardStrokeFont(std::string* error);

  private:
    // The face that holds the glyphs: this one, or for a face read at its
    // first use, the one read then.
    const StrokeFont& face() const { return read_ ? read_() : *this; }
    const StrokeFont& (*read_)() = nullptr;

    struct Glyph {
        uint32_t firstStroke = 0, strokeCount = 0;
        GlyphBounds bounds;
    };
    std::vector<GlyphPoint> points_;
    std::vector<GlyphStroke> strokes_;
    std::array<Glyph, lastCode - firstCode + 1> glyphs_{};
    size_t longestStroke_ = 0;
    GlyphBounds bounds_;
};

// Reads a Hershey .jhf file holding the glyphs for codes 32..127 in order.
// nullptr, with a one-line reason in error, when the file is missing or
// malformed.
std::unique_ptr<StrokeFont> loadStrokeFont(const std::string& path, std::string& error);

// The Roman simplex face from hershey-fonts-data, kept for the life of the
// program. With error given, it is read now: nullptr when it cannot be, and
// error says why, on every call. Without, the file is read at the face's
// first use (a file with no label never reads it), and a face that cannot
// be read has no glyphs.
const StrokeFont* standardStrokeFont(std::string* error = nullptr);

inline constexpr const char* standardStrokeFontPath = "/usr/share/hershey-fonts/rowmans.jhf";

} // namespace plotanix
