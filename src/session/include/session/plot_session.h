#pragma once
// One plot session: the page, the plotter model and what ties them to the
// line and the transcript. Every mode of the program (the interactive
// plotter, the renderer, the fuzzer, the tests) plots through this one
// object, so a plot run means the same everywhere: clear the page when a
// new page was asked for, feed the model the line's bytes on the caller's
// thread until the line falls silent.
//
// The page depends on the bytes, never on their timing: the model reads
// one stream across every run of the session, and a run ending at silence
// is only a moment to show and save the page. An instruction cut by the
// silence goes on with the next run's bytes; the model's state carries over;
// only a new page starts the model's page afresh (and the HP-86B model
// altogether: an instruction left open by the last plot is forgotten).

#include "hpgl/byte_link.h"
#include "hpgl/plotter.h"
#include "page/display_list.h"
#include "page/drawing.h"
#include "page/page_image.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace plotanix {

class LogFile;
class PageFont;

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

    // --fit: the 7470A and HP-GL/2 models draw on past the paper's edge
    // (the picture still cuts the raster; the queries answer as ever), the
    // list keeps the whole drawing, and a page whose drawing ran off the
    // paper has its saved copies drawn again fitted onto the page.
    void fitCopies(bool on);
    bool fitsCopies() const { return fit_; }
    // Whether --fit fits this page's drawing: the model in use is the
    // 7470A or HP-GL/2.
    bool fitApplies() const;
    // The placement this page's saved copies are drawn through (page_fit.h),
    // when they are fitted: --fit, a 7470A or HP-GL/2 drawing that ran off
    // the paper, and a list that holds all of it.
    std::optional<Drawing::Placement> fitting() const;

    // Labels are drawn in this font (nullptr: labels are not drawn).
    void useFont(const PageFont* font);

    // "Insert new page": the page is cleared, and the model starts its new
    // page, when the next run starts.
    void newPage() { newPagePending_ = true; }
    // Told when the model advances the page itself (HP-GL/2's PG, a
    // printer's form feed), where that instruction stands in the stream;
    // kept when the model restarts. Unset, a printer prints its next page
    // on below the last, so that no page is lost.
    void onPageAdvance(std::function<void()> hook) { pageAdvance_ = std::move(hook); }
    // Blank paper now; the model starts its new page with the next run.
    void blankPage();
    // Another drawing altogether (the renderer's next file): blank paper and
    // the model as at power-on, reading a new stream.
    void startAfresh();

    // One plot run, as the program runs it: beginRun, the line's bytes as
    // each read hands them over (each chunk of at most a transcript chunk
    // goes to the transcript, then to the model), endRun when the line has
    // fallen silent. The transcript's held bytes are written at endRun, so
    // the file is complete between runs, and the page is up to date then.
    void beginRun();
    void feed(std::span<const uint8_t> bytes);
    // feed in two steps, for a caller that hands the model a chunk in
    // slices between other work: the chunk into the transcript, then its
    // bytes to the model, in order, in pieces of any size.
    void logChunk(std::span<const uint8_t> chunk);
    // The page is up to date when it returns.
    void feedModel(std::span<const uint8_t> bytes);
    // The same, stopping where an instruction begins once goOn says so (it
    // is asked there, and at no other byte): the bytes fed, at least one.
    // Where it stops hangs on the time, what is drawn on the bytes alone.
    size_t feedModelWhile(std::span<const uint8_t> bytes, const std::function<bool()>& goOn);
    RunResult endRun();
    // This run's counts so far.
    RunResult counts() const { return plotter_->counts(); }

    // Bytes read back from a transcript: fed as the line's, but the records
    // the session writes for the model are taken out of them where they were
    // written (after the chunk that held the instruction), and nothing is
    // logged.
    void replay(std::string_view transcriptBytes);
    // Told each record the session writes to the transcript for an
    // instruction the model did not know, as it writes it.
    void watchRecords(std::function<void(std::string_view)> watcher) {
        recordWatcher_ = std::move(watcher);
    }
    // Told the mnemonic of each instruction the model did not know, where
    // it stands in the stream (the renderer tells the dialect by it).
    void watchUnknown(std::function<void(std::string_view)> watcher) {
        unknownWatcher_ = std::move(watcher);
    }
    // The stream is over (a file read to its end): the model finishes the
    // instruction it was reading as far as its bytes go. Nothing is taken
    // after this.
    void endStream();
    // The model as at power-on, reading a new stream, on the page as it
    // stands (the fuzzer's fresh start for each input, without the cost of
    // blank paper).
    void restartPlotter() { makeModel(); }
    // The model's word for the operator on how it reads the computer's
    // stream (the HP-86B model's remedy for CR LF line ends); empty for none.
    std::string_view hint() const { return plotter_->hint(); }

    // Why nothing shows on the page, for the operator after "nothing drawn:
    // " ("no pen was selected (SP0 or no SP) while drawing"); empty when
    // something does. Asked of the page since it was last made blank.
    std::string blankReason() const;
    // Whether part of this page's drawing was cut at the paper's edge (on
    // the HP-86B's page, ran off the picture).
    bool ranOffPaper() const;
    // Whether the pen was asked to draw anything on this page.
    bool drawingAsked() const;

    Drawing& drawing() { return drawing_; }
    Plotter& plotter() { return *plotter_; }
    PlotterModel model() const { return model_; }

  private:
    void makeModel();
    // The page is blank: what the pen does from now on is this page's.
    void pageBegins();
    // The page made again, blank, at a printer's size (the same object, so
    // that those showing it keep it).
    PageImage* remakePage(int32_t width, int32_t height, int32_t depth);
    // The page all paper, whatever it holds.
    void blankImage();
    // The model did not know this instruction: its record goes into the
    // transcript (or, replaying, is looked for in the bytes ahead).
    void recordUnknown(std::string_view mnemonic);

    ByteLink& link_;
    LogFile& log_;
    StatusLine* status_;
    PlotterModel model_;
    Paper paper_;
    Drawing drawing_;
    std::unique_ptr<Plotter> plotter_;
    std::unique_ptr<PageImage> page_;
    std::unique_ptr<DisplayList> list_;
    const PageFont* font_ = nullptr;
    bool newPagePending_ = false;
    bool pageStarted_ = false;
    bool fit_ = false;
    // The counts as they stood when the page was last made blank.
    PenTally tallyFrom_;
    int64_t offPaperFrom_ = 0;
    Drawing::LineTally linesFrom_;
    std::function<void()> pageAdvance_;
    bool streamEnded_ = false;
    std::function<void(std::string_view)> recordWatcher_;
    std::function<void(std::string_view)> unknownWatcher_;
    // While replaying: the records due, and the bytes fed when each was due.
    struct DueRecord {
        std::string text;
        size_t at;
    };
    std::deque<DueRecord>* replayDue_ = nullptr;
    size_t replayed_ = 0;
};

} // namespace plotanix
