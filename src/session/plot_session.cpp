#include "session/plot_session.h"

#include "logfile/log_file.h"
#include "logfile/transcript_format.h"
#include "models/models.h"

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
    streamEnded_ = false;
    // A plotter at power-on has asked for no handshake.
    link_.requestFlowControl(FlowControl::none);
    plotter_ = makePlotter(model_, paper_, {drawing_, link_, status_});
    plotter_->onPageAdvance([this] {
        if (!pageAdvance_) return false;
        pageAdvance_();
        return true;
    });
    plotter_->onUnknown([this](std::string_view mnemonic) { recordUnknown(mnemonic); });
    plotter_->onPicture([this](int32_t width, int32_t height, int32_t depth) {
        return remakePage(width, height, depth);
    });
}

PageImage* PlotSession::remakePage(int32_t width, int32_t height, int32_t depth) {
    if (!page_) return nullptr;
    if (page_->width != width || page_->height != height || page_->depth != depth) {
        std::unique_ptr<PageImage> made = createPageImage(width, height, depth, penColours[0]);
        if (!made) return nullptr;
        *page_ = std::move(*made);
        // A page of palette indices is the printer's alone: the drawing
        // takes no part in it.
        drawing_.beginDrawing(*page_);
        drawing_.selectFont(font_);
    }
    blankImage();
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
