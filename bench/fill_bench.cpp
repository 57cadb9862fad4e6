// One fill of a polygon of 262,000 edges on the page, the most the fills
// of a plot take: a zigzag of full-height teeth, each tooth a fraction of
// a pixel wide or a few pixels wide, and (what costs a fill the most) one
// whose every edge crosses the page.

#include "page/path_fill.h"

#include <benchmark/benchmark.h>

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

} // namespace
} // namespace plotanix
