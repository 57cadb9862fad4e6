#pragma once
// Pages and the plotter's core, made once and reused for any number of
// inputs: each input (an HP-GL file or a transcript) is drawn on a fresh
// white page exactly as the plotter would draw it. Not shared between
// threads: each worker has its own.

#include "models/models.h"
#include "output/vector_copy.h"
#include "page/display_list.h"
#include "page/page_image.h"
#include "session/plot_session.h"
#include "session/transcript_splitter.h"

#include <cstdint>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace plotanix {

// The plotter a renderer draws as (none: chosen for each input), and
// whether its pages keep the list of what is drawn on them (for vector and
// enlarged copies).
struct RenderSetup {
    std::optional<PlotterModel> model;
    Paper paper = Paper::letter;
    bool keepDisplayList = false;
    // A plain file's drawing scaled and centred on each of its pages.
    bool fit = false;
    // The scale the kept list is drawn at (an enlarged PNG): the models
    // reckon their costly work in the pixels finally drawn.
    int copyScale = 1;
    // When given (with keepDisplayList), the 7470A's and HP-GL/2's pages
    // spill their display lists into what this makes as they grow: their
    // copies are written as they are drawn.
    std::function<std::shared_ptr<ListSpill>()> spill = {};
};

// A page as it stands: its pixels, what is drawn on it when kept, the
// plotter's page it shows and the paper set, and why nothing shows on it
// (empty when something does).
struct PageView {
    const PageImage& image;
    const DisplayList* list = nullptr;
    std::optional<PageExtent> extent;
    Paper paper = Paper::letter;
    std::string nothingDrawn;
    // Where the drawing of a plain file lies, on the picture or off it
    // (none for a transcript, or once fitted): to say when --fit would help.
    std::optional<Drawing::Extent> drawn;
    // Whether the plotter's paper cut off part of the drawing.
    bool cutAtPaper = false;
    // A printer's page: its dots are all of it, no drawing is kept.
    bool printed = false;
};

// A page to be written: the number of its SAVE PAGE marker, or none for the
// page as it stands at the end. False stops the rendering.
using PageSink = std::function<bool(const PageView& page, std::optional<int64_t> number)>;

// Told of a page HP-GL/2's PG ended with nothing of its drawing showing:
// how many pages were written before it, and why (blankReason).
using DroppedPage = std::function<void(int64_t pagesBefore, const std::string& why)>;

struct RenderCounts {
    int64_t instructions = 0;
    int64_t ignored = 0;
    int64_t pages = 0;
};

// The model an input was drawn by, and why that one.
struct ModelChoice {
    PlotterModel model = PlotterModel::hp7470a;
    std::string_view why;
};

// Where an SVG or PDF copy of the page lies on the paper at the plotter's
// true size: for the 7470A and HP-GL/2 models; none for the HP-86B's,
// whose page is the picture.
std::optional<PaperPlacement> trueSize(const PageView& page);

// Whether a file is named as the plotter names its transcripts
// (PLOTTER.TXT, or a kept PLOTTER-20261207-101530.TXT, in any case).
bool transcriptName(std::string_view path);

// An input handed over a piece at a time, from its start each time it is
// asked: a large file is drawn without being held whole.
class InputPieces {
  public:
    // Hands each piece in order to take, which ends the pass early by
    // returning false. False when the input could not be read (errno
    // says why).
    virtual bool each(const std::function<bool(std::string_view)>& take) = 0;

  protected:
    ~InputPieces() = default;
};

class Renderer {
  public:
    explicit Renderer(const RenderSetup& setup = {});
    ~Renderer();
    Renderer(const Renderer&) = delete;
    Renderer& operator=(const Renderer&) = delete;

    // stopped: a signal came while the input was drawn; what was left of it
    // is not drawn, nor its page written.
    // From an input in pieces also: readWhole, nothing drawn, when the
    // input must be read whole and given to render as one (a transcript,
    // or a file whose dialect only a reading of its own tells); unreadable
    // when a piece could not be read (errno says why).
    enum class Outcome { rendered, noPageImage, writeRefused, stopped, readWhole, unreadable };

    // Draws the input and hands each page to write, in order; writeRefused
    // when write refused a page (nothing after it is drawn). A model left to
    // choose draws a transcript as the model that made it: the one its
    // first line names, else (its markers or records, or a name given as
    // transcriptName) the HP-86B's; a file written for HP-GL/2
    // (writtenForHpgl2) as an HP-GL/2 device, anything else as an HP 7470A.
    // counts() tells what this input held, chosen() which model drew it.
    // inputRead, when given, is told once input is read to its end and
    // before a plain file's last pages are written: the caller may free it.
    Outcome render(std::string_view input, bool namedAsTranscript, const PageSink& write,
                   const std::function<void()>& inputRead = {});
    // A plain file a piece at a time, in as little memory as its pieces,
    // drawn as the whole would be.
    Outcome render(InputPieces& input, bool namedAsTranscript, const PageSink& write);
    const RenderCounts& counts() const { return counts_; }
    const ModelChoice& chosen() const { return chosen_; }
    // The model's word on the input when --model forced one (a hint naming
    // the model that draws what it ignored); empty otherwise.
    const std::string& hint() const { return hint_; }
    // Told of each page dropped as a plain file is drawn (not while it is
    // measured for --fit).
    void onDropped(DroppedPage dropped) { dropped_ = std::move(dropped); }

  private:
    struct Core;
    Core* core(PlotterModel model);
    // Draws the input as chosen_ says. tellDialect: the 7470A draws a
    // plain file whose dialect its reading tells; nothing when it met an
    // instruction only HP-GL/2 has (no page written).
    // pieces, when given, are the input of a plain file (input is then
    // not read).
    std::optional<Outcome> drawChosen(std::string_view input, InputPieces* pieces, bool emptyInput,
                                      bool marked, bool transcriptOfModel,
                                      std::vector<TranscriptStep>& steps, bool tellDialect,
                                      const PageSink& write,
                                      const std::function<void()>& inputRead);

    // After drawing: the hint, and the model an automatic one chose.
    void told();

    RenderSetup setup_;
    // Made when first needed, by model (automatic last: for a live run's transcript).
    std::unique_ptr<Core> cores_[std::size(modelNames) + 1];
    std::string hint_;
    RenderCounts counts_;
    ModelChoice chosen_;
    DroppedPage dropped_;
};

} // namespace plotanix
