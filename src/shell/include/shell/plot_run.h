#pragma once
// One plot run inside the loop, in both modes: the line's bytes cut into
// chunks as a read of the line cuts them (at 256 bytes, or 100 ms after the
// latest byte, or when the read's own time is up; through a USB-GPIB
// adapter at an address, as the bytes come), each chunk handed to the
// session whole; the run ends when a whole read's time passes with nothing,
// when the line is lost, or when the program is to end. So the transcript,
// the records in it and the counters are those of a run that reads the
// line itself.

#include "logfile/transcript_format.h"
#include "serial/serial_link.h"
#include "session/plot_session.h"
#include "shell/event_loop.h"

#include <array>
#include <functional>

namespace plotanix {

class LineWatch;

class PlotRun : public Activity {
  public:
    // The run begins at once. beforeRead is called as each read of the
    // line begins (the status line shows the counts held back), plotted
    // after each chunk has been plotted (the page may have changed; the
    // model waits for the next chunk, so the page may be read).
    PlotRun(PlotSession& session, LineWatch& line, std::function<void()> beforeRead = {},
            std::function<void()> plotted = {});

    bool done() const override { return ended_; }
    bool readsLine() const override { return true; }
    void onLineData() override;
    void onLineLost() override { end(); }
    std::optional<Clock::time_point> deadline() const override;
    void onTime(Clock::time_point now) override;

    // Ends the run now, if it has not ended (the bytes held are plotted);
    // the run's counts.
    RunResult end();
    // When the line's last byte came, if any did.
    std::optional<Clock::time_point> lastByte() const { return lastByte_; }

  private:
    void startRead(Clock::time_point now);
    void handOver();

    PlotSession& session_;
    LineWatch& line_;
    std::function<void()> beforeRead_;
    std::function<void()> plotted_;
    std::array<uint8_t, transcript::chunkSize> chunk_{};
    size_t held_ = 0;
    ReadTiming timing_;
    bool ended_ = false;
    RunResult result_;
    std::optional<Clock::time_point> lastByte_;
};

} // namespace plotanix
