#include "shell/plot_run.h"

#include "shell/line_watch.h"

namespace plotanix {

PlotRun::PlotRun(PlotSession& session, LineWatch& line, std::function<void()> beforeRead)
    : session_(session), line_(line), beforeRead_(std::move(beforeRead)),
      timing_(Clock::now(), static_cast<int>(transcript::chunkSize)) {
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
}

void PlotRun::onLineData() {
    const int got = line_.take(std::span(chunk_).subspan(held_));
    if (got < 0) {
        end();
        return;
    }
    if (got == 0) return;
    held_ += static_cast<size_t>(got);
    const Clock::time_point now = Clock::now();
    timing_.byteArrived(now);
    if (held_ < chunk_.size()) return;
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
