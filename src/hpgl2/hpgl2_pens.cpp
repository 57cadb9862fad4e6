// The HP-GL/2 model's pens and lines: the palette (NP, PC, CR), widths
// (PW, WU) and their ends and joins (LA), line types (LT, UL), the
// transparency of white (TR), and every pen-down vector's way onto the page.

#include "hpgl2/hpgl2.h"

#include "page/drawing.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <span>
#include <vector>

namespace plotanix {

namespace {

constexpr size_t largestPalette = 32768;
constexpr double defaultMetricWidth = 0.35;  // mm
constexpr double defaultRelativeWidth = 0.1; // percent of the P1-P2 diagonal
constexpr double unitsPerMm = 40;
// Lines narrower than this many pixels are the one-pixel line they round to.
constexpr double widestThinLine = 1.5;
// Wider pens draw this many pixels wide (a 10 mm pen on letter paper), so
// that no stroke costs more than this many times a thin one.
constexpr double widestLine = 32;

// HP-GL/2's palette of eight: white, black, red, green, yellow, blue,
// magenta, cyan (red in the low byte). Further pens repeat pens 1 to 7.
constexpr std::array<Colour, 8> defaultColours = {0xFFFFFF, 0x000000, 0x0000FF, 0x00FF00,
                                                  0x00FFFF, 0xFF0000, 0xFF00FF, 0xFFFF00};

Colour defaultColour(size_t pen) {
    return pen < defaultColours.size() ? defaultColours[pen] : defaultColours[1 + (pen - 1) % 7];
}

// The fixed line types 1 to 8: pen down, pen up, ... in parts of the pattern.
const std::array<std::vector<double>, 8> lineTypes = {{
    {0, 1},
    {0.5, 0.5},
    {0.7, 0.3},
    {0.8, 0.1, 0, 0.1},
    {0.7, 0.1, 0.1, 0.1},
    {0.5, 0.1, 0.1, 0.1, 0.1, 0.1},
    {0.7, 0.1, 0, 0.1, 0, 0.1},
    {0.5, 0.1, 0, 0.1, 0.1, 0.1, 0, 0.1},
}};

bool isWhole(double v, double lo, double hi) {
    return v >= lo && v <= hi && v == std::floor(v);
}

} // namespace

// ---- Drawing a pen-down vector

bool Hpgl2::penShows() const {
    // White is drawn only while TR0 makes it opaque.
    return !(state.transparent && (penColour() & 0xFFFFFF) == 0xFFFFFF);
}

Colour Hpgl2::penColour() const {
    return state.palette[static_cast<size_t>(state.selectedPen)];
}

void Hpgl2::selectColour() {
    flushPieces(); // in the colour they were drawn in, wherever a read ended
    drawing_.setFrontColour(penColour());
}

void Hpgl2::plotLine(Point from, Point to) {
    countStrokes(1);
    if (!penShows()) return;
    if (paperClips_ && !state.windowSet &&
        !(onPaper(state.window, from) && onPaper(state.window, to)))
        countOffPaper();
    if (wideLines_) {
        Point a = from, b = to;
        if (!clipToWindow(state.window, a, b)) countOutside(1);
        // The fill keeps a wide line within the window.
        pattern_.stroke(from, to, sinks_);
        return;
    }
    strokeInWindow(from, to, sinks_);
}

void Hpgl2::drawPiece(Point from, Point to) {
    if (wideLines_) return wide_.segment(page_.picture(from), page_.picture(to), sinks_);
    drawing_.drawLine(page_.column(from), page_.row(from), page_.column(to), page_.row(to),
                      page_.picture(from), page_.picture(to));
}

void Hpgl2::finishLine() {
    wide_.finish(sinks_);
}

void Hpgl2::Sinks::polyline(std::span<const PlotPoint> points) {
    // Label strokes: one pixel wide, whatever the pen's width.
    if (!model.penShows()) return;
    for (size_t i = 1; i < points.size(); ++i) {
        Point a = points[i - 1], b = points[i];
        if (!clipToWindow(model.state.window, a, b)) continue;
        if (model.paperClips_) model.noteCut(points[i - 1], points[i], a, b);
        model.drawing_.drawLine(model.page_.column(a), model.page_.row(a), model.page_.column(b),
                                model.page_.row(b), model.page_.picture(a), model.page_.picture(b));
    }
}

void Hpgl2::Sinks::piece(PlotPoint from, PlotPoint to) {
    model.drawPiece(from, to);
}

void Hpgl2::Sinks::fill(PathView area) {
    model.addPiece(area);
}

void Hpgl2::fillArea(PathView area) {
    countStrokes(1);
    noteOffPaper(area);
    drawing_.fillPath(area, windowPixels_);
}

void Hpgl2::noteOffPaper(PathView area) {
    if (!paperClips_ || state.windowSet) return;
    const PixelRect& w = windowPixels_;
    const bool within = std::all_of(area.points.begin(), area.points.end(), [&](PathPoint p) {
        return p.x >= w.left - 0.5 && p.x <= w.right + 0.5 && p.y >= w.top - 0.5 &&
               p.y <= w.bottom + 0.5;
    });
    if (!within) countOffPaper();
}

namespace {

// Whether a ring goes once round a convex area: every turn the same way and
// one whole turn in all. Only such rings may share one nonzero fill with the
// others, turned the same way round: their windings then add up to the
// union of their areas, however the pieces are grouped.
bool goesOnceRound(std::span<const PathPoint> ring) {
    std::vector<PathPoint> edges;
    edges.reserve(ring.size());
    for (size_t i = 0; i < ring.size(); ++i) {
        const PathPoint a = ring[i], b = ring[(i + 1) % ring.size()];
        if (a != b) edges.push_back({b.x - a.x, b.y - a.y});
    }
    if (edges.size() < 3) return false;
    double turning = 0;
    int side = 0;
    for (size_t i = 0; i < edges.size(); ++i) {
        const PathPoint in = edges[i], out = edges[(i + 1) % edges.size()];
        const double cross = in.x * out.y - in.y * out.x;
        const double dot = in.x * out.x + in.y * out.y;
        if (cross == 0 && dot < 0) return false; // doubles back
        const int turn = (cross > 0) - (cross < 0);
        if (turn != 0 && side != 0 && turn != side) return false;
        if (turn != 0) side = turn;
        turning += std::atan2(cross, dot);
    }
    return side != 0 && std::fabs(std::fabs(turning) - 2 * std::numbers::pi) < 0.5;
}

} // namespace

void Hpgl2::addPiece(PathView area) {
    noteOffPaper(area);
    const bool shares = area.rings.size() == 1 && area.rings[0] >= 3 &&
                        area.rings[0] <= area.points.size() &&
                        goesOnceRound(area.points.first(area.rings[0]));
    if (!shares) {
        // A ring that crosses itself or an area of several rings is filled
        // on its own, by its own rule, as it would be alone.
        flushPieces();
        drawing_.fillPath(area, windowPixels_);
        return;
    }
    const auto ring = area.points.first(area.rings[0]);
    double twiceArea = 0;
    for (size_t i = 0; i < ring.size(); ++i) {
        const PathPoint a = ring[i], b = ring[(i + 1) % ring.size()];
        twiceArea += a.x * b.y - b.x * a.y;
    }
    if (twiceArea < 0) {
        pieces_.points.insert(pieces_.points.end(), ring.rbegin(), ring.rend());
    } else {
        pieces_.points.insert(pieces_.points.end(), ring.begin(), ring.end());
    }
    pieces_.rings.push_back(static_cast<uint32_t>(ring.size()));
    // A long path is filled in parts: the pieces' memory stays small.
    if (pieces_.points.size() >= maxPieces) flushPieces();
}

void Hpgl2::flushPieces() {
    if (pieces_.rings.empty()) return;
    pieces_.rule = FillRule::nonzero;
    drawing_.fillPath(pieces_.view(), windowPixels_);
    pieces_.clear();
}

// ---- Pens

void Hpgl2::resizePalette(size_t size) {
    const double width = state.relativeWidths ? defaultRelativeWidth : defaultMetricWidth;
    for (size_t pen = state.palette.size(); pen < size; ++pen) {
        state.palette.push_back(defaultColour(pen));
        state.widths.push_back(width);
    }
    state.palette.resize(size);
    state.widths.resize(size);
    // A pen past a smaller palette is taken modulo its size.
    state.selectedPen %= static_cast<int32_t>(size);
}

void Hpgl2::selectPen(double given) {
    // Past the palette the numbers wrap round it.
    const double number = std::trunc(given);
    if (!(number >= 0 && number < 1e9)) return raiseError(badParameter);
    state.selectedPen = static_cast<int32_t>(static_cast<int64_t>(number) %
                                             static_cast<int64_t>(state.palette.size()));
    selectColour();
    applyPenStyle();
}

void Hpgl2::applyPenStyle() {
    const double width = state.widths[static_cast<size_t>(state.selectedPen)];
    const double units = state.relativeWidths ? width / 100 * diagonal() : width * unitsPerMm;
    LineStyle style = state.ends;
    style.width = std::min(units * page_.scale(), widestLine);
    wideLines_ = style.width >= widestThinLine;
    finishLine();
    wide_.setStyle(style);
    const double shortest = dashShortest_;
    applyDashScale();
    if (dashShortest_ != shortest) applyLineType();
}

void Hpgl2::applyDashScale() {
    // Periods under a pixel of this page draw solid. With a wide pen whose
    // ends are round or square, so do periods under half its width: the
    // ends cover the gaps, and each dash would cost a wide stroke of its own.
    const LineStyle& style = wide_.style();
    const bool endsCover =
        wideLines_ && (style.cap == LineCap::round || style.cap == LineCap::square);
    dashShortest_ = std::max(1.0, endsCover ? style.width / 2 : 0.0) / page_.scale();
    // The window may reach as far as HP-GL/2's coordinates do.
    pattern_.setScale(dashShortest_, {-hpgl2Reach, -hpgl2Reach, hpgl2Reach, hpgl2Reach});
}

void Hpgl2::doNP(const Numbers& p) {
    if (rejected(p)) return;
    const double wanted = p.count > 0 ? p.v[0] : 8;
    if (!(wanted >= 2)) return raiseError(badParameter);
    size_t size = 2;
    while (size < wanted && size < largestPalette)
        size *= 2;
    resizePalette(size);
    selectColour();
    applyPenStyle();
}

void Hpgl2::doPC(const Numbers& p) {
    if (rejected(p)) return;
    if (p.count == 0) {
        for (size_t pen = 0; pen < state.palette.size(); ++pen)
            state.palette[pen] = defaultColour(pen);
        return selectColour();
    }
    if (p.count != 1 && p.count != 4) return raiseError(wrongParameterCount);
    const double number = std::trunc(p.v[0]);
    if (!isWhole(number, 0, double(state.palette.size() - 1))) return raiseError(badParameter);
    const auto pen = static_cast<size_t>(number);
    Colour colour = defaultColour(pen);
    if (p.count == 4) {
        colour = 0;
        for (int c = 0; c < 3; ++c) {
            // Into 0..255 from the range CR set for this component.
            const double black = state.colourRange[2 * c], white = state.colourRange[2 * c + 1];
            const double level = white == black ? 0 : (p.v[1 + c] - black) / (white - black);
            const auto byte = static_cast<Colour>(std::lround(std::clamp(level, 0.0, 1.0) * 255));
            colour |= byte << (8 * c);
        }
    }
    state.palette[pen] = colour;
    selectColour();
}

void Hpgl2::doCR(const Numbers& p) {
    if (rejected(p)) return;
    if (p.count == 0) {
        state.colourRange = {0, 255, 0, 255, 0, 255};
        return;
    }
    if (p.count != 6) return raiseError(wrongParameterCount);
    for (int i = 0; i < 6; ++i)
        state.colourRange[i] = p.v[i];
}

void Hpgl2::doPW(const Numbers& p) {
    if (rejected(p)) return;
    const double fallback = state.relativeWidths ? defaultRelativeWidth : defaultMetricWidth;
    const double width = p.count > 0 ? p.v[0] : fallback;
    if (!(width >= 0 && width < 1e6) || p.count > 2) return raiseError(badParameter);
    if (p.count == 2) {
        const double pen = std::trunc(p.v[1]);
        if (!isWhole(pen, 0, double(state.widths.size() - 1))) return raiseError(badParameter);
        state.widths[static_cast<size_t>(pen)] = width;
    } else {
        std::fill(state.widths.begin(), state.widths.end(), width);
    }
    applyPenStyle();
}

void Hpgl2::doWU(const Numbers& p) {
    if (rejected(p)) return;
    const double type = p.count > 0 ? p.v[0] : 0;
    if (type != 0 && type != 1) return; // other values are ignored
    state.relativeWidths = type == 1;
    std::fill(state.widths.begin(), state.widths.end(),
              state.relativeWidths ? defaultRelativeWidth : defaultMetricWidth);
    applyPenStyle();
}

void Hpgl2::doLA(const Numbers& p) {
    if (rejected(p)) return;
    if (p.count == 0) state.ends = {};
    if (p.count % 2 != 0) raiseError(wrongParameterCount);
    for (int i = 0; i + 1 < std::min(p.count, static_cast<int>(p.v.size())); i += 2) {
        const double kind = p.v[i], value = p.v[i + 1];
        if (kind == 1 && isWhole(value, 1, 4)) {
            state.ends.cap = static_cast<LineCap>(value - 1);
        } else if (kind == 2 && isWhole(value, 1, 6)) {
            state.ends.join = static_cast<LineJoin>(value - 1);
        } else if (kind == 3 && std::isfinite(value)) {
            state.ends.mitreLimit = std::clamp(value, 1.0, 32767.0);
        } else {
            raiseError(badParameter);
        }
    }
    applyPenStyle();
}

// ---- Line types

void Hpgl2::applyLineType() {
    if (!state.lineTypeSet) return pattern_.select(LinePattern::solid, 0);
    if (state.lineType == 0) return pattern_.select(0, 0); // dots at the points
    const double period = state.patternMetric ? state.patternLength * unitsPerMm
                                              : state.patternLength / 100 * diagonal();
    const size_t index = static_cast<size_t>(std::abs(state.lineType)) - 1;
    const std::vector<double>& user = userTypes_[index];
    if (user.empty()) return pattern_.selectLayout(lineTypes[index], period, state.lineType < 0);
    // UL's gaps are percentages of the pattern, which is as long as they add up to.
    double total = 0;
    for (const double gap : user)
        total += gap;
    std::array<double, LinePattern::maxParts> parts{};
    for (size_t i = 0; i < user.size(); ++i)
        parts[i] = user[i] / total;
    pattern_.selectLayout(std::span(parts.data(), user.size()), period * total / 100,
                          state.lineType < 0);
}

void Hpgl2::doLT(const Numbers& p) {
    if (rejected(p)) return;
    const int32_t before = state.lineType;
    const bool wasSet = state.lineTypeSet;
    if (p.count == 0) {
        state.lineTypeSet = false;
    } else if (p.v[0] == 99) {
        if (!state.previousSet) return;
        state.lineType = state.previousType;
        state.lineTypeSet = true;
    } else {
        if (p.count > 3) return raiseError(wrongParameterCount);
        if (!isWhole(p.v[0], -8, 8)) return raiseError(badParameter);
        if (p.count > 1 && !(p.v[1] > 0 && p.v[1] < 1e6)) return raiseError(badParameter);
        if (p.count > 2 && p.v[2] != 0 && p.v[2] != 1) return raiseError(badParameter);
        state.lineType = static_cast<int32_t>(p.v[0]);
        state.lineTypeSet = true;
        if (p.count > 1) state.patternLength = p.v[1];
        if (p.count > 2) state.patternMetric = p.v[2] == 1;
    }
    if (wasSet) state.previousType = before, state.previousSet = true;
    applyLineType();
}

void Hpgl2::doUL(const Numbers& p) {
    if (rejected(p)) return;
    if (p.count == 0) {
        for (auto& layout : userTypes_)
            layout.clear();
        return applyLineType();
    }
    const double index = std::fabs(p.v[0]);
    if (!isWhole(index, 1, 8) || p.count > 21) return raiseError(badParameter);
    std::vector<double> gaps(p.v.begin() + 1, p.v.begin() + p.count);
    double total = 0;
    for (const double gap : gaps) {
        if (!(gap >= 0 && gap < 1e6)) return raiseError(badParameter);
        total += gap;
    }
    if (!gaps.empty() && !(total > 0)) return raiseError(badParameter);
    userTypes_[static_cast<size_t>(index) - 1] = std::move(gaps);
    applyLineType();
}

void Hpgl2::doTR(const Numbers& p) {
    if (rejected(p)) return;
    const double mode = p.count > 0 ? p.v[0] : 1;
    if (mode != 0 && mode != 1) return raiseError(badParameter);
    state.transparent = mode == 1;
}

} // namespace plotanix
