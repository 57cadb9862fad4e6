#pragma once
// The plotter model as the session drives it. A model is fed its input as
// one stream of bytes, from its first byte to the end, in pieces cut
// anywhere (inside a number or a label): it keeps where it stands in its
// own members and never waits for more; the session decides when that
// stream ends. The HP-86B model (the default), the HP 7470A model
// and the HP-GL/2 model implement it; the session does not know which it has.

#include "page/page_image.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string_view>

namespace plotanix {

class ByteLink;
class Drawing;
class StatusLine;

// Which plotter a session behaves as: the HP-86B's own plotter (thirteen
// instructions, plotter units one to one on the page), a real HP 7470A for
// any host, an HP-GL/2 plotter for the files CAD programs write, or a
// printer an instrument prints its screen to (PCL raster, Epson bit images);
// or, automatic, the HP-86B's until the stream shows it was written for
// another of them.
enum class PlotterModel { hp86b, hp7470a, hpgl2, pcl, escp, automatic };

// The paper of the 7470A and HP-GL/2 models: it sets the plotter's page and
// its mapping onto the picture.
enum class Paper { letter, a4 };

// Pens 0..9, shared by both models: red in the low byte, then green, then blue.
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

// The plotter's page at its true size: its extent in plotter units of
// 0.025 mm, mapped onto the picture from its lower-left corner (pixel
// column X k, row 599 - Y k, k = min(800 / width, 600 / height)); and
// whether it is a sheet of its own (a page size the input gave) or lies on
// the paper the paper setting names.
struct PageExtent {
    double width = 0, height = 0;
    bool ownSheet = false;
};

// What the pen was asked to do, counted a stroke (a line, a label's
// character, an area) at a time: why a page stayed blank.
struct PenTally {
    int64_t moves = 0;         // with the pen up
    int64_t strokes = 0;       // with the pen down and a pen selected
    int64_t penless = 0;       // with the pen down while no pen was selected
    int64_t inWhite = 0;       // drawn in white, which leaves no ink on the paper
    int64_t offPaper = 0;      // of the strokes, those wholly off the paper
    int64_t outsideWindow = 0; // and those wholly outside the window IW set
    PenTally operator-(const PenTally& from) const {
        return {moves - from.moves,       strokes - from.strokes,
                penless - from.penless,   inWhite - from.inWhite,
                offPaper - from.offPaper, outsideWindow - from.outsideWindow};
    }
    PenTally operator+(const PenTally& more) const {
        return {moves + more.moves,       strokes + more.strokes,
                penless + more.penless,   inWhite + more.inWhite,
                offPaper + more.offPaper, outsideWindow + more.outsideWindow};
    }
};

// Instructions taken and those ignored (unknown to the model).
struct RunResult {
    int32_t instructions = 0;
    int32_t ignored = 0;
};

class Plotter {
  public:
    virtual ~Plotter() = default;

    // A new page begins: what the model resets for one (the HP-86B model
    // puts its pen down at (0,0) in black; the 7470A keeps its state, as
    // the real plotter does when the paper is changed).
    virtual void startPage() = 0;
    // The line's next bytes, in order: the model takes every one and
    // returns; it never waits for more.
    virtual void feed(std::span<const uint8_t> bytes) = 0;
    // The page is about to be looked at: work the model put off (to do it
    // once for many instructions) is done now. Between two feeds without
    // it, the page may lag what was fed.
    virtual void settle() {}
    // The stream has ended (a file read to its end): the instruction being
    // read is carried out as far as its bytes go.
    virtual void endOfStream() {}
    // The line fell silent: an event in the model's own turn, which draws
    // nothing (the HP-86B model answers a query whose ';' has not come).
    virtual void lineSilent() {}
    virtual bool knows(std::string_view mnemonic) const = 0;
    // The page the picture shows; none when the page is the picture itself
    // (the HP-86B's plotter draws in pixels).
    virtual std::optional<PageExtent> pageExtent() const { return std::nullopt; }
    // Whether a pen is in the holder: SP0 puts it away, and nothing is drawn.
    virtual bool penSelected() const { return true; }
    // A word for the operator on how the computer's stream is read (a
    // remedy when the model ignores what the computer means); empty for none.
    virtual std::string_view hint() const { return {}; }
    // Whether the paper's edge cuts what is drawn, as on the real plotter
    // (the default). Lifted, the whole drawing is kept, wherever it lies:
    // for a renderer that scales the drawing onto its page. Models whose
    // page is the picture itself ignore it.
    virtual void clipAtPaper(bool clip) { (void)clip; }

    // Drawing cut at the paper's edge (not at a window the input set),
    // since the model was made: never reset, so that a caller compares
    // counts.
    // (Virtual, as the counts: a model that hands its stream to another
    // answers with that one's.)
    virtual int64_t offPaper() const { return offPaper_; }
    // The pen's work since the model was made, never reset either.
    virtual PenTally penTally() const { return tally_; }

    // Counted from the last resetCounts().
    virtual RunResult counts() const { return counts_; }
    virtual void resetCounts() { counts_ = {}; }

    // Called when the plotter advances the page itself (HP-GL/2's PG, a
    // printer's form feed), where the instruction stands in the stream;
    // nothing when unset. It says whether the page was taken (written
    // somewhere): a printer whose page nobody takes prints on after it.
    // The hook calls the function it is given, when there is one, just
    // before the page is taken, and only then: a printer finishes its
    // picture there, not for a page nobody takes.
    using PageReady = std::function<void()>;
    void onPageAdvance(std::function<bool(const PageReady&)> hook) {
        pageAdvance_ = std::move(hook);
    }
    // Called with the mnemonic of each instruction the model does not know,
    // where it stands in the stream (the session records it).
    void onUnknown(std::function<void(std::string_view)> hook) { unknown_ = std::move(hook); }
    // Gives a printer its picture: the page made again blank at the size
    // and depth asked for (a printer's page is the area it printed, a dot
    // a pixel, in palette indices), or nullptr when memory is short. The
    // plotters draw through the Drawing on the page as it is and never ask.
    void onPicture(std::function<PageImage*(int32_t width, int32_t height, int32_t depth)> hook) {
        picture_ = std::move(hook);
    }

  protected:
    bool advancePage(const PageReady& ready = {}) { return pageAdvance_ && pageAdvance_(ready); }
    void countInstruction() { ++counts_.instructions; }
    // An instruction the model does not know: counted and told.
    void ignoreUnknown(std::string_view mnemonic) {
        ++counts_.ignored;
        tellUnknown(mnemonic);
    }
    // Told without being counted: another model counted it.
    void tellUnknown(std::string_view mnemonic) {
        if (unknown_) unknown_(mnemonic);
    }
    void countOffPaper(int64_t times = 1) { offPaper_ += times; }
    PenTally& tally() { return tally_; }
    PageImage* picture(int32_t width, int32_t height, int32_t depth) {
        return picture_ ? picture_(width, height, depth) : nullptr;
    }

  private:
    RunResult counts_;
    int64_t offPaper_ = 0;
    PenTally tally_;
    std::function<bool(const PageReady&)> pageAdvance_;
    std::function<void(std::string_view)> unknown_;
    std::function<PageImage*(int32_t, int32_t, int32_t)> picture_;
};

// What a model works with: the page, the line for its replies and the
// status line (may be nullptr).
struct PlotterParts {
    Drawing& drawing;
    ByteLink& link;
    StatusLine* status;
};

} // namespace plotanix
