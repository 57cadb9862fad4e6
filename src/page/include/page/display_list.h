#pragma once
// What was drawn on the page since it was last cleared, in picture
// coordinates (pixel centres, row 0 at the top), for copies of the page at
// other resolutions: polylines, filled boxes, labels and filled paths, in
// drawing order. Lines are kept clipped to the picture, at the exact ends
// the model gave where it gave them; connected lines
// of one colour share one polyline, and separate lines of one colour in a
// row share one item (a plot of a million short strokes would otherwise
// spend more on its items than on its points). Bounded: past maxItems (a path's every
// point counts as one) or maxTextBytes of label text the list stops growing
// and is marked overflowed, unless it spills what it holds (ListSpill).

#include "page/page_image.h"
#include "page/path_fill.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace plotanix {

// Pixel centres on whole numbers; a line's ends may lie between them (the
// plotter's own coordinates, mapped onto the picture).
struct ListPoint {
    float x = 0, y = 0;
    bool operator==(const ListPoint&) const = default;
};

// The label font as the raster used it: the face file, the em height and the
// whole-pixel metrics that place each glyph.
struct LabelFace {
    std::string filePath;
    int faceIndex = 0;
    int emHeight = 0; // pixels
    int ascent = 0;   // pixels above the baseline
    std::array<int32_t, 256> advances{};
};

struct ListLabel {
    ListPoint cell;                       // top-left of the unrotated text cell
    double angle = 0;                     // degrees counter-clockwise, as the glyphs were turned
    int64_t penStart = 0;                 // pen advance before the first kept glyph
    size_t textStart = 0, textLength = 0; // in DisplayList::text()
    uint32_t face = 0;                    // index in DisplayList::faces()
};

struct ListBox {
    ListPoint topLeft;
    int32_t width = 0, height = 0; // clipped to the page, both > 0
};

// A filled area as the raster cut it to the page: ringCount rings from
// firstRing in DisplayList::rings(), their points in turn from firstPoint.
struct ListPath {
    uint32_t firstPoint = 0, firstRing = 0, ringCount = 0;
    FillRule rule = FillRule::evenOdd;
};

struct ListPathPoint {
    float x = 0, y = 0; // picture coordinates, pixel edges on whole numbers
};

// segments: lines of one colour, each its own polyline of two points, the
// points in turn.
enum class ItemKind : uint8_t { polyline, box, label, path, segments };

struct ListItem {
    ItemKind kind = ItemKind::polyline;
    Colour colour = 0;
    uint32_t first = 0; // polyline, segments: first point; otherwise: index in its table
    uint32_t count = 0; // polyline: points (at least 2); segments: 2 a line; otherwise 1
};

class DisplayList;

// Where a list puts what it holds once it grows past spillPoints points,
// so that a copy written as the page is drawn keeps only the list's tail
// in memory: the items are handed over in drawing order and leave the list
// (a polyline going on keeps its last point).
class ListSpill {
  public:
    virtual ~ListSpill() = default;
    // part: the list's items so far.
    virtual void take(const DisplayList& part) = 0;
    // An empty spill of the same kind, for the list once it is cleared; this
    // one stays with any copy of the list made before.
    virtual std::shared_ptr<ListSpill> fresh() const = 0;
};

class DisplayList {
  public:
    static constexpr size_t maxItems = size_t{1} << 21; // lines, boxes and labels
    static constexpr size_t maxTextBytes = size_t{32} << 20;

    // Empties the list and lifts the overflow mark.
    void clear();
    void setPageSize(int32_t width, int32_t height);

    // Each returns false once the list has overflowed.
    bool addLine(ListPoint from, ListPoint to, Colour colour);
    bool addBox(const ListBox& box, Colour colour);
    bool addLabel(const ListLabel& label, std::string_view text, const LabelFace& face,
                  Colour colour);
    bool addPath(PathView path, Colour colour);

    // From now on the list hands what it holds to spill each time it grows
    // past spillPoints points: no bound on what is drawn, and memory for
    // the last part only. nullptr keeps everything.
    static constexpr size_t spillPoints = size_t{1} << 16;
    void spillInto(std::shared_ptr<ListSpill> spill);
    // What went to the spill since the list was last cleared, if anything:
    // a copy draws it first, then the items.
    const ListSpill* spilled() const { return spilled_ ? spill_.get() : nullptr; }

    // An area drawn again in another colour, nothing drawn since, is
    // recorded by recolouring what it recorded the first time: mark() ends
    // the last item (what follows starts an item of its own) and tells
    // where the area's items begin; recolour() paints the items from there
    // to the end anew, true when they are still the list's last (nothing
    // cleared, spilled or added since: the generation and size tell).
    size_t mark();
    bool recolour(size_t from, size_t to, uint64_t generation, Colour colour);
    uint64_t generation() const { return generation_; }
    bool spills() const { return spill_ != nullptr; }

    bool overflowed() const { return overflowed_; }
    size_t recorded() const { return recorded_; }   // items kept, a path's points each
    size_t polylines() const { return polylines_; } // a segments item's lines each
    int32_t width() const { return width_; }
    int32_t height() const { return height_; }
    const std::vector<ListItem>& items() const { return items_; }
    const std::vector<ListPoint>& points() const { return points_; }
    const std::vector<ListBox>& boxes() const { return boxes_; }
    const std::vector<ListLabel>& labels() const { return labels_; }
    const std::vector<LabelFace>& faces() const { return faces_; }
    const std::vector<ListPath>& paths() const { return paths_; }
    const std::vector<uint32_t>& rings() const { return rings_; }
    const std::vector<ListPathPoint>& pathPoints() const { return pathPoints_; }
    std::string_view text(const ListLabel& label) const {
        return std::string_view(text_).substr(label.textStart, label.textLength);
    }

  private:
    bool admit(size_t textBytes, size_t items = 1);
    // Spills the list when it has grown past spillPoints; true as admit.
    bool grown();
    uint32_t faceIndex(const LabelFace& face);

    int32_t width_ = 800, height_ = 600;
    bool overflowed_ = false;
    size_t recorded_ = 0;
    size_t polylines_ = 0;
    std::vector<ListItem> items_;
    std::vector<ListPoint> points_;
    std::vector<ListBox> boxes_;
    std::vector<ListLabel> labels_;
    std::vector<LabelFace> faces_;
    std::string text_;
    std::vector<ListPath> paths_;
    std::vector<uint32_t> rings_;
    std::vector<ListPathPoint> pathPoints_;
    std::shared_ptr<ListSpill> spill_;
    bool spilled_ = false;
    bool sealed_ = false;     // the next line starts an item of its own
    uint64_t generation_ = 0; // a clear or spill moves the items
};

} // namespace plotanix
