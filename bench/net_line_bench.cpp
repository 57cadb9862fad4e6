// A network line end to end in process, as both modes run it: the plotter
// connects to a host on the loopback, as to DOSBox or a serial server.
// - How many bytes a second the program takes over TCP (the whole demo
//   drawing many times, then OI; whose answer says every byte was taken).
// - How soon OI; is answered: the time from the query's last byte to the
//   reply's.

#include "support/loopback.h"
#include "support/plotter_on_line.h"
#include "support/temp_dir.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>

using namespace plotanix;
using namespace std::chrono_literals;

namespace {

// The plotter on its own thread, connected to the host's server: plot runs
// one after another until told to stop.
class PlotterOverTcp {
  public:
    explicit PlotterOverTcp(const std::string& line) {
        opened_ = plotter_.line.open(line, {});
        if (opened_)
            thread_ = std::thread([this] {
                while (!stop_)
                    plotter_.plot();
            });
    }
    ~PlotterOverTcp() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    bool opened() const { return opened_; }

  private:
    testing::PlotterOnLine plotter_{PlotterModel::hp7470a};
    bool opened_ = false;
    std::atomic<bool> stop_ = false;
    std::thread thread_;
};

// Until the reply has come whole.
bool answered(int host) {
    return testing::receive(host, 6, 10s).ends_with("7470A\r");
}

void BM_PlotBytesOverTcp(benchmark::State& state) {
    const std::string drawing = testing::readFile(PLOTANIX_SOURCE_DIR "/tools/demo_drawing.hpgl");
    std::string bytes;
    for (int i = 0; i < 256; ++i)
        bytes += drawing;
    testing::LoopbackServer server;
    PlotterOverTcp plotter(server.name());
    const UniqueFd host = server.accept();
    if (!plotter.opened() || !host) return state.SkipWithError("no connection");
    for (auto _ : state) {
        if (!testing::sendAll(host.get(), bytes + "OI;") || !answered(host.get()))
            return state.SkipWithError("no answer");
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes.size()));
}

void BM_ReplyOverTcp(benchmark::State& state) {
    testing::LoopbackServer server;
    PlotterOverTcp plotter(server.name());
    const UniqueFd host = server.accept();
    if (!plotter.opened() || !host) return state.SkipWithError("no connection");
    double slowest = 0;
    for (auto _ : state) {
        const auto sent = Clock::now();
        if (!testing::sendAll(host.get(), "OI;") || !answered(host.get()))
            return state.SkipWithError("no answer");
        const double seconds = std::chrono::duration<double>(Clock::now() - sent).count();
        slowest = std::max(slowest, seconds);
        state.SetIterationTime(seconds);
    }
    state.counters["slowest_ms"] = slowest * 1000;
}

} // namespace

BENCHMARK(BM_PlotBytesOverTcp)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReplyOverTcp)->UseManualTime()->Unit(benchmark::kMillisecond);
