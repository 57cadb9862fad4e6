// How fast the page draws: lines across the page in many directions, and
// short labels upright and slanted.

#include "page/display_list.h"
#include "page/drawing.h"
#include "page/label_font.h"
#include "page/page_image.h"

#include <benchmark/benchmark.h>

#include <array>
#include <cmath>
#include <numbers>

namespace plotanix {
namespace {

struct Line {
    int32_t x1, y1, x2, y2;
};

// Lines through points near the middle of the page in 64 directions, each
// running past the page edges so that clipping takes part.
std::array<Line, 64> pageSpanningLines() {
    std::array<Line, 64> lines{};
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
        const Line& line = lines[next++ % lines.size()];
        drawing.setFrontColour(static_cast<Colour>(next) * 0x010203u);
        drawing.drawLine(line.x1, line.y1, line.x2, line.y2);
        if (list.recorded() == DisplayList::maxItems / 2) list.clear();
    }
    benchmark::DoNotOptimize(image->pixels.data());
    state.SetItemsProcessed(state.iterations());
    state.SetLabel("lines");
}
BENCHMARK(linesAcrossThePage)->ArgName("recorded")->Arg(0)->Arg(1);

void tenCharacterLabels(benchmark::State& state) {
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
    const auto angle = static_cast<float>(state.range(0));
    int32_t step = 0;
    for (auto _ : state) {
        ++step;
        drawing.drawRotatedText(100 + step % 500, 150 + (step * 7) % 300, "HP-86B 470", angle);
    }
    benchmark::DoNotOptimize(image->pixels.data());
    state.SetItemsProcessed(state.iterations());
    state.SetLabel("labels");
}
BENCHMARK(tenCharacterLabels)->ArgName("degrees")->Arg(0)->Arg(30);

} // namespace
} // namespace plotanix
