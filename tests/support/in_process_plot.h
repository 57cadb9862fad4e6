#pragma once
// Plot runs in the test process, wired as the plotter wires them: a fake
// line fed in chunks, the reader, the interpreter, the page with the label
// font, and the transcript when asked for. Header-only: the benchmarks use
// it too.

#include "hpgl/interpreter.h"
#include "hpgl/reader.h"
#include "logfile/log_file.h"
#include "page/drawing.h"
#include "page/label_font.h"
#include "support/fake_link.h"
#include "support/temp_dir.h"

#include <memory>
#include <string_view>

namespace plotanix::testing {

// Loaded once per process: loading dominates a short run.
inline const PageFont* labelFont() {
    static const std::unique_ptr<PageFont> font = loadFont("Courier New", 12);
    return font.get();
}

class InProcessPlot {
  public:
    // Draws on the given page, or on a white page of its own.
    explicit InProcessPlot(PageImage* page = nullptr, StatusLine* status = nullptr)
        : ownPage_(page != nullptr ? nullptr : createPageImage(800, 600, 24)),
          page(page != nullptr ? *page : *ownPage_),
          interpreter(reader, drawing, link, log, status) {
        if (page == nullptr) clearPage();
    }
    InProcessPlot(const InProcessPlot&) = delete;
    InProcessPlot& operator=(const InProcessPlot&) = delete;

    // The stream as the line hands it over: one read per chunk.
    void feed(std::string_view stream, std::size_t chunkSize = 4096) {
        for (std::size_t at = 0; at < stream.size(); at += chunkSize)
            link.add(std::string(stream.substr(at, chunkSize)));
    }
    // One run over what was fed, until the line falls silent: the pen down
    // at (0,0) in black, the counters from 0. The drawing stays open, so a
    // test can measure text afterwards.
    InProcessPlot& run() {
        drawing.beginDrawing(page);
        drawing.selectFont(labelFont());
        interpreter.setDefaults();
        interpreter.instructionCount = interpreter.ignoredCount = 0;
        reader.startRun();
        interpreter.runInstructionLoop();
        return *this;
    }
    InProcessPlot& run(std::string_view stream) {
        feed(stream);
        return run();
    }
    void clearPage() {
        Drawing paper;
        paper.beginDrawing(page);
        paper.fillBox(0, 0, 800, 640, penColours[0]);
    }
    // The transcript goes to a file of its own from now on; transcript()
    // closes it and reads it back.
    void keepTranscript() {
        directory_ = std::make_unique<TempDir>();
        log.openLog(directory_->file("PLOTTER.TXT"));
    }
    std::string transcript() {
        log.closeLog();
        return directory_ ? readFile(directory_->file("PLOTTER.TXT")) : std::string();
    }

  private:
    std::unique_ptr<PageImage> ownPage_;
    std::unique_ptr<TempDir> directory_;

  public:
    PageImage& page;
    FakeLink link;
    LogFile log;
    InstructionReader reader{link, log};
    Drawing drawing;
    Interpreter interpreter;
};

// Pixels that are not paper white.
inline int inkedPixels(const PageImage& page) {
    int count = 0;
    for (int y = 0; y < page.height; ++y) {
        for (int x = 0; x < page.width; ++x)
            count += page.pixel(x, y) != penColours[0] ? 1 : 0;
    }
    return count;
}

} // namespace plotanix::testing
