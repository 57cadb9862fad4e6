#pragma once
// Lines wider than a pixel, laid out as filled areas in picture
// coordinates: each segment a band as wide as the line, a cap where a path
// starts and ends, a join where one segment goes on from the last. The
// last cap waits for the next segment, which may continue the path: finish()
// draws it.

#include "page/path_fill.h"

#include <cstdint>

namespace plotanix {

enum class LineCap : uint8_t { butt, square, triangular, round };
enum class LineJoin : uint8_t { mitre, mitreBevel, triangular, round, bevel, none };

struct LineStyle {
    double width = 1; // pixels
    LineCap cap = LineCap::butt;
    LineJoin join = LineJoin::mitre;
    double mitreLimit = 5; // mitre length over width; past it the corner is bevelled
};

// Receives each area to fill (nonzero rule: the pieces may overlap).
class AreaSink {
  public:
    virtual void fill(PathView area) = 0;

  protected:
    ~AreaSink() = default;
};

class WideLine {
  public:
    void setStyle(const LineStyle& style);
    const LineStyle& style() const { return style_; }

    // a to b; it continues the path when a is where the last segment ended.
    // A segment of no length is a dot, as wide as the line.
    void segment(PathPoint a, PathPoint b, AreaSink& sink);
    // The path ends here: the cap of its last segment.
    void finish(AreaSink& sink);
    // The path ends where it began: a join there instead of a cap.
    void close(AreaSink& sink);
    // The cap of the last segment now, for a page shown while the path may
    // still go on (a join then covers it, unless the cap sticks out).
    void showEnd(AreaSink& sink);

  private:
    void cap(PathPoint at, PathPoint outward, AreaSink& sink);
    void join(PathPoint at, PathPoint in, PathPoint out, AreaSink& sink);
    void disk(PathPoint centre, AreaSink& sink);
    void emit(AreaSink& sink, std::initializer_list<PathPoint> points);

    LineStyle style_;
    bool open_ = false;
    PathPoint end_, direction_;        // of the last segment, while the path is open
    PathPoint start_, startDirection_; // of its first
    Path area_;                        // reused for every piece
};

} // namespace plotanix
