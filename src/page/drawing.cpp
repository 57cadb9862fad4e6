#include "page/drawing.h"

#include "page/display_list.h"
#include "page/label_font.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <numbers>
#include <optional>
#include <utility>
#include <vector>

namespace plotanix {

namespace {

// How many derived fonts are kept: each holds a FreeType face.
constexpr size_t derivedFontsKept = 8;

// The measuring cell when no label font is selected.
constexpr int32_t fallbackCellWidth = 8;
constexpr int32_t fallbackCellHeight = 16;

int32_t saturated(int64_t value) {
    return static_cast<int32_t>(std::min<int64_t>(value, std::numeric_limits<int32_t>::max()));
}

int64_t truncated(double value) {
    return static_cast<int64_t>(value);
}

struct Rect {
    int64_t left, top, right, bottom; // right and bottom exclusive
    bool empty() const { return right <= left || bottom <= top; }
};

} // namespace

struct Drawing::State {
    PageImage* target = nullptr;
    Colour frontColour = 0xFFFFFFFF;
    Colour appliedColour = 0;
    uint8_t red = 0, green = 0, blue = 0;
    const PageFont* font = nullptr;
    // The derived fonts of the directions used last, most recent first: a
    // graph's labels turn between a few directions, and making one costs
    // more than drawing a short label.
    struct Derived {
        float angle;
        std::unique_ptr<RotatedFont> font;
    };
    std::vector<Derived> derived;
    CoverageMask mask;                     // kept between labels to spare the allocation
    std::optional<LabelFace> recordedFace; // the selected font, for the display list
    Path clippedPath;                      // fillPath's work, kept to spare the allocations
    Path placedPath;
    Path wholePath; // cut by its own clip only, for a list recorded whole
    FillWork fillWork;
    // Pixels written while keeping (see Drawing::beginKeeping): a bit each,
    // picture row by row.
    struct Keeper {
        bool on = false, lost = false;
        std::vector<uint64_t> bits;
        int64_t width = 0, height = 0, stride = 0;
        Drawing::Extent extentBefore;
        Drawing::LineTally tallyBefore;
        uint64_t marksBefore = 0;
        size_t listFrom = 0; // where the list's items of the calls begin
        uint64_t listGeneration = 0;
        void run(int64_t x, int64_t y, int64_t n) {
            int64_t i = y * width + x;
            const int64_t end = i + n;
            const auto one = [&] { bits[static_cast<size_t>(i) >> 6] |= uint64_t(1) << (i & 63); };
            for (; i < end && (i & 63) != 0; ++i)
                one();
            for (; end - i >= 64; i += 64) // whole words
                bits[static_cast<size_t>(i) >> 6] = ~uint64_t(0);
            for (; i < end; ++i)
                one();
        }
    } keeper;

    void applyColour(Colour colour) {
        if (colour == appliedColour) return;
        appliedColour = colour;
        red = colour & 0xFF;
        green = (colour >> 8) & 0xFF;
        blue = (colour >> 16) & 0xFF;
    }
    uint8_t* at(int64_t x, int64_t y) const {
        return target->row(static_cast<int>(y)) + 3 * static_cast<size_t>(x);
    }
    // n pixels from (x, y) rightward, already clipped. Grey (white paper
    // above all) is one byte repeated.
    void writeRow(int64_t x, int64_t y, int64_t n) {
        if (keeper.on) keeper.run(x, y, n);
        if (red == green && green == blue) {
            std::memset(at(x, y), red, 3 * static_cast<size_t>(n));
            return;
        }
        for (uint8_t* p = at(x, y); n > 0; --n, p += 3) {
            p[0] = blue;
            p[1] = green;
            p[2] = red;
        }
    }
    void writeColumn(int64_t x, int64_t y, int64_t n) {
        if (keeper.on) {
            for (int64_t i = 0; i < n; ++i)
                keeper.run(x, y + i, 1);
        }
        // Marks the column's rows as drawn once; going down the picture is
        // going back a row in storage.
        target->row(static_cast<int>(y + n - 1));
        const ptrdiff_t down = -ptrdiff_t(target->stride);
        for (uint8_t* p = at(x, y); n > 0; --n, p += down) {
            p[0] = blue;
            p[1] = green;
            p[2] = red;
        }
    }
};

Drawing::Drawing() = default;
Drawing::~Drawing() = default;

bool Drawing::beginDrawing(PageImage& image) {
    state_.reset();
    const bool usable = image.depth == 24 && image.width > 0 && image.height > 0 &&
                        image.stride >= 3 * image.width &&
                        image.pixels.size() >= static_cast<size_t>(image.stride) * image.height;
    if (!usable) return false;
    state_ = std::make_unique<State>();
    state_->target = &image;
    if (record_) record_->setPageSize(image.width, image.height);
    return true;
}

void Drawing::recordInto(DisplayList* list) {
    record_ = list;
    if (record_ && state_) record_->setPageSize(state_->target->width, state_->target->height);
}

bool Drawing::isOpen() const {
    return state_ != nullptr;
}

void Drawing::setFrontColour(Colour colour) {
    if (state_) state_->frontColour = colour;
}

Colour Drawing::frontColour() const {
    return state_ ? state_->frontColour : 0xFFFFFFFF;
}

void Drawing::fillBox(int32_t x, int32_t y, int32_t width, int32_t height, Colour colour) {
    if (!state_) return;
    ++marks_;
    State& s = *state_;
    s.applyColour(colour);
    int64_t left = x, top = y, w = width, h = height;
    if (w < 0) left += w, w = -w;
    if (h < 0) top += h, h = -h;
    if (left < 0) w += left, left = 0;
    if (top < 0) h += top, top = 0;
    w = std::min<int64_t>(w, s.target->width - left);
    h = std::min<int64_t>(h, s.target->height - top);
    if (w <= 0 || h <= 0) return;
    const bool whole = left == 0 && top == 0 && w == s.target->width && h == s.target->height;
    s.keeper.lost = true;
    if (whole) {
        extent_ = {};
        s.keeper.extentBefore = {};
        s.target->fill(colour);
    } else {
        for (int64_t row = top; row < top + h; ++row)
            s.writeRow(left, row, w);
    }
    if (record_ && whole) record_->clear();
    if (recordingLive()) {
        record_->addBox({{float(left), float(top)}, int32_t(w), int32_t(h)}, colour);
    }
}

bool clipEnds(int64_t& a1, int64_t& b1, int64_t& a2, int64_t& b2, int64_t lo, int64_t hi) {
    // The slope comes from the ends as given and is worked out only when an
    // end moves, so ends that share this axis coordinate never divide by 0.
    const int64_t a1In = a1, b1In = b1, a2In = a2, b2In = b2;
    auto slope = [&] { return double(b2In - b1In) / double(a2In - a1In); };
    auto moveTo = [&](int64_t& a, int64_t& b, int64_t edge) {
        b = truncated(double(b) + double(edge - a) * slope());
        a = edge;
    };
    if (a1 < lo) {
        if (a2 < lo) return false;
        moveTo(a1, b1, lo);
        if (a2 > hi) moveTo(a2, b2, hi);
    } else if (a1 > hi) {
        if (a2 > hi) return false;
        moveTo(a1, b1, hi);
        if (a2 < lo) moveTo(a2, b2, lo);
    } else if (a2 > hi) {
        moveTo(a2, b2, hi);
    } else if (a2 < lo) {
        moveTo(a2, b2, lo);
    }
    return true;
}

namespace {

// Bresenham along the major axis from p, the end with the smaller major
// coordinate; a decision value of 0 takes the diagonal step, so both orders
// of the ends give the same pixels. Each step moves majorStep bytes, and
// minorStep more when the minor coordinate steps too.
void stepLine(Drawing::State& s, int64_t x, int64_t y, int64_t dMajor, int64_t dMinor,
              ptrdiff_t majorStep, ptrdiff_t minorStep) {
    const uint8_t blue = s.blue, green = s.green, red = s.red;
    if (!s.keeper.on) {
        // The common case: only the pointer and the decision value step,
        // each by one of two amounts that the decision value's sign picks
        // from a table, so no branch a pixel but the loop's own.
        uint8_t* p = s.at(x, y);
        const ptrdiff_t moves[2] = {majorStep + minorStep, majorStep};
        const int64_t changes[2] = {2 * (dMinor - dMajor), 2 * dMinor};
        int64_t d = 2 * dMinor - dMajor;
        for (int64_t n = dMajor; n > 0; --n) {
            p[0] = blue;
            p[1] = green;
            p[2] = red;
            const uint64_t straight = static_cast<uint64_t>(d) >> 63; // d < 0
            p += moves[straight];
            d += changes[straight];
        }
        p[0] = blue;
        p[1] = green;
        p[2] = red;
        return;
    }
    // The steps in picture coordinates, for keeping: a step of 3 bytes is
    // a column, one of -stride a row down.
    const auto along = [](ptrdiff_t step) -> int64_t {
        return step == 3 ? 1 : step == -3 ? -1 : 0;
    };
    const auto down = [&](ptrdiff_t step) -> int64_t {
        return step == -ptrdiff_t(s.target->stride)  ? 1
               : step == ptrdiff_t(s.target->stride) ? -1
                                                     : 0;
    };
    const int64_t majorX = along(majorStep), majorY = down(majorStep);
    const int64_t minorX = along(minorStep), minorY = down(minorStep);
    uint8_t* p = s.at(x, y);
    int64_t d = 2 * dMinor - dMajor;
    for (int64_t n = dMajor;; --n) {
        p[0] = blue;
        p[1] = green;
        p[2] = red;
        if (s.keeper.on) s.keeper.run(x, y, 1);
        if (n == 0) return;
        p += majorStep, x += majorX, y += majorY;
        if (d < 0) {
            d += 2 * dMinor;
        } else {
            p += minorStep, x += minorX, y += minorY;
            d += 2 * (dMinor - dMajor);
        }
    }
}

// A horizontal (or single-point) or vertical line, clipped and written as a
// run; false when none of it is on the page.
bool drawRun(Drawing::State& s, int32_t x1, int32_t y1, int32_t x2, int32_t y2) {
    const bool horizontal = y1 == y2;
    const int64_t across = horizontal ? y1 : x1;
    const int64_t acrossLimit = horizontal ? s.target->height : s.target->width;
    const int64_t alongLimit = horizontal ? s.target->width : s.target->height;
    int64_t start = horizontal ? std::min(x1, x2) : std::min(y1, y2);
    int64_t n = int64_t(horizontal ? std::max(x1, x2) : std::max(y1, y2)) - start + 1;
    if (across < 0 || across >= acrossLimit) return false;
    if (start < 0) n += start, start = 0;
    n = std::min(n, alongLimit - start);
    if (n <= 0) return false;
    if (horizontal) {
        s.writeRow(start, across, n);
    } else {
        s.writeColumn(across, start, n);
    }
    return true;
}

// As the models round a picture coordinate: a column half up, a row half
// down (599 - floor(Y k + 0.5)); far beyond any page, yet within 32 bits.
int32_t roundedColumn(double x) {
    return static_cast<int32_t>(std::clamp(std::floor(x + 0.5), -1.0e9, 1.0e9));
}
int32_t roundedRow(double y) {
    return static_cast<int32_t>(std::clamp(std::ceil(y - 0.5), -1.0e9, 1.0e9));
}

// Cuts the line to the box (Liang-Barsky; the page: its pixel centres); an end inside stays exactly
// as it was, so that lines meeting there still meet. False when none is inside.
template <typename Ends>
bool clipExact(Ends& e, double left, double top, double right, double bottom) {
    const double dx = e.x2 - e.x1, dy = e.y2 - e.y1;
    double t0 = 0, t1 = 1;
    const auto edge = [&](double p, double q) { // p t <= q
        if (p == 0) return q >= 0;
        const double t = q / p;
        if (p < 0) {
            if (t > t1) return false;
            t0 = std::max(t0, t);
        } else {
            if (t < t0) return false;
            t1 = std::min(t1, t);
        }
        return true;
    };
    if (!edge(-dx, e.x1 - left) || !edge(dx, right - e.x1) || !edge(-dy, e.y1 - top) ||
        !edge(dy, bottom - e.y1))
        return false;
    const Ends in = e;
    if (t0 > 0) e.x1 = in.x1 + t0 * dx, e.y1 = in.y1 + t0 * dy;
    if (t1 < 1) e.x2 = in.x1 + t1 * dx, e.y2 = in.y1 + t1 * dy;
    return true;
}

} // namespace

void Drawing::drawLine(int32_t x1, int32_t y1, int32_t x2, int32_t y2) {
    const Ends exact{double(x1), double(y1), double(x2), double(y2)};
    if (placed()) return placedLine(exact);
    line(x1, y1, x2, y2, exact);
}

void Drawing::placedLine(Ends e) {
    const Placement& p = placement_;
    e = {e.x1 * p.scale + p.dx, e.y1 * p.scale + p.dy, e.x2 * p.scale + p.dx,
         e.y2 * p.scale + p.dy};
    if (!std::isfinite(e.x1) || !std::isfinite(e.y1) || !std::isfinite(e.x2) ||
        !std::isfinite(e.y2))
        return;
    line(roundedColumn(e.x1), roundedRow(e.y1), roundedColumn(e.x2), roundedRow(e.y2), e);
}

void Drawing::repeatLastLine(int64_t times, PathPoint farEnd) {
    marks_ += static_cast<uint64_t>(times);
    extent_.add(farEnd.x - 0.5, farEnd.y - 0.5);
    tally_.asked += times;
    if (lastLanded_) tally_.onPage += times;
}

void Drawing::line(int32_t x1, int32_t y1, int32_t x2, int32_t y2, const Ends& exact) {
    if (!state_) return;
    lastLanded_ = false;
    ++marks_;
    State& s = *state_;
    s.applyColour(s.frontColour);
    ++tally_.asked;
    extent_.add(exact.x1, exact.y1);
    extent_.add(exact.x2, exact.y2);
    if (recordWhole_ && recordingLive())
        record_->addLine({float(exact.x1), float(exact.y1)}, {float(exact.x2), float(exact.y2)},
                         s.frontColour);
    const auto record = [&] {
        if (!recordingLive() || recordWhole_) return;
        Ends kept = exact;
        if (clipExact(kept, 0, 0, s.target->width - 1, s.target->height - 1))
            record_->addLine({float(kept.x1), float(kept.y1)}, {float(kept.x2), float(kept.y2)},
                             s.frontColour);
    };
    if (y1 == y2 || x1 == x2) {
        if (!drawRun(s, x1, y1, x2, y2)) return;
        ++tally_.onPage;
        lastLanded_ = true;
        record();
        return;
    }
    const int64_t width = s.target->width, height = s.target->height;
    int64_t ax = x1, ay = y1, bx = x2, by = y2;
    auto inside = [&](int64_t x, int64_t y) { return x >= 0 && x < width && y >= 0 && y < height; };
    // Most lines lie on the page whole: they are not cut (which would leave
    // them as they are).
    if (!inside(ax, ay) || !inside(bx, by)) {
        if (!clipEnds(ax, ay, bx, by, 0, width - 1)) return;
        if (!clipEnds(ay, ax, by, bx, 0, height - 1)) return;
        // Clipping keeps the ends between the originals; this only guards the store.
        if (!inside(ax, ay) || !inside(bx, by)) return;
    }
    ++tally_.onPage;
    lastLanded_ = true;
    record();
    // Both ends' rows are marked as drawn, so every row between is; the
    // pixels are then written through a pointer stepped with the line.
    s.target->row(static_cast<int>(ay));
    s.target->row(static_cast<int>(by));
    const ptrdiff_t down = -ptrdiff_t(s.target->stride); // a picture row further down
    if (std::abs(by - ay) <= std::abs(bx - ax)) {
        if (bx < ax) std::swap(ax, bx), std::swap(ay, by);
        stepLine(s, ax, ay, bx - ax, std::abs(by - ay), 3, by >= ay ? down : -down);
    } else {
        if (by < ay) std::swap(ax, bx), std::swap(ay, by);
        stepLine(s, ax, ay, by - ay, std::abs(bx - ax), down, bx >= ax ? 3 : -3);
    }
}

void Drawing::selectFont(const PageFont* font) {
    if (!state_) return;
    if (state_->font != font) state_->derived.clear();
    state_->font = font;
    state_->recordedFace.reset();
}

int32_t Drawing::textWidth(std::string_view text) {
    if (!state_ || text.empty()) return 0;
    if (!state_->font) return saturated(int64_t(fallbackCellWidth) * int64_t(text.size()));
    const auto& advances = state_->font->metrics().advances;
    int64_t width = 0;
    for (unsigned char byte : text)
        width += advances[byte];
    return saturated(width);
}

int32_t Drawing::textHeight(std::string_view text) {
    if (!state_ || text.empty()) return 0;
    if (!state_->font) return fallbackCellHeight;
    const PageFont::Metrics& font = state_->font->metrics();
    return font.ascent + font.descent;
}

namespace {

// The page rectangle a text's rotated cell covers, from its corners
// relative to the reference point; r comes from the unreduced angle.
Rect rotatedCell(int64_t x, int64_t y, float angle, int64_t w, int64_t h) {
    const auto r = static_cast<float>(double(angle) * std::numbers::pi / 180.0);
    const auto c = static_cast<float>(std::cos(-double(r)));
    const auto s = static_cast<float>(std::sin(-double(r)));
    const auto c2 = static_cast<float>(std::cos(std::numbers::pi / 2.0 - r));
    const auto s2 = static_cast<float>(std::sin(std::numbers::pi / 2.0 - r));
    const int64_t p1x = truncated(double(c) * double(w)), p1y = truncated(double(s) * double(w));
    const int64_t p2x = truncated(double(c2) * double(h)), p2y = truncated(double(s2) * double(h));
    const int64_t p3x = truncated(double(p2x) + double(c) * double(w));
    const int64_t p3y = truncated(double(p2y) + double(s) * double(w));
    return {x + std::min({int64_t(0), p1x, p2x, p3x}), y + std::min({int64_t(0), p1y, p2y, p3y}),
            x + std::max({int64_t(0), p1x, p2x, p3x}), y + std::max({int64_t(0), p1y, p2y, p3y})};
}

// The part of an area's bounds within its clip, to the extent.
void pathExtent(Drawing::Extent& extent, PathView path, PixelRect clip) {
    Drawing::Extent bounds;
    for (const PathPoint& p : path.points)
        bounds.add(p.x, p.y);
    if (bounds.empty) return;
    const double left = std::max(bounds.left, double(clip.left));
    const double top = std::max(bounds.top, double(clip.top));
    const double right = std::min(bounds.right, double(clip.right));
    const double bottom = std::min(bounds.bottom, double(clip.bottom));
    if (right < left || bottom < top) return;
    extent.add(left - 0.5, top - 0.5);
    extent.add(right - 0.5, bottom - 0.5);
}

Rect intersect(const Rect& a, const Rect& b) {
    return {std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right),
            std::min(a.bottom, b.bottom)};
}

} // namespace

namespace {

// The derived font for the angle reduced to one turn, made only when none of
// the kept ones has that angle; nullptr when there is no font or it cannot
// be made.
const RotatedFont* derivedFont(Drawing::State& s, float angle) {
    const auto reduced = static_cast<float>(std::fmod(double(angle), 360.0));
    if (!s.font || !std::isfinite(reduced)) return nullptr;
    auto& kept = s.derived;
    const auto found = std::find_if(kept.begin(), kept.end(),
                                    [reduced](const auto& d) { return d.angle == reduced; });
    if (found != kept.end()) {
        std::rotate(kept.begin(), found, found + 1);
        return kept.front().font.get();
    }
    const auto tenths = static_cast<int32_t>(reduced * 10.0f);
    auto made = s.font->rotated(reduced, tenths);
    if (!made) return nullptr;
    if (kept.size() == derivedFontsKept) kept.pop_back();
    kept.insert(kept.begin(), {reduced, std::move(made)});
    return kept.front().font.get();
}

// Renders the glyphs that can reach the visible part of the cell into the
// mask, which covers exactly that part. Glyph origins run along the rotated
// baseline, one ascent below the reference point (x, y).
void renderMask(Drawing::State& s, const RotatedFont& rotated, const Rect& visible, int64_t x,
                int64_t y, std::string_view text) {
    const PageFont::Metrics& font = s.font->metrics();
    CoverageMask& mask = s.mask;
    mask.width = static_cast<int32_t>(visible.right - visible.left);
    mask.height = static_cast<int32_t>(visible.bottom - visible.top);
    mask.coverage.assign(static_cast<size_t>(mask.width) * mask.height, 0);
    const double cosine = rotated.cosine(), sine = rotated.sine();
    const double baseX = double(x - visible.left) + font.ascent * sine;
    const double baseY = double(y - visible.top) + font.ascent * cosine;
    const double reach = font.inkRadius;
    int64_t pen = 0;
    for (unsigned char byte : text) {
        const double ox = baseX + double(pen) * cosine;
        const double oy = baseY - double(pen) * sine;
        pen += font.advances[byte];
        if (ox + reach < 0 || oy + reach < 0 || ox - reach > mask.width ||
            oy - reach > mask.height) {
            continue;
        }
        rotated.drawGlyph(byte, ox, oy, mask);
    }
}

void blendMask(const Drawing::State& s, const Rect& visible) {
    const CoverageMask& mask = s.mask;
    for (int32_t j = 0; j < mask.height; ++j) {
        const uint8_t* coverage = mask.coverage.data() + static_cast<size_t>(j) * mask.width;
        uint8_t* p = s.at(visible.left, visible.top + j);
        for (int32_t i = 0; i < mask.width; ++i, p += 3) {
            const unsigned a = coverage[i];
            if (a == 0) continue;
            if (a == 255) { // the glyphs' insides: the front colour itself
                p[0] = s.blue, p[1] = s.green, p[2] = s.red;
                continue;
            }
            p[0] = blendCoverage(p[0], s.blue, a);
            p[1] = blendCoverage(p[1], s.green, a);
            p[2] = blendCoverage(p[2], s.red, a);
        }
    }
}

// Records the glyphs that renderMask draws (those that can reach the visible
// part of the cell), with the pen advance before the first of them.
void recordLabel(DisplayList& list, Drawing::State& s, const RotatedFont& rotated,
                 const Rect& visible, int64_t x, int64_t y, std::string_view text) {
    const PageFont::Metrics& font = s.font->metrics();
    if (!s.recordedFace) {
        s.recordedFace = LabelFace{font.filePath, static_cast<int>(font.faceIndex), font.emHeight,
                                   font.ascent, font.advances};
    }
    const double cosine = rotated.cosine(), sine = rotated.sine();
    const double baseX = double(x) + font.ascent * sine;
    const double baseY = double(y) + font.ascent * cosine;
    const double reach = font.inkRadius;
    size_t first = text.size(), last = 0;
    int64_t pen = 0, penStart = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const double ox = baseX + double(pen) * cosine;
        const double oy = baseY - double(pen) * sine;
        if (ox + reach >= double(visible.left) && oy + reach >= double(visible.top) &&
            ox - reach <= double(visible.right) && oy - reach <= double(visible.bottom)) {
            if (first == text.size()) first = i, penStart = pen;
            last = i;
        }
        pen += font.advances[static_cast<unsigned char>(text[i])];
    }
    if (first == text.size()) return;
    ListLabel label;
    label.cell = {static_cast<float>(x), static_cast<float>(y)};
    label.angle = std::atan2(sine, cosine) * 180.0 / std::numbers::pi;
    label.penStart = penStart;
    list.addLabel(label, text.substr(first, last - first + 1), *s.recordedFace, s.frontColour);
}

} // namespace

void Drawing::drawRotatedText(int32_t x, int32_t y, std::string_view text, float angle) {
    if (!state_ || text.empty()) return;
    ++marks_;
    State& s = *state_;
    s.keeper.lost = true; // blended, not written whole
    if (placed()) {
        x = roundedColumn(x * placement_.scale + placement_.dx);
        y = roundedColumn(y * placement_.scale + placement_.dy);
    }
    s.applyColour(s.frontColour);
    const RotatedFont* rotated = derivedFont(s, angle);
    if (!rotated) return;
    const PageFont::Metrics& font = s.font->metrics();
    int64_t w = 0;
    for (unsigned char byte : text)
        w += font.advances[byte];
    const Rect cell = rotatedCell(x, y, angle, w, font.ascent + font.descent);
    extent_.add(double(cell.left), double(cell.top));
    extent_.add(double(cell.right - 1), double(cell.bottom - 1));
    // Only the part of the cell on the page is rendered: a label running far
    // off the page costs no more than one that spans it.
    const Rect visible = intersect(cell, {0, 0, s.target->width, s.target->height});
    if (visible.empty()) return;
    renderMask(s, *rotated, visible, x, y, text);
    blendMask(s, visible);
    if (recordingLive()) recordLabel(*record_, s, *rotated, visible, x, y, text);
}

namespace {

struct RowWriter : SpanSink {
    explicit RowWriter(Drawing::State& s) : s(s) {}
    void span(int32_t row, int32_t first, int32_t end) override {
        s.writeRow(first, row, end - first);
    }
    Drawing::State& s;
};

} // namespace

void Drawing::fillPath(PathView path, PixelRect clip) {
    if (!state_) return;
    ++marks_;
    State& s = *state_;
    s.applyColour(s.frontColour);
    if (placed()) {
        // Edges (pixel c covers c..c+1) placed as the centres are.
        const Placement& p = placement_;
        const auto at = [&p](double edge, double d) { return (edge - 0.5) * p.scale + d + 0.5; };
        s.placedPath.clear();
        for (const PathPoint& point : path.points)
            s.placedPath.points.push_back({at(point.x, p.dx), at(point.y, p.dy)});
        s.placedPath.rings.assign(path.rings.begin(), path.rings.end());
        s.placedPath.rule = path.rule;
        path = s.placedPath.view();
        const auto whole = [](double edge) { return std::clamp(edge, -1.0e9, 1.0e9); };
        clip = {int32_t(whole(std::floor(at(clip.left, p.dx)))),
                int32_t(whole(std::floor(at(clip.top, p.dy)))),
                int32_t(whole(std::ceil(at(clip.right, p.dx)))),
                int32_t(whole(std::ceil(at(clip.bottom, p.dy))))};
    }
    pathExtent(extent_, path, clip);
    if (recordWhole_ && recordingLive()) {
        clipPath(path, clip, s.wholePath, s.fillWork);
        record_->addPath(s.wholePath.view(), s.frontColour);
    }
    clip = {std::max(clip.left, 0), std::max(clip.top, 0),
            std::min<int32_t>(clip.right, s.target->width),
            std::min<int32_t>(clip.bottom, s.target->height)};
    clipPath(path, clip, s.clippedPath, s.fillWork);
    if (s.clippedPath.rings.empty()) return;
    RowWriter writer(s);
    fillSpans(s.clippedPath.view(), clip, s.fillWork, writer);
    if (recordingLive() && !recordWhole_) record_->addPath(s.clippedPath.view(), s.frontColour);
}

void Drawing::beginKeeping() {
    if (!state_) return;
    State::Keeper& k = state_->keeper;
    const PageImage& image = *state_->target;
    k.width = image.width, k.height = image.height, k.stride = image.stride;
    k.lost = !canKeep() || k.width * k.height > keptPixelsMost;
    k.on = !k.lost;
    if (k.on) k.bits.assign(static_cast<size_t>((k.width * k.height + 63) / 64), 0);
    k.extentBefore = extent_;
    k.tallyBefore = tally_;
    k.marksBefore = marks_;
    extent_ = {};
    if (k.on && recordingLive()) {
        k.listFrom = record_->mark();
        k.listGeneration = record_->generation();
    }
}

namespace {

void addExtent(Drawing::Extent& to, const Drawing::Extent& from) {
    if (from.empty) return;
    to.add(from.left, from.top);
    to.add(from.right, from.bottom);
}

} // namespace

bool Drawing::endKeeping(Painted& painted) {
    if (!state_) return false;
    State::Keeper& k = state_->keeper;
    painted.extent = extent_;
    extent_ = k.extentBefore;
    addExtent(extent_, painted.extent);
    painted.tally = {tally_.asked - k.tallyBefore.asked, tally_.onPage - k.tallyBefore.onPage};
    painted.marks = marks_ - k.marksBefore;
    painted.lastLanded = lastLanded_;
    painted.spans.clear();
    // Recorded whole, or into a list past its bound (thrown away).
    painted.listed = recordingLive() && record_->generation() == k.listGeneration;
    painted.listFrom = k.listFrom;
    painted.listTo = record_ ? record_->items().size() : 0;
    painted.listGeneration = k.listGeneration;
    const bool kept = k.on && !k.lost && canKeep() && (painted.listed || !recordingLive());
    k.on = false;
    for (int64_t y = 0; kept && y < k.height; ++y) {
        // Runs of set bits along the row.
        for (int64_t x = 0; x < k.width;) {
            const int64_t i = y * k.width + x;
            const uint64_t word = k.bits[static_cast<size_t>(i) >> 6] >> (i & 63);
            if (word == 0) {
                x += 64 - (i & 63);
                continue;
            }
            if ((word & 1) == 0) {
                x += std::countr_zero(word);
                continue;
            }
            int64_t end = x + 1;
            while (end < k.width) {
                const int64_t j = y * k.width + end;
                if (!(k.bits[static_cast<size_t>(j) >> 6] >> (j & 63) & 1)) break;
                ++end;
            }
            if (painted.spans.size() == keptSpansMost) {
                painted.spans.clear();
                k.bits.clear();
                return false;
            }
            painted.spans.push_back({int32_t(y), int32_t(x), int32_t(std::min(end, k.width))});
            x = end;
        }
    }
    k.bits.clear();
    return kept;
}

bool Drawing::canPaintAgain(const Painted& painted) const {
    return !recordingLive() || (painted.listed && record_->generation() == painted.listGeneration &&
                                record_->items().size() == painted.listTo);
}

void Drawing::paintAgain(const Painted& painted) {
    if (!state_) return;
    State& s = *state_;
    s.applyColour(s.frontColour);
    if (recordingLive() && painted.listed) {
        record_->recolour(painted.listFrom, painted.listTo, painted.listGeneration, s.frontColour);
    }
    if (s.keeper.on) {
        for (const Painted::Span& span : painted.spans)
            s.writeRow(span.first, span.row, span.end - span.first);
        return;
    }
    // A dense area's spans are a pixel or two each, row by row: each row
    // looked up once, and short spans written without a call.
    const uint8_t red = s.red, green = s.green, blue = s.blue;
    int32_t rowAt = -1;
    uint8_t* row = nullptr;
    for (const Painted::Span& span : painted.spans) {
        if (span.row != rowAt) row = s.at(0, rowAt = span.row);
        uint8_t* p = row + 3 * static_cast<size_t>(span.first);
        const int32_t n = span.end - span.first;
        if (n > 8 && red == green && green == blue) {
            std::memset(p, red, 3 * static_cast<size_t>(n));
            continue;
        }
        for (int32_t i = 0; i < n; ++i, p += 3) {
            p[0] = blue;
            p[1] = green;
            p[2] = red;
        }
    }
}

void Drawing::countAgain(const Painted& painted) {
    if (!state_) return;
    marks_ += painted.marks;
    tally_.asked += painted.tally.asked;
    tally_.onPage += painted.tally.onPage;
    addExtent(extent_, painted.extent);
    lastLanded_ = painted.lastLanded;
}

} // namespace plotanix
