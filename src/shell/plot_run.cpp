#include "shell/plot_run.h"

#include "shell/line_watch.h"

namespace plotanix {

PlotRun::PlotRun(PlotSession& session, LineWatch& line, std::function<void()> beforeRead,
                 std::function<void()> plotted)
    : session_(session), line_(line), beforeRead_(std::move(beforeRead)),
      plotted_(std::move(plotted)), timing_(Clock::now(), static_cast<int>(transcript::chunkSize)) {
    session_.beginRun();
    startRead(Clock::now());
}

void PlotRun::startRead(Clock::time_point now) {
    if (beforeRead_) beforeRead_();
    held_ = 0;
    timing_ = ReadTiming(now, static_cast<int>(chunk_.size()));
}

void PlotRun::handOver() {
    session_.feed(std::span(chunk_).first(held_));
    held_ = 0;
    if (plotted_) plotted_();
}

void PlotRun::onLineData() {
    bool arrived = false;
    const int got = line_.take(std::span(chunk_).subspan(held_), &arrived);
    if (got < 0) {
        end();
        return;
    }
    // A byte that came with an error is dropped, yet it was the line's.
    if (arrived) {
        lastByte_ = Clock::now();
        timing_.byteArrived(*lastByte_);
    }
    held_ += static_cast<size_t>(got);
    // Through a USB-GPIB adapter the computer asks for a reply right after
    // its query, and an AR488 hands over only a reply already waiting: what
    // came is plotted at once, not after the line's pause.
    const bool answerNow = held_ > 0 && line_.repliesOnTheBus();
    if (held_ < chunk_.size() && !answerNow) return;
    handOver();
    startRead(Clock::now());
}

std::optional<Clock::time_point> PlotRun::deadline() const {
    if (ended_) return std::nullopt;
    return timing_.deadline();
}

// The read's time is up: its bytes are a chunk, and a read with none is the
// silence that ends the run.
void PlotRun::onTime(Clock::time_point now) {
    if (ended_ || now < timing_.deadline()) return;
    if (held_ == 0) {
        end();
        return;
    }
    handOver();
    startRead(Clock::now());
}

RunResult PlotRun::end() {
    if (ended_) return result_;
    ended_ = true;
    if (held_ > 0) handOver();
    result_ = session_.endRun();
    return result_;
}

} // namespace plotanix
