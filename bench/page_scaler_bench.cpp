// What one frame of the resized window costs: the page resampled to the
// window's size (the conversion to the window's pixels comes on top). At
// 25 frames a second a live window has 40 ms for each.

#include "output/page_scaler.h"
#include "page/page_image.h"

#include <benchmark/benchmark.h>

#include <random>

namespace plotanix {
namespace {

void resampledPage(benchmark::State& state) {
    const auto width = static_cast<int>(state.range(0));
    const int height = width * 3 / 4;
    auto page = createPageImage(800, 600, 24);
    std::mt19937 random(86);
    for (uint8_t& byte : page->pixels)
        byte = static_cast<uint8_t>(random());
    PageScaler scaler;
    std::size_t rows = 0;
    for (auto _ : state) {
        scaler.scale(*page, width, height, [&](int, const uint8_t* bgr) {
            benchmark::DoNotOptimize(bgr);
            ++rows;
        });
    }
    benchmark::DoNotOptimize(rows);
    state.SetLabel(std::to_string(width) + " x " + std::to_string(height));
}
// As opened, half, a little larger, twice, and a 1920 x 1440 maximised window.
BENCHMARK(resampledPage)
    ->ArgName("width")
    ->Arg(800)
    ->Arg(400)
    ->Arg(1000)
    ->Arg(1600)
    ->Arg(1920)
    ->Unit(benchmark::kMillisecond);

} // namespace
} // namespace plotanix
