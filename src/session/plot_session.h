#pragma once
// One plot session: the page, the plotter model, the reader and what ties
// them to the line and the transcript. Every mode of the program (the
// interactive plotter, the renderer, the fuzzer, the tests) plots through
// this one object, so a plot run means the same everywhere: clear the page
// when a new page was asked for, let the model start its run, take
// instructions until the line falls silent.

#include "hpgl/byte_link.h"
#include "hpgl/hp7470a.h"
#include "hpgl/plotter.h"
#include "hpgl/reader.h"
#include "page/display_list.h"
#include "page/drawing.h"
#include "page/page_image.h"

#include <cstdint>
#include <memory>

namespace plotanix {

class LogFile;
class PageFont;

// Which plotter the session behaves as: the HP-86B's own plotter (thirteen
// instructions, plotter units one to one on the page), or a real HP 7470A
// for any host.
enum class PlotterModel { hp86b, hp7470a };

// How a run went: the counts of instructions taken and of those ignored.
struct RunResult {
    int32_t instructions = 0;
    int32_t ignored = 0;
};

class PlotSession {
  public:
    static constexpr int32_t pageWidth = 800;
    static constexpr int32_t pageHeight = 600;

    // The transcript gets every byte read (a closed log writes nothing);
    // status, when given, shows the counters as the run goes.
    PlotSession(ByteLink& link, LogFile& log, StatusLine* status = nullptr,
                PlotterModel model = PlotterModel::hp86b, Paper paper = Paper::letter);
    ~PlotSession();
    PlotSession(const PlotSession&) = delete;
    PlotSession& operator=(const PlotSession&) = delete;

    // The page, blank. False when the image cannot be made (memory is short).
    bool createPage();
    bool hasPage() const { return page_ != nullptr; }
    const PageImage& page() const { return *page_; }

    // What is drawn is also kept as a list of strokes, boxes and labels
    // since the page was last cleared, for vector copies. Off by default.
    void keepDisplayList(bool on);
    const DisplayList* displayList() const { return list_.get(); }

    // Labels are drawn in this font (nullptr: labels are not drawn).
    void useFont(const PageFont* font) { font_ = font; }

    // The page is cleared when the next run starts.
    void newPage() { newPagePending_ = true; }
    // Blank paper now, for a new drawing on the same session.
    void blankPage();

    // One plot run, until the line falls silent. The transcript's held
    // bytes are written when it ends, so the file is complete between runs.
    // A resumed run goes on from the plotter's state where the last one
    // stopped, for a plot whose computer paused mid-plot (unattended
    // capture within the page gap); a fresh one starts the model's run.
    enum class Start { fresh, resumed };
    RunResult run(Start start = Start::fresh);

    // The plotter model as at power-on, on the page as it stands (the
    // fuzzer's fresh start for each input, without the cost of a new page).
    void restartPlotter();

    InstructionReader& reader() { return reader_; }
    Drawing& drawing() { return drawing_; }
    Plotter& plotter() { return *plotter_; }
    PlotterModel model() const { return model_; }

  private:
    ByteLink& link_;
    LogFile& log_;
    StatusLine* status_;
    PlotterModel model_;
    Paper paper_;
    InstructionReader reader_;
    Drawing drawing_;
    std::unique_ptr<Plotter> plotter_;
    std::unique_ptr<PageImage> page_;
    std::unique_ptr<DisplayList> list_;
    const PageFont* font_ = nullptr;
    bool newPagePending_ = false;
};

} // namespace plotanix
