#include "shell/plot_run.h"

#include "shell/line_watch.h"

#include <algorithm>

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
    session_.logChunk(std::span(chunk_).first(held_));
    handedOver_ = true;
    fed_ = 0;
    feedSlices();
}

void PlotRun::feedSlices() {
    const Clock::time_point turnEnds = Clock::now() + turnBudget;
    while (feeding()) {
        const size_t count = std::min(slice_, held_ - fed_);
        const Clock::time_point start = Clock::now();
        session_.feedModel(std::span(chunk_).subspan(fed_, count));
        fed_ += count;
        const Clock::time_point now = Clock::now();
        // Slices are sized so that one takes a fraction of the turn.
        const Clock::duration took = now - start;
        if (took > Clock::duration(turnBudget) / 4) {
            slice_ = std::max<size_t>(slice_ / 4, 1);
        } else if (took < Clock::duration(turnBudget) / 64) {
            slice_ = std::min(slice_ * 2, chunk_.size());
        }
        if (now >= turnEnds) break;
    }
    if (feeding()) return;
    handedOver_ = false;
    held_ = fed_ = 0;
    line_.link().inputHandled();
    if (plotted_) plotted_();
    if (!ended_) startRead(Clock::now());
}

void PlotRun::onLineData() {
    if (feeding()) return feedSlices(); // the line waits until the chunk is fed
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
}

std::optional<Clock::time_point> PlotRun::deadline() const {
    if (ended_) return std::nullopt;
    if (feeding()) return Clock::time_point{}; // the rest of the chunk, at once
    return timing_.deadline();
}

// The read's time is up: its bytes are a chunk, and a read with none is the
// silence that ends the run.
void PlotRun::onTime(Clock::time_point now) {
    if (ended_) return;
    if (feeding()) return feedSlices();
    if (now < timing_.deadline()) return;
    if (held_ == 0) {
        end();
        return;
    }
    handOver();
}

// Every byte read is fed, the rest of a chunk being fed included.
RunResult PlotRun::end() {
    if (ended_) return result_;
    ended_ = true;
    if (!handedOver_) session_.logChunk(std::span(chunk_).first(held_));
    session_.feedModel(std::span(chunk_).subspan(fed_, held_ - fed_));
    held_ = fed_ = 0;
    handedOver_ = false;
    result_ = session_.endRun();
    line_.link().inputHandled();
    return result_;
}

} // namespace plotanix
