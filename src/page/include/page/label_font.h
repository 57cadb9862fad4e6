#pragma once
// The label font: "Courier New" at 12 points, resolved through fontconfig
// (Liberation Mono stands in for it on Debian) and rendered with FreeType.
// The page is measured in pixels, so the em height is taken at 96 dots per
// inch whatever the monitor: 16 pixels for 12 points. Drawing sees only
// these faces: FreeType and fontconfig stay behind them, so that a program
// can load them only when a label needs the font.

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace plotanix {

// Coverage, one byte per pixel, 0 = none.
struct CoverageMask {
    int32_t width = 0;
    int32_t height = 0;
    std::vector<uint8_t> coverage;
};

// A copy of the font turned by an angle, rendering glyph coverage into a
// work mask.
class RotatedFont {
  public:
    virtual ~RotatedFont() = default;
    RotatedFont(const RotatedFont&) = delete;
    RotatedFont& operator=(const RotatedFont&) = delete;

    float angle() const { return angle_; }
    double cosine() const { return cosine_; }
    double sine() const { return sine_; }

    // Renders the glyph for byte with its origin at (ox, oy) of the mask (y
    // downward); the brighter coverage wins where glyphs overlap.
    virtual void drawGlyph(uint8_t byte, double ox, double oy, CoverageMask& mask) const = 0;

  protected:
    RotatedFont() = default;
    float angle_ = 0;
    double cosine_ = 1;
    double sine_ = 0;
};

class PageFont {
  public:
    virtual ~PageFont() = default;
    PageFont(const PageFont&) = delete;
    PageFont& operator=(const PageFont&) = delete;

    struct Metrics {
        std::string filePath;                // the face file fontconfig chose
        long faceIndex = 0;                  // the face within it
        int emHeight = 0;                    // pixels
        int ascent = 0;                      // whole pixels above the baseline
        int descent = 0;                     // whole pixels below it
        std::array<int32_t, 256> advances{}; // whole pixels, per byte value
        double inkRadius = 0; // no glyph's ink lies farther than this from its origin
    };
    const Metrics& metrics() const { return metrics_; }
    int emHeight() const { return metrics_.emHeight; }
    const std::string& filePath() const { return metrics_.filePath; }

    // A copy turned counter-clockwise by tenths / 10 degrees (angle: the
    // angle it is kept for), or nullptr.
    virtual std::unique_ptr<RotatedFont> rotated(float angle, int32_t tenths) const = 0;

  protected:
    PageFont() = default;
    Metrics metrics_;
};

// The face, or a monospaced substitute; nullptr when no usable face exists
// (labels are then not drawn).
std::unique_ptr<PageFont> loadFont(const std::string& face, int points);

} // namespace plotanix
