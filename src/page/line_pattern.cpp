#include "page/line_pattern.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <span>

namespace plotanix {
namespace {

// Fractions of the period, alternately pen down and pen up, as HP-GL lists them.
constexpr std::array<double, 2> dotGap{0, 1};
constexpr std::array<double, 2> halfDash{0.5, 0.5};
constexpr std::array<double, 2> longDash{0.7, 0.3};
constexpr std::array<double, 4> dashDot{0.8, 0.1, 0, 0.1};
constexpr std::array<double, 4> dashShort{0.7, 0.1, 0.1, 0.1};
constexpr std::array<double, 6> dashTwoShort{0.5, 0.1, 0.1, 0.1, 0.1, 0.1};

std::span<const double> layout(int pattern) {
    switch (pattern) {
    case 1:
        return dotGap;
    case 2:
        return halfDash;
    case 3:
        return longDash;
    case 4:
        return dashDot;
    case 5:
        return dashShort;
    case 6:
        return dashTwoShort;
    default:
        return {};
    }
}

bool finitePoint(PlotPoint p) {
    return std::isfinite(p.x) && std::isfinite(p.y);
}

} // namespace

void LinePattern::select(int pattern, double period) {
    const bool dashed = pattern >= 1 && pattern <= 6;
    pattern_ =
        pattern == 0 || (dashed && std::isfinite(period) && period >= shortest_) ? pattern : solid;
    period_ = pattern_ > 0 ? period : 0;
    const std::span<const double> parts = layout(pattern_);
    std::copy(parts.begin(), parts.end(), parts_.begin());
    partCount_ = parts.size();
    adaptive_ = false;
    reset();
}

void LinePattern::selectLayout(std::span<const double> parts, double period, bool adaptive) {
    partCount_ = std::min(parts.size(), maxParts);
    std::copy_n(parts.begin(), partCount_, parts_.begin());
    bool sound = true;
    double total = 0;
    for (size_t i = 0; i < partCount_; ++i) {
        sound = sound && std::isfinite(parts_[i]) && parts_[i] >= 0;
        total += parts_[i];
    }
    // Adaptive periods are checked per vector.
    const bool periodFits = std::isfinite(period) && (adaptive || period >= shortest_);
    pattern_ = sound && total > 0 && periodFits ? custom : solid;
    period_ = pattern_ == custom ? period : 0;
    adaptive_ = adaptive;
    reset();
}

void LinePattern::setClip(const PlotBox& box) {
    const PlotBox& reach = reach_;
    const auto keep = [](double v, double lo, double hi) {
        return std::isfinite(v) ? std::clamp(v, lo, hi) : v < 0 ? lo : hi;
    };
    clip_ = {keep(box.left, reach.left, reach.right), keep(box.bottom, reach.bottom, reach.top),
             keep(box.right, reach.left, reach.right), keep(box.top, reach.bottom, reach.top)};
}

void LinePattern::stroke(PlotPoint from, PlotPoint to, PieceSink& sink) {
    if (!finitePoint(from) || !finitePoint(to)) return;
    const bool startsPath = fresh_;
    fresh_ = false;
    if (pattern_ == solid) {
        const PlotPoint ends[] = {from, to};
        if (clip_.mayTouch(ends)) sink.piece(from, to);
        return;
    }
    if (pattern_ == 0) {
        if (startsPath && clip_.contains(from)) sink.piece(from, from);
        if (clip_.contains(to)) sink.piece(to, to);
        return;
    }
    const PlotPoint step = to - from;
    const double length = std::hypot(step.x, step.y);
    double period = period_;
    if (adaptive_) {
        // Whole periods along this vector, from its start.
        period = length / std::max(1.0, std::round(length / period_));
        phase_ = 0;
        if (!(period >= shortest_)) {
            const PlotPoint ends[] = {from, to};
            if (clip_.mayTouch(ends)) sink.piece(from, to);
            return;
        }
    }
    double t0 = 0, t1 = 0;
    if (length > 0 && clipSpan(clip_, from, step, t0, t1))
        walk(from + step * t0, step * (1 / length), t0 * length, (t1 - t0) * length, period, sink);
    phase_ = std::fmod(phase_ + length, period);
}

// Emits the pen-down pieces of the visible stretch, length long, that begins
// skipped into the vector at from. Distances count from there, so that they
// stay small whatever the coordinates.
bool LinePattern::sameLayout(const LinePattern& other) const {
    return pattern_ == other.pattern_ && period_ == other.period_ &&
           partCount_ == other.partCount_ && adaptive_ == other.adaptive_ &&
           std::equal(parts_.begin(), parts_.begin() + static_cast<ptrdiff_t>(partCount_),
                      other.parts_.begin()) &&
           shortest_ == other.shortest_;
}

double LinePattern::pieces(PlotPoint from, PlotPoint to) const {
    if (pattern_ == solid) return 1;
    if (pattern_ == 0) return 2;
    const double length = std::hypot(to.x - from.x, to.y - from.y);
    const double periods =
        adaptive_ ? std::max(1.0, std::round(length / period_)) : length / period_;
    return std::isfinite(periods) ? 1 + std::ceil(periods) * double((partCount_ + 1) / 2) : 1;
}

void LinePattern::walk(PlotPoint from, PlotPoint unit, double skipped, double length, double period,
                       PieceSink& sink) {
    const std::span<const double> parts(parts_.data(), partCount_);
    const double start = 0, end = length;
    // Where, relative to from, the period holding from begins.
    double periodStart = -std::fmod(phase_ + skipped, period);
    size_t part = 0;
    double partStart = periodStart;
    while (partStart <= end) {
        const double partEnd = partStart + parts[part] * period;
        if (part % 2 == 0) {
            const double a = std::max(partStart, start), b = std::min(partEnd, end);
            const bool dot = parts[part] == 0;
            // A dot belongs to the vector it starts; one at the very end opens the next.
            if (dot ? partStart >= start && partStart < end : a < b)
                sink.piece(from + unit * a, from + unit * b);
        }
        partStart = partEnd;
        if (++part == parts.size()) {
            part = 0;
            periodStart += period;
            partStart = periodStart; // no drift from summing the parts
        }
    }
}

} // namespace plotanix
