#pragma once
// The HP 7470A model: the real plotter's HP-GL (45 instructions and the six
// no-operation ones it keeps for the HP 9872), its 10300 x 7650 (letter) or
// 10900 x 7650 (A4) page scaled onto the picture, its replies and its RS-232
// device control. Its state survives the pauses between plot runs, as a
// real plotter's does; it starts as after power-on.

#include "hp7470a/hp7470a_serial.h"
#include "hp7470a/hp7470a_syntax.h"
#include "hpgl/hpgl_core.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace plotanix {

class Drawing;

struct Hp7470aState : HpglState {
    double tickUp = 0.5; // percent of P2 - P1
    double tickDown = 0.5;
    int32_t lineType = -1; // -1 solid, 0..6 the patterns
    double patternLength = 4.0;
    double velocity = 38.1;
    int32_t serviceMask = 0;
    int32_t parallelMask = 0;
    bool digitizing = false;
};

class Hp7470a : public HpglCore {
  public:
    // The 7470A's ranges are its 16-bit numbers'.
    static constexpr Dialect dialect{};

    Hp7470a(Drawing& drawing, ByteLink& link, StatusLine* status, Paper paper);

    // New paper: the plotter keeps its state.
    void startPage() override;
    void feed(std::span<const uint8_t> bytes) override;
    void endOfStream() override;
    bool knows(std::string_view mnemonic) const override;
    std::optional<PageExtent> pageExtent() const override {
        return PageExtent{limits_.x, limits_.y, false};
    }
    void clipAtPaper(bool clip) override;

    Hp7470aState state;

  private:
    // What an instruction's numbers go to when they come one by one.
    enum class Stream : uint8_t { none, pairs, userCharacter, discard };
    using Instruction = HpglInstruction<Hp7470a, Stream>;
    static const std::array<Instruction, 51> instructions_;
    // An unknown instruction: its numbers are read and dropped.
    static constexpr Instruction unknown_{"",      false,   Body::stream,   nullptr,
                                          nullptr, nullptr, Stream::discard};
    // The instruction of a two-letter mnemonic (either case), or nullptr.
    static const Instruction* find(std::string_view mnemonic);
    friend bool hp7470aKnows(std::string_view mnemonic);

    // Reading: the tokenizer's client.
    Body instruction(std::string_view letters) override;
    void numbers(const Numbers& values) override { (this->*current_->numbers)(values); }
    void number(double value) override;
    void numbersEnd(bool illegal, bool aborted) override;
    ByteStep byte(int event) override { return (this->*current_->bytes)(event); }

    // Moving and drawing.
    void moveTo(Point target) override;
    // Every pen-down vector goes through here: clipped to the window, laid
    // out in the line type, mapped to the picture.
    void plotLine(Point from, Point to) override;
    // A vector drawn solid: clipped to the window and mapped to the picture.
    void drawSolid(Point from, Point to);
    // The same, cut to the window already.
    void drawInWindow(Point from, Point to);
    StrokeSink& strokes() override { return pen_; }
    void tick(bool vertical);
    void selectColour();

    // Labels, symbols and line types.
    void applyLineType();
    // The window with no IW: the paper, or everywhere when it does not clip.
    Window paperWindow() const;
    bool windowIsPaper() const override;
    Window toldWindow() const override;
    void drawLabel(std::string_view text) override;

    // Label strokes are drawn solid; line-type pieces come here too.
    struct PenSink final : StrokeSink, PieceSink {
        explicit PenSink(Hp7470a& model) : model(model) {}
        void polyline(std::span<const PlotPoint> points) override;
        void piece(PlotPoint from, PlotPoint to) override;
        void windowedPiece(PlotPoint from, PlotPoint to) override { model.drawInWindow(from, to); }
        Hp7470a& model;
    };

    void reply(std::string_view text) override { serial_.sendReply(text); }
    void setDefaults() override;
    void initialise() override;
    void defaultScalingPoints() override;
    Point followingP2(Point p2) const override;
    void scalingPointsMoved() override;
    void setWindow(std::optional<Window> corners) override;
    void selectPen(double number) override;

    // Instructions.
    void doSC(const Numbers& p);
    void doXT(const Numbers& p);
    void doYT(const Numbers& p);
    void doTL(const Numbers& p);
    void doVS(const Numbers& p);
    void doIM(const Numbers& p);
    void doDP(const Numbers& p);
    void doDC(const Numbers& p);
    void doOA();
    void doOD();
    void doOO();
    ByteStep doDT(int byte);
    void doCS(const Numbers& p);
    void doCA(const Numbers& p);
    void doUC();
    void drawUserCharacter(bool illegal, bool aborted);
    void doLT(const Numbers& p);

    Point limits_;
    bool paperClips_ = true;
    PictureMap map_;
    Hp7470aSerial serial_;
    HpglTokenizer tokenizer_{static_cast<TokenizerClient&>(*this)};
    Hp7470aInput input_;
    const Instruction* current_ = &unknown_;
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
