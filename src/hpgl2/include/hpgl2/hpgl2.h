#pragma once
// The HP-GL/2 model: the drawing instructions CAD and PCB programs write
// (PE's encoded polylines, polygon mode and its fills, rectangles, wedges,
// pen widths and colours, HP-GL/2's line types and labels), read through
// the PCL job that may wrap them. Without PS its page is the 7470A's paper
// and mapping; PS sets the page, RO turns the coordinate system on it. Its
// state lasts across the pauses of the line, as the 7470A model's does.

#include "hpgl/hpgl_core.h"
#include "hpgl2/hpgl2_input.h"
#include "hpgl2/hpgl2_page.h"
#include "hpgl2/hpgl2_polygon.h"
#include "page/drawing.h"
#include "page/wide_line.h"

#include <array>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

namespace plotanix {

class Drawing;

// SC as given: scaling follows P1/P2 whenever they move.
struct ScaleRequest {
    bool on = false;
    int32_t type = 0; // 0 anisotropic, 1 isotropic, 2 point factor
    double v[4] = {0, 1, 0, 1};
    double left = 50, bottom = 50; // isotropic placement, percent
};

struct LabelFont {
    double pitch = 9;     // characters per inch
    double height = 11.5; // points
    bool proportional = false;
};

struct Hpgl2State : HpglState {
    // Plotter units are in the turned coordinate system.
    ScaleRequest request;   // SC as given; scale is it worked out for P1/P2
    bool windowSet = false; // IW given; otherwise the window is the frame
    bool polygonMode = false;
    // Pens: palette colours and widths (WU0 millimetres or WU1 percent).
    std::vector<Colour> palette;
    std::vector<double> widths;
    bool relativeWidths = false;
    bool transparent = true; // TR1: white leaves the page as it is
    std::array<double, 6> colourRange{0, 255, 0, 255, 0, 255};
    // Lines.
    int32_t lineType = 0;     // 0 solid (LT;), else the LT number
    bool lineTypeSet = false; // LT n given (LT; clears it)
    int32_t previousType = 0; // for LT99
    bool previousSet = false;
    double patternLength = 4; // percent of the P1-P2 diagonal, or mm
    bool patternMetric = false;
    LineStyle ends; // LA; width comes from the pen
    // Fills.
    int32_t fillType = 1;
    std::array<double, 2> hatchSpacing{0, 0}; // FT3 and FT4; 0 = 1% of the diagonal
    std::array<bool, 2> hatchInUserUnits{false, false};
    std::array<double, 2> hatchAngle{0, 0};
    double shading = 100;
    Point anchor; // AC
    // Labels.
    std::array<LabelFont, 2> fonts; // SD, AD
    int32_t labelOrigin = 1;
};

class Hpgl2 : public HpglCore {
  public:
    // Coordinates reach far; label sizes and directions are any numbers.
    static constexpr Dialect dialect{.reach = hpgl2Reach,
                                     .replyHighest = hpgl2Reach,
                                     .labelLimit = 1e6,
                                     .directionLimit = std::numeric_limits<double>::infinity(),
                                     .leastDirection = std::numeric_limits<double>::denorm_min(),
                                     .cellLowest = -std::numeric_limits<double>::infinity(),
                                     .cellLimit = std::numeric_limits<double>::infinity(),
                                     .bareDirectionRelative = false,
                                     .afterQuery = Body::numbers,
                                     .initialiseTakesNumbers = true,
                                     .sixteenBit = false,
                                     .windowInCurrentUnits = true,
                                     .chord = hpgl2Chord,
                                     .sweep = turnAndRest,
                                     .symbolsAtPairs = false,
                                     .labelPiece = 0};

    Hpgl2(Drawing& drawing, ByteLink& link, StatusLine* status, Paper paper);

    void startPage() override;
    void feed(std::span<const uint8_t> bytes) override;
    // A repaint put off and the wide lines' pieces gathered are drawn.
    void settle() override;
    void endOfStream() override;
    bool knows(std::string_view mnemonic) const override;
    // The page in force when the page began or PS last set it: ESC E puts
    // the page back to the paper, but what was drawn keeps the page it was
    // drawn on (a PCL job ends with ESC E).
    std::optional<PageExtent> pageExtent() const override { return shown_; }
    // Areas painted again from the pixels the same one painted in another
    // colour, since the model was made.
    int64_t areasRepainted() const { return repainted_; }
    std::string_view hint() const override;
    // What the costly areas (hatching, wide or dashed outlines) came to
    // since the model was made: the costliest one drawn within the bound and
    // all of them (about nanoseconds); those drawn past the bound (an
    // enlarged copy's outline drawn solid, not plain, being cheaper there),
    // how many and their cost; and how many gave way for their cost (a
    // hatch filled solid, an outline drawn solid or plain).
    struct AreaCosts {
        double costliest = 0, spent = 0, pastBoundSpent = 0;
        int64_t pastBound = 0, givenWay = 0;
    };
    const AreaCosts& areaCosts() const { return costs_; }
    void clipAtPaper(bool clip) override;
    const Hpgl2Page& page() const { return page_; }
    const PolygonBuffer& polygon() const { return buffer_; }

    Hpgl2State state;

  private:
    // What an instruction's numbers go to when they come one by one.
    enum class Stream : uint8_t { none, pairs, bezier };
    using Instruction = HpglInstruction<Hpgl2, Stream>;
    static const std::array<Instruction, 74> instructions_;
    static const Instruction* find(std::string_view mnemonic);
    friend bool hpgl2Knows(std::string_view mnemonic);
    friend std::optional<Body> hpgl2Body(std::string_view mnemonic);

    // Reading: the tokenizer's client.
    void betweenInstructions() override;
    Body instruction(std::string_view letters) override;
    void numbers(const Numbers& values) override;
    void number(double value) override;
    void numbersEnd(bool illegal, bool aborted) override;
    ByteStep byte(int event) override;

    // Setup.
    void showPage() { shown_ = {page_.paper().x, page_.paper().y, sized_}; }
    void initialise() override;
    void setDefaults() override;
    void defaultScalingPoints() override;
    void scalingPointsMoved() override;
    void applyScale();
    void applyWindow();
    void setWindow(std::optional<Window> corners) override;
    // An area filled within the window, counted when the paper cuts it.
    void fillArea(PathView area);
    // Counts an area that the paper cuts.
    void noteOffPaper(PathView area);
    Point toPlotter(Point user) const;
    double diagonal() const;

    // Moving and drawing.
    void moveTo(Point target) override;
    void moveTo(Point target, bool down);
    void plotLine(Point from, Point to) override;
    StrokeSink& strokes() override { return sinks_; }
    void drawPiece(Point from, Point to);
    void finishLine();
    void addPiece(PathView area);
    void flushPieces();
    bool penShows() const;
    bool inkShows() const override { return penShows(); }
    bool windowIsPaper() const override { return !state.windowSet; }
    Window toldWindow() const override { return windowOnPaper(true); }
    // The window as IW left it, cut at the frame when the paper clips.
    Window windowOnPaper(bool paperClips) const;
    Colour penColour() const;
    void selectColour();
    void selectPen(double number) override;
    void resizePalette(size_t size);
    void applyPenStyle();

    // Areas.
    void fillBuffer();
    void edgeBuffer();
    void fillSolid(Colour colour);
    struct AreaKind;
    AreaKind areaKind(const Numbers& p) const;
    Colour fillColour() const; // of a solid fill of the fill type
    bool repeatsLastArea(const Numbers& p);
    bool repaintsLastArea(const Numbers& p);
    // Paints the last area repainted, in its colour, if it waits.
    void paintPending();
    Colour areaColour() const;
    bool paintsWhole() const;
    void drawArea(const Numbers& p, void (Hpgl2::*draw)());
    // FT3's or FT4's lines over the buffer: what they would cost and
    // whether they are drawn, or the area filled solid.
    struct HatchPlan {
        uint64_t buffer = 0; // the buffer's version it was worked out for
        int32_t type = 0;
        double spacing = 0, angle = 0, scale = 0;
        double output = 0, copy = 0; // the drawing's output and copy scales
        double width = 0;            // a wide pen's, pixels
        Point anchor;
        PlotBox box;
        double cost = 0;        // about nanoseconds
        bool tooCostly = false; // solid for its cost alone
        bool hatched = false;   // its lines are drawn while the plot can afford them
        bool drawn = false;     // and it can
    };
    const HatchPlan& planHatch() const;
    // How an outline (EP, EA, ER, EW) is drawn: in the pen's width and line
    // type while that costs no more than an instruction may and the plot can
    // afford; else solid, then as the plain outline (thin and solid), which
    // is the same whatever the pen's width and line type, so that changing
    // them between outlines of one buffer costs nothing more.
    enum class Outline : uint8_t { plain, thinDashed, wide, wideDashed };
    AreaKind outlineKind(const Numbers& p, Outline outline) const;
    // The outline the pen asks for.
    Outline penOutline() const;
    // The outline drawn now, and its cost (about nanoseconds).
    Outline outlineChosen(double& cost) const;
    // The buffer's drawn edges as finally drawn, worked out once for the
    // buffer and the output's scale: from them an outline's costs in any
    // width and line type come at once, however often they change.
    struct OutlineGeometry {
        uint64_t buffer = ~uint64_t(0);
        double scale = 0, copyScale = 0;
        double edges = 0, length = 0; // plotter units
        double pixels = 0, rows = 0;  // the edges' length and height, output pixels
    };
    mutable OutlineGeometry outlineGeometry_;
    struct OutlineCosts {
        double dashed = 0, solid = 0, plain = 0; // about nanoseconds
    };
    OutlineCosts outlineCosts() const;
    double allowanceLeft() const;
    void drawHatch(const HatchLine& line);
    void bufferWedge(const Numbers& p, bool fill);

    // Labels, line types.
    void applyLineType();
    void applyDashScale();
    void drawLabel(std::string_view text) override;
    void setFont(const Numbers& p, int32_t which);

    struct Sinks : StrokeSink, PieceSink, AreaSink, HatchSink {
        explicit Sinks(Hpgl2& model) : model(model) {}
        void polyline(std::span<const PlotPoint> points) override;
        void piece(PlotPoint from, PlotPoint to) override;
        void fill(PathView area) override;
        void hatch(const HatchLine& line) override;
        Hpgl2& model;
    };

    void reply(std::string_view text) override;
    void penLifted() override { finishLine(); }
    bool circleStored(const Circle& circle) override;
    void circleDrawn() override;
    Point fontSize() const override;

    // Instructions.
    void doPS(const Numbers& p);
    void doRO(const Numbers& p);
    void doIR(const Numbers& p);
    void doSC(const Numbers& p);
    void startEncoded();
    ByteStep doPE(int byte);
    void doAT(const Numbers& p);
    void doRT(const Numbers& p);
    void threePointArc(const Numbers& p, bool absolute);
    void doBZ();
    void doBR();
    void bezierNumber(double value);
    void doPM(const Numbers& p);
    void doFP(const Numbers& p);
    void doEP(const Numbers& p);
    void doRA(const Numbers& p);
    void doRR(const Numbers& p);
    void doEA(const Numbers& p);
    void doER(const Numbers& p);
    void rectangle(const Numbers& p, bool absolute, bool fill);
    void doWG(const Numbers& p);
    void doEW(const Numbers& p);
    void doFT(const Numbers& p);
    void doAC(const Numbers& p);
    void doNP(const Numbers& p);
    void doPC(const Numbers& p);
    void doCR(const Numbers& p);
    void doPW(const Numbers& p);
    void doWU(const Numbers& p);
    void doLA(const Numbers& p);
    void doLT(const Numbers& p);
    void doUL(const Numbers& p);
    void doTR(const Numbers& p);
    void startTerminator();
    ByteStep doDT(int byte);
    void terminatorMode(const Numbers& p);
    void doLO(const Numbers& p);
    void doSD(const Numbers& p);
    void doAD(const Numbers& p);
    void startQuoted();
    ByteStep doBP(int byte);
    void doOA();
    void doOH();
    void doOT();
    void doPG(const Numbers& p);

    ByteLink& link_;
    Point paper_;        // the page without PS
    bool sized_ = false; // PS has set the page
    PageExtent shown_;   // the page the picture shows
    Hpgl2Page page_;
    HpglTokenizer tokenizer_{static_cast<TokenizerClient&>(*this)};
    Hpgl2Input input_{tokenizer_};
    const Instruction* current_ = nullptr;
    // The instruction being read, where it stands.
    std::array<double, 6> curve_{}; // BZ, BR: one curve's numbers
    int curveTaken_ = 0;
    bool curveAbsolute_ = false;
    bool quoted_ = false;    // inside a quoted text
    int terminatorStep_ = 0; // DT: 0 the terminator, 1 what follows it
    struct EncodedPath {     // PE
        enum class Next : uint8_t { coordinate, pen, fraction };
        Next next = Next::coordinate;
        bool sevenBit = false, up = false, absolute = false, moved = false, lastUp = false;
        bool haveX = false, tooLarge = false;
        double x = 0, scale = 1;
        uint64_t value = 0, place = 1;
    } encoded_;
    // The FPs (or EPs) drawn one after the other with nothing else drawn
    // or changed between them but the fill type and the pen, their
    // parameters, fill types and pen widths (the first few kinds), what each
    // painted and counted where it could be kept, and the drawing's marks
    // after the last.
    struct AreaKind {
        Numbers values;
        int32_t fillType = 1;
        std::array<double, 2> hatchSpacing{}, hatchAngle{};
        std::array<bool, 2> hatchInUserUnits{};
        double shading = 0;
        double penWidth = 0, dashShortest = 0; // pixels, plotter units
        // A wide pen's ends and joins, where the area's lines are wide.
        LineCap cap = LineCap::butt;
        LineJoin join = LineJoin::mitre;
        double mitreLimit = 0;
        // The line type, where the area's lines are drawn in it.
        int32_t lineType = 0;
        bool lineTypeSet = false, patternMetric = false;
        double patternLength = 0;
        bool operator==(const AreaKind& other) const;
    };
    struct Kept {
        Drawing::Painted painted;
        int64_t offPaper = 0;
        LinePattern::Phase pattern; // after it, where it used the line type
        bool patternUsed = false;
        bool kept = false;
    };
    struct AreaDrawn {
        const Instruction* instruction = nullptr;
        std::array<AreaKind, 4> kinds;
        size_t count = 0;
        uint64_t marks = 0;
        Colour colour = 0;
        std::array<Kept, 4> kept;
        uint64_t buffer = 0; // the polygon buffer's version
    } lastArea_;
    // Whether the run of areas goes on to the instruction at hand: the same
    // instruction, with nothing drawn and the buffer unchanged since.
    bool runGoesOn() const;
    // The first kind of the run is to be painted again in this colour.
    bool paintPending_ = false;
    Colour pendingColour_ = 0;
    bool patternUsed_ = false; // by the area being drawn
    int64_t repainted_ = 0;
    double dashShortest_ = 0; // plotter units: shorter periods draw solid
    WideLine wide_;
    bool wideLines_ = false;
    Window windowGiven_; // IW's, in plotter units
    bool paperClips_ = true;
    PixelRect windowPixels_;
    FillRule fillRule_ = FillRule::evenOdd;
    PolygonBuffer buffer_;
    bool bufferFilled_ = false; // a fill found the buffer overflowed
    mutable HatchPlan hatchPlan_;
    double areaSpent_ = 0; // of the allowance that grows with the bytes
    AreaCosts costs_;
    void spendOnArea(double cost);
    bool drawnSolid_ = false; // hatching or dashes were drawn solid for their cost
    Path area_;               // a fill's rings on the picture, reused
    // The pieces of wide lines (bands, caps, joins) drawn since the last
    // flush, each turned the same way round: filled at once by the nonzero
    // rule, their union has the pixels they would have one by one, each
    // pixel painted once.
    Path pieces_;
    static constexpr size_t maxPieces = size_t{1} << 16; // points
    Sinks sinks_{*this};
    std::array<std::vector<double>, 8> userTypes_; // UL layouts, empty for the default
};

// Whether the HP-GL/2 model knows this two-letter mnemonic (either case).
bool hpgl2Knows(std::string_view mnemonic);
// How the model reads the body of a mnemonic it knows.
std::optional<Body> hpgl2Body(std::string_view mnemonic);

} // namespace plotanix
