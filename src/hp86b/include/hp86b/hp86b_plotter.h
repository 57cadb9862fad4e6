#pragma once
// The HP-86B's plotter: takes two-byte mnemonics from the reader and
// carries out the thirteen instructions it knows on the page, answers the
// three output queries on the line, and counts (and logs) everything else.

#include "hpgl/byte_link.h"
#include "hpgl/plotter.h"
#include "page/page_image.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace plotanix {

class Drawing;
class InstructionReader;
class LogFile;

struct PlotterState {
    int32_t penX = 0; // plotter units, origin at the plotting area's lower left
    int32_t penY = 0;
    bool penDown = true;
    Colour frontColour = penColours[1];
    int32_t labelAngle = 0; // whole degrees
};

class Hp86bPlotter : public Plotter {
  public:
    Hp86bPlotter(InstructionReader& reader, Drawing& drawing, ByteLink& link, LogFile& log,
                 StatusLine* status)
        : reader_(reader), drawing_(drawing), link_(link), log_(log), status_(status) {}

    // The instructions this plotter carries out; anything else is counted
    // as ignored and recorded in the transcript.
    static constexpr std::array<std::string_view, 13> mnemonics = {
        "PU", "PD", "PA", "SP", "DI", "CP", "LT", "IW", "LB", "DF", "OI", "OE", "OP"};
    static bool isKnown(std::string_view mnemonic);
    bool knows(std::string_view mnemonic) const override { return isKnown(mnemonic); }

    void setDefaults();
    // Every page starts with the pen down at (0,0) in black; a pause of the
    // line changes nothing.
    void startPage() override { setDefaults(); }
    void runInstructionLoop() override;
    // A query whose ';' has not come yet is answered now, as the plotter
    // always has: the computer may be waiting for it without ever sending one.
    void lineSilent() override;
    void sendReply(const char* text);

    PlotterState state;

  private:
    void answer(const char* text);
    void execute(const std::string& mnemonic);
    void plotPairs(int count);
    void selectPen(int count);
    void setDirection(int count);
    void moveByCells(int count);
    void drawLabel();

    InstructionReader& reader_;
    Drawing& drawing_;
    ByteLink& link_;
    LogFile& log_;
    StatusLine* status_;
    const char* pendingReply_ = nullptr; // a query read, its ';' not yet
};

// Nearest integer, ties to even, clamped to the signed 32-bit range.
int32_t roundToInt32(double value);

} // namespace plotanix
