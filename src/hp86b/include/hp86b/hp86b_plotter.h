#pragma once
// The HP-86B's plotter: fed the line's bytes, it carries out the thirteen
// instructions it knows on the page as its reader reads them, answers the
// three output queries on the line, and counts (and reports) everything else.

#include "hp86b/hp86b_reader.h"
#include "hpgl/byte_link.h"
#include "hpgl/plotter.h"
#include "page/page_image.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace plotanix {

class Drawing;

struct PlotterState {
    int32_t penX = 0; // plotter units, origin at the plotting area's lower left
    int32_t penY = 0;
    bool penDown = true;
    Colour frontColour = penColours[1];
    int32_t labelAngle = 0; // whole degrees
};

class Hp86bPlotter : public Plotter, private Hp86bReader::Listener {
  public:
    // fullHpglKnows: whether the 7470A's HP-GL has a mnemonic, so that a
    // host written for it is told its model; none: no such hint.
    using Knows = bool (*)(std::string_view mnemonic);
    Hp86bPlotter(Drawing& drawing, ByteLink& link, StatusLine* status,
                 Knows fullHpglKnows = nullptr)
        : reader_(*this), drawing_(drawing), link_(link), status_(status),
          fullHpglKnows_(fullHpglKnows) {}

    static bool isKnown(std::string_view mnemonic) { return Hp86bReader::isKnown(mnemonic); }
    bool knows(std::string_view mnemonic) const override { return isKnown(mnemonic); }

    void setDefaults();
    // Every page starts the plotter afresh: the pen down at (0,0) in black,
    // and an instruction left open at the end of the last plot forgotten,
    // so the next page's first instruction is read as one. A pause of the
    // line changes nothing.
    void startPage() override;
    void feed(std::span<const uint8_t> bytes) override;
    void endOfStream() override { reader_.endOfStream(); }
    // A query whose ';' has not come yet is answered now, as the plotter
    // always has: the computer may be waiting for it without ever sending one.
    void lineSilent() override;
    // Set once a mnemonic the plotter ignored began as a line's end, a
    // blank or a lower-case letter begins: the computer's lines are not
    // this plotter's (a BASIC OUTPUT ends each with CR LF). Otherwise set
    // once it ignored one the 7470A's HP-GL has (IN, SC, CI, ...): the
    // computer was written for a full HP-GL plotter. The drawing stays
    // this plotter's either way.
    std::string_view hint() const override;
    void sendReply(const char* text);

    // Where the reading stands.
    Hp86bReader::Stands stands() const { return reader_.stands(); }

    PlotterState state;

  private:
    void mnemonic(std::string_view text) override;
    void parameter(float value) override;
    void label(std::string_view text) override;
    void instructionEnded() override;
    void showStatus();

    void plotTo(double x, double y);
    // A line or label asked with the pen down, in the pen's colour.
    void countStroke();
    void selectPen();
    void setDirection();
    void moveByCells();

    Hp86bReader reader_;
    Drawing& drawing_;
    ByteLink& link_;
    StatusLine* status_;
    // The instruction being read, and what it has collected: pen moves are
    // drawn pair by pair as they come; the others keep only the count of
    // their parameters and the first two, all they use.
    std::string current_;
    int64_t count_ = 0;
    bool pairs_ = false; // a pen move: its parameters are pairs
    std::array<double, 2> values_{};
    const char* pendingReply_ = nullptr; // a query read, its ';' not yet
    bool statusShown_ = false;           // the counters shown before the first instruction
    bool foreignLines_ = false;
    Knows fullHpglKnows_;
    bool fullHpgl_ = false;
};

// Nearest integer, ties to even, clamped to the signed 32-bit range.
int32_t roundToInt32(double value);

} // namespace plotanix
