#pragma once
// Which plotter a file of HP-GL was written for, told from its bytes: an
// HP-GL/2 device when it uses an instruction only HP-GL/2 has, or comes
// wrapped in a PCL job; otherwise a plain HP-GL plotter such as the 7470A.

#include "hpgl/plotter.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace plotanix {

// True for bytes that use an instruction the HP-GL/2 model knows and the
// 7470A model does not (PE, PM, FP, RA, PS, BP, NP, PW, ...), or that hold the start
// of a PCL job's HP-GL/2: ESC E (the printer's reset), ESC%#B (enter
// HP-GL/2) or the universal exit ESC%-12345X followed by @PJL. The bytes
// are read once, by the HP-GL/2 model's tokenizer counting the mnemonics
// (Hpgl2Mnemonics): a label's text (up to its terminator, as DT sets it),
// SM's symbol, a quoted comment and an escape sequence are no instructions.
bool writtenForHpgl2(std::string_view bytes);

// Whether the 7470A model, drawing these bytes, reads the very mnemonics
// the HP-GL/2 model's reading above counts, so that the instructions it
// does not know tell the dialect (toldHpgl2) without a reading of its own.
// The two readings part only at an escape (the 7470A's device control, a
// PCL job's), at a quote (HP-GL/2 passes over a quoted text in an
// instruction it does not know, the 7470A reads on) and after DT (the
// label terminators it sets differ at DT; and DT LF, and again after IN):
// bytes holding ESC, '"' or a D and T with only separators between them
// are told by writtenForHpgl2.
bool readingsAgree(std::string_view bytes);
// Whether an instruction the 7470A model did not know is one of HP-GL/2's:
// met in bytes whose readings agree, they are written for HP-GL/2.
bool toldHpgl2(std::string_view mnemonic);

// The printer a stream was sent to, told from how it begins: PCL from ESC E,
// ESC*, ESC& or the universal exit ESC%-12345X, unless the job enters
// HP-GL/2 (ESC%#B, or PJL's ENTER LANGUAGE naming HP-GL/2: a plot in a PCL
// job); Epson from a first escape that is ESC @ or a bit image (ESC * with
// a mode, ESC K, L, Y or Z). None for anything else: a plot.
std::optional<PlotterModel> printerLanguage(std::string_view bytes);

// The model a live stream was written for, told as its bytes come, in
// pieces cut anywhere, by the rules above: the HP-GL/2 model's reading
// (that of writtenForHpgl2) names each instruction, and the first that the
// HP-86B's plotter does not know and the 7470A does tells the 7470A; one
// only HP-GL/2 has (or any in a PCL job's HP-GL/2) tells HP-GL/2. A stream
// that begins with an escape may be a print (printerLanguage over its
// first bytes): Epson at once, PCL once its first raster row or page end
// comes before the job enters HP-GL/2 (which it may still do: then it is
// HP-GL/2's). What is told only rises (hp86b, 7470a, pcl, then hpgl2 or
// escp), so the end is the same however the stream was cut.
class StreamDialect {
  public:
    StreamDialect();
    ~StreamDialect();
    StreamDialect(const StreamDialect&) = delete;
    StreamDialect& operator=(const StreamDialect&) = delete;

    // The stream's next byte: true when what is told rose with it.
    bool take(uint8_t byte);
    // The next bytes, for a caller that needs no byte's place.
    void take(std::string_view bytes);
    // hp86b until the stream tells another.
    PlotterModel told() const { return told_; }
    // Why, for the operator: "the stream uses HP-GL/2's PS".
    const std::string& why() const { return why_; }
    // Nothing the stream may still show would change what is told.
    bool settled() const;
    // Whether the bytes taken may still be the start of a print.
    bool mayBePrint() const { return print_ != Print::no && !settled(); }

  private:
    void mnemonic(std::string_view letters);
    void rise(PlotterModel model, std::string why);
    void lookForPrint(uint8_t byte);

    struct Reading;
    std::unique_ptr<Reading> reading_;
    PlotterModel told_ = PlotterModel::hp86b;
    std::string why_;
    // The first bytes, while they may begin a print; pending: a mnemonic
    // read before they told whether they do.
    enum class Print : uint8_t { unknown, maybePcl, no };
    Print print_ = Print::unknown;
    std::string first_;
    std::string pending_;
    uint64_t taken_ = 0;
    uint32_t tail_ = 0; // the last three bytes, for ESC*b
    bool inkSeen_ = false;
};

} // namespace plotanix
