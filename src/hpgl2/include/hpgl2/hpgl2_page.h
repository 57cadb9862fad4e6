#pragma once
// The page as HP-GL/2 sees it: the paper (its X axis along the longer
// side), RO's turn of the coordinate system on it, and the paper's mapping
// onto the 800 x 600 picture, as the 7470A maps its paper.

#include "hpgl/geometry.h"
#include "page/path_fill.h"

#include <cstdint>

namespace plotanix {

// HP-GL/2's integers span -2^30 .. 2^30 - 1: points and sizes beyond are
// refused.
inline constexpr double hpgl2Reach = 1073741824.0;
inline bool withinReach(double value) {
    return value >= -hpgl2Reach && value < hpgl2Reach;
}
// HP-GL/2's chord angle: 0.5 to 180 degrees, 0 taking the default 5.
double hpgl2Chord(double requested);

class Hpgl2Page {
  public:
    explicit Hpgl2Page(Point paper) : paper_(paper), map_(paper.x, paper.y) {}

    // Plotter units; the longer side becomes X.
    void setPaper(Point size);
    Point paper() const { return paper_; }
    // 0, 90, 180 or 270 degrees, counter-clockwise.
    void setRotation(int32_t degrees) { rotation_ = degrees; }
    int32_t rotation() const { return rotation_; }

    // The extent of the turned coordinate system: (0,0) to frame().
    Point frame() const;
    // A point of the turned coordinate system on the paper, and back.
    Point toPaper(Point p) const;
    Point fromPaper(Point p) const;

    int32_t column(Point p) const { return map_.column(toPaper(p).x); }
    int32_t row(Point p) const { return map_.row(toPaper(p).y); }
    // Where the point lies on the picture, in pixels (centres at .5).
    PathPoint picture(Point p) const;
    // The pixels whose centres lie in the box (turned coordinates).
    PixelRect pixels(const PlotBox& box) const;
    // Picture pixels per plotter unit.
    double scale() const { return map_.scale(); }

  private:
    Point paper_;
    int32_t rotation_ = 0;
    PictureMap map_;
};

} // namespace plotanix
