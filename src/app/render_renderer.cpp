#include "app/render_renderer.h"

#include "hpgl/byte_link.h"
#include "logfile/log_file.h"
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

// The line as the plotter would see it: the input in reads of up to 256
// bytes, then silence. Replies go nowhere.
class InputLink : public ByteLink {
  public:
    void load(std::string_view bytes) {
        bytes_ = bytes;
        pos_ = 0;
    }
    int readSerial(std::span<uint8_t> buffer) override {
        const size_t count = std::min(buffer.size(), bytes_.size() - pos_);
        std::memcpy(buffer.data(), bytes_.data() + pos_, count);
        pos_ += count;
        return static_cast<int>(count);
    }
    int serialOutputWaiting() override { return 0; }
    int writeSerial(std::string_view bytes) override { return static_cast<int>(bytes.size()); }

  private:
    std::string_view bytes_;
    size_t pos_ = 0;
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
    InputLink link;
    LogFile log;
    PlotSession session{link, log};
    std::unique_ptr<PageFont> font;
    bool fontTried = false;

    void useFont() {
        if (!fontTried) font = loadLabelFont();
        fontTried = true;
        session.useFont(font.get());
    }
    // One run until the bytes run out, as after the line fell silent.
    void run(std::string_view bytes, RenderCounts& counts) {
        link.load(bytes);
        const RunResult result = session.run();
        counts.instructions += result.instructions;
        counts.ignored += result.ignored;
    }
    const PageImage& page() const { return session.page(); }
};

Renderer::Renderer() : core_(std::make_unique<Core>()) {}
Renderer::~Renderer() = default;

bool Renderer::prepare() {
    return core_->session.createPage();
}

bool Renderer::render(std::string_view input, const PageSink& write) {
    counts_ = {};
    core_->session.blankPage();
    // Every record and page marker holds "****": without it the input is
    // one run, drawn where it lies rather than copied by the splitter.
    if (input.find("****") == std::string_view::npos) {
        if (input.find("LB") != std::string_view::npos ||
            input.find("CP") != std::string_view::npos) {
            core_->useFont();
        }
        if (!input.empty()) core_->run(input, counts_);
        if (!write(core_->page(), std::nullopt)) return false;
        ++counts_.pages;
        return true;
    }
    const std::vector<TranscriptStep> steps = splitTranscript(input);
    if (needsFont(steps)) core_->useFont();
    bool unsaved = true; // drawing that no SAVE PAGE marker has written
    for (const TranscriptStep& step : steps) {
        if (step.kind == TranscriptStep::Kind::run) {
            core_->run(step.bytes, counts_);
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
