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

constexpr uint32_t noEdge = UINT32_MAX;
constexpr int32_t unset = INT32_MIN; // the column of an edge not yet reached

// Whether a block of a row's cells holds no crossing.
constexpr int32_t blockColumns = 8;
[[gnu::always_inline]] inline bool noCrossing(const int32_t* c) {
    return (c[0] | c[1] | c[2] | c[3] | c[4] | c[5] | c[6] | c[7]) == 0;
}

} // namespace

void fillSpans(PathView path, PixelRect clip, FillWork& work, SpanSink& sink) {
    if (clip.empty() || path.points.empty()) return;
    // Only the rows and columns the path reaches are looked at: a small
    // area (a wide line's piece) costs its own box, not the clip's.
    double top = INFINITY, bottom = -INFINITY, leftmost = INFINITY, rightmost = -INFINITY;
    for (const PathPoint& p : path.points) {
        if (p.y < top) top = p.y;
        if (p.y > bottom) bottom = p.y;
        if (p.x < leftmost) leftmost = p.x;
        if (p.x > rightmost) rightmost = p.x;
    }
    if (!(top <= bottom)) return;
    const auto row = [](double y, int32_t lo, int32_t hi) {
        return static_cast<int32_t>(std::clamp(std::ceil(y - 0.5), double(lo), double(hi)));
    };
    clip.top = row(top, clip.top, clip.bottom);
    clip.bottom = row(bottom, clip.top, clip.bottom);
    if (clip.top >= clip.bottom) return;
    // Every crossing lies between the path's extreme columns (a column more
    // each side for rounding), so held to them it lands where the clip
    // would hold it.
    const int32_t clipRight = clip.right;
    if (leftmost <= rightmost) {
        clip.left = row(leftmost - 1, clip.left, clip.right);
        clip.right = row(rightmost + 1, clip.left, clip.right);
    }
    // An edge crosses a row's centre line at the first column whose pixel
    // centre lies right of the crossing (held within the clip). Along an
    // edge that column moves one way only, so the rows where it changes are
    // found by search, and a steep edge costs the columns it passes, not
    // its rows.
    const auto columnAt = [&clip](const FillEdge& e, int32_t r) {
        const double x = e.top.x + (r + 0.5 - e.top.y) * e.slope;
        return static_cast<int32_t>(
            std::clamp(std::ceil(x - 0.5), double(clip.left), double(clip.right)));
    };
    // The first row after r where the column is no longer e.column: guessed
    // from the slope, then made sure of (or searched for) with columnAt
    // itself, so that every row has the column the formula gives it.
    const auto nextChange = [&columnAt](const FillEdge& e, int32_t r) {
        if (columnAt(e, e.to - 1) == e.column) return e.to;
        int32_t same = r, other = e.to - 1; // columns: e.column at same, another at other
        const double edge = e.column + (e.slope > 0 ? 0.5 : -0.5);
        const double guess = std::ceil(e.top.y - 0.5 + (edge - e.top.x) / e.slope);
        if (guess > same && guess < other) {
            const auto g = static_cast<int32_t>(guess);
            if (columnAt(e, g) != e.column) {
                if (columnAt(e, g - 1) == e.column) return g;
                other = g - 1;
            } else {
                if (columnAt(e, g + 1) != e.column) return g + 1;
                same = g + 1;
            }
        }
        while (other - same > 1) {
            const int32_t middle = same + (other - same) / 2;
            (columnAt(e, middle) == e.column ? same : other) = middle;
        }
        return other;
    };
    const auto rows = static_cast<size_t>(clip.bottom - clip.top);
    std::vector<FillEdge>& edges = work.edges;
    std::vector<uint32_t>& bucket = work.buckets; // the first edge due at each row
    edges.clear();
    bucket.assign(rows + 1, noEdge);
    const auto due = [&](uint32_t index, int32_t at) {
        const auto r = static_cast<size_t>(at - clip.top);
        edges[index].next = bucket[r];
        bucket[r] = index;
    };
    // An edge whose column changes within a few rows is cheaper to take row
    // by row: its crossings go straight into a grid of the rows' cells.
    const auto width = static_cast<size_t>(clip.right - clip.left) + 1;
    // All zero between fills: each row of a fill clears the cells it wrote
    // once swept, so a fill costs the cells it writes, not its box.
    std::vector<int32_t>& grid = work.grid;
    std::vector<int32_t>& gridFirst = work.gridFirst;
    std::vector<int32_t>& gridLast = work.gridLast;
    bool gridded = false;
    // The columns the bucketed edges have crossed; the grid's are kept by
    // row, so a row of a long slanting area sweeps its own columns only.
    int32_t left = clip.right, right = clip.left;
    size_t first = 0;
    for (const uint32_t count : path.rings) {
        if (count > path.points.size() - first) break;
        const auto ring = path.points.subspan(first, count);
        first += count;
        for (size_t i = 0; i < ring.size(); ++i) {
            const PathPoint a = ring[i], b = ring[(i + 1) % ring.size()];
            if (a.y == b.y) continue;
            const PathPoint& high = a.y < b.y ? a : b;
            const PathPoint& low = a.y < b.y ? b : a;
            const int32_t from = row(high.y, clip.top, clip.bottom);
            const int32_t to = row(low.y, clip.top, clip.bottom);
            if (from >= to) continue;
            const FillEdge e{
                high, (low.x - high.x) / (low.y - high.y), to, unset, b.y > a.y ? 1 : -1, noEdge};
            if (std::fabs(e.slope) < 1.0 / 16) {
                edges.push_back(e);
                due(static_cast<uint32_t>(edges.size() - 1), from);
                continue;
            }
            if (!gridded) {
                gridded = true;
                if (grid.size() < rows * width) grid.resize(rows * width, 0);
                gridFirst.assign(rows, clip.right);
                gridLast.assign(rows, clip.left);
            }
            for (int32_t r = from; r < to; ++r) {
                const int32_t column = columnAt(e, r);
                const auto at = static_cast<size_t>(r - clip.top);
                grid[at * width + static_cast<size_t>(column - clip.left)] += e.direction;
                gridFirst[at] = std::min(gridFirst[at], column);
                gridLast[at] = std::max(gridLast[at], column);
            }
        }
    }
    // Each row's sum, from the left, of the directions of the edges
    // crossing it at each column: the winding number at each pixel centre.
    std::vector<int32_t>& cells = work.cells;
    cells.assign(width, 0);
    for (int32_t r = clip.top; r < clip.bottom; ++r) {
        for (uint32_t index = bucket[static_cast<size_t>(r - clip.top)]; index != noEdge;) {
            FillEdge& e = edges[index];
            index = e.next;
            if (e.column != unset) cells[static_cast<size_t>(e.column - clip.left)] -= e.direction;
            if (r == e.to) continue;
            e.column = columnAt(e, r);
            cells[static_cast<size_t>(e.column - clip.left)] += e.direction;
            left = std::min(left, e.column), right = std::max(right, e.column);
            due(static_cast<uint32_t>(&e - edges.data()), nextChange(e, r));
        }
        const auto at = static_cast<size_t>(r - clip.top);
        int32_t* const crossed = gridded ? grid.data() + at * width : nullptr;
        // Every column with a crossing, and no more: the winding is 0 outside.
        int32_t sweepFrom = left, sweepTo = right;
        if (crossed != nullptr) {
            sweepFrom = std::min(sweepFrom, gridFirst[at]);
            sweepTo = std::max(sweepTo, gridLast[at]);
        }
        const auto sweep = [&](auto crossing, auto blockClear) {
            int32_t winding = 0, runStart = -1;
            for (int32_t column = sweepFrom; column <= sweepTo; ++column) {
                auto c = static_cast<size_t>(column - clip.left);
                // Between crossings the winding stays: a block with none
                // is passed over whole.
                while (column + blockColumns - 1 <= sweepTo && blockClear(c)) {
                    column += blockColumns;
                    c += blockColumns;
                }
                if (column > sweepTo) break;
                winding += cells[c] + crossing(c);
                const bool inside =
                    path.rule == FillRule::evenOdd ? (winding & 1) != 0 : winding != 0;
                if (inside && runStart < 0) runStart = column;
                if (!inside && runStart >= 0) {
                    sink.span(r, runStart, column);
                    runStart = -1;
                }
            }
            // A crossing held at the clip's right edge: the run ends there.
            if (runStart >= 0) sink.span(r, runStart, clipRight);
        };
        const int32_t* const cell = cells.data();
        if (crossed == nullptr) {
            sweep([](size_t) { return 0; }, [cell](size_t c) { return noCrossing(cell + c); });
            continue;
        }
        sweep(
            [crossed](size_t c) { return crossed[c]; },
            [cell, crossed](size_t c) { return noCrossing(cell + c) && noCrossing(crossed + c); });
        if (gridFirst[at] <= gridLast[at])
            std::fill(crossed + (gridFirst[at] - clip.left),
                      crossed + (gridLast[at] - clip.left) + 1, 0);
    }
}

} // namespace plotanix
