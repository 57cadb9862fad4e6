#pragma once
// Drawing on the page during a plot run: the front colour, clipped lines and
// boxes, and rotated label text. One Drawing object is owned by the main
// flow; it is "open" from beginDrawing on.

#include "page/display_list.h"
#include "page/page_image.h"
#include "page/path_fill.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

namespace plotanix {

class PageFont;

class Drawing {
  public:
    Drawing();
    ~Drawing();
    Drawing(const Drawing&) = delete;
    Drawing& operator=(const Drawing&) = delete;

    // Fails only when the image has no pixel store. Drawing on another image
    // begins it again.
    bool beginDrawing(PageImage& image);
    bool isOpen() const;

    void setFrontColour(Colour colour);
    Colour frontColour() const;

    // Both clip to the image; nothing outside the pixel store is written.
    void fillBox(int32_t x, int32_t y, int32_t width, int32_t height, Colour colour);
    void drawLine(int32_t x1, int32_t y1, int32_t x2, int32_t y2);
    // The same line with its ends where they lie exactly, in picture
    // coordinates as fillPath takes them (pixel (c, r) covers c..c+1): the
    // raster has the pixels given, as the model rounded them; the display
    // list, the extent and a placement take the exact ends, so that copies
    // keep the plotter's own coordinates.
    // Inline: a plot's every line comes this way.
    void drawLine(int32_t x1, int32_t y1, int32_t x2, int32_t y2, PathPoint from, PathPoint to) {
        const Ends exact{from.x - 0.5, from.y - 0.5, to.x - 0.5, to.y - 0.5};
        if (placed()) return placedLine(exact);
        line(x1, y1, x2, y2, exact);
    }
    // Whether a line's pixels are all it leaves besides its count and the
    // extent: nothing is placed or recorded, where its exact ends matter.
    bool pixelsOnly() const { return state_ && !placed() && !recordingLive(); }
    // The last line asked for times more, each from the same pixel to the
    // same pixel as it, with ends between its start and farEnd (picture
    // coordinates), while pixelsOnly(): counted and measured as they would
    // be, their pixels already there.
    void repeatLastLine(int64_t times, PathPoint farEnd);
    // An area in the front colour (picture coordinates, see path_fill.h),
    // where it lies within clip and the image; recorded as a filled path.
    void fillPath(PathView path, PixelRect clip);

    // Label text. Without a selected font (or with nullptr) measuring uses
    // a fixed 8 x 16 cell and drawRotatedText draws nothing. Selecting
    // another font drops the derived fonts kept for the last directions.
    void selectFont(const PageFont* font);
    int32_t textWidth(std::string_view text);
    int32_t textHeight(std::string_view text);
    // (x, y) is the top-left corner of the unrotated text cell; angle in
    // degrees, counter-clockwise as seen on the page.
    void drawRotatedText(int32_t x, int32_t y, std::string_view text, float angle);

    // Where what is drawn from now on is put: picture coordinates (pixel
    // centres on whole numbers) scaled by scale and moved by (dx, dy).
    // Lines and areas are placed whole; a label moves with its reference
    // point and keeps its size; fillBox (blank paper) is not placed.
    struct Placement {
        double scale = 1, dx = 0, dy = 0;
    };
    void place(const Placement& placement) {
        placement_ = placement;
        placed_ = placement.scale != 1 || placement.dx != 0 || placement.dy != 0;
    }
    // The scale a copy of the recorded list is drawn at (an enlarged PNG).
    void setCopyScale(double scale) { copyScale_ = scale; }
    // How many pixels of what is finally drawn a pixel of the picture
    // becomes: the placement's scale, and a recorded copy's. Costs that grow
    // with the pixels drawn grow with it.
    double outputScale() const { return placement_.scale * copyScale(); }
    // Once the list has overflowed no copy is drawn from it: the costs are
    // the page's own.
    double copyScale() const { return recordingLive() ? copyScale_ : 1; }

    // The extent of the lines, areas and label cells asked for since the
    // page was last cleared (a box over the whole image) or resetExtent,
    // on the page or off it, placed, in picture coordinates with pixel
    // centres on whole numbers.
    struct Extent {
        double left = 0, top = 0, right = 0, bottom = 0;
        bool empty = true;
        void add(double x, double y) {
            if (!std::isfinite(x) || !std::isfinite(y)) return;
            if (empty) {
                left = right = x, top = bottom = y, empty = false;
                return;
            }
            left = std::min(left, x), right = std::max(right, x);
            top = std::min(top, y), bottom = std::max(bottom, y);
        }
    };
    const Extent& extent() const { return extent_; }
    void resetExtent() { extent_ = {}; }

    // Records what is drawn from now on into list (nullptr: nothing is
    // recorded), across every beginDrawing. A box covering the
    // whole image clears the list first. The list must outlive the recording.
    void recordInto(DisplayList* list);
    DisplayList* recording() const { return record_; }
    // Lines and areas go into the list whole, beyond the picture too (an
    // area cut only by its own clip), so that the page can be drawn again
    // fitted (page_fit.h); the raster is clipped as ever.
    void recordWhole(bool whole) { recordWhole_ = whole; }
    // Whether what is drawn still goes into the list: past its bound it
    // stops growing and its copy is made from the page's pixels, so
    // nothing more is recorded (nor reckoned for it) until a box over the
    // whole image clears it.
    bool recordingLive() const { return record_ != nullptr && !record_->overflowed(); }

    // Lines asked for while open, and those of which any pixel landed on the
    // image, since the Drawing was made: why a page stayed blank.
    struct LineTally {
        int64_t asked = 0;
        int64_t onPage = 0;
    };
    const LineTally& lineTally() const { return tally_; }
    // Drawing calls so far (boxes, lines, areas, texts): whether anything
    // was drawn between two looks.
    uint64_t marks() const { return marks_; }

    // What a run of drawing calls painted, as row spans, and counted: kept
    // so that the same calls in another colour paint it again without
    // working it out (an area repeated in turn in two colours). Every write
    // is opaque, so the pixels come out as if drawn afresh.
    struct Painted {
        struct Span {
            int32_t row, first, end; // end exclusive
        };
        std::vector<Span> spans;
        LineTally tally;
        uint64_t marks = 0;
        Extent extent;
        bool lastLanded = false;
        // The list's items the calls recorded, when it recorded them.
        bool listed = false;
        size_t listFrom = 0, listTo = 0;
        uint64_t listGeneration = 0;
    };
    // Past these the pixels are not kept: the mask of an image of 16M
    // pixels is 2 MB, and 131,072 spans 1.5 MB.
    static constexpr int64_t keptPixelsMost = int64_t(1) << 24;
    static constexpr size_t keptSpansMost = size_t(1) << 17;
    // Whether the pixels drawn can be kept: a placement places the pixels
    // kept as it places those painted, and a list that keeps its items
    // (an enlarged copy's) has them recoloured when they are painted again.
    bool canKeep() const { return state_ && !(recordingLive() && record_->spills()); }
    // From beginKeeping to endKeeping the pixels written are kept.
    // endKeeping is false when they could not be kept whole: not
    // canKeep(), a box or a label drawn, or past the sizes above.
    void beginKeeping();
    bool endKeeping(Painted& painted);
    // Counts kept pixels as their calls were counted; paintAgain paints
    // them in the front colour. A caller that paints the same pixels over
    // and over may count each time and paint the last only.
    void countAgain(const Painted& painted);
    void paintAgain(const Painted& painted);
    // Whether what was kept can be painted again now: the list, if any,
    // still ends with what it recorded.
    bool canPaintAgain(const Painted& painted) const;

    struct State;

  private:
    struct Ends {
        double x1, y1, x2, y2;
    };
    // Asked for every line drawn: worked out once, when placed.
    bool placed() const { return placed_; }
    void placedLine(Ends exact);
    void line(int32_t x1, int32_t y1, int32_t x2, int32_t y2, const Ends& exact);

    std::unique_ptr<State> state_;
    DisplayList* record_ = nullptr;
    bool recordWhole_ = false;
    LineTally tally_;
    Placement placement_;
    bool placed_ = false;
    double copyScale_ = 1;
    Extent extent_;
    uint64_t marks_ = 0;
    bool lastLanded_ = false; // whether the last line put a pixel on the image
};

// Clips one axis of a line to lo..hi: a is the axis clipped, b the other.
// Returns false when the line lies wholly outside. 64-bit so that no pair of
// 32-bit coordinates overflows.
bool clipEnds(int64_t& a1, int64_t& b1, int64_t& a2, int64_t& b2, int64_t lo, int64_t hi);

// One channel of the coverage mix: (old * (255 - a) + front * a) / 255.
inline uint8_t blendCoverage(uint8_t old, uint8_t front, unsigned coverage) {
    return static_cast<uint8_t>((old * (255u - coverage) + front * coverage) / 255u);
}

} // namespace plotanix
