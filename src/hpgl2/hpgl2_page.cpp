#include "hpgl2/hpgl2_page.h"

#include <algorithm>
#include <cmath>

namespace plotanix {

double hpgl2Chord(double requested) {
    const double angle = std::fabs(requested);
    if (!std::isfinite(angle) || angle == 0) return 5;
    return std::clamp(angle, 0.5, 180.0);
}

void Hpgl2Page::setPaper(Point size) {
    paper_ = {std::max(size.x, size.y), std::min(size.x, size.y)};
    map_ = PictureMap(paper_.x, paper_.y);
}

Point Hpgl2Page::frame() const {
    return rotation_ == 90 || rotation_ == 270 ? Point{paper_.y, paper_.x} : paper_;
}

// The turned axes: X runs along the paper's +Y at 90 degrees, and the
// origin moves to the corner that keeps the frame on the paper.
Point Hpgl2Page::toPaper(Point p) const {
    switch (rotation_) {
    case 90:
        return {paper_.x - p.y, p.x};
    case 180:
        return {paper_.x - p.x, paper_.y - p.y};
    case 270:
        return {p.y, paper_.y - p.x};
    default:
        return p;
    }
}

Point Hpgl2Page::fromPaper(Point p) const {
    switch (rotation_) {
    case 90:
        return {p.y, paper_.x - p.x};
    case 180:
        return {paper_.x - p.x, paper_.y - p.y};
    case 270:
        return {paper_.y - p.y, p.x};
    default:
        return p;
    }
}

PathPoint Hpgl2Page::picture(Point p) const {
    const Point q = toPaper(p);
    const double k = scale();
    return {q.x * k + 0.5, 599.5 - q.y * k};
}

PixelRect Hpgl2Page::pixels(const PlotBox& box) const {
    const PathPoint a = picture({box.left, box.bottom}), b = picture({box.right, box.top});
    const auto edge = [](double v) { return std::clamp(v, -1.0e6, 1.0e6); };
    // Pixel c's centre is c + 0.5: those from ceil(lo - 0.5) to floor(hi - 0.5).
    const double left = std::ceil(edge(std::min(a.x, b.x)) - 0.5);
    const double right = std::floor(edge(std::max(a.x, b.x)) - 0.5) + 1;
    const double top = std::ceil(edge(std::min(a.y, b.y)) - 0.5);
    const double bottom = std::floor(edge(std::max(a.y, b.y)) - 0.5) + 1;
    return {static_cast<int32_t>(left), static_cast<int32_t>(top), static_cast<int32_t>(right),
            static_cast<int32_t>(bottom)};
}

} // namespace plotanix
