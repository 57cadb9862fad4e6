#include "session/plot_session.h"

#include "logfile/log_file.h"
#include "logfile/transcript_format.h"
#include "models/models.h"
#include "session/model_thread.h"

#include <algorithm>
#include <array>
#include <deque>

namespace plotanix {

// The model's input: the bytes handed over by the session's feeds. While a
// transcript is replayed it goes one byte at a time, so that each record
// the model writes is seen before the model reads on; the record is then
// taken out of the bytes ahead, within a chunk's length, where the model
// wrote it when the transcript was made.
class PlotSession::Input : public ByteSource {
  public:
    explicit Input(PlotSession& session) : session_(session) {}

    size_t takeBytes(std::span<uint8_t> buffer) override {
        ModelThread& thread = *session_.thread_;
        if (!replaying_) return thread.takeBytes(buffer);
        dropRecordsWritten(thread);
        const size_t count = thread.takeBytes(buffer.first(std::min<size_t>(buffer.size(), 1)));
        offset_ += count;
        return count;
    }

    void startReplay() {
        replaying_ = true;
        offset_ = 0;
        seen_ = session_.plotter_->recordsWritten();
        pending_.clear();
    }
    void endReplay() { replaying_ = false; }

  private:
    void dropRecordsWritten(ModelThread& thread) {
        for (; seen_ < session_.plotter_->recordsWritten(); ++seen_)
            pending_.push_back(offset_);
        while (!pending_.empty()) {
            // Past the chunk that could have held it: the record is not here.
            if (offset_ > pending_.front() + transcript::chunkSize) {
                pending_.pop_front();
                continue;
            }
            const std::span<const uint8_t> ahead = thread.waitForBytes();
            // The replay may have ended while the model waited for bytes.
            if (!replaying_ || pending_.empty()) return;
            const size_t length = recordLength(
                std::string_view(reinterpret_cast<const char*>(ahead.data()), ahead.size()));
            if (length == 0) return;
            thread.taken(length);
            offset_ += length;
            pending_.pop_front();
        }
    }
    // "****", one or two letters the model does not know, "***"; 0 otherwise.
    size_t recordLength(std::string_view text) const {
        using transcript::recordEnd, transcript::recordStart;
        if (!text.starts_with(recordStart)) return 0;
        for (size_t letters : {2, 1}) {
            const std::string_view mnemonic = text.substr(recordStart.size(), letters);
            const bool lettersOnly = mnemonic.size() == letters &&
                                     std::all_of(mnemonic.begin(), mnemonic.end(), [](char c) {
                                         return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
                                     });
            if (lettersOnly && !session_.plotter_->knows(mnemonic) &&
                transcript::recordAt(text, mnemonic))
                return recordStart.size() + letters + recordEnd.size();
        }
        return 0;
    }

    PlotSession& session_;
    bool replaying_ = false;
    size_t offset_ = 0;          // bytes taken since the replay began
    int64_t seen_ = 0;           // records the model had written when last looked at
    std::deque<size_t> pending_; // where the model wrote records still to drop
};

PlotSession::PlotSession(ByteLink& link, LogFile& log, StatusLine* status, PlotterModel model,
                         Paper paper)
    : link_(link), log_(log), status_(status), model_(model), paper_(paper),
      input_(std::make_unique<Input>(*this)), reader_(*input_) {
    makeModel();
}

PlotSession::~PlotSession() {
    // The model unwinds from wherever it waits before anything it uses goes.
    thread_.reset();
}

void PlotSession::makeModel() {
    thread_.reset();
    reader_.restart();
    input_->endReplay();
    // A plotter at power-on has asked for no handshake.
    link_.requestFlowControl(FlowControl::none);
    plotter_ = makePlotter(model_, paper_, {reader_, drawing_, link_, log_, status_});
    plotter_->onPageAdvance([this] {
        if (pageAdvance_) pageAdvance_();
    });
    thread_ = std::make_unique<ModelThread>([this] { plotter_->runInstructionLoop(); });
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
    if (page_) drawing_.fillBox(0, 0, pageWidth, pageHeight, penColours[0]);
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
        feedModel(chunk);
        bytes = bytes.subspan(chunk.size());
    }
}

void PlotSession::logChunk(std::span<const uint8_t> chunk) {
    log_.writeLogBytes(chunk.data(), chunk.size());
}

void PlotSession::feedModel(std::span<const uint8_t> bytes) {
    if (page_) thread_->feed(bytes);
}

RunResult PlotSession::endRun() {
    plotter_->lineSilent();
    log_.flushLog();
    return plotter_->counts();
}

RunResult PlotSession::run() {
    if (!page_) return {};
    beginRun();
    std::array<uint8_t, transcript::chunkSize> buffer{};
    for (int count; (count = link_.readSerial(buffer)) > 0;)
        feed(std::span(buffer).first(static_cast<size_t>(count)));
    return endRun();
}

void PlotSession::replay(std::string_view transcriptBytes) {
    input_->startReplay();
    feedModel({reinterpret_cast<const uint8_t*>(transcriptBytes.data()), transcriptBytes.size()});
    input_->endReplay();
}

void PlotSession::endStream() {
    if (page_) thread_->end();
}

} // namespace plotanix
