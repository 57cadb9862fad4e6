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
    // Changes whenever the points do: what was worked out from them holds
    // while it stays.
    uint64_t version() const { return version_; }

    const std::vector<PolygonVertex>& vertices() const { return vertices_; }
    // Points in each subpath, in order.
    const std::vector<uint32_t>& subpaths() const { return subpaths_; }

  private:
    bool admit();

    std::vector<PolygonVertex> vertices_;
    std::vector<uint32_t> subpaths_;
    bool broken_ = true;
    bool overflowed_ = false;
    uint64_t version_ = 0;
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

// An edge seen across the hatch lines, in (along, across) coordinates,
// from (ax, ay) by (dx, dy): the lines with offsets from low up to (not
// including) high cross it, upwards where dy > 0.
struct HatchEdge {
    double ax, ay, dx, dy;
    double low, high;
    // Where the line at offset crosses it.
    double along(double offset) const { return ax + (offset - ay) / dy * dx; }
};

// The lines at angle degrees through anchor + n * spacing across them, for
// the n whose lines cross both the buffer's area and the box. What laying
// them out would cost is known before it is done, so that the caller may
// fill the area solid instead.
class HatchLayout {
  public:
    HatchLayout(const PolygonBuffer& buffer, double spacing, double degrees, Point anchor,
                const PlotBox& box);

    // Whether lines can be laid at that spacing and angle at all.
    bool layable() const { return layable_; }
    // The lines' crossings with the area's edges: the sweep's work.
    double crossings() const { return crossings_; }
    // The lines times the area's extent along them, in plotter units: the
    // most their parts could draw.
    double reach() const { return reach_; }
    // Hands the sink each line's parts inside the area by the rule.
    void lay(FillRule rule, HatchSink& sink) const;

  private:
    double offsetOf(int64_t line) const {
        return (firstLine_ + static_cast<double>(line)) * spacing_;
    }

    Point anchor_, along_, across_;
    double spacing_ = 0;
    double firstLine_ = 0;
    int64_t lines_ = 0;
    std::vector<HatchEdge> edges_;
    double crossings_ = 0, reach_ = 0;
    bool layable_ = false;
};

} // namespace plotanix
