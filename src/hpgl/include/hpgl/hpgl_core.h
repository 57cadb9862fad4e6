#pragma once
// The HP-GL core the 7470A and HP-GL/2 models share: the instruction table
// and its look-up, the state both keep (pen, scaling points, window, label
// layout, error and status), and the instructions both carry out alike
// (pen moves, P1/P2, circles and arcs, pen selection, labels and their
// size, direction, slant, character sets, symbol mode, cursor moves by
// cells, and the replies OC, OE, OF, OI, OP, OS, OW). Where the two differ
// it is data, a Dialect with each one's ranges, rules and defaults, or a
// small hook a model overrides. Each model keeps what only it does.

#include "hpgl/byte_link.h"
#include "hpgl/geometry.h"
#include "hpgl/plotter.h"
#include "hpgl/syntax.h"
#include "hpgl/tokenizer.h"
#include "page/label_strokes.h"
#include "page/line_pattern.h"

#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

namespace plotanix {

class Drawing;

// The errors OE reports, the same numbers in both dialects.
enum HpglError : int32_t {
    noError = 0,
    unknownInstruction = 1,
    wrongParameterCount = 2,
    badParameter = 3,
    positionOverflow = 6,
    bufferOverflow = 7, // HP-GL/2's polygon buffer
};

// What sets a dialect apart in the instructions the core carries out.
struct Dialect {
    // The pen may stand at -reach up to (not including) reach on each axis.
    double reach = 32768;
    // The largest number a reply writes (smaller ones are held to -reach).
    double replyHighest = 32767.9999;
    // SI, SR and SL take numbers of magnitude below this; DI and DR below
    // directionLimit, one of the two at least leastDirection.
    double labelLimit = 128;
    double directionLimit = 128;
    double leastDirection = 0.0004;
    // CP moves by cells from cellLowest up to (not including) cellLimit.
    double cellLowest = -128;
    double cellLimit = 128;
    // DR without numbers stays relative to P1 and P2.
    bool bareDirectionRelative = true;
    // What follows a query's mnemonic: passed over between instructions,
    // or read as its numbers and dropped.
    Body afterQuery = Body::none;
    // IN takes numbers (passed over), or none (any is error 2).
    bool initialiseTakesNumbers = false;
    // 16-bit numbers: every number of a move, circle or arc must be within
    // reach, and plotter units are whole, truncated toward minus infinity.
    // Otherwise numbers are any, and an arc's centre must be within reach.
    bool sixteenBit = true;
    // IW's corners are given in plotter units, or in the current units.
    bool windowInCurrentUnits = false;
    // The chord angle of CI, AA and AR for the one asked for, and the sweep
    // AA and AR draw for the one given.
    double (*chord)(double requested) = chordAngle;
    double (*sweep)(double given) = wholeDegrees;
    // A symbol (SM) marks the points pairs give; HP-GL/2's model marks
    // every point its pen moves to itself.
    bool symbolsAtPairs = true;
    // A label is handed on in pieces of this many bytes as it comes (its
    // terminator, or the end of the stream, ends the last), so that one that
    // never ends takes no more memory; 0: whole, at most maxLabelBytes of
    // it, the rest read and dropped (HP-GL/2 places it by its first line).
    size_t labelPiece = 256;
};

// The state both dialects keep; each model's state adds its own.
struct HpglState {
    Point pen; // commanded position in plotter units, exact
    bool penDown = false;
    bool relative = false;   // PR mode
    int32_t selectedPen = 1; // 0: put away, nothing is drawn
    Point p1 = hp7470aP1;
    Point p2 = hp7470aP2;
    UserScale scale;
    Window window;
    // Labels: the layout LabelState holds in plotter units; SI or SR's size
    // and DR's direction are kept as given too, because P1/P2 changes
    // resize and turn them. Without SI or SR the size is the font's.
    LabelState label;
    bool sizeFixed = false; // SI or SR in force
    bool sizeRelative = false;
    Point sizeGiven{0.1875, 0.27};
    bool directionRelative = false;
    Point directionGiven{1, 0};
    int32_t symbol = 0;            // SM character, 0 when off
    int32_t terminator = 3;        // DT's
    bool terminatorPrinted = true; // handed on with the text
    // Status, and the error OE reports; the error mask IM sets says which
    // errors set the status byte's error bit.
    int32_t error = noError;
    int32_t errorMask = 223;
    bool errorBit = false;
    bool initialised = true;
    bool scalingPointsChanged = false;
};

// A model's instructions: each mnemonic with how its body is read and what
// it is handed to. Stream names what a model's numbers go to one by one.
template <typename Model, typename Stream> struct HpglInstruction {
    using NumbersHandler = void (Model::*)(const Numbers&);
    using Action = void (Model::*)();
    using ByteHandler = ByteStep (Model::*)(int);

    std::string_view mnemonic;
    bool inPolygon = false; // carried out in HP-GL/2's polygon mode
    Body body = Body::none;
    NumbersHandler numbers = nullptr; // Body::numbers
    Action start = nullptr;           // at the mnemonic
    ByteHandler bytes = nullptr;      // Body::bytes
    Stream stream{};                  // Body::stream

    static constexpr HpglInstruction takes(std::string_view m, NumbersHandler h,
                                           bool inPolygon = false) {
        return {m, inPolygon, Body::numbers, h};
    }
    // A reply goes out as soon as the mnemonic is read: a host that sends
    // no terminator still gets its answer.
    static constexpr HpglInstruction answers(std::string_view m, Action a) {
        return {m, true, Model::dialect.afterQuery, &Model::doNothing, a};
    }
    static constexpr HpglInstruction reads(std::string_view m, ByteHandler h,
                                           bool inPolygon = false, Action a = nullptr) {
        return {m, inPolygon, Body::bytes, nullptr, a, h};
    }
    static constexpr HpglInstruction streams(std::string_view m, Stream to, Action a) {
        return {m, true, Body::stream, nullptr, a, nullptr, to};
    }
};

class HpglCore : public Plotter, protected TokenizerClient {
  public:
    bool penSelected() const override { return core_.selectedPen != 0; }
    uint8_t statusByte() const;
    // What a query's numbers and the no-operation instructions go to.
    void doNothing(const Numbers&) {}

  protected:
    HpglCore(const Dialect& dialect, HpglState& state, Drawing& drawing, StatusLine* status);
    ~HpglCore() = default;

    void instructionDone() override;
    // An instruction the model does not know: counted, reported, error 1.
    void unknown(std::string_view letters);
    // True (after raising the error it found) when the instruction must not run.
    bool rejected(const Numbers& values);
    void raiseError(int32_t error);
    bool inReach(Point p) const { return inReach(p.x) && inReach(p.y); }
    bool inReach(double v) const { return v >= -dialect_.reach && v < dialect_.reach; }
    virtual void reply(std::string_view text) = 0;

    // Label layout: the size from SI, SR or the font, the direction from DI
    // or DR, both following P1/P2 when relative.
    void applyLabelSize();
    // The character size without SI or SR, plotter units.
    virtual Point fontSize() const { return {75, 108}; }
    // The pen a label, CP or UC left, unless it is out of reach: then
    // error 6, and the pen and label state stay as before.
    void settleLabelPen(Point pen, const LabelState& before);

    // IN and DF: the model's state after power-on, and its defaults.
    void doIN(const Numbers& p);
    void doDF(const Numbers& p);
    virtual void initialise() = 0;
    virtual void setDefaults() = 0;

    // Pen moves: the mode, then pairs as they come.
    void doPA();
    void doPR();
    void doPU();
    void doPD();
    // The pen is lifted (PU): what a model finishes then.
    virtual void penLifted() {}
    void plotPair(double value);
    void pairsEnd(bool illegal, bool aborted);
    // Plotter units per current unit; the plotter-unit point of a position
    // given in the current units, or relative to the pen.
    Point unit() const;
    Point targetOf(double x, double y, bool relative) const;
    // The target, unless a number or the point is out of reach: then the
    // error, and false.
    bool takeTarget(double x, double y, bool relative, Point& target);
    // The model's pen: to a point (drawing when down), a vector drawn in
    // the line type, the sink label and symbol strokes go to.
    virtual void moveTo(Point target) = 0;
    virtual void plotLine(Point from, Point to) = 0;
    virtual StrokeSink& strokes() = 0;
    void drawSymbol(Point at);
    // A pen-down vector clipped to the window and laid out in the line
    // type, its pieces to sink.
    void strokeInWindow(Point from, Point to, PieceSink& sink);
    // Most vectors of a plot, at the cost of a few comparisons: solid and
    // wholly inside the window (so on the paper and uncut), handed to sink
    // as strokeInWindow would hand them; false, and nothing done, for any
    // other. Inline, with the model's own sink, for every vector it draws.
    template <typename Sink> bool strokeWhollyInside(Point from, Point to, Sink& sink) {
        if (pattern_.pattern() != LinePattern::solid || !core_.window.contains(from) ||
            !core_.window.contains(to))
            return false;
        pattern_.strokeWindowed(from, to, sink);
        return true;
    }
    // Strokes asked with the pen down: counted as drawn, without a pen or
    // in white; and those of them wholly outside the window, off the
    // paper when the window is the paper's.
    void countStrokes(int64_t strokes);
    void countOutside(int64_t strokes);
    // Whether the window is the paper (no IW cuts within it).
    virtual bool windowIsPaper() const = 0;
    // The window OW tells: the paper's part of it, also while the model
    // draws on past the paper's edge.
    virtual Window toldWindow() const { return core_.window; }
    // Whether the pen leaves ink (HP-GL/2's white is transparent).
    virtual bool inkShows() const { return true; }
    // A stroke the window cut at the paper's edge: counted off the paper.
    void noteCut(Point from, Point to, Point keptFrom, Point keptTo);
    // The window clips labels and line types.
    void setClips();

    // P1 and P2. IP gives plotter units; HP-GL/2's IR percentages of the
    // page, each number times unitOfValue.
    void doIP(const Numbers& p);
    void setScalingPoints(const Numbers& p, Point unitOfValue);
    virtual void defaultScalingPoints() = 0;
    // Where P2 goes when IP moves P1 alone and P2 follows.
    virtual Point followingP2(Point p2) const { return p2; }
    // What follows P1 and P2 (user units, label sizes, line types).
    virtual void scalingPointsMoved() = 0;

    // The window: IW's corners in plotter units, or none given.
    void doIW(const Numbers& p);
    virtual void setWindow(std::optional<Window> corners) = 0;

    // Circles and arcs.
    struct Circle {
        Point centre, unit;
        double radius, start;
        int64_t chords;
        Point at(int64_t i) const;
    };
    void doCI(const Numbers& p);
    void doAA(const Numbers& p);
    void doAR(const Numbers& p);
    void arcTo(Point centre, double sweep, double chord);
    // Where a circle goes instead of the page (HP-GL/2's polygon buffer):
    // true when it was taken.
    virtual bool circleStored(const Circle&) { return false; }
    // A circle drawn: what a model finishes then.
    virtual void circleDrawn() {}

    // Pens: SP hands the number to the model, whose pens they are.
    void doSP(const Numbers& p);
    virtual void selectPen(double number) = 0;

    // Labels.
    void doSI(const Numbers& p);
    void doSR(const Numbers& p);
    void doDI(const Numbers& p);
    void doDR(const Numbers& p);
    void doSL(const Numbers& p);
    void doCP(const Numbers& p);
    void doSS(const Numbers& p);
    void doSA(const Numbers& p);
    ByteStep doSM(int byte);
    void startLabel() { label_.clear(); }
    ByteStep doLB(int byte);
    virtual void drawLabel(std::string_view text) = 0;

    // Replies.
    void doOC();
    void doOE();
    void doOF();
    void doOI();
    void doOP();
    void doOS();
    void doOW();
    // Numbers as replies write them, held to the dialect's range.
    std::string whole(double value) const;
    std::string decimal(double value) const;

    const Dialect& dialect_;
    Drawing& drawing_;
    StatusLine* status_;
    CoordinatePairs pairs_;
    LabelWriter writer_;
    LinePattern pattern_;

  private:
    void setSize(const Numbers& p, bool relative);
    void setDirection(const Numbers& p, bool relative);
    void selectSet(const Numbers& p, bool alternate);
    void doArc(const Numbers& p, bool absolute);
    bool numbersInReach(const Numbers& p, int from, int to) const;
    Point plotterUnits(Point p) const;

    HpglState& core_;
    std::string label_; // LB's text, or its piece
};

} // namespace plotanix
