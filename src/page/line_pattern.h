#pragma once
// LT line types laid along pen-down vectors in plotter units. A pattern is
// a period of alternating pen-down and pen-up lengths, starting pen down; a
// zero pen-down length is a dot. The pattern runs on across the vectors of
// one pen-down path and starts afresh after reset() (the pen lifted).

#include "page/plot_geometry.h"

namespace plotanix {

// Receives the visible pieces; a dot comes as from == to.
class PieceSink {
  public:
    virtual void piece(PlotPoint from, PlotPoint to) = 0;

  protected:
    ~PieceSink() = default;
};

class LinePattern {
  public:
    static constexpr int solid = -1;
    // Periods shorter than this (a quarter millimetre, under a pixel of the
    // page) draw solid: dashes would merge anyway, and the work stays bounded.
    static constexpr double shortestPeriod = 10;

    // LT n,length: n in 0..6 (others draw solid); the period in plotter units.
    // 0 puts a dot at each end point; 1-6 are the dash layouts.
    void select(int pattern, double period);
    int pattern() const { return pattern_; }
    void reset() { phase_ = 0, fresh_ = true; }

    // Pieces wholly outside the box (the soft-clip window) are not produced,
    // and the pattern only walks the part of a vector inside it.
    // The box is kept within the default one, which bounds the walk.
    void setClip(const PlotBox& box);

    void stroke(PlotPoint from, PlotPoint to, PieceSink& sink);

  private:
    void walk(PlotPoint from, PlotPoint unit, double skipped, double length, PieceSink& sink);

    int pattern_ = solid;
    double period_ = 0;
    double phase_ = 0; // how far into the period the next vector starts
    bool fresh_ = true;
    PlotBox clip_;
};

} // namespace plotanix
