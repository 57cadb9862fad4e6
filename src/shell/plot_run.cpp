#include "shell/plot_run.h"

#include "shell/line_watch.h"

#include <utility>

namespace plotanix {

PlotRun::PlotRun(PlotSession& session, LineWatch& line,
                 std::function<void(Clock::time_point now)> beforeRead,
                 std::function<void()> plotted)
    : session_(session), line_(line), beforeRead_(std::move(beforeRead)),
      plotted_(std::move(plotted)) {
    session_.beginRun();
}

void PlotRun::startRead(Clock::time_point now) {
    if (beforeRead_) beforeRead_(now);
    inChunk_ = 0;
    timing_ = ReadTiming(now, static_cast<int>(chunk_.size()));
}

void PlotRun::handOver(Clock::time_point now) {
    session_.logChunk(std::span(chunk_).first(inChunk_));
    handedOver_ = true;
    fed_ = 0;
    feedSlices(now);
}

// The turn's budget is of work done, measured as it goes: the clock is
// looked at as each instruction begins. now ends as the time the feeding
// stopped.
bool PlotRun::feedUntil(Clock::time_point until, Clock::time_point& now) {
    if (!feeding()) return true;
    fed_ += session_.feedModelWhile(std::span(chunk_).subspan(fed_, inChunk_ - fed_),
                                    [&] { return Clock::now() < until; });
    now = Clock::now();
    return !feeding();
}

void PlotRun::feedSlices(Clock::time_point now) {
    if (!feedUntil(now + turnBudget, now)) return;
    handedOver_ = false;
    inChunk_ = fed_ = 0;
    line_.link().inputHandled();
    if (plotted_) plotted_();
    if (!ended_) startRead(now);
}

void PlotRun::onLineData(Clock::time_point now) {
    if (!reading_) startRead(now);
    reading_ = true;
    // The line waits until the chunk is fed, which is the run's own turn
    // (onTime): one slice of work a turn, whoever is woken.
    if (feeding()) return;
    bool arrived = false;
    const int got = line_.take(std::span(chunk_).subspan(inChunk_), &arrived);
    if (got < 0) {
        end();
        return;
    }
    // A byte that came with an error is dropped, yet it was the line's.
    if (arrived) {
        lastByte_ = now;
        timing_.byteArrived(now);
    }
    inChunk_ += static_cast<size_t>(got);
    // Through a USB-GPIB adapter the computer asks for a reply right after
    // its query, and an AR488 hands over only a reply already waiting: what
    // came is plotted at once, not after the line's pause.
    const bool answerNow = inChunk_ > 0 && line_.repliesOnTheBus();
    if (inChunk_ < chunk_.size() && !answerNow) return;
    handOver(now);
}

// The first read's time runs from the loop's first turn.
std::optional<Clock::time_point> PlotRun::deadline() const {
    if (ended_) return std::nullopt;
    if (!reading_ || feeding()) return Clock::time_point{}; // the rest of the chunk, at once
    return timing_.deadline();
}

// The read's time is up: its bytes are a chunk, and a read with none is the
// silence that ends the run.
void PlotRun::onTime(Clock::time_point now) {
    if (ended_) return;
    if (!reading_) {
        reading_ = true;
        return startRead(now);
    }
    if (feeding()) return feedSlices(now);
    if (now < timing_.deadline()) return;
    if (inChunk_ == 0) {
        end();
        return;
    }
    handOver(now);
}

// Every byte read goes into the transcript; the model draws them all, or
// what it can within the budget.
RunResult PlotRun::end(std::optional<Clock::duration> budget) {
    if (ended_) return result_;
    ended_ = true;
    if (!handedOver_) session_.logChunk(std::span(chunk_).first(inChunk_));
    handedOver_ = true;
    Clock::time_point now{};
    if (budget) {
        // The ending's budget is of work done, measured from here.
        now = Clock::now();
        feedUntil(now + *budget, now);
    } else {
        feedUntil(Clock::time_point::max(), now);
    }
    undrawn_ = inChunk_ - fed_;
    inChunk_ = fed_ = 0;
    handedOver_ = false;
    result_ = session_.endRun();
    line_.link().inputHandled();
    return result_;
}

} // namespace plotanix
