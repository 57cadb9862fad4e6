#pragma once
// A PCL printer, as the instruments of the 1980s and 90s print their
// screens to it (ThinkJet, DeskJet, LaserJet, PaintJet): raster graphics
// with compression methods 0 to 3, simple colour in planes, the cursor,
// text between raster blocks in the fixed-pitch font, and the page ends.
// Everything else of the language is read (binary data counted past) and
// ignored. A push parser: fed any split of the stream, it keeps where it
// stands in its members.

#include "hpgl/byte_link.h"
#include "hpgl/plotter.h"
#include "pcl/printed_sheet.h"
#include "pcl/raster_rows.h"

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace plotanix {

// What a PCL printer takes at most: a sheet 8.5 inches wide and 14 long
// (Letter, A4 and Legal fit), its positions clamped to it.
inline constexpr int64_t printerPageWidth = sheetUnitsPerInch * 17 / 2;
inline constexpr int64_t printerPageLength = sheetUnitsPerInch * 14;
// A transfer's data beyond this is counted past, not kept.
inline constexpr size_t transferBytesMost = 32767;

class PclPrinter : public Plotter {
  public:
    // Asks the line to pace the host without taking XON and XOFF out of the data.
    explicit PclPrinter(ByteLink& link);
    ~PclPrinter() override;

    void startPage() override;
    void feed(std::span<const uint8_t> bytes) override;
    // The picture is the printed area as it stands after each piece fed,
    // when the line falls silent, the stream ends or the page ends.
    void settle() override;
    void lineSilent() override;
    void endOfStream() override;
    bool knows(std::string_view mnemonic) const override;

    // For tests: the state a command leaves.
    struct RasterState {
        int32_t dpi = 75;
        int64_t width = 0; // dots; 0 for none given
        RasterMethod method = RasterMethod::unencoded;
        int32_t planes = 1;
        std::array<Colour, 8> palette{0xFFFFFF, 0x000000};
        bool active = false;
        int32_t startMode = 0;
        int64_t left = 0;               // the raster's left margin, sheet units
        bool unsupportedMethod = false; // 5 or 9: rows passed over
    };
    const RasterState& raster() const { return raster_; }
    int64_t cursorX() const { return x_; }
    int64_t cursorY() const { return y_; }
    const std::vector<std::vector<uint8_t>>& seedRows() const { return seed_; }
    const PrintedSheet& sheet() const { return sheet_; }

  private:
    void draw();
    enum class At : uint8_t { text, escape, group, value, data, pjlLine, pjlSkip };
    void take(uint8_t byte);
    void text(uint8_t byte);
    void escape(uint8_t byte);
    void value(uint8_t byte);
    void command(char letter, bool last);
    void startValue();
    void skipRows(int64_t rows);
    void dataDone();
    void reset();
    void endRaster(bool implied);
    void startRaster(int32_t mode);
    void transfer(bool lastPlane);
    void pageEnd();
    void unknown(char letter);
    void printable(uint8_t byte);
    void lineFeed();
    void moveTo(int64_t x, int64_t y);
    double amount() const;
    bool relative() const { return sign_ != 0; }

    PrintedSheet sheet_;
    At at_ = At::text;
    bool hpgl2_ = false; // in an HP-GL/2 part of the job: its bytes are no text
    // The sequence being read.
    char param_ = 0, group_ = 0;
    int sign_ = 0;
    int64_t whole_ = 0, fraction_ = 0, scale_ = 1;
    bool digits_ = false, point_ = false;
    // Binary data after a command: how much is left and whether it is kept.
    int64_t dataLeft_ = 0;
    char dataLetter_ = 0;
    bool dataLast_ = false, keepData_ = false;
    std::vector<uint8_t> data_;
    // The cursor, in sheet units from the page's top left.
    int64_t x_ = 0, y_ = 0;
    int64_t pageTop_ = 0; // where this page lies on the sheet (below the last when kept)
    int32_t lineTermination_ = 0;
    RasterState raster_;
    std::vector<std::vector<uint8_t>> seed_;   // by plane
    std::vector<std::vector<uint8_t>> planes_; // of the row being sent
    std::string pjl_;                          // the start of a PJL line
};

// Whether the printer carries out this command ("ESC*bW"), without making one.
bool pclKnows(std::string_view mnemonic);

} // namespace plotanix
