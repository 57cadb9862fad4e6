#pragma once
// An Epson dot-matrix printer as instruments set to "EPSON" print their
// screens to it: bit-image graphics (ESC * with its 8- and 24-dot column
// modes, ESC K, L, Y and Z, reassigned by ESC ?) in bands a line feed
// apart, and text between them in the fixed-pitch font. Other commands
// are read past and ignored. A push parser like the other models.

#include "hpgl/byte_link.h"
#include "hpgl/plotter.h"
#include "pcl/printed_sheet.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace plotanix {

// A bit-image mode: its dots across per inch, dots down a column and
// their pitch.
struct BitImageMode {
    int32_t dpiX = 0;
    int32_t dotsDown = 8;
    int32_t dpiY = 72;
};
// The mode ESC * m selects, or none (a mode not known here).
std::optional<BitImageMode> bitImageMode(int32_t m);

class EscpPrinter : public Plotter {
  public:
    // Asks the line to pace the host without taking XON and XOFF out of the data.
    explicit EscpPrinter(ByteLink& link);
    ~EscpPrinter() override;

    void startPage() override;
    void feed(std::span<const uint8_t> bytes) override;
    // The picture is the printed area as it stands after each piece fed,
    // when the line falls silent, the stream ends or the page ends.
    void settle() override;
    void lineSilent() override;
    void endOfStream() override;
    bool knows(std::string_view mnemonic) const override;

    int64_t cursorX() const { return x_; }
    int64_t cursorY() const { return y_; }
    const PrintedSheet& sheet() const { return sheet_; }

  private:
    void draw();
    enum class At : uint8_t { text, escape, parameters, header, data };
    void take(uint8_t byte);
    void text(uint8_t byte);
    void escape(uint8_t byte);
    void parametersDone();
    void beginImage();
    void imageByte(uint8_t byte);
    void imageDone();
    void lineFeed();
    void pageEnd();
    void reset();

    PrintedSheet sheet_;
    At at_ = At::text;
    uint8_t command_ = 0;
    std::array<uint8_t, 3> parameters_{};
    int32_t parameterCount_ = 0, parametersWanted_ = 0;
    // K, L, Y and Z's modes, as ESC ? may set them.
    std::array<int32_t, 4> shorthand_{0, 1, 2, 3};
    // The image being read: its mode, columns and bytes still to come.
    BitImageMode mode_;
    bool modeKnown_ = false;
    int64_t columns_ = 0, columnsKept_ = 0, bytesLeft_ = 0, byteAt_ = 0;
    std::vector<std::vector<uint8_t>> bandRows_;
    // The cursor, in sheet units; and the tallest band on this line.
    int64_t x_ = 0, y_ = 0, lineBand_ = 0;
    int64_t pageTop_ = 0; // where this page lies on the sheet (below the last when kept)
};

// Whether the printer carries out this command ("ESC*bW"), without making one.
bool escpKnows(std::string_view mnemonic);

} // namespace plotanix
