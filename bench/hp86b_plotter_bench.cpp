// Throughput of the plotting path: reader, the HP-86B model and page together,
// in bytes of HP-GL per second, for a stream of lines and one of labels.

#include "support/in_process_plot.h"

#include <benchmark/benchmark.h>
#include <string>

using namespace plotanix;

namespace {

std::string lineStream(size_t bytes) {
    std::string s = "SP1;PU0,0;";
    for (int i = 0; s.size() < bytes; ++i) {
        s += "PD" + std::to_string((i * 37) % 640) + "," + std::to_string((i * 91) % 480) + ";";
        if (i % 7 == 0) s += "SP" + std::to_string(1 + i % 9) + ";";
    }
    return s;
}

std::string labelStream(size_t bytes) {
    std::string s = "SP1;";
    for (int i = 0; s.size() < bytes; ++i) {
        s += "PU" + std::to_string((i * 53) % 600) + "," + std::to_string((i * 29) % 460) + ";";
        if (i % 5 == 0) s += "DI" + std::to_string(i % 3) + ",1;";
        s += "LBLabel " + std::to_string(i) + "\x03;";
    }
    return s;
}

void plotStream(benchmark::State& state, const std::string& stream) {
    plotanix::testing::InProcessPlot plot; // no transcript: measured elsewhere
    for (auto _ : state) {
        plot.session.newPage();
        plot.feed(stream, 256);
        plot.run();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
}

void BM_PlotLines(benchmark::State& state) {
    plotStream(state, lineStream(1 << 20));
}
void BM_PlotLabels(benchmark::State& state) {
    plotStream(state, labelStream(1 << 18));
}

} // namespace

BENCHMARK(BM_PlotLines)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlotLabels)->Unit(benchmark::kMillisecond);
