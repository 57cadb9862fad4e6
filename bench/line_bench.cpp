// The line end to end in process, as both modes run it: the watch on the
// device, a plot run in the one loop, the session and the 7470A model.
// - How soon a query sent on the bus is answered through the simulated
//   USB-GPIB adapter: an AR488 hands the computer a reply only if it is
//   waiting when the computer addresses it to talk (ENTER 705 right after
//   OUTPUT 705), so this is the time the computer must leave between them.
// - How many bytes a second the program takes from a pseudo-terminal, plain
//   and through the adapter, against the 11,520 a second a 115200-baud 8N1
//   wire carries (a pseudo-terminal has no wire: it shows the headroom).

#include "support/adapter_on_usb.h"
#include "support/plotter_on_line.h"
#include "support/pty_pair.h"
#include "support/temp_dir.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>

using namespace plotanix;
using namespace std::chrono_literals;

namespace {

const LineSettings fastLine{115200, 8, Parity::none, 1};
constexpr int address = 5;

// The plotter on its own thread: plot runs one after another until told to
// stop (the run then in progress ends at the line's silence).
class RunningPlotter {
  public:
    RunningPlotter(const std::string& device, std::optional<GpibSettings> gpib) {
        plotter_.line.useAdapter(gpib);
        opened_ = plotter_.line.open(device, fastLine);
        if (opened_)
            thread_ = std::thread([this] {
                while (!stop_)
                    plotter_.plot();
            });
    }
    ~RunningPlotter() {
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

// ENTER 705 asked again and again until the reply is there.
std::string readReply(testing::AdapterOnUsb& adapter) {
    while (true) {
        const auto talk =
            adapter.look([](sim::SimulatedAdapter& a) { return a.computerReads(address); });
        if (!talk.bytes.empty()) return talk.bytes;
        std::this_thread::sleep_for(20us);
    }
}

void BM_ReplyThroughTheAdapter(benchmark::State& state) {
    testing::AdapterOnUsb adapter;
    RunningPlotter plotter(adapter.path(), GpibSettings{GpibSettings::Role::device, address});
    if (!plotter.opened()) return state.SkipWithError("the adapter's port did not open");
    double slowest = 0;
    for (auto _ : state) {
        const auto sent = Clock::now();
        adapter.look([](sim::SimulatedAdapter& a) { a.computerSends(address, "OI;\r\n"); });
        benchmark::DoNotOptimize(readReply(adapter));
        const double seconds = std::chrono::duration<double>(Clock::now() - sent).count();
        slowest = std::max(slowest, seconds);
        state.SetIterationTime(seconds);
    }
    state.counters["slowest_ms"] = slowest * 1000;
}

// The demo drawing, sent whole many times, then OI; whose answer says
// every byte before it was taken.
std::string manyDrawings() {
    const std::string drawing = testing::readFile(PLOTANIX_SOURCE_DIR "/tools/demo_drawing.hpgl");
    std::string bytes;
    for (int i = 0; i < 256; ++i)
        bytes += drawing;
    return bytes;
}

void BM_PlotBytesPlain(benchmark::State& state) {
    const std::string bytes = manyDrawings();
    testing::PtyPair pair;
    RunningPlotter plotter(pair.slavePath(), std::nullopt);
    if (!plotter.opened()) return state.SkipWithError("the pseudo-terminal did not open");
    for (auto _ : state) {
        pair.writeMaster(bytes + "OI;", 60s);
        if (!pair.readMasterUntil("7470A\r", 60s).ends_with("7470A\r"))
            return state.SkipWithError("no answer");
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes.size()));
}

void BM_PlotBytesThroughTheAdapter(benchmark::State& state) {
    const std::string bytes = manyDrawings();
    testing::AdapterOnUsb adapter;
    RunningPlotter plotter(adapter.path(), GpibSettings{GpibSettings::Role::device, address});
    if (!plotter.opened()) return state.SkipWithError("the adapter's port did not open");
    for (auto _ : state) {
        // In lines, as OUTPUT sends them; the adapter's lock is let go
        // between them.
        for (size_t at = 0; at < bytes.size(); at += 1024)
            adapter.look([&](sim::SimulatedAdapter& a) {
                a.computerSends(address, std::string_view(bytes).substr(at, 1024));
            });
        adapter.look([](sim::SimulatedAdapter& a) { a.computerSends(address, "OI;\r\n"); });
        benchmark::DoNotOptimize(readReply(adapter));
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes.size()));
}

} // namespace

BENCHMARK(BM_ReplyThroughTheAdapter)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlotBytesPlain)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlotBytesThroughTheAdapter)->UseRealTime()->Unit(benchmark::kMillisecond);
