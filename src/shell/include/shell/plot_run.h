#pragma once
// One plot run inside the loop, in both modes: the line's bytes cut into
// chunks as a read of the line cuts them (at 256 bytes, or 100 ms after the
// latest byte, or when the read's own time is up; through a USB-GPIB
// adapter at an address, as the bytes come), each chunk handed to the
// session whole; the run ends when a whole read's time passes with nothing,
// when the line is lost, or when the program is to end. So the transcript,
// the records in it and the counters are those of a run that reads the
// line itself.
//
// A chunk goes into the transcript whole, then to the model: the run looks
// at the clock as each instruction begins, and once the turn's work has
// taken its budget it gives the loop its turn (keys, the window, signals)
// and feeds the rest on the next turn, in order, before it reads the line
// again. Where a turn ends hangs on the time; what is drawn does not.

#include "logfile/transcript_format.h"
#include "serial/serial_link.h"
#include "session/plot_session.h"
#include "shell/event_loop.h"

#include <array>
#include <chrono>
#include <functional>
#include <optional>

namespace plotanix {

class LineWatch;

class PlotRun : public Activity {
  public:
    // The run begins at once, its first read at the loop's first turn.
    // beforeRead is called as each read of the line begins, with the loop's
    // time (the status line shows the counts held back), plotted
    // after each chunk has been plotted (the page may have changed; the
    // model waits for the next chunk, so the page may be read).
    PlotRun(PlotSession& session, LineWatch& line,
            std::function<void(Clock::time_point now)> beforeRead = {},
            std::function<void()> plotted = {});

    bool done() const override { return ended_; }
    bool readsLine() const override { return true; }
    void onLineData(Clock::time_point now) override;
    void onLineLost() override { end(); }
    std::optional<Clock::time_point> deadline() const override;
    void onTime(Clock::time_point now) override;

    // Ends the run now, if it has not ended; the run's counts. The bytes
    // held go into the transcript; the model draws them, or (at the
    // program's ending) what it can of them within budget.
    RunResult end(std::optional<Clock::duration> budget = std::nullopt);
    // Of the bytes held at the end, those the model did not draw in its budget.
    size_t undrawn() const { return undrawn_; }
    // How long the model may go on drawing when the program is to end.
    static constexpr std::chrono::milliseconds endingBudget{500};
    // When the line's last byte came, if any did.
    std::optional<Clock::time_point> lastByte() const { return lastByte_; }

    // How long the run feeds the model in one turn of the loop.
    static constexpr std::chrono::milliseconds turnBudget{20};

  private:
    void startRead(Clock::time_point now);
    void handOver(Clock::time_point now);
    // Feeds the chunk until it is all fed or the turn is over; once it is
    // all fed, the next read begins.
    void feedSlices(Clock::time_point now);
    // Feeds until the chunk is fed (true) or the time has come.
    bool feedUntil(Clock::time_point until, Clock::time_point& now);
    bool feeding() const { return handedOver_ && fed_ < inChunk_; }

    PlotSession& session_;
    LineWatch& line_;
    std::function<void(Clock::time_point now)> beforeRead_;
    std::function<void()> plotted_;
    std::array<uint8_t, transcript::chunkSize> chunk_{};
    size_t inChunk_ = 0;      // the bytes read into chunk_ so far
    bool handedOver_ = false; // the chunk is in the transcript, being fed
    size_t fed_ = 0;          // of the chunk handed over, the bytes the model has had
    bool reading_ = false;    // the first read has begun
    ReadTiming timing_{Clock::time_point{}, static_cast<int>(transcript::chunkSize)};
    bool ended_ = false;
    size_t undrawn_ = 0;
    RunResult result_;
    std::optional<Clock::time_point> lastByte_;
};

} // namespace plotanix
