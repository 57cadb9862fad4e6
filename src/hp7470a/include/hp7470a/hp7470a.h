#pragma once
// The HP 7470A model: the real plotter's HP-GL (45 instructions and the six
// no-operation ones it keeps for the HP 9872), its 10300 x 7650 (letter) or
// 10900 x 7650 (A4) page scaled onto the picture, its replies and its RS-232
// device control. Its state survives the pauses between plot runs, as a
// real plotter's does; it starts as after power-on.

#include "hp7470a/hp7470a_serial.h"
#include "hp7470a/hp7470a_syntax.h"
#include "hpgl/byte_link.h"
#include "hpgl/geometry.h"
#include "hpgl/plotter.h"
#include "hpgl/tokenizer.h"
#include "page/label_strokes.h"
#include "page/line_pattern.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace plotanix {

class Drawing;
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

class Hp7470a : public Plotter, private TokenizerClient {
  public:
    Hp7470a(Drawing& drawing, ByteLink& link, LogFile& log, StatusLine* status, Paper paper);

    // New paper: the plotter keeps its state.
    void startPage() override;
    void feed(std::span<const uint8_t> bytes) override;
    void endOfStream() override;
    bool knows(std::string_view mnemonic) const override;
    std::optional<PageExtent> pageExtent() const override {
        return PageExtent{limits_.x, limits_.y, false};
    }
    bool penSelected() const override { return state.selectedPen != 0; }
    void clipAtPaper(bool clip) override;

    uint8_t statusByte() const;
    // The hard-clip limits of the paper.
    Point paperLimits() const { return limits_; }

    Hp7470aState state;

  private:
    using NumbersHandler = void (Hp7470a::*)(const Numbers&);
    using Action = void (Hp7470a::*)();
    using ByteHandler = ByteStep (Hp7470a::*)(int);
    // What an instruction's numbers go to when they come one by one.
    enum class Stream : uint8_t { none, pairs, userCharacter, discard };
    struct Instruction {
        std::string_view mnemonic;
        Body body = Body::none;
        NumbersHandler numbers = nullptr; // Body::numbers
        Action start = nullptr;           // at the mnemonic
        ByteHandler bytes = nullptr;      // Body::bytes
        Stream stream = Stream::none;     // Body::stream
    };
    static constexpr Instruction takes(std::string_view m, NumbersHandler h) {
        return {m, Body::numbers, h};
    }
    static constexpr Instruction answers(std::string_view m, Action a) {
        return {m, Body::none, nullptr, a};
    }
    static constexpr Instruction reads(std::string_view m, ByteHandler h, Action a = nullptr) {
        return {m, Body::bytes, nullptr, a, h};
    }
    static constexpr Instruction streams(std::string_view m, Stream to, Action a) {
        return {m, Body::stream, nullptr, a, nullptr, to};
    }
    static const std::array<Instruction, 51> instructions_;
    // An unknown instruction: its numbers are read and dropped.
    static constexpr Instruction unknown_{"",      Body::stream, nullptr,
                                          nullptr, nullptr,      Stream::discard};
    // The instruction of a two-letter mnemonic (either case), or nullptr.
    static const Instruction* find(std::string_view mnemonic);
    friend bool hp7470aKnows(std::string_view mnemonic);

    // Reading: the tokenizer's client.
    Body instruction(std::string_view letters) override;
    void numbers(const Numbers& values) override { (this->*current_->numbers)(values); }
    void number(double value) override;
    void numbersEnd(bool illegal, bool aborted) override;
    ByteStep byte(int event) override { return (this->*current_->bytes)(event); }
    void instructionDone() override;
    // True (after raising the error it found) when the instruction must not run.
    bool rejected(const Numbers& values);
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
    // The window with no IW: the paper, or everywhere when it does not clip.
    Window paperWindow() const;
    bool windowIsPaper() const;
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
    void doIN(const Numbers& p);
    void doDF(const Numbers& p);
    void doIP(const Numbers& p);
    void doSC(const Numbers& p);
    void doIW(const Numbers& p);
    void doPA();
    void doPR();
    void doPU();
    void doPD();
    void plotPair(double y);
    void pairsEnd(bool illegal, bool aborted);
    void doCI(const Numbers& p);
    void doAA(const Numbers& p);
    void doAR(const Numbers& p);
    void doArc(const Numbers& p, bool absolute);
    void doXT(const Numbers& p);
    void doYT(const Numbers& p);
    void doTL(const Numbers& p);
    void doSP(const Numbers& p);
    void doVS(const Numbers& p);
    void doIM(const Numbers& p);
    void doDP(const Numbers& p);
    void doDC(const Numbers& p);
    void doOA();
    void doOC();
    void doOD();
    void doOE();
    void doOF();
    void doOI();
    void doOO();
    void doOP();
    void doOS();
    void doOW();
    ByteStep doLB(int byte);
    ByteStep doDT(int byte);
    ByteStep doSM(int byte);
    void doDI(const Numbers& p);
    void doDR(const Numbers& p);
    void setDirection(const Numbers& p, bool relative);
    void doSI(const Numbers& p);
    void doSR(const Numbers& p);
    void setSize(const Numbers& p, bool relative);
    void doSL(const Numbers& p);
    void doCP(const Numbers& p);
    void doCS(const Numbers& p);
    void doCA(const Numbers& p);
    void doSS(const Numbers& p);
    void doSA(const Numbers& p);
    void doUC();
    void drawUserCharacter(bool illegal, bool aborted);
    void doLT(const Numbers& p);
    void doNothing(const Numbers& p);

    Drawing& drawing_;
    LogFile& log_;
    StatusLine* status_;
    Point limits_;
    bool paperClips_ = true;
    PictureMap map_;
    Hp7470aSerial serial_;
    HpglTokenizer tokenizer_{static_cast<TokenizerClient&>(*this)};
    Hp7470aInput input_;
    const Instruction* current_ = &unknown_;
    CoordinatePairs pairs_;
    std::string labelPiece_;
    LabelWriter writer_;
    LinePattern pattern_;
    PenSink pen_{*this};
    // A user character longer than this (the real plotter's buffer holds a
    // few hundred values) keeps its first values; the rest are read and
    // dropped.
    static constexpr size_t userCharacterValues = 65536;
    std::vector<double> userCharacter_; // UC values, reused
};

// Whether the 7470A model knows this two-letter mnemonic (either case).
bool hp7470aKnows(std::string_view mnemonic);

} // namespace plotanix
