// A page of 2,000 pen-stroke labels through the 7470A model: reader, model,
// stroke layout, clipping and rasteriser together, as a host would send it.

#include "support/in_process_plot.h"

#include <benchmark/benchmark.h>

#include <string>

using namespace plotanix;

namespace {

// Ten-character labels at the default size in three directions and five
// slants, spread over the letter page.
std::string pageOfLabels() {
    std::string s = "IN;SP1;";
    for (int i = 0; i < 2000; ++i) {
        s += "PA" + std::to_string(100 + (i * 37) % 9000) + "," +
             std::to_string(200 + (i * 53) % 7000) + ";";
        if (i % 3 == 0 || i % 5 == 0)
            s += "DI1," + std::to_string(i % 3) + ";SL0." + std::to_string(i % 5) + ";";
        s += "LBY = 12.5mV\x03";
    }
    return s;
}

void BM_Hp7470aPageOfLabels(benchmark::State& state) {
    const std::string stream = pageOfLabels();
    plotanix::testing::InProcessPlot plot(nullptr, PlotterModel::hp7470a);
    plot.session.useFont(nullptr);
    for (auto _ : state) {
        plot.session.newPage();
        plot.feed(stream);
        plot.run();
    }
    state.SetItemsProcessed(state.iterations() * 2000);
    state.SetLabel("labels");
}

} // namespace

BENCHMARK(BM_Hp7470aPageOfLabels)->Unit(benchmark::kMillisecond);
