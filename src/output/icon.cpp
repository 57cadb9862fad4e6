#include "output/icon.h"

#include <algorithm>
#include <cmath>

namespace plotanix {

namespace {

constexpr uint32_t paperColour = 0xFFFFFFFF;
constexpr uint32_t edgeColour = 0xFF505050;
constexpr uint32_t curveColour = 0xFF1040D0;
constexpr uint32_t axisColour = 0xFFC02020;
constexpr uint32_t penColour = 0xFF202020;
constexpr uint32_t capColour = 0xFF20A040;

// Drawing in a 32 x 32 design grid, scaled to the icon's size.
class IconCanvas {
  public:
    explicit IconCanvas(int size)
        : size_(size), scale_(size / 32.0), pixels_(static_cast<size_t>(size) * size, 0) {}

    void fillRect(double x0, double y0, double x1, double y1, uint32_t colour) {
        for (int y = toPixel(y0); y < toPixel(y1); ++y) {
            for (int x = toPixel(x0); x < toPixel(x1); ++x)
                put(x, y, colour);
        }
    }

    // A line of the given thickness (in design units), drawn as round dabs.
    void line(double x0, double y0, double x1, double y1, double thickness, uint32_t colour) {
        const double length = std::hypot(x1 - x0, y1 - y0);
        const int steps = std::max(1, static_cast<int>(length * scale_ * 2));
        const double radius = std::max(0.45, thickness * scale_ / 2);
        for (int i = 0; i <= steps; ++i) {
            const double t = static_cast<double>(i) / steps;
            dab((x0 + t * (x1 - x0)) * scale_, (y0 + t * (y1 - y0)) * scale_, radius, colour);
        }
    }

    std::vector<uint32_t> take() { return std::move(pixels_); }

  private:
    int toPixel(double v) const { return static_cast<int>(std::lround(v * scale_)); }

    void put(int x, int y, uint32_t colour) {
        if (x >= 0 && y >= 0 && x < size_ && y < size_) {
            pixels_[static_cast<size_t>(y) * size_ + x] = colour;
        }
    }

    void dab(double cx, double cy, double radius, uint32_t colour) {
        for (int y = static_cast<int>(cy - radius); y <= static_cast<int>(cy + radius); ++y) {
            for (int x = static_cast<int>(cx - radius); x <= static_cast<int>(cx + radius); ++x) {
                if (std::hypot(x + 0.5 - cx, y + 0.5 - cy) <= radius) put(x, y, colour);
            }
        }
    }

    int size_;
    double scale_;
    std::vector<uint32_t> pixels_;
};

} // namespace

std::vector<uint32_t> drawPlotterIcon(int size) {
    if (size <= 0) return {};
    IconCanvas canvas(size);
    // Even edges and odd line positions land on whole pixels at 16 and 32.
    canvas.fillRect(2, 6, 30, 30, edgeColour);
    canvas.fillRect(4, 8, 28, 28, paperColour);
    canvas.line(7, 25, 25, 25, 1, axisColour);
    canvas.line(7, 25, 7, 11, 1, axisColour);
    double lastX = 8, lastY = 20;
    for (int i = 1; i <= 12; ++i) {
        const double x = 8 + i * 1.5;
        const double y = 18 - 7 * std::sin(i * 0.55);
        canvas.line(lastX, lastY, x, y, 1.5, curveColour);
        lastX = x;
        lastY = y;
    }
    canvas.line(31, 1, 25, 11, 3.5, penColour);
    canvas.line(31, 1, 29.5, 3.5, 4, capColour);
    canvas.line(25, 11, lastX, lastY, 1, penColour);
    return canvas.take();
}

} // namespace plotanix
