#include "app/render_renderer.h"

#include "hpgl/byte_link.h"
#include "hpgl/hp7470a_syntax.h"
#include "logfile/log_file.h"
#include "logfile/transcript_format.h"
#include "page/label_font.h"
#include "session/plot_session.h"
#include "session/transcript_splitter.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace plotanix {

namespace {

// The line as the plotter would see it: the input in reads of up to 256
// bytes, then silence. Replies go nowhere.
//
// A transcript of the 7470A model holds a record wherever that model met an
// instruction it does not know, after the chunk that held it; where the
// chunks ended is not recorded. Such a run is handed over one byte at a
// time, so the link sees each record the model logs (its ignored count
// goes up) before the model reads on, and drops the next record in the
// input within a chunk's length from there.
class InputLink : public ByteLink {
  public:
    void load(std::string_view bytes, const Plotter* dropRecordsOf = nullptr) {
        bytes_ = bytes;
        pos_ = 0;
        model_ = dropRecordsOf;
        logged_ = 0;
        pending_.clear();
    }
    int readSerial(std::span<uint8_t> buffer) override {
        if (model_ != nullptr) {
            dropLoggedRecords();
            buffer = buffer.first(std::min<size_t>(buffer.size(), 1));
        }
        const size_t count = std::min(buffer.size(), bytes_.size() - pos_);
        std::memcpy(buffer.data(), bytes_.data() + pos_, count);
        pos_ += count;
        return static_cast<int>(count);
    }
    int serialOutputWaiting() override { return 0; }
    int writeSerial(std::string_view bytes) override { return static_cast<int>(bytes.size()); }

  private:
    void dropLoggedRecords() {
        for (; logged_ < model_->ignoredCount; ++logged_)
            pending_.push_back(pos_);
        while (!pending_.empty()) {
            // Past the chunk that could have held it: the record is not here.
            if (pos_ > pending_.front() + transcript::chunkSize) {
                pending_.pop_front();
                continue;
            }
            const size_t length = recordLength(bytes_.substr(pos_));
            if (length == 0) return;
            pos_ += length;
            pending_.pop_front();
        }
    }
    // "****", one or two letters the model does not know, "***"; 0 otherwise.
    static size_t recordLength(std::string_view text) {
        using transcript::recordEnd, transcript::recordStart;
        if (!text.starts_with(recordStart)) return 0;
        for (size_t letters : {2, 1}) {
            const std::string_view mnemonic = text.substr(recordStart.size(), letters);
            const bool lettersOnly =
                mnemonic.size() == letters &&
                std::all_of(mnemonic.begin(), mnemonic.end(), [](char c) { return isLetter(c); });
            if (lettersOnly && !hp7470aKnows(mnemonic) && transcript::recordAt(text, mnemonic))
                return recordStart.size() + letters + recordEnd.size();
        }
        return 0;
    }

    std::string_view bytes_;
    size_t pos_ = 0;
    const Plotter* model_ = nullptr;
    int32_t logged_ = 0;
    std::deque<size_t> pending_; // where the model logged records still to drop
};

// The font takes longer to load than most files take to draw: only labels
// and character-cell moves need it.
bool needsFont(const std::vector<TranscriptStep>& steps) {
    return std::any_of(steps.begin(), steps.end(),
                       [](const TranscriptStep& step) { return step.usesFont; });
}

// fontconfig's first use sets up shared state; one worker at a time.
std::unique_ptr<PageFont> loadLabelFont() {
    static std::mutex loading;
    const std::lock_guard lock(loading);
    return loadFont("Courier New", 12);
}

} // namespace

// Every call into the plotting core is here: the plot session, driven
// through plot runs as the plotter drives it. The log file is never opened,
// so it writes nothing.
struct Renderer::Core {
    explicit Core(const RenderSetup& setup)
        : session(link, log, nullptr, setup.model, setup.paper) {
        session.keepDisplayList(setup.keepDisplayList);
    }

    InputLink link;
    LogFile log;
    PlotSession session;
    std::unique_ptr<PageFont> font;
    bool fontTried = false;

    void useFont() {
        if (!fontTried) font = loadLabelFont();
        fontTried = true;
        session.useFont(font.get());
    }
    bool defaultModel() const { return session.model() == PlotterModel::hp86b; }
    // One run until the bytes run out, as after the line fell silent.
    void run(std::string_view bytes, RenderCounts& counts, bool withRecords) {
        link.load(bytes, withRecords && !defaultModel() ? &session.plotter() : nullptr);
        const RunResult result = session.run();
        counts.instructions += result.instructions;
        counts.ignored += result.ignored;
    }
    PageView page() const { return {session.page(), session.displayList()}; }
};

Renderer::Renderer(const RenderSetup& setup) : core_(std::make_unique<Core>(setup)) {}
Renderer::~Renderer() = default;

bool Renderer::prepare() {
    return core_->session.createPage();
}

bool Renderer::render(std::string_view input, const PageSink& write) {
    counts_ = {};
    core_->session.blankPage();
    // The 7470A model draws labels in its own stroke font and reads
    // differently from what the splitter follows.
    const bool hp86b = core_->defaultModel();
    // Every record and page marker holds "****": without it the input is
    // one run, drawn where it lies rather than copied by the splitter.
    if (input.find("****") == std::string_view::npos) {
        if (hp86b && (input.find("LB") != std::string_view::npos ||
                      input.find("CP") != std::string_view::npos)) {
            core_->useFont();
        }
        if (!input.empty()) core_->run(input, counts_, false);
        if (!write(core_->page(), std::nullopt)) return false;
        ++counts_.pages;
        return true;
    }
    const std::vector<TranscriptStep> steps =
        hp86b ? splitTranscript(input) : splitAtMarkers(input);
    if (hp86b && needsFont(steps)) core_->useFont();
    bool unsaved = true; // drawing that no SAVE PAGE marker has written
    for (const TranscriptStep& step : steps) {
        if (step.kind == TranscriptStep::Kind::run) {
            core_->run(step.bytes, counts_, true);
            unsaved = true;
        } else if (step.kind == TranscriptStep::Kind::newPage) {
            core_->session.newPage();
        } else {
            if (!write(core_->page(), step.pageNumber)) return false;
            ++counts_.pages;
            unsaved = false;
        }
    }
    if (!unsaved) return true;
    if (!write(core_->page(), std::nullopt)) return false;
    ++counts_.pages;
    return true;
}

} // namespace plotanix
