#include "session/plot_session.h"

#include "logfile/log_file.h"
#include "logfile/transcript_format.h"
#include "models/models.h"
#include "page/page_fit.h"
#include "session/page_store.h"

#include <algorithm>
#include <deque>

namespace plotanix {

PlotSession::PlotSession(ByteLink& link, LogFile& log, StatusLine* status, PlotterModel model,
                         Paper paper)
    : link_(link), log_(log), status_(status), model_(model), paper_(paper) {
    makeModel();
}

PlotSession::~PlotSession() = default;

void PlotSession::makeModel() {
    plotter_.reset();
    // A new model counts from nothing.
    tallyFrom_ = {};
    offPaperFrom_ = 0;
    streamEnded_ = false;
    // A plotter at power-on has asked for no handshake.
    link_.requestFlowControl(FlowControl::none);
    plotter_ = makePlotter(model_, paper_, {drawing_, link_, status_});
    plotter_->onPageAdvance([this](const Plotter::PageReady& ready) {
        if (!pageAdvance_) return false;
        if (ready) ready();
        pageAdvance_();
        return true;
    });
    plotter_->onUnknown([this](std::string_view mnemonic) { recordUnknown(mnemonic); });
    plotter_->onPicture([this](int32_t width, int32_t height, int32_t depth) {
        return remakePage(width, height, depth);
    });
    if (fit_) plotter_->clipAtPaper(false);
}

// The HP-86B draws its labels in a face a list cannot place; its picture is
// its paper, which it cuts as ever.
void PlotSession::fitCopies(bool on) {
    fit_ = on && model_ != PlotterModel::hp86b;
    if (fit_) keepDisplayList(true);
    drawing_.recordWhole(fit_);
    plotter_->clipAtPaper(!fit_);
}

bool PlotSession::fitApplies() const {
    const PlotterModel inUse = modelInUse(*plotter_, model_);
    return inUse == PlotterModel::hp7470a || inUse == PlotterModel::hpgl2;
}

std::optional<Drawing::Placement> PlotSession::fitting() const {
    if (!fit_ || !fitApplies() || !page_ || !list_ || list_->overflowed() || list_->spilled() ||
        !ranOffPaper())
        return std::nullopt;
    return fitted(drawing_.extent(), page_->width, page_->height);
}

PageImage* PlotSession::remakePage(int32_t width, int32_t height, int32_t depth) {
    if (!page_) return nullptr;
    if (page_->width != width || page_->height != height || page_->depth != depth) {
        if (!remakePageImage(*page_, width, height, depth, penColours[0])) return nullptr;
        // A page of palette indices is the printer's alone: the drawing
        // takes no part in it.
        drawing_.beginDrawing(*page_);
        drawing_.selectFont(font_);
    }
    blankImage();
    pageBegins();
    return page_.get();
}

void PlotSession::blankImage() {
    if (page_->indexed()) {
        page_->fill(penColours[0]);
    } else {
        drawing_.fillBox(0, 0, page_->width, page_->height, penColours[0]);
    }
}

void PlotSession::recordUnknown(std::string_view mnemonic) {
    if (unknownWatcher_) unknownWatcher_(mnemonic);
    std::string record = transcript::unknownRecord(mnemonic);
    if (replayDue_) {
        replayDue_->push_back({std::move(record), replayed_});
        return;
    }
    log_.writeLogText(record);
    if (recordWatcher_) recordWatcher_(record);
}

void PlotSession::startAfresh() {
    makeModel();
    blankPage();
}

bool PlotSession::createPage() {
    // Blank paper from the start, so a page saved before any run is white:
    // born white, its pixels written once.
    page_ = createPageImage(pageWidth, pageHeight, 24, penColours[0]);
    if (!page_) return false;
    // The drawing stays open on the page for the session's life: the pen's
    // colour and the label font carry over from one run to the next.
    drawing_.beginDrawing(*page_);
    drawing_.selectFont(font_);
    newPagePending_ = false;
    pageStarted_ = false;
    if (list_) list_->clear();
    pageBegins();
    return true;
}

void PlotSession::useFont(const PageFont* font) {
    font_ = font;
    drawing_.selectFont(font_);
}

void PlotSession::keepDisplayList(bool on) {
    if (on && !list_) list_ = std::make_unique<DisplayList>();
    if (!on) list_.reset();
    drawing_.recordInto(list_.get());
}

void PlotSession::blankPage() {
    newPagePending_ = false;
    pageStarted_ = false;
    if (page_) blankImage();
    pageBegins();
}

void PlotSession::pageBegins() {
    tallyFrom_ = plotter_->penTally();
    offPaperFrom_ = plotter_->offPaper();
    linesFrom_ = drawing_.lineTally();
}

bool PlotSession::drawingAsked() const {
    const PenTally pen = plotter_->penTally() - tallyFrom_;
    return pen.strokes + pen.penless + pen.inWhite > 0 ||
           drawing_.lineTally().asked > linesFrom_.asked;
}

bool PlotSession::ranOffPaper() const {
    if (plotter_->offPaper() > offPaperFrom_) return true;
    const Drawing::Extent& drawn = drawing_.extent();
    const std::optional<PageExtent> paper = plotter_->pageExtent();
    if (fit_ && paper && !drawn.empty && paper->width > 0 && paper->height > 0) {
        // Drawn on past the edge, nothing counts as cut: the drawing's
        // extent tells. The paper lies landscape in the picture's lower
        // left corner, as the models map it, give or take half a pixel.
        const double along = std::max(paper->width, paper->height);
        const double across = std::min(paper->width, paper->height);
        const double k = std::min(pageWidth / along, pageHeight / across);
        const double bottom = pageHeight - 1, slack = 0.5;
        return drawn.left < -slack || drawn.right > along * k + slack ||
               drawn.top < bottom - across * k - slack || drawn.bottom > bottom + slack;
    }
    // Where the page is the picture, the picture's edge is the paper's.
    return !plotter_->pageExtent() && !isPrinter(modelInUse(*plotter_, model_)) && !drawn.empty &&
           (drawn.left < -1 || drawn.top < -1 || drawn.right > pageWidth ||
            drawn.bottom > pageHeight);
}

std::string PlotSession::blankReason() const {
    if (!page_ || !nothingDrawn(*page_)) return {};
    const PenTally pen = plotter_->penTally() - tallyFrom_;
    const int64_t linesAsked = drawing_.lineTally().asked - linesFrom_.asked;
    const int64_t linesLanded = drawing_.lineTally().onPage - linesFrom_.onPage;
    if (isPrinter(modelInUse(*plotter_, model_))) return "nothing printed shows on it";
    // The pen put away before the strokes, not after them: a closing SP0
    // on a page drawn off the paper is no reason.
    if (pen.penless > 0) return "no pen was selected (SP0 or no SP) while drawing";
    if (pen.strokes == 0 && pen.inWhite == 0 && linesAsked == 0) {
        if (pen.moves > 0) return "the pen only moved up (PU), it never drew";
        // Another model's instructions, which the hint names.
        const RunResult run = plotter_->counts();
        return run.instructions > 0 && run.ignored == run.instructions
                   ? "every instruction was one this model does not know"
                   : "no line or label was asked for";
    }
    if (pen.strokes == 0 && linesAsked == 0)
        return "everything was drawn in white, the paper's colour";
    if (pen.outsideWindow > 0 && pen.offPaper == 0)
        return "everything drawn lies outside the window IW set";
    if (pen.offPaper > 0 || linesAsked > linesLanded) return "everything drawn lies off the paper";
    return "nothing drawn lands on the paper";
}

void PlotSession::beginRun() {
    if (newPagePending_) blankPage();
    if (!pageStarted_) plotter_->startPage();
    pageStarted_ = true;
    plotter_->resetCounts();
}

void PlotSession::feed(std::span<const uint8_t> bytes) {
    // Each chunk goes into the transcript whole before the model sees a
    // byte of it, so a record follows the chunk that held its instruction.
    while (!bytes.empty()) {
        const std::span<const uint8_t> chunk =
            bytes.first(std::min(bytes.size(), transcript::chunkSize));
        log_.writeLogBytes(chunk.data(), chunk.size());
        if (page_ && !streamEnded_) plotter_->feed(chunk);
        bytes = bytes.subspan(chunk.size());
    }
}

void PlotSession::logChunk(std::span<const uint8_t> chunk) {
    log_.writeLogBytes(chunk.data(), chunk.size());
}

void PlotSession::feedModel(std::span<const uint8_t> bytes) {
    if (!page_ || streamEnded_ || bytes.empty()) return;
    plotter_->feed(bytes);
    plotter_->settle();
}

size_t PlotSession::feedModelWhile(std::span<const uint8_t> bytes,
                                   const std::function<bool()>& goOn) {
    if (!page_ || streamEnded_ || bytes.empty()) return bytes.size();
    // A byte at a time, so that the model's instruction count tells where
    // each instruction begins: one that costs a while is followed by a look
    // at the clock, not by the rest of the bytes.
    int32_t begun = plotter_->counts().instructions;
    size_t fed = 0;
    while (fed < bytes.size()) {
        plotter_->feed(bytes.subspan(fed++, 1));
        const int32_t now = plotter_->counts().instructions;
        if (now != begun && fed < bytes.size() && !goOn()) break;
        begun = now;
    }
    plotter_->settle();
    return fed;
}

RunResult PlotSession::endRun() {
    plotter_->lineSilent();
    plotter_->settle();
    log_.flushLog();
    return plotter_->counts();
}

// The model is fed a byte at a time, so that each record it asks for is
// known before it reads on; the record is then taken out of the bytes ahead,
// within a chunk's length, where the session wrote it when the transcript
// was made. The model itself says which record is due: nothing here reads
// the syntax.
void PlotSession::replay(std::string_view transcriptBytes) {
    std::deque<DueRecord> due;
    replayDue_ = &due;
    size_t& offset = replayed_;
    offset = 0;
    const auto* bytes = reinterpret_cast<const uint8_t*>(transcriptBytes.data());
    while (true) {
        while (!due.empty()) {
            const DueRecord& record = due.front();
            // Past the chunk that could have held it: the record is not here.
            if (offset > record.at + transcript::chunkSize) {
                due.pop_front();
                continue;
            }
            if (record.text.empty() || !transcriptBytes.substr(offset).starts_with(record.text))
                break;
            offset += record.text.size();
            due.pop_front();
        }
        if (offset >= transcriptBytes.size()) break;
        ++offset;
        if (page_ && !streamEnded_) plotter_->feed({bytes + offset - 1, 1});
    }
    replayDue_ = nullptr;
    if (page_) plotter_->settle();
}

void PlotSession::endStream() {
    if (!page_ || streamEnded_) return;
    streamEnded_ = true;
    plotter_->endOfStream();
    plotter_->settle();
}

} // namespace plotanix
