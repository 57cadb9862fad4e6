#include "page/label_strokes.h"

#include <algorithm>
#include <cmath>

namespace plotanix {
namespace {

// Sizes and slants beyond these draw nowhere near the page; clamping keeps
// every product finite (SI of 1e30, SL of 1e30).
constexpr double sizeReach = 1e7, slantReach = 1e6;
constexpr double cellAcross = 1.5, lineUp = 2.0;
constexpr size_t runChunk = 256; // UC runs longer than this go out in pieces

double tame(double value, double reach) {
    return std::isfinite(value) ? std::clamp(value, -reach, reach) : 0.0;
}

PlotPoint unitDirection(PlotPoint d) {
    const double length = std::hypot(d.x, d.y);
    if (!std::isfinite(length) || length == 0) return {1, 0};
    return {d.x / length, d.y / length};
}

} // namespace

// The character box's axes: a glyph point (u, v) lies at origin + across * u + up * v.
struct LabelWriter::Frame {
    PlotPoint along, normal; // unit vectors of the label direction and its left side
    double width, height;
    PlotPoint across, up;

    explicit Frame(const LabelState& s)
        : along(unitDirection(s.direction)), normal{-along.y, along.x},
          width(tame(s.width, sizeReach)), height(tame(s.height, sizeReach)), across(along * width),
          up(normal * height + along * (tame(s.slant, slantReach) * height)) {}

    PlotPoint at(PlotPoint origin, double u, double v) const {
        return origin + across * u + up * v;
    }
    PlotPoint cell() const { return across * cellAcross; }
    // The box, relative to a cell's origin, that a glyph within b covers.
    PlotBox extent(const GlyphBounds& b) const {
        const PlotPoint zero{}, corners[] = {at(zero, b.uMin, b.vMin), at(zero, b.uMax, b.vMin),
                                             at(zero, b.uMin, b.vMax), at(zero, b.uMax, b.vMax)};
        PlotBox box{corners[0].x, corners[0].y, corners[0].x, corners[0].y};
        for (const PlotPoint& c : corners)
            box = {std::min(box.left, c.x), std::min(box.bottom, c.y), std::max(box.right, c.x),
                   std::max(box.top, c.y)};
        return box;
    }
    PlotPoint line() const { return normal * (height * lineUp); }
};

// The font's longest stroke is not asked for here: a face read at its first
// use is then read only by a file with labels. run_ grows to it once.
LabelWriter::LabelWriter(const StrokeFont* font) : font_(font) {
    run_.reserve(runChunk);
}

PlotPoint LabelWriter::label(LabelState& state, std::string_view text, PlotPoint pen,
                             StrokeSink& sink) {
    const Frame frame(state);
    // Four comparisons skip a character far from the clip box: a long label
    // mostly off the page costs little.
    const PlotBox reach = frame.extent(font_ ? font_->bounds() : GlyphBounds{});
    const auto nearClip = [&](PlotPoint p) {
        return p.x + reach.right >= clip_.left && p.x + reach.left <= clip_.right &&
               p.y + reach.top >= clip_.bottom && p.y + reach.bottom <= clip_.top;
    };
    for (const char byte : text) {
        const unsigned code = static_cast<unsigned char>(byte) & 0x7Fu;
        switch (code) {
        case '\r':
            pen = state.carriageReturn;
            break;
        case '\n':
            pen = pen - frame.line();
            state.carriageReturn = state.carriageReturn - frame.line();
            break;
        case '\b':
            pen = pen - frame.cell();
            break;
        case 0x0E:
            state.alternateSelected = true;
            break;
        case 0x0F:
            state.alternateSelected = false;
            break;
        default:
            if (code < 0x20) break;
            // The national sets 1-4 have no glyphs of their own in the Hershey
            // face, so every set draws the ASCII glyph for its codes.
            if (nearClip(pen)) {
                drawGlyph(frame, code, pen, sink);
            } else if (font_ && !font_->glyph(code).strokes.empty()) {
                ++tally_.skipped;
            }
            pen = pen + frame.cell();
        }
    }
    return pen;
}

void LabelWriter::symbol(const LabelState& state, unsigned char code, PlotPoint at,
                         StrokeSink& sink) {
    const Frame frame(state);
    drawGlyph(frame, code & 0x7Fu, frame.at(at, -0.5, -0.5), sink);
}

void LabelWriter::drawGlyph(const Frame& frame, unsigned code, PlotPoint origin, StrokeSink& sink) {
    if (!font_) return;
    const GlyphView glyph = font_->glyph(code);
    if (glyph.strokes.empty()) return;
    const GlyphBounds& b = glyph.bounds;
    const PlotPoint corners[] = {frame.at(origin, b.uMin, b.vMin), frame.at(origin, b.uMax, b.vMin),
                                 frame.at(origin, b.uMin, b.vMax),
                                 frame.at(origin, b.uMax, b.vMax)};
    if (!clip_.mayTouch(corners)) {
        ++tally_.skipped;
        return;
    }
    ++tally_.drawn;
    for (const GlyphStroke& stroke : glyph.strokes) {
        run_.clear();
        for (uint32_t i = 0; i < stroke.count; ++i) {
            const GlyphPoint& p = glyph.points[stroke.first + i];
            run_.push_back(frame.at(origin, p.u, p.v));
        }
        if (run_.size() == 1) run_.push_back(run_.front());
        sink.polyline(run_);
    }
}

PlotPoint LabelWriter::userCharacter(const LabelState& state, std::span<const double> values,
                                     PlotPoint pen, StrokeSink& sink) {
    const Frame frame(state);
    double gridX = 0, gridY = 0, pendingX = 0;
    bool down = false, havePendingX = false;
    run_.clear();
    for (const double value : values) {
        if (!std::isfinite(value)) continue;
        if (std::abs(value) >= 99) {
            if (value < 0 && down) flushRun(sink);
            if (value > 0 && !down) run_.assign(1, frame.at(pen, gridX / 4, gridY / 8));
            down = value > 0;
            continue;
        }
        if (!havePendingX) {
            pendingX = value, havePendingX = true;
            continue;
        }
        gridX += pendingX, gridY += value, havePendingX = false;
        if (!down) continue;
        run_.push_back(frame.at(pen, gridX / 4, gridY / 8));
        if (run_.size() >= runChunk) {
            const PlotPoint last = run_.back();
            flushRun(sink);
            run_.assign(1, last);
        }
    }
    if (down) flushRun(sink);
    return pen + frame.cell();
}

void LabelWriter::flushRun(StrokeSink& sink) {
    if (run_.size() == 1) run_.push_back(run_.front()); // pen down and up again: a dot
    if (run_.size() >= 2 && clip_.mayTouch(run_)) sink.polyline(run_);
    run_.clear();
}

PlotPoint moveByCells(const LabelState& state, PlotPoint pen, double cells, double lines) {
    const double width = tame(state.width, sizeReach), height = tame(state.height, sizeReach);
    const PlotPoint along = unitDirection(state.direction), normal{-along.y, along.x};
    return pen + along * (tame(cells, sizeReach) * width * cellAcross) +
           normal * (tame(lines, sizeReach) * height * lineUp);
}

PlotPoint newLine(LabelState& state) {
    state.carriageReturn = moveByCells(state, state.carriageReturn, 0, -1);
    return state.carriageReturn;
}

} // namespace plotanix
