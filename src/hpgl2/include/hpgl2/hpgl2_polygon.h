#pragma once
// The HP-GL/2 polygon buffer: subpaths of plotter-unit points, each point
// remembering whether the pen was down on the way to it (EP draws those
// segments; FP fills every subpath, closed). It holds at most maxPoints
// points; past them it overflows and keeps what it has. Hatching is laid
// out here too: the parts of parallel lines that lie inside the area.

#include "hpgl/geometry.h"
#include "page/path_fill.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace plotanix {

struct PolygonVertex {
    Point at;
    bool drawn = false; // the segment reaching it is pen down
};

class PolygonBuffer {
  public:
    // As a plotter with a modest memory holds: enough that a fill of the
    // worst shape (every edge across the page) stays within a tenth of a
    // second on the page.
    static constexpr size_t maxPoints = size_t{1} << 15;

    void clear();
    // A new subpath from this point, reached pen up.
    void start(Point at);
    void lineTo(Point at, bool drawn);
    // Ends the open subpath with a segment back to its first point (drawn
    // when any of its segments is) when it does not end there already.
    void close();
    // The next point starts a subpath of its own (after PM1 or a circle).
    void breakSubpath() { broken_ = true; }
    bool overflowed() const { return overflowed_; }
    bool empty() const { return vertices_.empty(); }

    const std::vector<PolygonVertex>& vertices() const { return vertices_; }
    // Points in each subpath, in order.
    const std::vector<uint32_t>& subpaths() const { return subpaths_; }

  private:
    bool admit();

    std::vector<PolygonVertex> vertices_;
    std::vector<uint32_t> subpaths_;
    bool broken_ = true;
    bool overflowed_ = false;
};

// One hatch line's parts inside the area: from ends[2k] to ends[2k + 1],
// in order along the line, as distances along it.
struct HatchLine {
    Point anchor, along, across; // across: unit steps between the lines
    double offset;               // of this line from the anchor
    std::span<const double> ends;
    // The point s along the line, in plotter units. Each coordinate moves one
    // way only as s grows, rounding included.
    Point at(double s) const {
        return {anchor.x + s * along.x + offset * across.x,
                anchor.y + s * along.y + offset * across.y};
    }
};

// Receives the hatch lines' parts, line by line, in plotter units.
class HatchSink {
  public:
    virtual void hatch(const HatchLine& line) = 0;

  protected:
    ~HatchSink() = default;
};

// The parts inside the buffer's area (by the rule) of the lines at angle
// degrees through anchor + n * spacing across them, for the n whose lines
// cross the box. Returns false, with nothing laid out, when the lines times
// the area's edges would pass maxWork.
bool layHatch(const PolygonBuffer& buffer, FillRule rule, double spacing, double degrees,
              Point anchor, const PlotBox& box, double maxWork, HatchSink& sink);

} // namespace plotanix
