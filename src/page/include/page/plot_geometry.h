#pragma once
// Points and boxes in plotter units, shared by the stroke text and line
// pattern layouts. Plotter y grows upwards.

#include <algorithm>
#include <cmath>
#include <span>
#include <utility>

namespace plotanix {

struct PlotPoint {
    double x = 0, y = 0;
    bool operator==(const PlotPoint&) const = default;
};

inline PlotPoint operator+(PlotPoint a, PlotPoint b) {
    return {a.x + b.x, a.y + b.y};
}
inline PlotPoint operator-(PlotPoint a, PlotPoint b) {
    return {a.x - b.x, a.y - b.y};
}
inline PlotPoint operator*(PlotPoint a, double k) {
    return {a.x * k, a.y * k};
}

// An axis-aligned box; the default one reaches twice the 16-bit plotter
// range, beyond anything a plotter can draw.
struct PlotBox {
    double left = -65536, bottom = -65536, right = 65536, top = 65536;

    bool contains(PlotPoint p) const {
        return p.x >= left && p.x <= right && p.y >= bottom && p.y <= top;
    }
    // False only when the points' bounding box lies wholly outside: the
    // cheap test that spares the rasteriser strokes it would clip away.
    bool mayTouch(std::span<const PlotPoint> points) const {
        if (points.empty()) return false;
        double x0 = points[0].x, x1 = x0, y0 = points[0].y, y1 = y0;
        for (const PlotPoint& p : points.subspan(1)) {
            x0 = std::min(x0, p.x), x1 = std::max(x1, p.x);
            y0 = std::min(y0, p.y), y1 = std::max(y1, p.y);
        }
        return x1 >= left && x0 <= right && y1 >= bottom && y0 <= top;
    }
};

// The part t0..t1 (of 0..1) of the segment from + t * step that lies in the
// box; false when none does.
inline bool clipSpan(const PlotBox& box, PlotPoint from, PlotPoint step, double& t0, double& t1) {
    t0 = 0, t1 = 1;
    if (!std::isfinite(from.x + from.y + step.x + step.y)) return false;
    const auto axis = [&](double start, double delta, double lo, double hi) {
        if (delta == 0) return start >= lo && start <= hi;
        double a = (lo - start) / delta, b = (hi - start) / delta;
        if (a > b) std::swap(a, b);
        t0 = std::max(t0, a), t1 = std::min(t1, b);
        return t0 <= t1;
    };
    return axis(from.x, step.x, box.left, box.right) && axis(from.y, step.y, box.bottom, box.top);
}

} // namespace plotanix
