#include "page/wide_line.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace plotanix {

namespace {

PathPoint plus(PathPoint a, PathPoint b, double k = 1) {
    return {a.x + b.x * k, a.y + b.y * k};
}

// Rotated a quarter turn: the band's side.
PathPoint normal(PathPoint d) {
    return {-d.y, d.x};
}

} // namespace

void WideLine::setStyle(const LineStyle& style) {
    style_ = style;
    style_.width = std::isfinite(style.width) ? std::clamp(style.width, 0.0, 1e4) : 1.0;
    open_ = false;
}

void WideLine::emit(AreaSink& sink, std::initializer_list<PathPoint> points) {
    area_.points.assign(points.begin(), points.end());
    area_.rings.assign(1, static_cast<uint32_t>(points.size()));
    area_.rule = FillRule::nonzero;
    sink.fill(area_.view());
}

void WideLine::disk(PathPoint centre, AreaSink& sink) {
    const double radius = style_.width / 2;
    // Enough corners that none stands out by a tenth of a pixel.
    const int corners =
        std::clamp(static_cast<int>(std::ceil(std::numbers::pi * std::sqrt(radius * 10))), 8, 64);
    area_.points.clear();
    for (int i = 0; i < corners; ++i) {
        const double angle = 2 * std::numbers::pi * i / corners;
        area_.points.push_back(
            {centre.x + radius * std::cos(angle), centre.y + radius * std::sin(angle)});
    }
    area_.rings.assign(1, static_cast<uint32_t>(corners));
    area_.rule = FillRule::nonzero;
    sink.fill(area_.view());
}

void WideLine::cap(PathPoint at, PathPoint outward, AreaSink& sink) {
    const double h = style_.width / 2;
    const PathPoint side = normal(outward);
    switch (style_.cap) {
    case LineCap::butt:
        break;
    case LineCap::square:
        emit(sink, {plus(at, side, h), plus(plus(at, side, h), outward, h),
                    plus(plus(at, side, -h), outward, h), plus(at, side, -h)});
        break;
    case LineCap::triangular:
        emit(sink, {plus(at, side, h), plus(at, outward, h), plus(at, side, -h)});
        break;
    case LineCap::round:
        disk(at, sink);
        break;
    }
}

void WideLine::join(PathPoint at, PathPoint in, PathPoint out, AreaSink& sink) {
    const double h = style_.width / 2;
    const double turn = in.x * out.y - in.y * out.x;
    if (turn == 0 && in.x * out.x + in.y * out.y > 0) return; // straight on
    // The outer side: away from the turn.
    const double outer = turn > 0 ? -1 : 1;
    const PathPoint a = plus(at, normal(in), outer * h), b = plus(at, normal(out), outer * h);
    const PathPoint bisector{a.x + b.x - 2 * at.x, a.y + b.y - 2 * at.y};
    const double reach = std::hypot(bisector.x, bisector.y); // 2 h cos(half the outer angle)
    switch (style_.join) {
    case LineJoin::none:
        return;
    case LineJoin::round:
        return disk(at, sink);
    case LineJoin::triangular:
        if (reach > 0) return emit(sink, {at, a, plus(at, bisector, h / reach), b});
        return emit(sink, {at, a, b});
    case LineJoin::mitre:
    case LineJoin::mitreBevel: {
        // The mitre's length over the width is 1 / cos(half the outer angle).
        const double ratio = reach > 0 ? 2 * h / reach : INFINITY;
        if (ratio <= style_.mitreLimit)
            return emit(sink, {at, a, plus(at, bisector, 2 * h * h / (reach * reach)), b});
        return emit(sink, {at, a, b});
    }
    case LineJoin::bevel:
        return emit(sink, {at, a, b});
    }
}

void WideLine::segment(PathPoint a, PathPoint b, AreaSink& sink) {
    if (!std::isfinite(a.x + a.y + b.x + b.y)) return;
    const double h = style_.width / 2;
    const double length = std::hypot(b.x - a.x, b.y - a.y);
    const bool continues = open_ && a == end_;
    if (length == 0) {
        if (continues) return;
        finish(sink);
        // A dot: round with round caps, square otherwise.
        if (style_.cap == LineCap::round) return disk(a, sink);
        return emit(
            sink, {{a.x - h, a.y - h}, {a.x + h, a.y - h}, {a.x + h, a.y + h}, {a.x - h, a.y + h}});
    }
    const PathPoint d{(b.x - a.x) / length, (b.y - a.y) / length};
    if (continues) {
        join(a, direction_, d, sink);
    } else {
        finish(sink);
        cap(a, {-d.x, -d.y}, sink);
        start_ = a;
        startDirection_ = d;
    }
    const PathPoint side = normal(d);
    emit(sink, {plus(a, side, h), plus(b, side, h), plus(b, side, -h), plus(a, side, -h)});
    open_ = true;
    end_ = b;
    direction_ = d;
}

void WideLine::finish(AreaSink& sink) {
    if (!open_) return;
    open_ = false;
    cap(end_, direction_, sink);
}

void WideLine::close(AreaSink& sink) {
    if (!open_ || end_ != start_) return finish(sink);
    open_ = false;
    join(end_, direction_, startDirection_, sink);
}

void WideLine::showEnd(AreaSink& sink) {
    if (open_) cap(end_, direction_, sink);
}

} // namespace plotanix
