// Throughput of the plotting path: reader, interpreter and page together,
// in bytes of HP-GL per second, for a stream of lines and one of labels.

#include "hpgl/interpreter.h"
#include "hpgl/reader.h"
#include "logfile/log_file.h"
#include "page/drawing.h"
#include "page/label_font.h"
#include "support/fake_link.h"

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
    auto font = loadFont("Courier New", 12);
    auto page = createPageImage(800, 600, 24);
    for (auto _ : state) {
        plotanix::testing::FakeLink link;
        for (size_t at = 0; at < stream.size(); at += 256)
            link.add(stream.substr(at, 256));
        LogFile log; // not open: the transcript is measured elsewhere
        Drawing drawing;
        drawing.beginDrawing(*page);
        drawing.selectFont(font.get());
        InstructionReader reader(link, log);
        Interpreter interpreter(reader, drawing, link, log, nullptr);
        interpreter.setDefaults();
        reader.startRun();
        interpreter.runInstructionLoop();
        drawing.endDrawing();
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
