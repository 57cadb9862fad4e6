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
    inChunk_ = 0;
    timing_ = ReadTiming(now, static_cast<int>(chunk_.size()));
}

void PlotRun::handOver() {
    session_.logChunk(std::span(chunk_).first(inChunk_));
    handedOver_ = true;
    fed_ = 0;
    feedSlices();
}

bool PlotRun::feedUntil(Clock::time_point until) {
    while (feeding()) {
        const size_t count = std::min(slice_, inChunk_ - fed_);
        const Clock::time_point start = Clock::now();
        session_.feedModel(std::span(chunk_).subspan(fed_, count));
        fed_ += count;
        const Clock::time_point now = Clock::now();
        // Slices are sized so that one takes a fraction of the turn.
        const Clock::duration took = now - start;
        if (took > Clock::duration(turnBudget) / 4) {
            slice_ = 1;
        } else if (took < Clock::duration(turnBudget) / 64) {
            slice_ = std::min(slice_ * 2, maxSlice);
        }
        if (now >= until) break;
    }
    return !feeding();
}

void PlotRun::feedSlices() {
    if (!feedUntil(Clock::now() + turnBudget)) return;
    handedOver_ = false;
    inChunk_ = fed_ = 0;
    line_.link().inputHandled();
    if (plotted_) plotted_();
    if (!ended_) startRead(Clock::now());
}

void PlotRun::onLineData() {
    if (feeding()) return feedSlices(); // the line waits until the chunk is fed
    bool arrived = false;
    const int got = line_.take(std::span(chunk_).subspan(inChunk_), &arrived);
    if (got < 0) {
        end();
        return;
    }
    // A byte that came with an error is dropped, yet it was the line's.
    if (arrived) {
        lastByte_ = Clock::now();
        timing_.byteArrived(*lastByte_);
    }
    inChunk_ += static_cast<size_t>(got);
    // Through a USB-GPIB adapter the computer asks for a reply right after
    // its query, and an AR488 hands over only a reply already waiting: what
    // came is plotted at once, not after the line's pause.
    const bool answerNow = inChunk_ > 0 && line_.repliesOnTheBus();
    if (inChunk_ < chunk_.size() && !answerNow) return;
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
    if (inChunk_ == 0) {
        end();
        return;
    }
    handOver();
}

// Every byte read goes into the transcript; the model draws them all, or
// what it can within the budget.
RunResult PlotRun::end(std::optional<Clock::duration> budget) {
    if (ended_) return result_;
    ended_ = true;
    if (!handedOver_) session_.logChunk(std::span(chunk_).first(inChunk_));
    handedOver_ = true;
    if (budget) {
        // A byte at a time: the clock is looked at after every instruction.
        slice_ = 1;
        feedUntil(Clock::now() + *budget);
    } else {
        feedUntil(Clock::time_point::max());
    }
    undrawn_ = inChunk_ - fed_;
    inChunk_ = fed_ = 0;
    handedOver_ = false;
    result_ = session_.endRun();
    line_.link().inputHandled();
    return result_;
}

} // namespace plotanix
