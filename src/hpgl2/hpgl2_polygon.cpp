#include "hpgl2/hpgl2_polygon.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace plotanix {

void PolygonBuffer::clear() {
    ++version_;
    vertices_.clear();
    subpaths_.clear();
    broken_ = true;
    overflowed_ = false;
}

bool PolygonBuffer::admit() {
    ++version_;
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

// An edge the line at hand crosses, and where; kept with the edge's own
// numbers, so that the sweep reads them in order.
struct Crossing {
    double along = 0;
    double ax = 0, ay = 0, dx = 0, dy = 0, high = 0;
    Crossing() = default;
    Crossing(const HatchEdge& e, double offset)
        : along(e.along(offset)), ax(e.ax), ay(e.ay), dx(e.dx), dy(e.dy), high(e.high) {}
    int direction() const { return dy > 0 ? 1 : -1; }
};

bool alongLess(const Crossing& x, const Crossing& y) {
    return x.along < y.along;
}

// The crossings of the line at offset with the edges that crossed the line
// before, in order along it. Between two lines only edges that cross each
// other change places, so inserting each in turn costs about the list's
// length. A list far out of order (a ring that crosses itself many times
// over) is sorted outright.
void advance(std::vector<Crossing>& crossings, double offset) {
    size_t kept = 0, moved = 0;
    const size_t budget = 8 * crossings.size() + 64;
    for (size_t i = 0; i < crossings.size(); ++i) {
        Crossing c = crossings[i];
        if (!(c.high > offset)) continue;
        c.along = c.ax + (offset - c.ay) / c.dy * c.dx; // as HatchEdge::along
        size_t j = kept++;
        if (moved <= budget) {
            for (; j > 0 && c.along < crossings[j - 1].along; --j)
                crossings[j] = crossings[j - 1];
            moved += kept - 1 - j;
        }
        crossings[j] = c;
    }
    crossings.resize(kept);
    if (moved > budget) std::sort(crossings.begin(), crossings.end(), alongLess);
}

} // namespace

HatchLayout::HatchLayout(const PolygonBuffer& buffer, double spacing, double degrees, Point anchor,
                         const PlotBox& box)
    : anchor_(anchor), spacing_(spacing) {
    if (!(spacing > 0) || !std::isfinite(degrees)) return;
    layable_ = true;
    const double radians = std::fmod(degrees, 360.0) * std::numbers::pi / 180.0;
    along_ = {std::cos(radians), std::sin(radians)};
    across_ = {-along_.y, along_.x};
    const auto project = [&](Point p) {
        const Point d = p - anchor_;
        return Point{d.x * along_.x + d.y * along_.y, d.x * across_.x + d.y * across_.y};
    };
    const auto& vertices = buffer.vertices();
    size_t first = 0;
    double low = INFINITY, high = -INFINITY, start = INFINITY, end = -INFINITY;
    for (const uint32_t count : buffer.subpaths()) {
        for (size_t i = 0; i < count; ++i) {
            const Point a = project(vertices[first + i].at);
            const Point b = project(vertices[first + (i + 1) % count].at);
            low = std::min(low, a.y), high = std::max(high, a.y);
            start = std::min(start, a.x), end = std::max(end, a.x);
            if (a.y != b.y) {
                edges_.push_back(
                    {a.x, a.y, b.x - a.x, b.y - a.y, std::min(a.y, b.y), std::max(a.y, b.y)});
            }
        }
        first += count;
    }
    // Only the lines that cross the box can show.
    double boxLow = INFINITY, boxHigh = -INFINITY, boxStart = INFINITY, boxEnd = -INFINITY;
    for (const Point corner : {Point{box.left, box.bottom}, Point{box.right, box.bottom},
                               Point{box.left, box.top}, Point{box.right, box.top}}) {
        const Point p = project(corner);
        boxLow = std::min(boxLow, p.y), boxHigh = std::max(boxHigh, p.y);
        boxStart = std::min(boxStart, p.x), boxEnd = std::max(boxEnd, p.x);
    }
    low = std::max(low, boxLow), high = std::min(high, boxHigh);
    if (!(low <= high) || edges_.empty()) return;
    firstLine_ = std::ceil(low / spacing);
    const double lines = std::floor(high / spacing) - firstLine_ + 1;
    if (!(lines >= 1)) return;
    // More lines than the sweep counts are too many to lay at any cost.
    if (!(lines < 0x1p31)) {
        crossings_ = reach_ = INFINITY;
        return;
    }
    lines_ = static_cast<int64_t>(lines);
    reach_ = lines * std::max(0.0, std::min(end, boxEnd) - std::max(start, boxStart));
    for (const HatchEdge& e : edges_) {
        const double from = std::max(std::ceil(e.low / spacing), firstLine_);
        const double to = std::min(std::ceil(e.high / spacing) - 1, firstLine_ + lines - 1);
        if (to >= from) crossings_ += to - from + 1;
    }
}

void HatchLayout::lay(FillRule rule, HatchSink& sink) const {
    if (lines_ == 0) return;
    // Kept from one hatch to the next, as a plot's fills come by the hundred.
    thread_local struct {
        std::vector<uint32_t> at, order, starts;
        std::vector<Crossing> crossings;
        std::vector<double> ends;
    } work;
    const int64_t lines = lines_;
    const std::vector<HatchEdge>& edges = edges_;
    // A sweep across the lines: edges taken in by where they start, and kept
    // in the order they cross the line while the lines still cross them.
    // Each edge goes in at the first line at or past its start (a guess
    // from the division, made sure of with the lines' own offsets). They
    // are counted into those lines, unless the lines far outnumber them.
    std::vector<uint32_t>& at = work.at;
    std::vector<uint32_t>& order = work.order;
    at.resize(edges.size());
    order.resize(edges.size());
    for (size_t i = 0; i < edges.size(); ++i) {
        const double start = edges[i].low;
        const double guess = std::ceil(start / spacing_) - firstLine_;
        int64_t line = guess >= 0 ? guess < double(lines) ? static_cast<int64_t>(guess) : lines : 0;
        while (line > 0 && start <= offsetOf(line - 1))
            --line;
        while (line < lines && start > offsetOf(line))
            ++line;
        if (line < lines && !(start <= offsetOf(line))) line = lines; // not a number: never
        at[i] = static_cast<uint32_t>(line);
        order[i] = static_cast<uint32_t>(i);
    }
    if (static_cast<size_t>(lines) <= 4 * edges.size()) {
        std::vector<uint32_t>& starts = work.starts;
        starts.assign(static_cast<size_t>(lines) + 2, 0);
        for (const uint32_t line : at)
            ++starts[line + 1];
        for (size_t line = 1; line < starts.size(); ++line)
            starts[line] += starts[line - 1];
        for (size_t i = 0; i < edges.size(); ++i)
            order[starts[at[i]]++] = static_cast<uint32_t>(i);
    } else {
        std::sort(order.begin(), order.end(),
                  [&](uint32_t e, uint32_t f) { return at[e] < at[f]; });
    }
    std::vector<Crossing>& crossings = work.crossings;
    std::vector<double>& ends = work.ends;
    crossings.clear();
    size_t next = 0;
    for (int64_t line = 0; line < lines; ++line) {
        const double offset = offsetOf(line);
        advance(crossings, offset);
        // The edges the sweep reaches at this line are sorted among
        // themselves, then merged in.
        const size_t kept = crossings.size();
        for (; next < order.size() && at[order[next]] <= line; ++next) {
            const HatchEdge& e = edges[order[next]];
            if (e.high > offset) crossings.emplace_back(e, offset);
        }
        if (crossings.size() > kept) {
            const auto middle = crossings.begin() + static_cast<ptrdiff_t>(kept);
            std::sort(middle, crossings.end(), alongLess);
            std::inplace_merge(crossings.begin(), middle, crossings.end(), alongLess);
        }
        // Between crossings at the same place nothing is drawn, so the order
        // of those among themselves does not matter.
        ends.clear();
        int winding = 0;
        for (size_t i = 0; i + 1 < crossings.size(); ++i) {
            winding += crossings[i].direction();
            const bool inside = rule == FillRule::evenOdd ? (winding & 1) != 0 : winding != 0;
            if (!inside || crossings[i].along == crossings[i + 1].along) continue;
            ends.push_back(crossings[i].along);
            ends.push_back(crossings[i + 1].along);
        }
        if (!ends.empty()) sink.hatch({anchor_, along_, across_, offset, ends});
    }
}

} // namespace plotanix
