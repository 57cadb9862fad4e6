#pragma once
// A plotter model with the stream's dialect told beside it (StreamDialect).
// Holding the HP-86B or 7470A model, it gives the operator a hint naming the
// model that draws what this one ignores. Following the stream (--model
// auto), it reads as the HP-86B's plotter until the stream tells another
// model, then makes that model and feeds it the page's bytes from their
// start, so that the page is the one that model would have drawn from the
// start, however the bytes were cut. The choice only rises (hp86b, 7470a,
// pcl, then hpgl2 or escp) and holds for the rest of the program's run.

#include "hpgl/byte_link.h"
#include "hpgl/plotter.h"
#include "models/dialect.h"

#include <cstddef>
#include <memory>
#include <string>

namespace plotanix {

class ToldPlotter : public Plotter {
  public:
    // Past this many bytes on one page without a choice, the model in use
    // draws on for good: the page can no longer be drawn again from its start.
    static constexpr size_t keptMost = size_t(16) << 20;

    // follows: switch to the model the stream tells (--model auto); model
    // is then the HP-86B's.
    ToldPlotter(PlotterModel model, bool follows, Paper paper, const PlotterParts& parts);
    ~ToldPlotter() override;

    void startPage() override;
    void feed(std::span<const uint8_t> bytes) override;
    void settle() override { model_->settle(); }
    void endOfStream() override { model_->endOfStream(); }
    void lineSilent() override { model_->lineSilent(); }
    bool knows(std::string_view mnemonic) const override { return model_->knows(mnemonic); }
    std::optional<PageExtent> pageExtent() const override { return model_->pageExtent(); }
    bool penSelected() const override { return model_->penSelected(); }
    std::string_view hint() const override;
    void clipAtPaper(bool clip) override;
    int64_t offPaper() const override { return offPaperBefore_ + model_->offPaper(); }
    PenTally penTally() const override { return tallyBefore_ + model_->penTally(); }
    RunResult counts() const override { return model_->counts(); }
    void resetCounts() override;

    // The model drawing now, and the one underneath.
    PlotterModel inUse() const { return inUse_; }
    Plotter& model() { return *model_; }

  private:
    // The line as the model in use sees it: quiet while the page is drawn
    // again (the host had its replies when the bytes first came).
    class QuietLink : public ByteLink {
      public:
        explicit QuietLink(ByteLink& line) : line_(line) {}
        void waitOutputDrained() override {
            if (!quiet) line_.waitOutputDrained();
        }
        int writeSerial(std::string_view bytes) override {
            return quiet ? static_cast<int>(bytes.size()) : line_.writeSerial(bytes);
        }
        int writeSerialAfter(int32_t delayMs, std::string_view bytes) override {
            return quiet ? static_cast<int>(bytes.size()) : line_.writeSerialAfter(delayMs, bytes);
        }
        void replyComplete() override {
            if (!quiet) line_.replyComplete();
        }
        void requestFlowControl(FlowControl flow) override { line_.requestFlowControl(flow); }
        bool quiet = false;

      private:
        ByteLink& line_;
    };

    void make(PlotterModel model);
    void keep(std::span<const uint8_t> bytes);
    void switchTo(PlotterModel model);

    Drawing& drawing_;
    StatusLine* status_;
    Paper paper_;
    QuietLink link_;
    bool follows_;
    PlotterModel inUse_;
    std::unique_ptr<Plotter> model_;
    StreamDialect dialect_;
    bool ignored_ = false; // the model ignored an instruction
    // The 7470A model's own ignored instructions tell HP-GL/2: the two read
    // the same mnemonics, so a plot needs no second reading beside it.
    std::string ignoredHpgl2_;
    bool clip_ = true;
    bool drawingAgain_ = false;
    // Counted by the models given up, up to the page's start: the page's
    // own strokes are counted again as the page is drawn again.
    int64_t offPaperBefore_ = 0;
    PenTally tallyBefore_;
    int64_t pageOffPaper_ = 0; // at the page's start
    PenTally pageTally_;
    // The page's bytes while a choice may still come, and where this run
    // began among them.
    std::string kept_;
    size_t runStart_ = 0;
    bool keeping_ = true;
    std::string choice_;       // "model: hpgl2 (the stream uses HP-GL/2's PS)"
    mutable std::string hint_; // what hint() shows
};

} // namespace plotanix
