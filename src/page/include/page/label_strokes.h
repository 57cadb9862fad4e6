#pragma once
// Pen-drawn labels laid out as the 7470A writes them: each character in a
// cell 1.5 x its width across and 2 x its height up, the pen at the
// lower-left of a cell, the character filling its width and height from
// there. Everything is in plotter units; the caller maps the strokes to the
// picture and draws them solid, whatever the line type.

#include "page/plot_geometry.h"
#include "page/stroke_font.h"

#include <span>
#include <string_view>
#include <vector>

namespace plotanix {

// The label settings the 7470A-style models keep (SI/SR, DI/DR, SL, CS/CA/SS/SA,
// the carriage-return point).
struct LabelState {
    double width = 75, height = 108; // capital letter size; negative mirrors
    PlotPoint direction{1, 0};       // run, rise; any length but zero
    double slant = 0;                // tangent of the lean from upright
    int standardSet = 0, alternateSet = 0;
    bool alternateSelected = false;
    PlotPoint carriageReturn; // where CR returns the pen
};

// Receives each pen-down run as a polyline of at least two points; a dot
// comes as two equal points.
class StrokeSink {
  public:
    virtual void polyline(std::span<const PlotPoint> points) = 0;

  protected:
    ~StrokeSink() = default;
};

class LabelWriter {
  public:
    // Without a font, characters draw nothing but the pen still moves.
    explicit LabelWriter(const StrokeFont* font);

    // Strokes wholly outside the box (the soft-clip window) are skipped, a
    // character at a time, before they reach the sink.
    void setClip(const PlotBox& box) { clip_ = box; }
    // Characters with strokes handed to a sink, and those passed over as
    // wholly outside the box, since the writer was made.
    struct Tally {
        int64_t drawn = 0, skipped = 0;
    };
    const Tally& tally() const { return tally_; }

    // LB: the text from the pen; returns the pen after it. CR goes to the
    // carriage-return point; LF moves the pen and that point one line down;
    // BS one cell back; SO/SI select the alternate/standard set (kept in
    // state); other control characters do nothing. Bytes are read as 7-bit.
    // Every character set draws the ASCII glyphs: the Hershey face has no
    // national ones.
    PlotPoint label(LabelState& state, std::string_view text, PlotPoint pen, StrokeSink& sink);

    // SM: one character centred on the point; the pen does not move.
    void symbol(const LabelState& state, unsigned char code, PlotPoint at, StrokeSink& sink);

    // UC: moves on a grid of 4 x 8 units to a capital letter, from the pen,
    // which starts raised. A value of 99 or more lowers the pen, -99 or less
    // raises it; others pair up as x,y moves (a lone last value is dropped).
    // Returns the pen one cell to the right of where it started.
    PlotPoint userCharacter(const LabelState& state, std::span<const double> values, PlotPoint pen,
                            StrokeSink& sink);

  private:
    struct Frame;
    void drawGlyph(const Frame& frame, unsigned code, PlotPoint origin, StrokeSink& sink);
    void flushRun(StrokeSink& sink);

    const StrokeFont* font_;
    PlotBox clip_;
    Tally tally_;
    std::vector<PlotPoint> run_; // reused for every stroke: no allocation per character
};

// CP nx,ny: nx cells along the label direction, ny lines up from it.
PlotPoint moveByCells(const LabelState& state, PlotPoint pen, double cells, double lines);

// CP; (and CR LF in a label): back to the carriage-return point and one
// line down, moving that point down with it.
PlotPoint newLine(LabelState& state);

} // namespace plotanix
