#pragma once
// Plot runs in the test process through the session, as every mode of the
// program runs them: the line's reads fed in chunks, replies to a fake line, the label font, and
// the transcript kept in memory when asked for. Header-only: the benchmarks and the fuzzer use it
// too.

#include "hp86b/hp86b_plotter.h"
#include "logfile/log_file.h"
#include "models/models.h"
#include "page/drawing.h"
#include "page/label_font.h"
#include "session/plot_session.h"
#include "support/fake_link.h"

#include <memory>
#include <string_view>
#include <utility>
#include <vector>

namespace plotanix::testing {

// Loaded once per process: loading dominates a short run.
inline const PageFont* labelFont() {
    static const std::unique_ptr<PageFont> font = loadFont("Courier New", 12);
    return font.get();
}

// The label font's cell for text: width and height in pixels.
inline std::pair<int32_t, int32_t> textCell(std::string_view text) {
    PageImage scratch{1, 1, 24, 4, std::vector<uint8_t>(4)};
    Drawing drawing;
    drawing.beginDrawing(scratch);
    drawing.selectFont(labelFont());
    return {drawing.textWidth(text), drawing.textHeight(text)};
}

// One plot run as the program's plot run makes it: the session fed each
// read of the line whole, in order, then told the line fell silent.
inline RunResult runReads(PlotSession& session, const std::vector<std::string>& reads) {
    session.beginRun();
    for (const std::string& read : reads)
        session.feed({reinterpret_cast<const uint8_t*>(read.data()), read.size()});
    return session.endRun();
}

class InProcessPlot {
  public:
    explicit InProcessPlot(StatusLine* status = nullptr, PlotterModel model = PlotterModel::hp86b,
                           Paper paper = Paper::letter)
        : session(link, log, status, model, paper) {
        session.createPage();
        session.useFont(labelFont());
    }

    // The stream as the line hands it over: one read per chunk.
    void feed(std::string_view stream, std::size_t chunkSize = 4096) {
        for (std::size_t at = 0; at < stream.size(); at += chunkSize)
            reads_.emplace_back(stream.substr(at, chunkSize));
    }
    // One read of the line.
    void add(std::string read) { reads_.push_back(std::move(read)); }
    // One run over what was fed, until the line falls silent: each read
    // handed to the session as the program's plot run hands it over.
    InProcessPlot& run() {
        result = runReads(session, reads_);
        reads_.clear();
        return *this;
    }
    // The stream is over: an instruction cut by it is carried out as far as it goes.
    InProcessPlot& end() {
        session.endStream();
        return *this;
    }
    InProcessPlot& run(std::string_view stream) {
        feed(stream);
        return run();
    }
    void keepTranscript() { log.openMemory(kept_); }
    const std::string& transcript() {
        log.flushLog();
        return kept_;
    }

    const PageImage& page() const { return session.page(); }
    Hp86bPlotter& hp86b() { return static_cast<Hp86bPlotter&>(drawingModel(session.plotter())); }
    const PlotterState& state() { return hp86b().state; }

  private:
    std::string kept_;
    std::vector<std::string> reads_;

  public:
    FakeLink link;
    LogFile log;
    PlotSession session;
    RunResult result;
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
