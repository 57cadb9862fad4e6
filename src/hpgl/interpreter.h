#pragma once
// The plotter itself: takes two-byte mnemonics from the reader and carries
// out the thirteen instructions it knows on the page, answers the three
// output queries on the line, and counts (and logs) everything else.

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

// Pens 0..9: red in the low byte, then green, then blue.
inline constexpr std::array<Colour, 10> penColours = {
    0xFFFFFF, // 0 white, the paper colour
    0x000000, // 1 black
    0xFF0000, // 2 blue
    0x00FF00, // 3 green
    0x0000FF, // 4 red
    0xFFFF00, // 5 cyan
    0xFF00FF, // 6 magenta
    0x00FFFF, // 7 yellow
    0xC0C0C0, // 8 light grey
    0x808080, // 9 dark grey
};

struct PlotterState {
    int32_t penX = 0; // plotter units, origin at the plotting area's lower left
    int32_t penY = 0;
    bool penDown = true;
    Colour frontColour = penColours[1];
    int32_t labelAngle = 0; // whole degrees
};

class Interpreter : public Plotter {
  public:
    Interpreter(InstructionReader& reader, Drawing& drawing, ByteLink& link, LogFile& log,
                StatusLine* status)
        : reader_(reader), drawing_(drawing), link_(link), log_(log), status_(status) {}

    // The instructions this plotter carries out; anything else is counted
    // as ignored and recorded in the transcript.
    static constexpr std::array<std::string_view, 13> mnemonics = {
        "PU", "PD", "PA", "SP", "DI", "CP", "LT", "IW", "LB", "DF", "OI", "OE", "OP"};
    static bool knows(std::string_view mnemonic);

    void setDefaults();
    // Every run starts with the pen down at (0,0) in black.
    void startRun() override { setDefaults(); }
    // Runs until the reader finds the line silent.
    void runInstructionLoop() override;
    void sendReply(const char* text);

    PlotterState state;

  private:
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
};

// Nearest integer, ties to even, clamped to the signed 32-bit range.
int32_t roundToInt32(double value);

} // namespace plotanix
