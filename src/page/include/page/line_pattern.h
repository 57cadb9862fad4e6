#pragma once
// LT line types laid along pen-down vectors in plotter units. A pattern is
// a period of alternating pen-down and pen-up lengths, starting pen down; a
// zero pen-down length is a dot. The pattern runs on across the vectors of
// one pen-down path and starts afresh after reset() (the pen lifted).

#include "page/plot_geometry.h"

#include <array>
#include <cmath>
#include <cstddef>
#include <span>

namespace plotanix {

// Receives the visible pieces; a dot comes as from == to.
class PieceSink {
  public:
    virtual void piece(PlotPoint from, PlotPoint to) = 0;
    // A solid vector already cut to the soft-clip window: a sink that would
    // cut it again takes it as it is.
    virtual void windowedPiece(PlotPoint from, PlotPoint to) { piece(from, to); }

  protected:
    ~PieceSink() = default;
};

class LinePattern {
  public:
    static constexpr int solid = -1;
    // What pattern() says of a layout given by selectLayout.
    static constexpr int custom = 100;
    // The most parts a layout may have.
    static constexpr size_t maxParts = 20;
    // Periods shorter than this (a quarter millimetre, under a pixel of the
    // page) draw solid: dashes would merge anyway, and the work stays bounded.
    static constexpr double shortestPeriod = 10;

    // LT n,length: n in 0..6 (others draw solid); the period in plotter units.
    // 0 puts a dot at each end point; 1-6 are the dash layouts.
    void select(int pattern, double period);
    // A layout of the caller's, in fractions of the period as above, adding
    // up to 1 (parts past maxParts are dropped; none draws solid).
    // Adaptive: each vector holds a whole number of periods, the period
    // stretched or shrunk to fit, and starts its own pattern.
    void selectLayout(std::span<const double> parts, double period, bool adaptive);
    int pattern() const { return pattern_; }
    // Whether the two lay the same pieces along a vector (phase aside).
    bool sameLayout(const LinePattern& other) const;
    void reset() { phase_ = 0, fresh_ = true; }
    // Where the next vector starts in the period, to be taken up again.
    struct Phase {
        double phase = 0;
        bool fresh = true;
    };
    Phase phase() const { return {phase_, fresh_}; }
    void setPhase(Phase p) { phase_ = p.phase, fresh_ = p.fresh; }

    // Pieces wholly outside the box (the soft-clip window) are not produced,
    // and the pattern only walks the part of a vector inside it.
    // The box is kept within the reach (the default box unless set), which
    // bounds the walk.
    void setClip(const PlotBox& box);
    // For a page of another size: periods under shortest (a pixel of it)
    // draw solid, and the clip may reach as far as reach. Takes effect with
    // the next select and setClip.
    void setScale(double shortest, const PlotBox& reach) { shortest_ = shortest, reach_ = reach; }

    void stroke(PlotPoint from, PlotPoint to, PieceSink& sink);
    // While solid: a vector already cut to the box, handed to the sink's
    // windowedPiece without another look at the box.
    // Inline: a plot's every solid vector comes this way.
    void strokeWindowed(PlotPoint from, PlotPoint to, PieceSink& sink) {
        if (!std::isfinite(from.x) || !std::isfinite(from.y) || !std::isfinite(to.x) ||
            !std::isfinite(to.y))
            return;
        fresh_ = false;
        sink.windowedPiece(from, to);
    }
    // About how many pieces stroke would hand over for this vector, clip
    // aside: what drawing it costs a wide pen.
    double pieces(PlotPoint from, PlotPoint to) const;

  private:
    void walk(PlotPoint from, PlotPoint unit, double skipped, double length, double period,
              PieceSink& sink);

    int pattern_ = solid;
    std::array<double, maxParts> parts_{};
    size_t partCount_ = 0;
    bool adaptive_ = false;
    double period_ = 0;
    double shortest_ = shortestPeriod;
    PlotBox reach_;
    double phase_ = 0; // how far into the period the next vector starts
    bool fresh_ = true;
    PlotBox clip_;
};

} // namespace plotanix
