#include "hpgl2/hpgl2_polygon.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace plotanix {

void PolygonBuffer::clear() {
    vertices_.clear();
    subpaths_.clear();
    broken_ = true;
    overflowed_ = false;
}

bool PolygonBuffer::admit() {
    if (vertices_.size() < maxPoints) return true;
    overflowed_ = true;
    return false;
}

void PolygonBuffer::start(Point at) {
    if (!admit()) return;
    vertices_.push_back({at, false});
    subpaths_.push_back(1);
    broken_ = false;
}

void PolygonBuffer::lineTo(Point at, bool drawn) {
    if (broken_) return start(at);
    if (!admit()) return;
    vertices_.push_back({at, drawn});
    ++subpaths_.back();
}

void PolygonBuffer::close() {
    if (broken_ || subpaths_.empty()) return;
    const size_t first = vertices_.size() - subpaths_.back();
    const Point start = vertices_[first].at;
    const bool drawn = std::any_of(vertices_.begin() + static_cast<ptrdiff_t>(first),
                                   vertices_.end(), [](const PolygonVertex& v) { return v.drawn; });
    if (subpaths_.back() > 1 && vertices_.back().at != start) lineTo(start, drawn);
    broken_ = true;
}

namespace {

struct Crossing {
    double along;
    int direction;
    bool operator<(const Crossing& other) const { return along < other.along; }
};

// An edge seen across the hatch lines: its span of line offsets.
struct Edge {
    Point a, b; // in (along, across) coordinates
};

} // namespace

bool layHatch(const PolygonBuffer& buffer, FillRule rule, double spacing, double degrees,
              Point anchor, const PlotBox& box, double maxWork, HatchSink& sink) {
    if (!(spacing > 0) || !std::isfinite(degrees)) return false;
    const double radians = std::fmod(degrees, 360.0) * std::numbers::pi / 180.0;
    const Point along{std::cos(radians), std::sin(radians)}, across{-along.y, along.x};
    const auto project = [&](Point p) {
        const Point d = p - anchor;
        return Point{d.x * along.x + d.y * along.y, d.x * across.x + d.y * across.y};
    };
    std::vector<Edge> edges;
    const auto& vertices = buffer.vertices();
    size_t first = 0;
    double low = INFINITY, high = -INFINITY;
    for (const uint32_t count : buffer.subpaths()) {
        for (size_t i = 0; i < count; ++i) {
            const Point a = project(vertices[first + i].at);
            const Point b = project(vertices[first + (i + 1) % count].at);
            low = std::min(low, a.y), high = std::max(high, a.y);
            if (a.y != b.y) edges.push_back({a, b});
        }
        first += count;
    }
    // Only the lines that cross the box can show.
    double boxLow = INFINITY, boxHigh = -INFINITY;
    for (const Point corner : {Point{box.left, box.bottom}, Point{box.right, box.bottom},
                               Point{box.left, box.top}, Point{box.right, box.top}}) {
        const double offset = project(corner).y;
        boxLow = std::min(boxLow, offset), boxHigh = std::max(boxHigh, offset);
    }
    low = std::max(low, boxLow), high = std::min(high, boxHigh);
    if (!(low <= high) || edges.empty()) return true;
    const double firstLine = std::ceil(low / spacing), lastLine = std::floor(high / spacing);
    if (!((lastLine - firstLine + 1) * static_cast<double>(edges.size()) <= maxWork)) return false;
    // A sweep across the lines: edges sorted by where they start, kept while
    // the lines still cross them.
    std::sort(edges.begin(), edges.end(), [](const Edge& e, const Edge& f) {
        return std::min(e.a.y, e.b.y) < std::min(f.a.y, f.b.y);
    });
    std::vector<const Edge*> active;
    std::vector<Crossing> crossings;
    size_t next = 0;
    const auto lines = static_cast<int64_t>(lastLine - firstLine + 1);
    for (int64_t line = 0; line < lines; ++line) {
        const double offset = (firstLine + static_cast<double>(line)) * spacing;
        while (next < edges.size() && std::min(edges[next].a.y, edges[next].b.y) <= offset)
            active.push_back(&edges[next++]);
        std::erase_if(active, [&](const Edge* e) { return std::max(e->a.y, e->b.y) <= offset; });
        crossings.clear();
        for (const Edge* e : active) {
            if (std::min(e->a.y, e->b.y) > offset) continue;
            const double t = (offset - e->a.y) / (e->b.y - e->a.y);
            crossings.push_back({e->a.x + t * (e->b.x - e->a.x), e->b.y > e->a.y ? 1 : -1});
        }
        std::sort(crossings.begin(), crossings.end());
        int winding = 0;
        for (size_t i = 0; i + 1 < crossings.size(); ++i) {
            winding += crossings[i].direction;
            const bool inside = rule == FillRule::evenOdd ? (winding & 1) != 0 : winding != 0;
            if (!inside || crossings[i].along == crossings[i + 1].along) continue;
            const auto point = [&](double s) {
                return Point{anchor.x + s * along.x + offset * across.x,
                             anchor.y + s * along.y + offset * across.y};
            };
            sink.hatch(point(crossings[i].along), point(crossings[i + 1].along));
        }
    }
    return true;
}

} // namespace plotanix
