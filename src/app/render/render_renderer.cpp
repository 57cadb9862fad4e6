#include "render_renderer.h"

#include "hpgl/byte_link.h"
#include "hpgl/syntax.h"
#include "logfile/log_file.h"
#include "logfile/transcript_format.h"
#include "models/dialect.h"
#include "models/models.h"
#include "page/page_fit.h"
#include "session/transcript_splitter.h"
#include "shell/plot_assembly.h"
#include "shell/signal_watch.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace plotanix {

// Nothing comes from a file's "line" but its bytes; replies go nowhere.
// (Outside the anonymous namespace: Renderer::Core holds one.)
class RendererNoLine : public ByteLink {
  public:
    int writeSerial(std::string_view bytes) override { return static_cast<int>(bytes.size()); }
};

namespace {

// Only labels and character-cell moves need the label font.
bool needsFont(const std::vector<TranscriptStep>& steps) {
    return std::any_of(steps.begin(), steps.end(),
                       [](const TranscriptStep& step) { return step.usesFont; });
}

// Whether the splitter found anything of a transcript in the input: a page
// marker, or records it took out.
bool holdsTranscript(const std::vector<TranscriptStep>& steps, std::string_view input) {
    return steps.size() != 1 || steps[0].kind != TranscriptStep::Kind::run ||
           steps[0].bytes.size() != input.size();
}

// Any pixel other than paper white. On white paper only the rows drawn on
// can hold any.
bool inked(const PageImage& page) {
    // A printer's paper is index 0, its rows' last bits never set.
    const size_t bytes = page.indexed() ? static_cast<size_t>((page.width * page.depth + 7) / 8)
                                        : 3 * static_cast<size_t>(page.width);
    const std::vector<uint8_t> white(bytes, page.indexed() ? 0 : 0xFF);
    const auto [top, bottom] =
        page.paper() == 0xFFFFFF ? page.rowsDrawn() : std::pair<int32_t, int32_t>{0, page.height};
    for (int y = top; y < bottom; ++y) {
        if (std::memcmp(page.row(y), white.data(), white.size()) != 0) return true;
    }
    return false;
}

// Something was asked to be drawn on the page, on it or off it.
bool drawnOn(PlotSession& session) {
    return !session.drawing().extent().empty || inked(session.page());
}

// What a first pass over a file's pieces tells, as a look at the whole
// would: whether it holds a record or page marker, whether the 7470A's
// reading tells its dialect (readingsAgree), and whether it is empty. The
// joins between pieces are looked across: a marker split by one, a DT
// whose letters stand on either side. take is false once the file is known
// to need reading whole (a marker; a dialect to tell, unless told).
class PieceScan {
  public:
    explicit PieceScan(bool dialectTold) : dialectTold_(dialectTold) {}
    bool take(std::string_view piece) {
        if (piece.empty()) return true;
        empty = false;
        const std::string join =
            tail_ + std::string(piece.substr(0, transcript::recordStart.size() - 1));
        if (join.find(transcript::recordStart) != std::string::npos ||
            piece.find(transcript::recordStart) != std::string_view::npos)
            marked = true;
        if (agree && !dialectTold_) {
            agree = readingsAgree(piece);
            const auto between = [](char c) { return isSeparator(c) || c == 0; };
            const size_t first =
                std::find_if_not(piece.begin(), piece.end(), between) - piece.begin();
            if (afterD_ && first < piece.size() && (piece[first] == 'T' || piece[first] == 't'))
                agree = false;
            const auto last = std::find_if_not(piece.rbegin(), piece.rend(), between);
            if (last != piece.rend()) afterD_ = *last == 'D' || *last == 'd';
        }
        tail_ =
            (tail_ + std::string(piece.substr(piece.size() - std::min(piece.size(), size_t(3)))));
        tail_.erase(0, tail_.size() - std::min(tail_.size(), transcript::recordStart.size() - 1));
        return !marked && (agree || dialectTold_);
    }
    bool marked = false, agree = true, empty = true;

  private:
    bool dialectTold_;
    bool afterD_ = false; // the last byte but separators was a D
    std::string tail_;    // the last bytes, for a marker across the join
};

// The pages HP-GL/2's PG ends in a plain file. Each one with something
// drawn is held until the next shows whether the file has more than one
// page: then they are numbered 1, 2, ... as a transcript's saved pages are,
// while a file of one page (a PG at its end, say) keeps the plain name.
class PageAdvances {
  public:
    // current: the page as it stands (mid-run: within an instruction
    // stream); starting: told the index of each page as it begins.
    // dropped, when given, is told each page dropped with something drawn
    // on it off the paper (or without a pen): the pages written before it,
    // and why nothing shows.
    PageAdvances(PlotSession& session, const PageSink& write,
                 std::function<PageView(bool midRun)> current, const DroppedPage* dropped,
                 std::function<void(size_t)> starting)
        : session_(session), write_(write), current_(std::move(current)), dropped_(dropped),
          starting_(std::move(starting)) {
        session_.onPageAdvance([this] { advance(); });
        if (starting_) starting_(0);
    }
    ~PageAdvances() { session_.onPageAdvance({}); }
    PageAdvances(const PageAdvances&) = delete;
    PageAdvances& operator=(const PageAdvances&) = delete;

    // The file is drawn: the pages still to write. False when a page was refused.
    bool finish() {
        if (refused_) return false;
        if (!ended_) return writeCurrent(std::nullopt);
        const bool more = drawnOn(session_);
        if (!more && numbered_ == 0) return writeEnded(std::nullopt);
        if (!writeEnded(++numbered_)) return false;
        return !more || writeCurrent(++numbered_);
    }
    int64_t written() const { return written_; }

  private:
    struct EndedPage {
        PageImage image;
        std::optional<DisplayList> list;
        std::optional<PageExtent> extent;
        Paper paper;
        std::string nothingDrawn;
        std::optional<Drawing::Extent> drawn;
        bool cutAtPaper;
        bool printed;
    };

    void advance() {
        if (refused_) return;
        // A PG on blank paper makes no page; one whose drawing shows
        // nowhere is dropped, and said to be.
        if (!drawnOn(session_)) {
            if (!session_.drawingAsked()) return;
            if (dropped_ && *dropped_)
                (*dropped_)(numbered_ + (ended_ ? 1 : 0), session_.blankReason());
            return session_.blankPage();
        }
        if (ended_ && !writeEnded(++numbered_)) return;
        const PageView now = current_(true);
        ended_ = EndedPage{now.image,        now.list ? std::optional(*now.list) : std::nullopt,
                           now.extent,       now.paper,
                           now.nothingDrawn, now.drawn,
                           now.cutAtPaper,   now.printed};
        session_.blankPage();
        if (starting_) starting_(++started_);
    }
    bool writeEnded(std::optional<int64_t> number) {
        const EndedPage& page = *ended_;
        return written(
            write_({page.image, page.list ? &*page.list : nullptr, page.extent, page.paper,
                    page.nothingDrawn, page.drawn, page.cutAtPaper, page.printed},
                   number));
    }
    bool writeCurrent(std::optional<int64_t> number) {
        return written(write_(current_(false), number));
    }
    bool written(bool ok) {
        refused_ = !ok;
        written_ += ok ? 1 : 0;
        return ok;
    }

    PlotSession& session_;
    const PageSink& write_;
    std::function<PageView(bool)> current_;
    const DroppedPage* dropped_;
    std::function<void(size_t)> starting_;
    std::optional<EndedPage> ended_; // the page the last PG ended, not yet written
    size_t started_ = 0;
    int64_t numbered_ = 0;
    int64_t written_ = 0;
    bool refused_ = false;
};

} // namespace

std::optional<PaperPlacement> trueSize(const PageView& page) {
    if (!page.extent) return std::nullopt;
    const PageExtent& area = *page.extent;
    constexpr double unitMm = 0.025;
    // The sheet (landscape): the page itself when the input gave its size,
    // else the paper the setting names, with the plotting area centred on
    // it (where the area lies on the sheet is not known).
    const bool a4 = page.paper == Paper::a4;
    const double widthMm = area.ownSheet ? area.width * unitMm : a4 ? 297.0 : 279.4;
    const double heightMm = area.ownSheet ? area.height * unitMm : a4 ? 210.0 : 215.9;
    // The model puts plotter (X, Y) on pixel (X k, 599 - Y k), rounded, with
    // k = min(800 / width, 600 / height); a copy draws through pixel centres.
    const double k =
        std::min(PlotSession::pageWidth / area.width, PlotSession::pageHeight / area.height);
    const double pixelMm = unitMm / k;
    const double left = (widthMm - area.width * unitMm) / 2;
    const double bottom = (heightMm - area.height * unitMm) / 2;
    const double lastRow = PlotSession::pageHeight - 1;
    return PaperPlacement{widthMm, heightMm, pixelMm, left - 0.5 * pixelMm,
                          heightMm - bottom - (lastRow + 0.5) * pixelMm};
}

bool transcriptName(std::string_view path) {
    return LogFile::transcriptName(path);
}

// Every call into the plotting core is here: the plot session, assembled as
// the plotter's is and driven through plot runs as the plotter drives it.
// The log file is never opened, so it writes nothing; the renderer writes
// its pages itself, so the assembly's page store is left unused.
struct Renderer::Core {
    Core(PlotterModel model, const RenderSetup& setup)
        : plotting({model, setup.paper, std::nullopt, ".", setup.keepDisplayList}, link, log),
          paper(setup.paper) {
        session.drawing().setCopyScale(setup.copyScale);
        session.watchUnknown([this](std::string_view mnemonic) {
            if (tellingDialect && toldHpgl2(mnemonic)) metHpgl2 = true;
        });
        // The HP-86B's labels in the label face are drawn by cairo, which
        // reads the list whole.
        DisplayList* list = session.drawing().recording();
        if (setup.spill && list != nullptr && model != PlotterModel::hp86b)
            list->spillInto(setup.spill());
    }

    RendererNoLine link;
    LogFile log;
    PlotAssembly plotting;
    PlotSession& session = plotting.session;
    Paper paper;
    bool fresh = true;         // blank since it was made
    bool clearPending = false; // NEW PAGE: the next run clears the page
    // What went onto the page since it was last cleared.
    int64_t instructions = 0, ignored = 0;
    // The 7470A's reading tells the dialect: an instruction only HP-GL/2
    // has ends the run, for the file to be drawn as HP-GL/2.
    bool tellingDialect = false;
    bool metHpgl2 = false;

    bool hp86b() const { return session.model() == PlotterModel::hp86b; }
    // The program is to end: the input is left undrawn.
    static bool stopped() { return SignalWatch::ending() != 0; }
    // A line's read at a time: the model reads a number whole only where
    // its bytes are at hand. What the 7470A reads of a slice after an
    // instruction only HP-GL/2 has is thrown away with its page.
    static constexpr size_t stopSlice = transcript::chunkSize;
    void pageCleared() {
        instructions = ignored = 0;
        clearPending = false;
    }
    // Each input is a drawing of its own, read from power-on: a session
    // just made is that already. Unclipped, the paper keeps all of the
    // drawing, to be fitted onto the page.
    void blank(bool clipAtPaper = true) {
        session.drawing().place({});
        if (!fresh) session.startAfresh();
        fresh = false;
        session.plotter().clipAtPaper(clipAtPaper);
        pageCleared();
    }
    void newPage() {
        session.newPage();
        clearPending = true;
    }
    // One run over these bytes, as the line handed them over. A run is
    // only a pause: the model reads on from where it stood.
    void run(std::string_view bytes, RenderCounts& counts, bool withRecords) {
        if (clearPending) pageCleared();
        session.beginRun();
        if (withRecords && !hp86b()) {
            session.replay(bytes);
        } else {
            // A few instructions at a time, with a look for a signal
            // between them (a flag: cheap).
            const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
            for (size_t at = 0; at < bytes.size() && !stopped() && !metHpgl2; at += stopSlice)
                session.feed({data + at, std::min(stopSlice, bytes.size() - at)});
        }
        count(session.endRun(), counts);
    }
    // The same over every piece of the input, as one run. False when a
    // piece could not be read.
    bool run(InputPieces& input, RenderCounts& counts) {
        if (clearPending) pageCleared();
        session.beginRun();
        const bool read = input.each([&](std::string_view bytes) {
            const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
            for (size_t at = 0; at < bytes.size() && !stopped() && !metHpgl2; at += stopSlice)
                session.feed({data + at, std::min(stopSlice, bytes.size() - at)});
            return !stopped() && !metHpgl2;
        });
        count(session.endRun(), counts);
        return read;
    }
    // The input is over: an instruction it ends is carried out as far as it goes.
    void end(RenderCounts& counts) {
        session.beginRun();
        session.endStream();
        count(session.endRun(), counts);
    }
    void count(RunResult result, RenderCounts& counts) {
        counts.instructions += result.instructions;
        counts.ignored += result.ignored;
        instructions += result.instructions;
        ignored += result.ignored;
    }
    // midRun: the model stands within the stream (at a PG), this run's
    // instructions not yet counted.
    PageView page(bool emptyInput, bool midRun = false) {
        return {session.page(),
                session.displayList(),
                session.plotter().pageExtent(),
                paper,
                nothingDrawn(emptyInput, midRun),
                session.drawing().extent(),
                session.ranOffPaper(),
                isPrinter(modelInUse(session.plotter(), session.model()))};
    }
    std::string nothingDrawn(bool emptyInput, bool midRun) {
        if (inked(session.page())) return {};
        if (emptyInput) return "the input is empty";
        // Instructions of another model, which the hint names, are HP-GL
        // all the same.
        if (!midRun && instructions == ignored)
            return session.hint().empty() ? "no HP-GL instruction found"
                                          : "every instruction was one this model does not know";
        // Told by what the pen was asked to do, not by how it stands at
        // the end: a closing SP0 is no reason.
        const std::string why = session.blankReason();
        return why.empty() ? "no line or label lands on the page" : why;
    }
};

Renderer::Renderer(const RenderSetup& setup) : setup_(setup) {}
Renderer::~Renderer() = default;

Renderer::Core* Renderer::core(PlotterModel model) {
    std::unique_ptr<Core>& core = cores_[static_cast<size_t>(model)];
    if (core) return core.get();
    auto made = std::make_unique<Core>(model, setup_);
    if (!made->session.createPage()) return nullptr;
    core = std::move(made);
    return core.get();
}

Renderer::Outcome Renderer::render(std::string_view input, bool namedAsTranscript,
                                   const PageSink& write, const std::function<void()>& inputRead) {
    counts_ = {};
    hint_.clear();
    // Every record and page marker holds "****": without it the input is
    // one run, drawn where it lies rather than copied by the splitter.
    const bool marked = input.find(transcript::recordStart) != std::string_view::npos;
    std::vector<TranscriptStep> steps;
    const std::string_view namedText = transcript::modelNamedAt(input);
    // A live run that chose its model as it went: the same choice again.
    const std::optional<PlotterModel> named =
        namedText == automaticName ? PlotterModel::automatic : modelNamed(namedText);
    // Whether the input is followed as a transcript of the chosen model.
    bool transcriptOfModel = false;
    if (setup_.model) {
        chosen_ = {*setup_.model, "as --model says"};
        transcriptOfModel = true;
    } else if (named) {
        chosen_ = {*named, "the model its transcript names"};
        transcriptOfModel = true;
    } else if (const std::optional<PlotterModel> printer = printerLanguage(input)) {
        // Told before the transcript's marks: raster data may hold "****".
        chosen_ = {*printer, *printer == PlotterModel::pcl ? "a PCL print" : "an Epson print"};
    } else {
        chosen_ = {PlotterModel::hp7470a, "a plain HP-GL file"};
        if (marked) steps = splitTranscript(input);
        if (marked && holdsTranscript(steps, input)) {
            chosen_ = {PlotterModel::hp86b, "a transcript that names no model"};
        } else if (namedAsTranscript) {
            chosen_ = {PlotterModel::hp86b, "named as a transcript"};
        } else if (readingsAgree(input)) {
            // Told as the 7470A draws it, by what it does not know.
            const std::optional<Outcome> drawn = drawChosen(input, nullptr, input.empty(), marked,
                                                            false, steps, true, write, inputRead);
            if (drawn) return *drawn;
            counts_ = {};
            chosen_ = {PlotterModel::hpgl2, "written for HP-GL/2"};
        } else if (writtenForHpgl2(input)) {
            chosen_ = {PlotterModel::hpgl2, "written for HP-GL/2"};
        }
        transcriptOfModel = chosen_.model == PlotterModel::hp86b;
    }
    const Outcome drawn = *drawChosen(input, nullptr, input.empty(), marked, transcriptOfModel,
                                      steps, false, write, inputRead);
    told();
    return drawn;
}

void Renderer::told() {
    Core* const c = cores_[static_cast<size_t>(chosen_.model)].get();
    if (c == nullptr) return;
    hint_ = setup_.model ? std::string(c->session.hint()) : std::string();
    chosen_.model = modelInUse(c->session.plotter(), chosen_.model);
}

Renderer::Outcome Renderer::render(InputPieces& input, bool namedAsTranscript,
                                   const PageSink& write) {
    counts_ = {};
    hint_.clear();
    // The HP-GL/2 model's own reading of the dialect, the HP-86B's look for
    // labels and a transcript's splitting want the whole.
    if ((namedAsTranscript && !setup_.model) || setup_.model == PlotterModel::hp86b)
        return Outcome::readWhole;
    PieceScan scan(setup_.model.has_value());
    if (!input.each([&](std::string_view piece) { return scan.take(piece); }))
        return Outcome::unreadable;
    if (scan.marked || !(setup_.model || scan.agree)) return Outcome::readWhole;
    std::vector<TranscriptStep> steps;
    if (setup_.model) {
        chosen_ = {*setup_.model, "as --model says"};
        const Outcome drawn =
            *drawChosen({}, &input, scan.empty, false, true, steps, false, write, {});
        told();
        return drawn;
    }
    chosen_ = {PlotterModel::hp7470a, "a plain HP-GL file"};
    const std::optional<Outcome> drawn =
        drawChosen({}, &input, scan.empty, false, false, steps, true, write, {});
    if (drawn) return *drawn;
    counts_ = {};
    chosen_ = {PlotterModel::hpgl2, "written for HP-GL/2"};
    return *drawChosen({}, &input, scan.empty, false, false, steps, false, write, {});
}

std::optional<Renderer::Outcome>
Renderer::drawChosen(std::string_view input, InputPieces* pieces, bool emptyInput, bool marked,
                     bool transcriptOfModel, std::vector<TranscriptStep>& steps, bool tellDialect,
                     const PageSink& write, const std::function<void()>& inputRead) {
    const PlotterModel model = chosen_.model;
    Core* const c = core(model);
    if (c == nullptr) return Outcome::noPageImage;
    c->tellingDialect = tellDialect;
    c->metHpgl2 = false;
    // A transcript shows what the plotter drew, where it drew it.
    const bool plainFile = !marked || !transcriptOfModel;
    c->blank(!(plainFile && setup_.fit));
    // A transcript shows what the plotter drew, where it drew it: how a
    // drawing sits on the page is told of plain files only.
    const auto hand = [&](std::optional<int64_t> number) {
        PageView page = c->page(emptyInput);
        page.drawn.reset();
        page.cutAtPaper = false;
        if (!write(page, number)) return false;
        ++counts_.pages;
        return true;
    };
    // The 7470A and HP-GL/2 models draw labels in their own stroke font and
    // read differently from what the splitter follows.
    const bool hp86b = c->hp86b();
    // A file another model was chosen for holds no transcript to follow.
    if (plainFile) {
        if (hp86b && (input.find("LB") != std::string_view::npos ||
                      input.find("CP") != std::string_view::npos)) {
            c->plotting.useLabelFont();
        }
        // Drawn once to learn each page's extent, then again fitted to it.
        std::vector<Drawing::Extent> extents;
        const bool empty = emptyInput;
        bool unreadable = false;
        const auto draw = [&](const PageSink& sink, RenderCounts& counts, bool fit, bool last) {
            const auto current = [&](bool midRun) { return c->page(empty, midRun); };
            PageAdvances pages(
                c->session, sink, current, last ? &dropped_ : nullptr, [&](size_t index) {
                    if (fit)
                        c->session.drawing().place(
                            index < extents.size() ? fitted(extents[index], PlotSession::pageWidth,
                                                            PlotSession::pageHeight)
                                                   : Drawing::Placement{});
                });
            if (!empty && pieces) {
                unreadable = !c->run(*pieces, counts);
            } else if (!empty) {
                c->run(input, counts, false);
            }
            if (Core::stopped() || c->metHpgl2 || unreadable) return false;
            c->end(counts);
            if (last && inputRead) inputRead();
            const bool written = pages.finish();
            counts.pages += pages.written();
            return written;
        };
        if (setup_.fit) {
            RenderCounts measured;
            draw(
                [&](const PageView& page, std::optional<int64_t>) {
                    extents.push_back(page.drawn.value_or(Drawing::Extent{}));
                    return true;
                },
                measured, false, false);
            if (c->metHpgl2) return std::nullopt;
            if (unreadable) return Outcome::unreadable;
            c->blank(false);
        }
        const PageSink fittedWrite = [&](const PageView& page, std::optional<int64_t> number) {
            PageView shown = page;
            if (setup_.fit) {
                shown.drawn.reset();
                shown.cutAtPaper = false;
            }
            return write(shown, number);
        };
        if (draw(fittedWrite, counts_, setup_.fit, true)) return Outcome::rendered;
        if (c->metHpgl2) return std::nullopt;
        if (unreadable) return Outcome::unreadable;
        return Core::stopped() ? Outcome::stopped : Outcome::writeRefused;
    }
    if (!hp86b) {
        steps = splitAtMarkers(input);
    } else if (steps.empty()) {
        steps = splitTranscript(input);
    }
    if (hp86b && needsFont(steps)) c->plotting.useLabelFont();
    bool unsaved = true; // drawing that no SAVE PAGE marker has written
    for (const TranscriptStep& step : steps) {
        if (step.kind == TranscriptStep::Kind::run) {
            c->run(step.bytes, counts_, true);
            if (Core::stopped()) return Outcome::stopped;
            unsaved = true;
        } else if (step.kind == TranscriptStep::Kind::newPage) {
            c->newPage();
        } else {
            if (!hand(step.pageNumber)) return Outcome::writeRefused;
            unsaved = false;
        }
    }
    if (!unsaved) return Outcome::rendered;
    c->end(counts_);
    return hand(std::nullopt) ? Outcome::rendered : Outcome::writeRefused;
}

} // namespace plotanix
