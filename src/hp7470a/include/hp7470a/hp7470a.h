#pragma once
// The HP 7470A model: the real plotter's HP-GL (45 instructions and the six
// no-operation ones it keeps for the HP 9872), its 10300 x 7650 (letter) or
// 10900 x 7650 (A4) page scaled onto the picture, its replies and its RS-232
// device control. Its state survives the pauses between plot runs, as a
// real plotter's does; it starts as after power-on.

#include "hp7470a/hp7470a_geometry.h"
#include "hp7470a/hp7470a_serial.h"
#include "hp7470a/hp7470a_syntax.h"
#include "hpgl/byte_link.h"
#include "hpgl/plotter.h"
#include "page/label_strokes.h"
#include "page/line_pattern.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace plotanix {

class Drawing;
class InstructionReader;
class LogFile;

// The HP-GL errors OE reports.
enum Hp7470aError : int32_t {
    noError = 0,
    unknownInstruction = 1,
    wrongParameterCount = 2,
    badParameter = 3,
    positionOverflow = 6,
};

struct Hp7470aState {
    Point pen; // commanded position in plotter units, exact
    bool penDown = false;
    bool relative = false;   // PR mode
    int32_t selectedPen = 1; // 0: put away, nothing is drawn
    Point p1 = hp7470aP1;
    Point p2 = hp7470aP2;
    UserScale scale;
    Window window;
    double tickUp = 0.5; // percent of P2 - P1
    double tickDown = 0.5;
    int32_t lineType = -1; // -1 solid, 0..6 the patterns
    double patternLength = 4.0;
    double velocity = 38.1;
    int32_t errorMask = 223;
    int32_t serviceMask = 0;
    int32_t parallelMask = 0;
    bool digitizing = false;
    // Status and the error OE reports.
    int32_t error = noError;
    bool errorBit = false;
    bool initialised = true;
    bool scalingPointsChanged = false;
    // Labels: the layout LabelState holds in plotter units; SR and DR keep
    // their percentages too, because P1/P2 changes resize and turn them.
    int32_t labelTerminator = 3;
    LabelState label;
    bool sizeRelative = false;
    Point sizePercent{0.75, 1.5};
    bool directionRelative = false;
    Point directionPercent{1, 0};
    int32_t symbol = 0; // SM character, 0 when off
};

class Hp7470a : public Plotter {
  public:
    Hp7470a(InstructionReader& reader, Drawing& drawing, ByteLink& link, LogFile& log,
            StatusLine* status, Paper paper);

    // New paper: the plotter keeps its state.
    void startPage() override;
    void runInstructionLoop() override;
    bool knows(std::string_view mnemonic) const override;
    std::optional<PageExtent> pageExtent() const override {
        return PageExtent{limits_.x, limits_.y, false};
    }
    bool penSelected() const override { return state.selectedPen != 0; }

    uint8_t statusByte() const;
    // The hard-clip limits of the paper.
    Point paperLimits() const { return limits_; }

    Hp7470aState state;

  private:
    using Values = Parameters<8>;
    using Handler = void (Hp7470a::*)(ParameterScanner&);
    struct Instruction {
        std::string_view mnemonic;
        Handler handler;
    };
    static const std::array<Instruction, 51> instructions_;
    // The instruction of a two-letter mnemonic (either case), or nullptr.
    static const Instruction* find(std::string_view mnemonic);
    friend bool hp7470aKnows(std::string_view mnemonic);

    // Reading.
    int nextMnemonicLetter();
    void execute(const std::string& letters);
    void skipUnknown(const std::string& letters);
    static Values collect(ParameterScanner& scanner) { return collectParameters<8>(scanner); }
    // True (after raising the error it found) when the instruction must not run.
    bool rejected(const Values& values);
    void raiseError(int32_t error);

    // Moving and drawing.
    Point unit() const;
    bool takeTarget(double x, double y, Point& target);
    void moveTo(Point target);
    // Every pen-down vector goes through here: clipped to the window, laid
    // out in the line type, mapped to the picture.
    void plotLine(Point from, Point to);
    // A vector drawn solid: clipped to the window and mapped to the picture.
    void drawSolid(Point from, Point to);
    void arc(Point centre, double sweep, double chord);
    void tick(bool vertical);
    void selectColour();

    // Labels, symbols and line types.
    void applyLabelScale();
    void applyLineType();
    void setClips();
    // Takes the pen a label, CP or UC left, unless it overflows the plotter's
    // range: then error 6, and the pen and label state stay as before.
    void settleLabelPen(Point pen, const Point& penBefore, const LabelState& before);
    void drawLabelText(std::string_view text);
    void drawSymbol(Point at);

    // Label strokes are drawn solid; line-type pieces come here too.
    struct PenSink : StrokeSink, PieceSink {
        explicit PenSink(Hp7470a& model) : model(model) {}
        void polyline(std::span<const PlotPoint> points) override;
        void piece(PlotPoint from, PlotPoint to) override;
        Hp7470a& model;
    };

    void reply(std::string_view text) { serial_.sendReply(text); }
    void setDefaults();
    void initialise();

    // Instructions.
    void doIN(ParameterScanner& s);
    void doDF(ParameterScanner& s);
    void doIP(ParameterScanner& s);
    void doSC(ParameterScanner& s);
    void doIW(ParameterScanner& s);
    void doPA(ParameterScanner& s);
    void doPR(ParameterScanner& s);
    void doPU(ParameterScanner& s);
    void doPD(ParameterScanner& s);
    void plotPairs(ParameterScanner& s);
    void doCI(ParameterScanner& s);
    void doAA(ParameterScanner& s);
    void doAR(ParameterScanner& s);
    void doArc(ParameterScanner& s, bool absolute);
    void doXT(ParameterScanner& s);
    void doYT(ParameterScanner& s);
    void doTL(ParameterScanner& s);
    void doSP(ParameterScanner& s);
    void doVS(ParameterScanner& s);
    void doIM(ParameterScanner& s);
    void doDP(ParameterScanner& s);
    void doDC(ParameterScanner& s);
    void doOA(ParameterScanner& s);
    void doOC(ParameterScanner& s);
    void doOD(ParameterScanner& s);
    void doOE(ParameterScanner& s);
    void doOF(ParameterScanner& s);
    void doOI(ParameterScanner& s);
    void doOO(ParameterScanner& s);
    void doOP(ParameterScanner& s);
    void doOS(ParameterScanner& s);
    void doOW(ParameterScanner& s);
    void doLB(ParameterScanner& s);
    void doDT(ParameterScanner& s);
    void doSM(ParameterScanner& s);
    void doDI(ParameterScanner& s);
    void doDR(ParameterScanner& s);
    void setDirection(ParameterScanner& s, bool relative);
    void doSI(ParameterScanner& s);
    void doSR(ParameterScanner& s);
    void setSize(ParameterScanner& s, bool relative);
    void doSL(ParameterScanner& s);
    void doCP(ParameterScanner& s);
    void doCS(ParameterScanner& s);
    void doCA(ParameterScanner& s);
    void doSS(ParameterScanner& s);
    void doSA(ParameterScanner& s);
    void doUC(ParameterScanner& s);
    void doLT(ParameterScanner& s);
    void doNothing(ParameterScanner& s);

    Drawing& drawing_;
    LogFile& log_;
    StatusLine* status_;
    Point limits_;
    PictureMap map_;
    Hp7470aSerial serial_;
    Hp7470aInput input_;
    LabelWriter writer_;
    LinePattern pattern_;
    PenSink pen_{*this};
    std::vector<double> userCharacter_; // UC values, reused
};

// Whether the 7470A model knows this two-letter mnemonic (either case).
bool hp7470aKnows(std::string_view mnemonic);

} // namespace plotanix
