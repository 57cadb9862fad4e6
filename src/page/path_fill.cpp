#include "page/path_fill.h"

#include <algorithm>
#include <cmath>

namespace plotanix {

namespace {

// One side of the clip rectangle: keeps what lies on the inner side of the
// line axis == edge (axis 0 is x, 1 is y).
struct Side {
    int axis;
    double edge;
    bool keepAbove; // inside where the coordinate is >= edge
    bool inside(PathPoint p) const {
        const double v = axis == 0 ? p.x : p.y;
        return keepAbove ? v >= edge : v <= edge;
    }
    PathPoint cross(PathPoint a, PathPoint b) const {
        if (axis == 0) return {edge, a.y + (b.y - a.y) * ((edge - a.x) / (b.x - a.x))};
        return {a.x + (b.x - a.x) * ((edge - a.y) / (b.y - a.y)), edge};
    }
};

// Sutherland-Hodgman against one side; in and out are distinct.
void clipRing(const std::vector<PathPoint>& in, const Side& side, std::vector<PathPoint>& out) {
    out.clear();
    for (size_t i = 0; i < in.size(); ++i) {
        const PathPoint a = in[i];
        const PathPoint b = in[(i + 1) % in.size()];
        const bool aIn = side.inside(a), bIn = side.inside(b);
        if (aIn) out.push_back(a);
        if (aIn != bIn) out.push_back(side.cross(a, b));
    }
}

bool finite(PathPoint p) {
    return std::isfinite(p.x) && std::isfinite(p.y);
}

} // namespace

void clipPath(PathView in, PixelRect clip, Path& out, FillWork& work) {
    out.clear();
    out.rule = in.rule;
    if (clip.empty()) return;
    const Side sides[] = {{0, double(clip.left), true},
                          {0, double(clip.right), false},
                          {1, double(clip.top), true},
                          {1, double(clip.bottom), false}};
    std::vector<PathPoint>& ring = work.ring;
    size_t first = 0;
    for (const uint32_t count : in.rings) {
        const auto points =
            in.points.subspan(first, std::min<size_t>(count, in.points.size() - first));
        first += points.size();
        if (points.size() < 3 || !std::all_of(points.begin(), points.end(), finite)) continue;
        ring.assign(points.begin(), points.end());
        for (const Side& side : sides) {
            clipRing(ring, side, work.cut);
            ring.swap(work.cut);
        }
        if (ring.size() < 3) continue;
        out.points.insert(out.points.end(), ring.begin(), ring.end());
        out.rings.push_back(static_cast<uint32_t>(ring.size()));
    }
}

namespace {

// Calls crossing(row, column, direction) wherever an edge crosses a row's
// centre line, column being the first pixel whose centre lies right of
// the crossing (held within the clip).
template <typename Crossing> void eachCrossing(PathView path, PixelRect clip, Crossing crossing) {
    const auto within = [](double v, int32_t lo, int32_t hi) {
        return static_cast<int32_t>(std::clamp(v, double(lo), double(hi)));
    };
    size_t first = 0;
    for (const uint32_t count : path.rings) {
        if (count > path.points.size() - first) break;
        const auto ring = path.points.subspan(first, count);
        first += count;
        for (size_t i = 0; i < ring.size(); ++i) {
            const PathPoint a = ring[i], b = ring[(i + 1) % ring.size()];
            if (a.y == b.y) continue;
            const int32_t direction = b.y > a.y ? 1 : -1;
            const PathPoint& top = a.y < b.y ? a : b;
            const PathPoint& bottom = a.y < b.y ? b : a;
            const int32_t from = within(std::ceil(top.y - 0.5), clip.top, clip.bottom);
            const int32_t to = within(std::ceil(bottom.y - 0.5), clip.top, clip.bottom);
            const double slope = (bottom.x - top.x) / (bottom.y - top.y);
            for (int32_t row = from; row < to; ++row) {
                const double x = top.x + (row + 0.5 - top.y) * slope;
                crossing(row, within(std::ceil(x - 0.5), clip.left, clip.right), direction);
            }
        }
    }
}

} // namespace

void fillSpans(PathView path, PixelRect clip, FillWork& work, SpanSink& sink) {
    if (clip.empty() || path.points.empty()) return;
    // Only the rows the path reaches are looked at: a small area costs its
    // own rows, not the clip's.
    double top = INFINITY, bottom = -INFINITY;
    for (const PathPoint& p : path.points) {
        if (p.y < top) top = p.y;
        if (p.y > bottom) bottom = p.y;
    }
    if (!(top <= bottom)) return;
    const auto row = [](double y, int32_t lo, int32_t hi) {
        return static_cast<int32_t>(std::clamp(std::ceil(y - 0.5), double(lo), double(hi)));
    };
    clip.top = row(top, clip.top, clip.bottom);
    clip.bottom = row(bottom, clip.top, clip.bottom);
    if (clip.top >= clip.bottom) return;
    // Each row keeps a cell for every column from its leftmost crossing to
    // its rightmost: each edge adds its direction at its crossing, and a
    // row's sum from the left is the winding number at each pixel centre
    // (none left of the first crossing, and back to none after the last).
    const auto rows = static_cast<size_t>(clip.bottom - clip.top);
    std::vector<int32_t>&low = work.low, &high = work.high, &grid = work.cells;
    std::vector<size_t>& start = work.start;
    low.assign(rows, clip.right);
    high.assign(rows, clip.left - 1);
    eachCrossing(path, clip, [&](int32_t row, int32_t column, int32_t) {
        const auto r = static_cast<size_t>(row - clip.top);
        low[r] = std::min(low[r], column), high[r] = std::max(high[r], column);
    });
    start.assign(rows + 1, 0);
    for (size_t r = 0; r < rows; ++r)
        start[r + 1] = start[r] + static_cast<size_t>(std::max(0, high[r] - low[r] + 1));
    grid.assign(start[rows], 0);
    eachCrossing(path, clip, [&](int32_t row, int32_t column, int32_t direction) {
        const auto r = static_cast<size_t>(row - clip.top);
        grid[start[r] + static_cast<size_t>(column - low[r])] += direction;
    });
    for (size_t r = 0; r < rows; ++r) {
        const auto row = static_cast<int32_t>(r) + clip.top;
        int32_t winding = 0, runStart = -1;
        for (int32_t column = low[r]; column <= high[r]; ++column) {
            winding += grid[start[r] + static_cast<size_t>(column - low[r])];
            const bool inside = path.rule == FillRule::evenOdd ? (winding & 1) != 0 : winding != 0;
            if (inside && runStart < 0) runStart = column;
            if (!inside && runStart >= 0) {
                sink.span(row, runStart, column);
                runStart = -1;
            }
        }
        // A crossing held at the clip's right edge: the run ends there.
        if (runStart >= 0) sink.span(row, runStart, clip.right);
    }
}

} // namespace plotanix
