#pragma once
// HP-GL's geometry as the 7470A and HP-GL/2 models share it, free of any
// plotter state: user-unit scaling onto P1/P2, the soft-clip window, the
// chords of circles and arcs, and the mapping of plotter units onto the
// 800 x 600 picture.

#include "page/path_fill.h"
#include "page/plot_geometry.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>

namespace plotanix {

// Plotter-unit points are the stroke geometry's points: labels and line
// patterns take them as they are.
using Point = PlotPoint;

// User units: (xMin, yMin) sits on P1 and (xMax, yMax) on P2. The grid
// covers the whole page; P1/P2 may be any two corners, which mirrors.
struct UserScale {
    bool on = false;
    double xMin = 0.0, xMax = 1.0, yMin = 0.0, yMax = 1.0;
};

// The scaling points after power-on, and after IP without parameters.
inline constexpr Point hp7470aP1{250, 279};
inline constexpr Point hp7470aP2{10250, 7479};

// Plotter units per user unit on each axis (1, 1 with scaling off); negative
// on a mirrored axis.
Point unitSize(const UserScale& scale, Point p1, Point p2);
// The plotter-unit point of a position given in the current units. Inline
// for the common case, scaling off, taken for every pair a plot holds.
inline Point toPlotter(const UserScale& scale, Point p1, Point p2, Point user) {
    if (!scale.on) return user;
    const Point unit = unitSize(scale, p1, p2);
    return {p1.x + (user.x - scale.xMin) * unit.x, p1.y + (user.y - scale.yMin) * unit.y};
}
// The current-unit position of a plotter-unit point; an axis whose P1 and P2
// coincide reads as its minimum.
Point toUser(const UserScale& scale, Point p1, Point p2, Point plotter);

// The soft-clip window in plotter units, edges included. Crossed corners
// (ll beyond ur) leave no window at all.
struct Window {
    double xll = 0.0, yll = 0.0, xur = 0.0, yur = 0.0;
    bool empty() const { return xll > xur || yll > yur; }
    bool contains(Point p) const { return p.x >= xll && p.x <= xur && p.y >= yll && p.y <= yur; }
    PlotBox box() const { return {xll, yll, xur, yur}; }
};

// Whether p lies on the paper the window is: within half a plotter unit
// of it, which the rounding of arcs and circles may stray by.
inline bool onPaper(const Window& paper, Point p) {
    return p.x >= paper.xll - 0.5 && p.x <= paper.xur + 0.5 && p.y >= paper.yll - 0.5 &&
           p.y <= paper.yur + 0.5;
}

// Shortens a -> b to its part inside the window; false when no part of it
// lies inside. A vector from inside to outside ends at the edge, one from
// outside to inside starts at the edge, one outside throughout is drawn
// only where it crosses the window. Most vectors lie wholly inside and are
// taken as they are, inline and without a division; an empty window
// contains no point, so that test also stands for its emptiness.
bool cutToWindow(const Window& window, Point& a, Point& b);
inline bool clipToWindow(const Window& window, Point& a, Point& b) {
    if (window.contains(a) && window.contains(b)) return true;
    return cutToWindow(window, a, b);
}

// The chord angle a circle or arc uses: the sign dropped, whole degrees,
// 0 meaning the default 5 and anything above 180 meaning 180.
double chordAngle(double requested);
// The sweep of an arc for the one given: whole degrees, truncated toward
// minus infinity (the 7470A's); or more than a turn drawn as one turn and
// the rest, so that the arc ends where it should while its chords stay few
// (HP-GL/2's).
double wholeDegrees(double given);
double turnAndRest(double given);
// Chords of equal angle covering the sweep: ceil(|sweep| / chord).
int64_t chordCount(double sweepDegrees, double chordDegrees);
// The point at angle degrees (counter-clockwise from +x in user units) on a
// circle of radius user units about centre, in plotter units.
Point circlePoint(Point centre, Point unit, double radius, double degrees);

// The ends of the chords of an arc from `from` about centre (plotter
// units) through sweep degrees, counter-clockwise when positive, each
// handed to visit in turn. The arc is round in user units: its start and
// radius are measured there.
template <typename Visit>
void forEachArcPoint(Point from, Point centre, Point unit, double sweep, double chord,
                     Visit&& visit) {
    const double dx = unit.x == 0.0 ? 0.0 : (from.x - centre.x) / unit.x;
    const double dy = unit.y == 0.0 ? 0.0 : (from.y - centre.y) / unit.y;
    const double radius = std::hypot(dx, dy);
    // Rounded off at a billionth of a degree, so that starts on an axis stay
    // exactly on it.
    const double start = std::round(std::atan2(dy, dx) * 180.0 / std::numbers::pi * 1e9) / 1e9;
    const int64_t chords = chordCount(sweep, chord);
    for (int64_t i = 1; i <= chords; ++i) {
        const double angle = start + sweep * static_cast<double>(i) / static_cast<double>(chords);
        visit(circlePoint(centre, unit, radius, angle));
    }
}

// Plotter units onto the picture: k = min(800 / Xmax, 600 / Ymax), column
// floor(X k + 0.5), row 599 - floor(Y k + 0.5).
class PictureMap {
  public:
    PictureMap(double xMax, double yMax);
    int32_t column(double x) const { return pixel(x * k_); }
    int32_t row(double y) const { return 599 - pixel(y * k_); }
    // Where the point lies on the picture before rounding (pixel centres at .5).
    PathPoint picture(double x, double y) const { return {x * k_ + 0.5, 599.5 - y * k_}; }
    double scale() const { return k_; }

  private:
    // floor(v + 0.5), kept far beyond any page yet within 32 bits; rounded
    // down by truncating and stepping back, a few instructions where
    // std::floor is a call into the maths library.
    static int32_t pixel(double v) {
        const double limited = std::clamp(v + 0.5, -1.0e9, 1.0e9);
        const auto whole = static_cast<int32_t>(limited);
        // On the page truncating is rounding down.
        if (limited >= 0) return whole;
        return whole - (static_cast<double>(whole) > limited ? 1 : 0);
    }
    double k_;
};

} // namespace plotanix
