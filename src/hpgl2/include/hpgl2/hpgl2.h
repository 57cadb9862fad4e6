#pragma once
// The HP-GL/2 model: the drawing instructions CAD and PCB programs write
// (PE's encoded polylines, polygon mode and its fills, rectangles, wedges,
// pen widths and colours, HP-GL/2's line types and labels), read through
// the PCL job that may wrap them. Without PS its page is the 7470A's paper
// and mapping; PS sets the page, RO turns the coordinate system on it. Its
// state lasts across the pauses of the line, as the 7470A model's does.

#include "hp7470a/hp7470a_geometry.h"
#include "hp7470a/hp7470a_syntax.h"
#include "hpgl/byte_link.h"
#include "hpgl/plotter.h"
#include "hpgl2/hpgl2_input.h"
#include "hpgl2/hpgl2_page.h"
#include "hpgl2/hpgl2_polygon.h"
#include "page/label_strokes.h"
#include "page/line_pattern.h"
#include "page/wide_line.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace plotanix {

class Drawing;
class InstructionReader;
class LogFile;

// The errors OE reports.
enum Hpgl2Error : int32_t {
    hpgl2NoError = 0,
    hpgl2UnknownInstruction = 1,
    hpgl2WrongParameterCount = 2,
    hpgl2BadParameter = 3,
    hpgl2PositionOverflow = 6,
    hpgl2BufferOverflow = 7,
};

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

struct Hpgl2State {
    Point pen; // plotter units, in the turned coordinate system
    bool penDown = false;
    bool relative = false;
    Point p1, p2;
    ScaleRequest request;
    UserScale scale; // request worked out for P1/P2
    Window window;
    bool windowSet = false; // IW given; otherwise the window is the frame
    bool polygonMode = false;
    // Pens: palette colours and widths (WU0 millimetres or WU1 percent).
    int32_t selectedPen = 1;
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
    LabelState label;
    int32_t terminator = 3;
    bool terminatorPrinted = false;
    std::array<LabelFont, 2> fonts; // SD, AD
    bool sizeFixed = false;         // SI/SR in force
    bool sizeRelative = false;
    Point sizeGiven{0.1875, 0.27};
    bool directionRelative = false;
    Point directionGiven{1, 0};
    int32_t labelOrigin = 1;
    int32_t symbol = 0; // SM character, 0 when off
    // Status.
    int32_t error = hpgl2NoError;
    bool initialised = true;
    bool scalingPointsChanged = false;
};

class Hpgl2 : public Plotter {
  public:
    Hpgl2(InstructionReader& reader, Drawing& drawing, ByteLink& link, LogFile& log,
          StatusLine* status, Paper paper);

    void startPage() override;
    void runInstructionLoop() override;
    void lineSilent() override;
    bool knows(std::string_view mnemonic) const override;
    // The page in force when the page began or PS last set it: ESC E puts
    // the page back to the paper, but what was drawn keeps the page it was
    // drawn on (a PCL job ends with ESC E).
    std::optional<PageExtent> pageExtent() const override { return shown_; }
    bool penSelected() const override { return state.selectedPen != 0; }

    uint8_t statusByte() const;
    const Hpgl2Page& page() const { return page_; }
    const PolygonBuffer& polygon() const { return buffer_; }

    Hpgl2State state;

  private:
    using Values = Parameters<24>;
    using Handler = void (Hpgl2::*)(ParameterScanner&);
    struct Instruction {
        std::string_view mnemonic;
        Handler handler;
        bool inPolygon; // carried out in polygon mode
    };
    static const std::array<Instruction, 74> instructions_;
    static const Instruction* find(std::string_view mnemonic);
    friend bool hpgl2Knows(std::string_view mnemonic);

    // Reading.
    int nextMnemonicLetter();
    void execute(const std::string& letters);
    void skipUnknown(const std::string& letters);
    static Values collect(ParameterScanner& scanner) { return collectParameters<24>(scanner); }
    bool rejected(const Values& values);
    void raiseError(int32_t error) { state.error = error; }

    // Setup.
    void showPage() { shown_ = {page_.paper().x, page_.paper().y, sized_}; }
    void initialise();
    void setDefaults();
    void resetPage();
    void defaultScalingPoints();
    void scalingPointsMoved();
    void applyScale();
    void applyWindow();
    Point unit() const;
    Point toPlotter(Point user) const;
    double diagonal() const;

    // Moving and drawing.
    bool takeTarget(double x, double y, bool relative, Point& target);
    void moveTo(Point target);
    void moveTo(Point target, bool down);
    void plotLine(Point from, Point to);
    void drawPiece(Point from, Point to);
    void finishLine();
    bool penShows() const;
    Colour penColour() const;
    void selectColour();
    void selectPen(double number);
    void resizePalette(size_t size);
    void applyPenStyle();
    void arcTo(Point centre, double sweep, double chord);
    void drawSymbol(Point at);

    // Areas.
    void fillBuffer();
    void edgeBuffer();
    void fillSolid(Colour colour);
    bool hatch(double spacing, double degrees);
    void bufferWedge(ParameterScanner& s, bool fill);

    // Labels, line types.
    void applyLabelSize();
    void applyLineType();
    void setClips();
    void drawLabel(std::string_view text);
    void setDirection(ParameterScanner& s, bool relative);
    void setSize(ParameterScanner& s, bool relative);
    void setFont(ParameterScanner& s, int32_t which);

    struct Sinks : StrokeSink, PieceSink, AreaSink, HatchSink {
        explicit Sinks(Hpgl2& model) : model(model) {}
        void polyline(std::span<const PlotPoint> points) override;
        void piece(PlotPoint from, PlotPoint to) override;
        void fill(PathView area) override;
        void hatch(Point from, Point to) override;
        Hpgl2& model;
    };

    void reply(std::string_view text);

    // Instructions.
    void doIN(ParameterScanner& s);
    void doDF(ParameterScanner& s);
    void doPS(ParameterScanner& s);
    void doRO(ParameterScanner& s);
    void doIP(ParameterScanner& s);
    void doIR(ParameterScanner& s);
    void setScalingPoints(const Values& p, Point unitOfValue);
    void doSC(ParameterScanner& s);
    void doIW(ParameterScanner& s);
    void doPA(ParameterScanner& s);
    void doPR(ParameterScanner& s);
    void doPU(ParameterScanner& s);
    void doPD(ParameterScanner& s);
    void plotPairs(ParameterScanner& s);
    void doPE(ParameterScanner& s);
    void doCI(ParameterScanner& s);
    void doAA(ParameterScanner& s);
    void doAR(ParameterScanner& s);
    void doArc(ParameterScanner& s, bool absolute);
    void doAT(ParameterScanner& s);
    void doRT(ParameterScanner& s);
    void threePointArc(ParameterScanner& s, bool absolute);
    void doBZ(ParameterScanner& s);
    void doBR(ParameterScanner& s);
    void bezier(ParameterScanner& s, bool absolute);
    void doPM(ParameterScanner& s);
    void doFP(ParameterScanner& s);
    void doEP(ParameterScanner& s);
    void doRA(ParameterScanner& s);
    void doRR(ParameterScanner& s);
    void doEA(ParameterScanner& s);
    void doER(ParameterScanner& s);
    void rectangle(ParameterScanner& s, bool absolute, bool fill);
    void doWG(ParameterScanner& s);
    void doEW(ParameterScanner& s);
    void doFT(ParameterScanner& s);
    void doAC(ParameterScanner& s);
    void doSP(ParameterScanner& s);
    void doNP(ParameterScanner& s);
    void doPC(ParameterScanner& s);
    void doCR(ParameterScanner& s);
    void doPW(ParameterScanner& s);
    void doWU(ParameterScanner& s);
    void doLA(ParameterScanner& s);
    void doLT(ParameterScanner& s);
    void doUL(ParameterScanner& s);
    void doTR(ParameterScanner& s);
    void doLB(ParameterScanner& s);
    void doDT(ParameterScanner& s);
    void doSI(ParameterScanner& s);
    void doSR(ParameterScanner& s);
    void doDI(ParameterScanner& s);
    void doDR(ParameterScanner& s);
    void doSL(ParameterScanner& s);
    void doCP(ParameterScanner& s);
    void doLO(ParameterScanner& s);
    void doSD(ParameterScanner& s);
    void doAD(ParameterScanner& s);
    void doSS(ParameterScanner& s);
    void doSA(ParameterScanner& s);
    void doSM(ParameterScanner& s);
    void doBP(ParameterScanner& s);
    void doOA(ParameterScanner& s);
    void doOC(ParameterScanner& s);
    void doOE(ParameterScanner& s);
    void doOF(ParameterScanner& s);
    void doOH(ParameterScanner& s);
    void doOI(ParameterScanner& s);
    void doOP(ParameterScanner& s);
    void doOS(ParameterScanner& s);
    void doOT(ParameterScanner& s);
    void doOW(ParameterScanner& s);
    void doPG(ParameterScanner& s);
    void doNothing(ParameterScanner& s);

    Drawing& drawing_;
    ByteLink& link_;
    LogFile& log_;
    StatusLine* status_;
    Point paper_;        // the page without PS
    bool sized_ = false; // PS has set the page
    PageExtent shown_;   // the page the picture shows
    Hpgl2Page page_;
    Hpgl2Input input_;
    LabelWriter writer_;
    LinePattern pattern_;
    WideLine wide_;
    bool wideLines_ = false;
    Window windowGiven_; // IW's, in plotter units
    PixelRect windowPixels_;
    FillRule fillRule_ = FillRule::evenOdd;
    PolygonBuffer buffer_;
    Path area_; // a fill's rings on the picture, reused
    Sinks sinks_{*this};
    std::array<std::vector<double>, 8> userTypes_; // UL layouts, empty for the default
};

// Whether the HP-GL/2 model knows this two-letter mnemonic (either case).
bool hpgl2Knows(std::string_view mnemonic);

} // namespace plotanix
