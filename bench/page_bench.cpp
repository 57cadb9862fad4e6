// How fast the page draws: lines across the page in many directions, short
// labels upright and slanted, and a page of pen-stroke labels.

#include "page/display_list.h"
#include "page/drawing.h"
#include "page/label_font.h"
#include "page/label_strokes.h"
#include "page/page_image.h"

#include <benchmark/benchmark.h>

#include <array>
#include <cmath>
#include <numbers>
#include <span>

namespace plotanix {
namespace {

struct Stroke {
    int32_t x1, y1, x2, y2;
};

// Lines through points near the middle of the page in 64 directions, each
// running past the page edges so that clipping takes part.
std::array<Stroke, 64> pageSpanningLines() {
    std::array<Stroke, 64> lines{};
    for (size_t i = 0; i < lines.size(); ++i) {
        const double direction = static_cast<double>(i) * std::numbers::pi / 32.0 + 0.01;
        const double cx = 300 + 7.0 * (i % 29), cy = 200 + 11.0 * (i % 17);
        const double reach = 600;
        lines[i] = {static_cast<int32_t>(cx - reach * std::cos(direction)),
                    static_cast<int32_t>(cy - reach * std::sin(direction)),
                    static_cast<int32_t>(cx + reach * std::cos(direction)),
                    static_cast<int32_t>(cy + reach * std::sin(direction))};
    }
    return lines;
}

// Argument 1: the lines are also kept in a display list, cleared as it fills.
void linesAcrossThePage(benchmark::State& state) {
    auto image = createPageImage(800, 600, 24);
    Drawing drawing;
    DisplayList list;
    if (state.range(0) != 0) drawing.recordInto(&list);
    drawing.beginDrawing(*image);
    drawing.fillBox(0, 0, 800, 640, 0xFFFFFF);
    const auto lines = pageSpanningLines();
    size_t next = 0;
    for (auto _ : state) {
        const Stroke& line = lines[next++ % lines.size()];
        drawing.setFrontColour(static_cast<Colour>(next) * 0x010203u);
        drawing.drawLine(line.x1, line.y1, line.x2, line.y2);
        if (list.recorded() == DisplayList::maxItems / 2) list.clear();
    }
    benchmark::DoNotOptimize(image->pixels.data());
    state.SetItemsProcessed(state.iterations());
    state.SetLabel("lines");
}
BENCHMARK(linesAcrossThePage)->ArgName("recorded")->Arg(0)->Arg(1);

// The floor for the above: the same lines, clipped the same way, drawn by a
// plain Bresenham loop straight into the pixels.
void plainBresenham(benchmark::State& state) {
    auto image = createPageImage(800, 600, 24, 0xFFFFFF);
    const auto lines = pageSpanningLines();
    size_t next = 0;
    for (auto _ : state) {
        const Stroke& line = lines[next++ % lines.size()];
        int64_t x1 = line.x1, y1 = line.y1, x2 = line.x2, y2 = line.y2;
        if (!clipEnds(x1, y1, x2, y2, 0, 799) || !clipEnds(y1, x1, y2, x2, 0, 599)) continue;
        const auto colour = static_cast<uint8_t>(next);
        const bool steep = std::abs(y2 - y1) > std::abs(x2 - x1);
        if (steep) std::swap(x1, y1), std::swap(x2, y2);
        if (x2 < x1) std::swap(x1, x2), std::swap(y1, y2);
        const int64_t dx = x2 - x1, dy = std::abs(y2 - y1), step = y2 >= y1 ? 1 : -1;
        for (int64_t x = x1, y = y1, d = 2 * dy - dx; x <= x2; ++x) {
            const int64_t column = steep ? y : x, row = steep ? x : y;
            uint8_t* p = image->pixels.data() + (599 - row) * image->stride + 3 * column;
            p[0] = p[1] = p[2] = colour;
            if (d >= 0) y += step, d -= 2 * dx;
            d += 2 * dy;
        }
    }
    benchmark::DoNotOptimize(image->pixels.data());
    state.SetItemsProcessed(state.iterations());
    state.SetLabel("lines");
}
BENCHMARK(plainBresenham);

// Ten-character labels at the angles given in turn, on a white page.
void labelsAtAngles(benchmark::State& state, std::span<const float> angles) {
    static const auto font = loadFont("Courier New", 12);
    if (!font) {
        state.SkipWithError("no monospaced font");
        return;
    }
    auto image = createPageImage(800, 600, 24);
    Drawing drawing;
    drawing.beginDrawing(*image);
    drawing.selectFont(font.get());
    drawing.fillBox(0, 0, 800, 640, 0xFFFFFF);
    drawing.setFrontColour(0);
    int32_t step = 0;
    for (auto _ : state) {
        ++step;
        drawing.drawRotatedText(100 + step % 500, 150 + (step * 7) % 300, "HP-86B 470",
                                angles[static_cast<size_t>(step) % angles.size()]);
    }
    benchmark::DoNotOptimize(image->pixels.data());
    state.SetItemsProcessed(state.iterations());
    state.SetLabel("labels");
}

void tenCharacterLabels(benchmark::State& state) {
    const float angle = static_cast<float>(state.range(0));
    labelsAtAngles(state, std::span(&angle, 1));
}
BENCHMARK(tenCharacterLabels)->ArgName("degrees")->Arg(0)->Arg(30);

// Draws a stroke label's polylines on the page, plotter units mapped as the
// 7470A model maps them (k = 800 / 10300).
struct PageStrokes : StrokeSink {
    Drawing* drawing = nullptr; // nullptr: lay out only
    size_t points = 0;
    void polyline(std::span<const PlotPoint> line) override {
        points += line.size();
        if (!drawing) return;
        constexpr double k = 800.0 / 10300;
        const auto column = [](double x) { return int32_t(std::floor(x * k + 0.5)); };
        const auto row = [](double y) { return 599 - int32_t(std::floor(y * k + 0.5)); };
        for (size_t i = 1; i < line.size(); ++i)
            drawing->drawLine(column(line[i - 1].x), row(line[i - 1].y), column(line[i].x),
                              row(line[i].y));
    }
};

// A page of 2,000 ten-character labels at the default size in three
// directions and five slants; argument 1 also rasterises them.
void pageOfStrokeLabels(benchmark::State& state) {
    const StrokeFont* font = standardStrokeFont();
    if (!font) {
        state.SkipWithError("no stroke font (hershey-fonts-data)");
        return;
    }
    auto image = createPageImage(800, 600, 24);
    Drawing drawing;
    drawing.beginDrawing(*image);
    drawing.setFrontColour(0);
    PageStrokes sink;
    sink.drawing = state.range(0) ? &drawing : nullptr;
    LabelWriter writer(font);
    writer.setClip({0, 0, 10300, 7650});
    for (auto _ : state) {
        for (int i = 0; i < 2000; ++i) {
            LabelState label;
            label.direction = {1, double(i % 3)}, label.slant = (i % 5) * 0.1;
            const PlotPoint pen{100.0 + (i * 37) % 9000, 200.0 + (i * 53) % 7000};
            writer.label(label, "Y = 12.5mV", pen, sink);
        }
    }
    benchmark::DoNotOptimize(sink.points);
    state.SetItemsProcessed(state.iterations() * 2000);
    state.SetLabel("labels");
}
BENCHMARK(pageOfStrokeLabels)->ArgName("drawn")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// Axis titles and tick labels of a graph: the direction changes between
// labels, among a few angles.
void labelsInTurningDirections(benchmark::State& state) {
    constexpr std::array<float, 4> angles = {0, 90, 30, -45};
    labelsAtAngles(state, angles);
}
BENCHMARK(labelsInTurningDirections);

} // namespace
} // namespace plotanix
