#pragma once
// Filled areas on the picture: closed rings of points in picture
// coordinates (x to the right, y down; pixel (c, r) covers c..c+1 across and
// r..r+1 down), filled where a pixel's centre lies inside by the even-odd or
// the nonzero winding rule. Rings are cut to a rectangle first, so no
// coordinate can stray far from the page. The fill sweeps down the rows
// with the steep edges in buckets by the row where each next changes its
// column: their work is about the columns they pass, not their rows; the
// others' is their rows, and the scan of the area's bounding box. Its
// memory is the edges, and the rectangle's cells when an edge is not steep.

#include <cstdint>
#include <span>
#include <vector>

namespace plotanix {

struct PathPoint {
    double x = 0, y = 0;
    bool operator==(const PathPoint&) const = default;
};

enum class FillRule : uint8_t { evenOdd, nonzero };

// The area: rings[i] points each, in turn, from points; every ring closes
// on its first point.
struct PathView {
    std::span<const PathPoint> points;
    std::span<const uint32_t> rings;
    FillRule rule = FillRule::evenOdd;
};

// Whole pixels, right and bottom exclusive.
struct PixelRect {
    int32_t left = 0, top = 0, right = 0, bottom = 0;
    bool empty() const { return right <= left || bottom <= top; }
};

// A closed area held in its own storage.
struct Path {
    std::vector<PathPoint> points;
    std::vector<uint32_t> rings;
    FillRule rule = FillRule::evenOdd;
    PathView view() const { return {points, rings, rule}; }
    void clear() {
        points.clear();
        rings.clear();
    }
};

// An edge as the fill's sweep down the rows sees it: it is looked at only
// in the rows where its column changes and where it ends.
struct FillEdge {
    PathPoint top;
    double slope; // across per row down
    int32_t to;   // the first row it no longer crosses
    int32_t column;
    int32_t direction;
    uint32_t next; // the next edge due at the same row
};

// Working storage of clipPath and fillSpans, kept by the caller from one
// fill to the next.
struct FillWork {
    std::vector<PathPoint> ring, cut;
    std::vector<FillEdge> edges;
    std::vector<uint32_t> buckets;
    std::vector<int32_t> cells, grid;
    std::vector<int32_t> gridFirst, gridLast; // each row's grid columns
};

// Cuts every ring of in to the pixels of clip (their outer edges); inside
// that rectangle every point keeps its winding number, so either rule fills
// the same pixels there. Rings with a point that is not finite are dropped.
void clipPath(PathView in, PixelRect clip, Path& out, FillWork& work);

// Receives the runs of pixels to fill, row by row.
class SpanSink {
  public:
    virtual void span(int32_t row, int32_t first, int32_t end) = 0;

  protected:
    ~SpanSink() = default;
};

// The pixels of clip whose centres lie inside the path (already cut to
// clip).
void fillSpans(PathView path, PixelRect clip, FillWork& work, SpanSink& sink);

} // namespace plotanix
