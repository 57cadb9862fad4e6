// The HP-GL/2 model's areas: polygon mode (PM), filling and edging its
// buffer (FP, EP), rectangles (RA, RR, EA, ER), wedges (WG, EW) and the
// fill types (FT, AC).

#include "hpgl2/hpgl2.h"

#include "page/drawing.h"

#include <algorithm>
#include <cmath>

namespace plotanix {

namespace {

// Hatching's cost, in about nanoseconds of a two-core machine of 2026,
// fitted to teeth, rings and stars hatched at several spacings and angles:
// each crossing of a line with an edge (with its part, counted in a run
// when it falls within a pixel), each part drawn (at most one a pixel),
// and each pixel the lines could draw across the area.
constexpr double crossingCost = 23, partCost = 80, pixelCost = 1;
// A wide pen's strokes: each band, dash, cap or join filled, each row of the
// output one of their edges crosses, and each row of a round end or join
// (a ring of its own). A thin pen's dashes: each dash and each pixel.
constexpr double bandCost = 300, rowCost = 10, roundRowCost = 150;
constexpr double thinDashCost = 60, thinPixelCost = 2;
// An enlarged copy is drawn again from the kept list by cairo, which costs
// far more a pixel: each pixel of a thin line and each row of a filled edge.
constexpr double copyPixelCost = 500, copyRowCost = 100;
// The picture's rows: no edge crosses more.
constexpr double pictureRows = 600;
// One area at most: past it a hatch is filled solid and an outline's wide
// dashes are drawn solid, so that no instruction holds the plot for more
// than about a tenth of a second.
constexpr double mostAreaCost = 80e6;
// All the hatching and wide dashes of a plot: this much at first and this
// much more for each byte the plot has sent. Past what is left they are
// drawn solid, so that they cost a plot at most about a second for every
// 100 KB however its areas are made; real plots never come near.
constexpr double areaAllowanceFirst = 300e6, areaAllowancePerByte = 8'000;

} // namespace

void Hpgl2::fillSolid(Colour colour) {
    flushPieces(); // in the colour they were drawn in
    if (state.transparent && (colour & 0xFFFFFF) == 0xFFFFFF) return;
    area_.clear();
    area_.rule = fillRule_;
    const auto& vertices = buffer_.vertices();
    size_t first = 0;
    for (const uint32_t count : buffer_.subpaths()) {
        for (size_t i = first; i < first + count; ++i)
            area_.points.push_back(page_.picture(vertices[i].at));
        area_.rings.push_back(count);
        first += count;
    }
    drawing_.setFrontColour(colour);
    fillArea(area_.view());
    selectColour();
}

// Worked out once for the buffer and the fill type as they stand (an FP
// looks before it draws, to know whether it repeats the one before).
const Hpgl2::HatchPlan& Hpgl2::planHatch() const {
    HatchPlan& plan = hatchPlan_;
    const int32_t type = state.fillType;
    const size_t which = static_cast<size_t>(type == 4);
    const double given = state.hatchSpacing[which];
    const double spacing =
        given == 0 ? diagonal() / 100
                   : given * (state.hatchInUserUnits[which] ? std::fabs(unit().x) : 1.0);
    const double angle = state.hatchAngle[which];
    const PlotBox box = state.window.box();
    const double scale = page_.scale();
    const double width = wideLines_ ? wide_.style().width : 0;
    const double output = drawing_.outputScale(), copy = drawing_.copyScale();
    const bool same =
        plan.buffer == buffer_.version() && plan.type == type && plan.spacing == spacing &&
        plan.angle == angle && plan.scale == scale && plan.output == output && plan.copy == copy &&
        plan.width == width && plan.anchor == state.anchor && plan.box.left == box.left &&
        plan.box.bottom == box.bottom && plan.box.right == box.right && plan.box.top == box.top;
    if (!same) {
        plan = {buffer_.version(), type, spacing, angle, scale, output, copy, width,
                state.anchor,      box};
        // Lines closer than a pixel would merge, and lines closer together
        // than the pen is wide would cover the area whole: solid then.
        const bool covered = !(spacing * scale >= 1) || spacing * scale < width;
        if ((type == 3 || type == 4) && !buffer_.overflowed() && !covered) {
            bool layable = true;
            for (int set = 0; set < (type == 4 ? 2 : 1); ++set) {
                const HatchLayout lines(buffer_, spacing, angle + 90 * set, state.anchor, box);
                // The lines' pixels as finally drawn: placed, and in an
                // enlarged copy drawn again.
                const double pixels = lines.reach() * scale * output;
                layable = layable && lines.layable();
                plan.cost += crossingCost * lines.crossings() +
                             partCost * std::min(lines.crossings() / 2, pixels) +
                             (pixelCost + (copy > 1 ? copyPixelCost : 0)) * pixels;
            }
            plan.tooCostly = layable && !(plan.cost <= mostAreaCost);
            plan.hatched = layable && !plan.tooCostly;
        }
    }
    plan.drawn = plan.hatched && plan.cost <= allowanceLeft();
    return plan;
}

Hpgl2::OutlineCosts Hpgl2::outlineCosts() const {
    OutlineGeometry& g = outlineGeometry_;
    const double scale = drawing_.outputScale(), copy = drawing_.copyScale();
    if (g.buffer != buffer_.version() || g.scale != scale || g.copyScale != copy) {
        g = {buffer_.version(), scale, copy};
        const auto& vertices = buffer_.vertices();
        for (size_t i = 1; i < vertices.size(); ++i) {
            if (!vertices[i].drawn) continue;
            const Point a = vertices[i - 1].at, b = vertices[i].at;
            const PathPoint p = page_.picture(a), q = page_.picture(b);
            g.edges += 1;
            g.length += std::sqrt((b.x - a.x) * (b.x - a.x) + (b.y - a.y) * (b.y - a.y));
            g.pixels += std::sqrt((q.x - p.x) * (q.x - p.x) + (q.y - p.y) * (q.y - p.y)) * scale;
            g.rows += std::fabs(q.y - p.y) * scale;
        }
    }
    // In the pixels finally drawn: the placement's and an enlarged copy's.
    // Each edge's rows are at most the picture's; their sum is bounded so.
    const LineStyle& style = wide_.style();
    const double w = wideLines_ ? style.width * scale : 0, most = pictureRows * copy;
    const double perRow = rowCost + (copy > 1 ? copyRowCost : 0);
    const double perPixel = thinPixelCost + (copy > 1 ? copyPixelCost : 0);
    const double round = roundRowCost * std::min(w, most);
    // The line type's pieces along the edges: a few for each edge, and so
    // many for each length of its period.
    const double perEdge = pattern_.pieces({0, 0}, {1e-9, 0});
    const double perUnit = (pattern_.pieces({0, 0}, {1e12, 0}) - 1) / 1e12;
    const double pieces = g.edges * perEdge + g.length * perUnit;
    OutlineCosts costs;
    costs.plain = perPixel * g.pixels;
    if (w > 0) {
        costs.solid = bandCost * g.edges + perRow * std::min(g.rows + g.edges * w, g.edges * most) +
                      (style.join == LineJoin::round ? round * g.edges : 0);
        costs.dashed = (bandCost + (style.cap == LineCap::round ? round : 0)) * pieces +
                       perRow * std::min(g.rows + pieces * w, pieces * most);
    } else {
        costs.dashed = thinDashCost * pieces + perPixel * g.pixels;
    }
    return costs;
}

Hpgl2::Outline Hpgl2::penOutline() const {
    const bool dashed = pattern_.pattern() != LinePattern::solid;
    if (wideLines_) return dashed ? Outline::wideDashed : Outline::wide;
    return dashed ? Outline::thinDashed : Outline::plain;
}

Hpgl2::Outline Hpgl2::outlineChosen(double& cost) const {
    cost = 0;
    const Outline asked = penOutline();
    if (asked == Outline::plain || !penShows()) return asked;
    const OutlineCosts plan = outlineCosts();
    const auto affordable = [&](double c) { return c <= mostAreaCost && c <= allowanceLeft(); };
    if (asked != Outline::wide && affordable(plan.dashed)) {
        cost = plan.dashed;
        return asked;
    }
    if (wideLines_ && affordable(plan.solid)) {
        cost = plan.solid;
        return Outline::wide;
    }
    // Past the bounds. An enlarged copy's thin strokes may cost cairo more
    // than the wide pen's filled ones: the cheaper, while anything is left
    // of the allowance (then the plain outline, whose repeats cost nothing).
    if (wideLines_ && drawing_.copyScale() > 1 && plan.solid < plan.plain && allowanceLeft() > 0) {
        cost = plan.solid;
        return Outline::wide;
    }
    return Outline::plain;
}

void Hpgl2::spendOnArea(double cost) {
    areaSpent_ += cost;
    costs_.spent = areaSpent_;
    if (cost <= mostAreaCost) {
        costs_.costliest = std::max(costs_.costliest, cost);
    } else {
        ++costs_.pastBound;
        costs_.pastBoundSpent += cost;
    }
}

// What the plot may still spend on costly areas, as the bytes stand now.
double Hpgl2::allowanceLeft() const {
    return areaAllowanceFirst + areaAllowancePerByte * static_cast<double>(input_.taken()) -
           areaSpent_;
}

void Hpgl2::Sinks::hatch(const HatchLine& line) {
    model.drawHatch(line);
}

void Hpgl2::drawHatch(const HatchLine& line) {
    const std::span<const double> ends = line.ends;
    const size_t parts = ends.size() / 2;
    patternUsed_ = true;
    const auto draw = [&](size_t part) {
        pattern_.reset(); // each part starts its line type afresh
        plotLine(line.at(ends[2 * part]), line.at(ends[2 * part + 1]));
        finishLine();
    };
    // A thin solid pen draws a part from the pixel of its start to that of
    // its end. A part inside the window, the paper and the reach is drawn
    // so straight away: nothing is cut or counted off the paper, and the
    // solid line type has no pattern to restart. Parts narrower than a
    // pixel (a dense area's) come in runs of the same dot: only the first
    // of a run is drawn, the others counted. Along the line
    // every coordinate, and so every pixel, moves one way only, so a part
    // between two in one pixel is in that pixel too, and inside every box
    // they are both inside.
    if (wideLines_ || !penShows() || pattern_.pattern() != LinePattern::solid ||
        !drawing_.pixelsOnly()) {
        for (size_t part = 0; part < parts; ++part)
            draw(part);
        return;
    }
    const bool paperCounts = paperClips_ && !state.windowSet;
    const auto within = [&](Point p) {
        return state.window.contains(p) && std::fabs(p.x) <= hpgl2Reach &&
               std::fabs(p.y) <= hpgl2Reach && (!paperCounts || onPaper(state.window, p));
    };
    const auto pixel = [&](Point p) { return std::pair{page_.column(p), page_.row(p)}; };
    const auto drawWithin = [&](Point from, Point to) {
        const auto [c1, r1] = pixel(from);
        const auto [c2, r2] = pixel(to);
        drawing_.drawLine(c1, r1, c2, r2, page_.picture(from), page_.picture(to));
    };
    size_t run = 0; // the parts after the first of the last run
    for (size_t part = 0; part < parts;) {
        const Point from = line.at(ends[2 * part]), to = line.at(ends[2 * part + 1]);
        if (!within(from) || !within(to)) {
            draw(part++);
            continue;
        }
        drawWithin(from, to);
        const auto dot = pixel(from);
        if (pixel(to) != dot) {
            ++part;
            continue;
        }
        const auto same = [&](size_t other) {
            const Point end = line.at(ends[2 * other + 1]);
            return within(end) && pixel(end) == dot;
        };
        // The run's last part: first where the run before ended (or one
        // short of it), then galloping, then halving.
        size_t last = part, beyond = parts;
        const size_t guess = part + run;
        if (run > 0 && guess < parts) {
            if (same(guess)) {
                last = guess;
            } else if (guess - 1 > part && same(guess - 1)) {
                last = guess - 1, beyond = guess;
            } else {
                beyond = guess - (guess - 1 > part ? 1 : 0);
            }
        }
        if (beyond == parts) {
            for (size_t step = 1; last + step < parts; step *= 2) {
                if (!same(last + step)) {
                    beyond = last + step;
                    break;
                }
                last += step;
            }
        }
        while (beyond - last > 1) {
            const size_t middle = last + (beyond - last) / 2;
            (same(middle) ? last : beyond) = middle;
        }
        // The parts after the first lie between its start and the last's end.
        if (last > part) {
            drawing_.repeatLastLine(static_cast<int64_t>(last - part),
                                    page_.picture(line.at(ends[2 * last + 1])));
        }
        run = last - part;
        part = last + 1;
    }
    pattern_.reset();
}

void Hpgl2::fillBuffer() {
    if (buffer_.empty()) return;
    // An overflowed buffer is edged, as HP-GL/2 does.
    if (buffer_.overflowed()) {
        bufferFilled_ = true;
        return edgeBuffer();
    }
    const HatchPlan& plan = planHatch();
    if (plan.drawn) {
        spendOnArea(plan.cost);
        for (int set = 0; set < (plan.type == 4 ? 2 : 1); ++set) {
            HatchLayout(buffer_, plan.spacing, plan.angle + 90 * set, plan.anchor, plan.box)
                .lay(fillRule_, sinks_);
        }
        return flushPieces();
    }
    if (plan.tooCostly || plan.hatched) {
        drawnSolid_ = true;
        ++costs_.givenWay;
    }
    fillSolid(fillColour());
}

Colour Hpgl2::fillColour() const {
    const Colour pen = penColour();
    if (state.fillType != 10) return pen;
    // Shading: the pen's colour that much of the way from white.
    Colour tint = 0;
    for (int c = 0; c < 3; ++c) {
        const double level = (pen >> (8 * c)) & 0xFF;
        const double mixed = 255 - (255 - level) * std::clamp(state.shading, 0.0, 100.0) / 100;
        tint |= static_cast<Colour>(std::lround(mixed)) << (8 * c);
    }
    return tint;
}

std::string_view Hpgl2::hint() const {
    static_assert(PolygonBuffer::maxPoints == 32768, "the hint names the buffer's size");
    if (bufferFilled_ && drawnSolid_) {
        return "a polygon passed the 32768 points the polygon buffer holds: it was outlined, not "
               "filled; and hatching or outlines that would have cost too much were drawn solid "
               "or thin";
    }
    if (bufferFilled_) {
        return "a polygon passed the 32768 points the polygon buffer holds: it was outlined, not "
               "filled";
    }
    if (drawnSolid_) {
        return "hatching or outlines that would have cost too much were drawn solid or thin";
    }
    return {};
}

void Hpgl2::edgeBuffer() {
    patternUsed_ = true;
    const auto& vertices = buffer_.vertices();
    // A wide pen's strokes round a buffer of long edges, and its dashes by
    // the hundred thousand, may cost more than one instruction may, or the
    // plot may still spend: the outline is then drawn solid, or plain.
    const LinePattern dashes = pattern_;
    const bool wide = wideLines_;
    double cost = 0;
    const Outline outline = outlineChosen(cost);
    spendOnArea(cost);
    if (outline != penOutline() && penShows()) {
        drawnSolid_ = true;
        ++costs_.givenWay;
    }
    if (outline == Outline::plain || outline == Outline::wide)
        pattern_.select(LinePattern::solid, 0);
    wideLines_ = outline == Outline::wide || outline == Outline::wideDashed;
    size_t first = 0;
    for (const uint32_t count : buffer_.subpaths()) {
        pattern_.reset();
        for (size_t i = first + 1; i < first + count; ++i) {
            if (vertices[i].drawn) {
                plotLine(vertices[i - 1].at, vertices[i].at);
            } else {
                finishLine();
                pattern_.reset();
            }
        }
        wide_.close(sinks_); // a closed outline has a corner where it began, not ends
        first += count;
    }
    wideLines_ = wide;
    if (pattern_.pattern() != dashes.pattern()) pattern_ = dashes;
    pattern_.reset();
    flushPieces();
}

void Hpgl2::doPM(const Numbers& p) {
    if (rejected(p)) return;
    const double mode = p.count > 0 ? p.v[0] : 0;
    if (mode == 0) {
        // The pen's position is the first point.
        buffer_.clear();
        buffer_.start(state.pen);
        state.polygonMode = true;
    } else if (mode == 1 || mode == 2) {
        if (!state.polygonMode) return;
        buffer_.close();
        state.polygonMode = mode == 1;
    } else {
        raiseError(badParameter);
    }
}

// An FP or EP after a run of the same in one colour, nothing else drawn or
// changed since but the fill type and the pen, with parameters, a fill type
// and a pen width one of them had, would draw the same pixels: each paints
// its pixels whole. In that colour it is passed over, so that alternating
// fills of a big buffer cost nothing more; in another it paints the pixels
// that one painted, kept as it drew, and counts what it counted.
bool Hpgl2::AreaKind::operator==(const AreaKind& other) const {
    const Numbers& p = values;
    const Numbers& q = other.values;
    return p.count == q.count && p.illegal == q.illegal && p.aborted == q.aborted &&
           std::equal(p.v.begin(), p.v.begin() + std::min<int>(p.count, Numbers::kept),
                      q.v.begin()) &&
           fillType == other.fillType && hatchSpacing == other.hatchSpacing &&
           hatchAngle == other.hatchAngle && hatchInUserUnits == other.hatchInUserUnits &&
           shading == other.shading && penWidth == other.penWidth && cap == other.cap &&
           join == other.join && mitreLimit == other.mitreLimit &&
           dashShortest == other.dashShortest && lineType == other.lineType &&
           lineTypeSet == other.lineTypeSet && patternMetric == other.patternMetric &&
           patternLength == other.patternLength;
}

Hpgl2::AreaKind Hpgl2::areaKind(const Numbers& p) const {
    if (current_->mnemonic == "EP") {
        double cost = 0;
        return outlineKind(p, outlineChosen(cost));
    }
    const double width = wideLines_ ? wide_.style().width : 0;
    AreaKind lineType;
    lineType.lineType = state.lineType;
    lineType.lineTypeSet = state.lineTypeSet;
    lineType.patternMetric = state.patternMetric;
    lineType.patternLength = state.patternLength;
    // Every solid fill of the buffer paints the same pixels, whatever its
    // fill type, shading or pen (its colour is the run's).
    if (!buffer_.overflowed() && !planHatch().drawn) return {p};
    AreaKind kind = lineType;
    kind.values = p;
    kind.fillType = state.fillType;
    kind.hatchSpacing = state.hatchSpacing;
    kind.hatchAngle = state.hatchAngle;
    kind.hatchInUserUnits = state.hatchInUserUnits;
    kind.shading = state.shading;
    if (wideLines_) {
        const LineStyle& style = wide_.style();
        kind.penWidth = width;
        kind.cap = style.cap;
        kind.join = style.join;
        kind.mitreLimit = style.mitreLimit;
    }
    kind.dashShortest = dashShortest_;
    return kind;
}

// An outline is drawn with the pen, its width and its line type as far as
// they are drawn (the plain outline has neither); the fill type plays no
// part.
Hpgl2::AreaKind Hpgl2::outlineKind(const Numbers& p, Outline outline) const {
    AreaKind kind;
    kind.values = p;
    if (outline == Outline::thinDashed || outline == Outline::wideDashed) {
        kind.lineType = state.lineType;
        kind.lineTypeSet = state.lineTypeSet;
        kind.patternMetric = state.patternMetric;
        kind.patternLength = state.patternLength;
        kind.dashShortest = dashShortest_;
    }
    if (outline == Outline::wide || outline == Outline::wideDashed) {
        const LineStyle& style = wide_.style();
        kind.penWidth = style.width;
        kind.cap = style.cap;
        kind.join = style.join;
        kind.mitreLimit = style.mitreLimit;
    }
    return kind;
}

bool Hpgl2::runGoesOn() const {
    const AreaDrawn& run = lastArea_;
    return run.instruction == current_ && run.marks == drawing_.marks() &&
           run.buffer == buffer_.version();
}

// Passed over, the area leaves the line type where drawing it would: a
// pen lifted since has started it afresh.
bool Hpgl2::repeatsLastArea(const Numbers& p) {
    const AreaDrawn& run = lastArea_;
    if (!runGoesOn() || run.colour != areaColour()) return false;
    const auto end = run.kinds.begin() + run.count;
    auto found = std::find(run.kinds.begin(), end, areaKind(p));
    // An outline the run drew as the pen asks, or solid, before the plot's
    // allowance ran out would draw the same pixels: passed over too.
    if (found == end && current_->mnemonic == "EP" && wideLines_) {
        for (const Outline outline : {penOutline(), Outline::wide})
            if (found == end) found = std::find(run.kinds.begin(), end, outlineKind(p, outline));
    }
    if (found == end) return false;
    const Kept& kept = run.kept[static_cast<size_t>(found - run.kinds.begin())];
    if (kept.patternUsed) pattern_.setPhase(kept.pattern);
    return true;
}

Colour Hpgl2::areaColour() const {
    return current_->mnemonic == "EP" ? penColour() : fillColour();
}

// Transparent white paints nothing where the same area in another colour
// would paint: the pixels are neither kept nor painted again then.
bool Hpgl2::paintsWhole() const {
    return !state.transparent ||
           ((penColour() & 0xFFFFFF) != 0xFFFFFF && (fillColour() & 0xFFFFFF) != 0xFFFFFF);
}

bool Hpgl2::repaintsLastArea(const Numbers& p) {
    AreaDrawn& run = lastArea_;
    if (!runGoesOn() || !paintsWhole()) return false;
    const AreaKind kind = areaKind(p);
    const size_t which = static_cast<size_t>(
        std::find(run.kinds.begin(), run.kinds.begin() + run.count, kind) - run.kinds.begin());
    if (which == run.count || !run.kept[which].kept || !drawing_.canKeep() ||
        !drawing_.canPaintAgain(run.kept[which].painted))
        return false;
    if (which != 0) paintPending();
    Kept kept = std::move(run.kept[which]);
    ++repainted_;
    const Colour colour = areaColour();
    // Counted now, painted when anything else comes: the same pixels in yet
    // another colour before then need only be painted in the last.
    drawing_.countAgain(kept.painted);
    pendingColour_ = colour;
    paintPending_ = true;
    countOffPaper(kept.offPaper);
    if (kept.patternUsed) pattern_.setPhase(kept.pattern);
    if (buffer_.overflowed()) bufferFilled_ = true;
    run = {current_, {kind}, 1, drawing_.marks(), colour, {}, buffer_.version()};
    run.kept[0] = std::move(kept);
    return true;
}

void Hpgl2::paintPending() {
    if (!paintPending_) return;
    paintPending_ = false;
    drawing_.setFrontColour(pendingColour_);
    drawing_.paintAgain(lastArea_.kept[0].painted);
    selectColour();
}

// Draws an area. One that repeats a kind of the run in another colour is
// likely to come again: what it painted is kept, while the page is the
// drawing's only output (keeping costs a little, spent only there).
void Hpgl2::drawArea(const Numbers& p, void (Hpgl2::*draw)()) {
    paintPending();
    AreaDrawn& run = lastArea_;
    const int64_t offPaperBefore = offPaper();
    const AreaKind kind = areaKind(p);
    const bool goesOn = runGoesOn();
    const bool again = goesOn && std::find(run.kinds.begin(), run.kinds.begin() + run.count,
                                           kind) != run.kinds.begin() + run.count;
    const bool keep = again && paintsWhole() && drawing_.canKeep();
    if (keep) drawing_.beginKeeping();
    patternUsed_ = false;
    (this->*draw)();
    Kept kept;
    if (keep) kept.kept = drawing_.endKeeping(kept.painted);
    kept.offPaper = offPaper() - offPaperBefore;
    kept.patternUsed = patternUsed_;
    kept.pattern = pattern_.phase();

    const Colour colour = areaColour();
    if (!goesOn || run.colour != colour) run = {current_, {}, 0, 0, colour, {}, buffer_.version()};
    if (run.count == run.kinds.size()) {
        // The oldest kind makes room: a kind that comes again comes soon.
        std::move(run.kinds.begin() + 1, run.kinds.end(), run.kinds.begin());
        std::move(run.kept.begin() + 1, run.kept.end(), run.kept.begin());
        --run.count;
    }
    run.kept[run.count] = std::move(kept);
    run.kinds[run.count++] = kind;
    run.marks = drawing_.marks();
}

void Hpgl2::doFP(const Numbers& p) {
    if (repeatsLastArea(p) || repaintsLastArea(p)) return;
    if (rejected(p)) return;
    const double rule = p.count > 0 ? p.v[0] : 0;
    if (rule != 0 && rule != 1) return raiseError(badParameter);
    fillRule_ = rule == 1 ? FillRule::nonzero : FillRule::evenOdd;
    drawArea(p, &Hpgl2::fillBuffer);
}

void Hpgl2::doEP(const Numbers& p) {
    if (p.aborted || repeatsLastArea(p) || repaintsLastArea(p)) return;
    drawArea(p, &Hpgl2::edgeBuffer);
}

void Hpgl2::doRA(const Numbers& p) {
    rectangle(p, true, true);
}
void Hpgl2::doRR(const Numbers& p) {
    rectangle(p, false, true);
}
void Hpgl2::doEA(const Numbers& p) {
    rectangle(p, true, false);
}
void Hpgl2::doER(const Numbers& p) {
    rectangle(p, false, false);
}

void Hpgl2::rectangle(const Numbers& p, bool absolute, bool fill) {
    if (rejected(p)) return;
    if (p.count != 2) return raiseError(wrongParameterCount);
    Point corner;
    if (!takeTarget(p.v[0], p.v[1], !absolute, corner)) return;
    // Built in the buffer, where EP finds it later; the pen stays.
    const Point pen = state.pen;
    buffer_.clear();
    buffer_.start(pen);
    buffer_.lineTo({corner.x, pen.y}, true);
    buffer_.lineTo(corner, true);
    buffer_.lineTo({pen.x, corner.y}, true);
    buffer_.close();
    fillRule_ = FillRule::evenOdd;
    if (fill) return fillBuffer();
    edgeBuffer();
}

void Hpgl2::doWG(const Numbers& p) {
    bufferWedge(p, true);
}
void Hpgl2::doEW(const Numbers& p) {
    bufferWedge(p, false);
}

void Hpgl2::bufferWedge(const Numbers& p, bool fill) {
    if (rejected(p)) return;
    if (p.count < 3 || p.count > 4) return raiseError(wrongParameterCount);
    const double radius = p.v[0], sweep = std::clamp(p.v[2], -360.0, 360.0);
    if (!withinReach(radius) || !std::isfinite(p.v[1]) || !std::isfinite(sweep))
        return raiseError(badParameter);
    // A negative radius puts 0 degrees on -X.
    const double start = std::fmod(p.v[1], 360.0) + (radius < 0 ? 180 : 0);
    const double chord = hpgl2Chord(p.count == 4 ? p.v[3] : 5);
    const int64_t chords = chordCount(sweep, chord);
    const Point centre = state.pen, u = unit();
    const auto at = [&](int64_t i) {
        return circlePoint(centre, u, std::fabs(radius),
                           start + sweep * static_cast<double>(i) / static_cast<double>(chords));
    };
    buffer_.clear();
    const bool whole = std::fabs(sweep) >= 360;
    buffer_.start(whole ? at(0) : centre);
    for (int64_t i = whole ? 1 : 0; i <= chords; ++i)
        buffer_.lineTo(at(i), true);
    buffer_.close();
    fillRule_ = FillRule::evenOdd;
    if (fill) return fillBuffer();
    edgeBuffer();
}

void Hpgl2::doFT(const Numbers& p) {
    if (rejected(p)) return;
    const double type = p.count > 0 ? p.v[0] : 1;
    if (type == 3 || type == 4) {
        // Omitted options keep this type's last ones.
        const size_t which = static_cast<size_t>(type - 3);
        if (p.count > 1 && !(p.v[1] >= 0 && p.v[1] < 1e9)) return raiseError(badParameter);
        if (p.count > 2 && !std::isfinite(p.v[2])) return raiseError(badParameter);
        if (p.count > 1) {
            state.hatchSpacing[which] = p.v[1];
            state.hatchInUserUnits[which] = state.scale.on;
        }
        if (p.count > 2) state.hatchAngle[which] = p.v[2];
    } else if (type == 10) {
        if (p.count > 1 && !(p.v[1] >= 0 && p.v[1] <= 100)) return raiseError(badParameter);
        if (p.count > 1) state.shading = p.v[1];
    } else if (type != 1 && type != 2 && type != 11 && type != 21 && type != 22) {
        // Solid: 1 and 2, and (without their patterns here) 11, 21 and 22.
        return raiseError(badParameter);
    }
    state.fillType = static_cast<int32_t>(type);
}

void Hpgl2::doAC(const Numbers& p) {
    if (rejected(p)) return;
    if (p.count == 0) {
        state.anchor = {};
        return;
    }
    if (p.count != 2) return raiseError(wrongParameterCount);
    Point anchor;
    if (takeTarget(p.v[0], p.v[1], false, anchor)) state.anchor = anchor;
}

} // namespace plotanix
