#include "app/render_renderer.h"

#include "app/transcript.h"
#include "hpgl/byte_link.h"
#include "hpgl/interpreter.h"
#include "hpgl/reader.h"
#include "logfile/log_file.h"
#include "page/drawing.h"
#include "page/label_font.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace plotanix {

namespace {

constexpr int32_t pageWidth = 800;
constexpr int32_t pageHeight = 600;

// The line as the plotter would see it: the input in reads of up to 256
// bytes, then silence. Replies go nowhere.
class InputLink : public ByteLink {
  public:
    void load(std::string_view bytes) {
        bytes_ = bytes;
        pos_ = 0;
    }
    int readSerial(uint8_t* buffer, int maxCount) override {
        const size_t count =
            std::min({static_cast<size_t>(std::max(maxCount, 0)),
                      static_cast<size_t>(InstructionReader::bufferSize), bytes_.size() - pos_});
        std::memcpy(buffer, bytes_.data() + pos_, count);
        pos_ += count;
        return static_cast<int>(count);
    }
    int serialOutputWaiting() override { return 0; }
    int writeSerial(const char* text) override { return static_cast<int>(std::strlen(text)); }

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

// Every call into the plotting core is here: the page, the reader and the
// interpreter driven through plot runs as a session drives them. The log
// file is never opened, so it writes nothing.
struct Renderer::Core {
    InputLink link;
    LogFile log;
    InstructionReader reader{link, log};
    Drawing drawing;
    Interpreter interpreter{reader, drawing, link, log, nullptr};
    std::unique_ptr<PageFont> font;
    bool fontTried = false;
    std::unique_ptr<PageImage> page;
    bool clearPending = false;

    void useFont() {
        if (!fontTried) font = loadLabelFont();
        fontTried = true;
    }
    void clearPage() {
        drawing.beginDrawing(*page);
        drawing.fillBox(0, 0, pageWidth, 640, penColours[0]);
        drawing.endDrawing();
    }
    // One run until the bytes run out, as after the line fell silent: the
    // pen down at (0,0) in black. As on the plotter, a new page is cleared
    // when the next run starts.
    void run(std::string_view bytes, RenderCounts& counts) {
        if (clearPending) clearPage();
        clearPending = false;
        drawing.beginDrawing(*page);
        drawing.selectFont(font.get());
        interpreter.setDefaults();
        reader.startRun();
        link.load(bytes);
        interpreter.instructionCount = 0;
        interpreter.ignoredCount = 0;
        interpreter.runInstructionLoop();
        counts.instructions += interpreter.instructionCount;
        counts.ignored += interpreter.ignoredCount;
        drawing.endDrawing();
    }
};

Renderer::Renderer() : core_(std::make_unique<Core>()) {}
Renderer::~Renderer() = default;

bool Renderer::prepare() {
    core_->page = createPageImage(pageWidth, pageHeight, 24);
    return core_->page != nullptr;
}

bool Renderer::render(std::string_view input, const PageSink& write) {
    counts_ = {};
    core_->clearPage();
    core_->clearPending = false;
    // Every record and page marker holds "****": without it the input is
    // one run, drawn where it lies rather than copied by the splitter.
    if (input.find("****") == std::string_view::npos) {
        if (input.find("LB") != std::string_view::npos ||
            input.find("CP") != std::string_view::npos) {
            core_->useFont();
        }
        if (!input.empty()) core_->run(input, counts_);
        if (!write(*core_->page, std::nullopt)) return false;
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
            core_->clearPending = true;
        } else {
            if (!write(*core_->page, step.pageNumber)) return false;
            ++counts_.pages;
            unsaved = false;
        }
    }
    if (!unsaved) return true;
    if (!write(*core_->page, std::nullopt)) return false;
    ++counts_.pages;
    return true;
}

} // namespace plotanix
