#include "hpgl/geometry.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace plotanix {

namespace {

double axisUnit(double p1, double p2, double lo, double hi) {
    return (p2 - p1) / (hi - lo);
}

} // namespace

Point unitSize(const UserScale& scale, Point p1, Point p2) {
    if (!scale.on) return {1.0, 1.0};
    return {axisUnit(p1.x, p2.x, scale.xMin, scale.xMax),
            axisUnit(p1.y, p2.y, scale.yMin, scale.yMax)};
}

Point toUser(const UserScale& scale, Point p1, Point p2, Point plotter) {
    if (!scale.on) return plotter;
    const Point unit = unitSize(scale, p1, p2);
    const double x = unit.x == 0.0 ? scale.xMin : scale.xMin + (plotter.x - p1.x) / unit.x;
    const double y = unit.y == 0.0 ? scale.yMin : scale.yMin + (plotter.y - p1.y) / unit.y;
    return {x, y};
}

bool cutToWindow(const Window& window, Point& a, Point& b) {
    if (window.empty()) return false;
    // Liang-Barsky: the part of a + t (b - a), 0 <= t <= 1, inside each edge.
    const double dx = b.x - a.x;
    const double dy = b.y - a.y;
    double t0 = 0.0;
    double t1 = 1.0;
    const double p[4] = {-dx, dx, -dy, dy};
    const double q[4] = {a.x - window.xll, window.xur - a.x, a.y - window.yll, window.yur - a.y};
    for (int i = 0; i < 4; ++i) {
        if (p[i] == 0.0) {
            if (q[i] < 0.0) return false; // parallel to this edge and outside it
            continue;
        }
        const double t = q[i] / p[i];
        if (p[i] < 0.0) {
            t0 = std::max(t0, t);
        } else {
            t1 = std::min(t1, t);
        }
        if (t0 > t1) return false;
    }
    const Point start = a;
    if (t0 > 0.0) a = {start.x + t0 * dx, start.y + t0 * dy};
    if (t1 < 1.0) b = {start.x + t1 * dx, start.y + t1 * dy};
    return true;
}

double chordAngle(double requested) {
    const double whole = std::floor(std::fabs(requested));
    if (!(whole >= 1.0)) return 5.0; // 0, or not a number
    return std::min(whole, 180.0);
}

double wholeDegrees(double given) {
    return std::floor(given);
}

double turnAndRest(double given) {
    if (std::fabs(given) <= 360) return given;
    return std::fmod(given, 360.0) + std::copysign(360.0, given);
}

int64_t chordCount(double sweepDegrees, double chordDegrees) {
    return static_cast<int64_t>(std::ceil(std::fabs(sweepDegrees) / chordDegrees));
}

Point circlePoint(Point centre, Point unit, double radius, double degrees) {
    // Whole quarter turns exactly, so that a circle's ends meet its axes.
    const double turns = std::remainder(degrees, 360.0);
    double c = 0.0;
    double s = 0.0;
    if (turns == 0.0) {
        c = 1.0;
    } else if (turns == 90.0) {
        s = 1.0;
    } else if (turns == 180.0 || turns == -180.0) {
        c = -1.0;
    } else if (turns == -90.0) {
        s = -1.0;
    } else {
        const double radians = turns * std::numbers::pi / 180.0;
        c = std::cos(radians);
        s = std::sin(radians);
    }
    return {centre.x + radius * c * unit.x, centre.y + radius * s * unit.y};
}

PictureMap::PictureMap(double xMax, double yMax) : k_(std::min(800.0 / xMax, 600.0 / yMax)) {}

} // namespace plotanix
