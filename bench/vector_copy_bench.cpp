// How long a copy of the page takes to save (synced to the disk, as the
// plotter saves) and how large it is: SVG, PDF and PNG at scale 4, for the
// demo drawing and for dense pages of 100,000 lines in all pen colours:
// page-spanning lines one by one (the worst case), and short strokes in
// curves of a thousand (a dense plot).

#include "output/vector_copy.h"
#include "page/display_list.h"
#include "support/in_process_plot.h"
#include "support/temp_dir.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <filesystem>
#include <random>

namespace plotanix {
namespace {

void demoPage(DisplayList& list) {
    testing::InProcessPlot plot;
    plot.session.keepDisplayList(true);
    plot.session.blankPage();
    plot.run(testing::readFile(PLOTANIX_SOURCE_DIR "/tools/demo_drawing.hpgl"));
    list = *plot.session.displayList();
}

void densePage(DisplayList& list, bool curves) {
    auto page = createPageImage(800, 600, 24);
    Drawing drawing;
    drawing.recordInto(&list);
    drawing.beginDrawing(*page);
    drawing.fillBox(0, 0, 800, 640, penColours[0]);
    std::mt19937 random(86);
    int32_t x = 400, y = 300;
    for (int i = 0; i < 100'000; ++i) {
        if (!curves || i % 1000 == 0) {
            drawing.setFrontColour(penColours[1 + random() % 9]);
            x = int32_t(random() % 800), y = int32_t(random() % 600);
        }
        const int32_t toX = curves ? std::clamp<int32_t>(x + int32_t(random() % 17) - 8, 0, 799)
                                   : int32_t(random() % 800);
        const int32_t toY = curves ? std::clamp<int32_t>(y + int32_t(random() % 17) - 8, 0, 599)
                                   : int32_t(random() % 600);
        drawing.drawLine(x, y, toX, toY);
        x = toX, y = toY;
    }
}

// Arguments: the page (0 demo, 1 dense lines, 2 dense curves) and the format
// (0 SVG, 1 PDF, 2 PNG at scale 4).
void savePageCopy(benchmark::State& state) {
    DisplayList list;
    state.range(0) == 0 ? demoPage(list) : densePage(list, state.range(0) == 2);
    const auto format = static_cast<CopyFormat>(state.range(1));
    const std::string name = std::filesystem::temp_directory_path() / "plotanix-bench-copy";
    std::string reason;
    for (auto _ : state) {
        if (!writePageCopy(list, name, format, 4, reason)) state.SkipWithError(reason.c_str());
    }
    std::error_code ignored;
    state.counters["bytes"] = double(std::filesystem::file_size(name, ignored));
    std::filesystem::remove(name, ignored);
}
BENCHMARK(savePageCopy)
    ->ArgNames({"dense", "format"})
    ->ArgsProduct({{0, 1, 2}, {0, 1, 2}})
    ->Unit(benchmark::kMillisecond);

} // namespace
} // namespace plotanix
