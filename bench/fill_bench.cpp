// One fill of a polygon of 262,000 edges on the page, the most the fills
// of a plot take: a zigzag of full-height teeth, each tooth a fraction of
// a pixel wide or a few pixels wide, and (what costs a fill the most) one
// whose every edge crosses the page. And one hatch fill, through the
// HP-GL/2 model, of the largest polygon its buffer holds.

#include "page/path_fill.h"
#include "support/in_process_plot.h"

#include <benchmark/benchmark.h>

#include <string>

namespace plotanix {
namespace {

struct Count : SpanSink {
    void span(int32_t, int32_t first, int32_t end) override { pixels += end - first; }
    int64_t pixels = 0;
};

// points teeth, step pixels along each, back and forth across the page.
Path zigzag(int points, double step) {
    Path path;
    double x = 10, dx = step;
    for (int i = 0; i < points; ++i) {
        if (x >= 790) dx = -step;
        if (x <= 10) dx = step;
        x += dx;
        path.points.push_back({x, i % 2 ? 20.0 : 580.0});
    }
    path.rings.push_back(static_cast<uint32_t>(points));
    return path;
}

void fillZigzag(benchmark::State& state, int points, double step) {
    const Path path = zigzag(points, step);
    const PixelRect page{0, 0, 800, 600};
    FillWork work;
    Path clipped;
    for (auto _ : state) {
        Count count;
        clipPath(path.view(), page, clipped, work);
        fillSpans(clipped.view(), page, work, count);
        benchmark::DoNotOptimize(count.pixels);
    }
}

BENCHMARK_CAPTURE(fillZigzag, 262000_edges_thin_teeth, 262000, 0.077)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(fillZigzag, 262000_edges_3_pixel_teeth, 262000, 3.0)
    ->Unit(benchmark::kMillisecond);
// The polygon buffer's most, every edge across the page.
BENCHMARK_CAPTURE(fillZigzag, 32768_edges_across_the_page, 32768, 800.0)
    ->Unit(benchmark::kMillisecond);

// The polygon buffer full: 32,767 full-height teeth a third of a plotter
// unit apart (dozens to a pixel), closed. Each fill is at a new angle, so
// that none repeats one before it (which would be passed over).
void hatchZigzag(benchmark::State& state, int type, double angle) {
    std::string plot = "IN;SP1;PA100,300;PM0;";
    for (int i = 0; i < 32766; ++i) {
        plot += i % 64 == 0 ? "PD" : ",";
        plot += std::to_string(100 + i * 10000 / 32767) + (i % 2 ? ",300" : ",7300");
    }
    plot += ";PM2;";
    testing::InProcessPlot model(nullptr, PlotterModel::hpgl2);
    model.run(plot);
    int fill = 0;
    for (auto _ : state) {
        const double at = angle + (++fill % 1000) * 1e-6;
        model.run("FT" + std::to_string(type) + ",13," + std::to_string(at) + ";FP;");
    }
}

BENCHMARK_CAPTURE(hatchZigzag, 32767_points_hatch_0_degrees, 3, 0.0)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(hatchZigzag, 32767_points_hatch_30_degrees, 3, 30.0)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(hatchZigzag, 32767_points_cross_hatch_45_degrees, 4, 45.0)
    ->Unit(benchmark::kMillisecond);

} // namespace
} // namespace plotanix
