#include "app/render_renderer.h"

#include "hpgl/byte_link.h"
#include "logfile/log_file.h"
#include "logfile/transcript_format.h"
#include "page/label_font.h"
#include "session/plot_session.h"
#include "session/transcript_splitter.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace plotanix {

namespace {

// Nothing comes from a file's "line" but its bytes; replies go nowhere.
class NoLine : public ByteLink {
  public:
    int readSerial(std::span<uint8_t>) override { return 0; }
    int serialOutputWaiting() override { return 0; }
    int writeSerial(std::string_view bytes) override { return static_cast<int>(bytes.size()); }
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

    NoLine link;
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
    // One run over these bytes, as the line handed them over. A run is
    // only a pause: the model reads on from where it stood.
    void run(std::string_view bytes, RenderCounts& counts, bool withRecords) {
        session.beginRun();
        if (withRecords && !defaultModel()) {
            session.replay(bytes);
        } else {
            session.feed({reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()});
        }
        count(session.endRun(), counts);
    }
    // The input is over: an instruction it ends is carried out as far as it goes.
    void end(RenderCounts& counts) {
        session.beginRun();
        session.endStream();
        count(session.endRun(), counts);
    }
    static void count(RunResult result, RenderCounts& counts) {
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
    core_->session.startAfresh();
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
        core_->end(counts_);
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
    core_->end(counts_);
    if (!write(core_->page(), std::nullopt)) return false;
    ++counts_.pages;
    return true;
}

} // namespace plotanix
