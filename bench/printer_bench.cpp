// A 300-dpi Letter page of PCL raster (2,550 x 3,300 dots, TIFF PackBits)
// through the printer model: drawn whole as the renderer draws a file, and
// fed as a network line hands it over (4 KB reads, the page looked at after
// each), the figure that says whether the live program keeps up.

#include "support/in_process_plot.h"

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

using namespace plotanix;

namespace {

// PackBits with runs of three or more repeated, the rest literal.
std::string packBits(const std::vector<uint8_t>& row) {
    std::string out;
    for (size_t i = 0; i < row.size();) {
        size_t run = 1;
        while (i + run < row.size() && run < 128 && row[i + run] == row[i])
            ++run;
        if (run >= 3) {
            out += static_cast<char>(257 - run);
            out += static_cast<char>(row[i]);
            i += run;
            continue;
        }
        size_t end = i;
        while (end < row.size() && end - i < 128 &&
               !(end + 2 < row.size() && row[end] == row[end + 1] && row[end] == row[end + 2]))
            ++end;
        end = std::max(end, i + 1);
        out += static_cast<char>(end - i - 1);
        out.append(row.begin() + static_cast<std::ptrdiff_t>(i),
                   row.begin() + static_cast<std::ptrdiff_t>(end));
        i = end;
    }
    return out;
}

// A screen's hard copy: a grid, a trace across it and blocks of fill.
std::string letterPage() {
    constexpr int width = 2550, height = 3300;
    std::string s = "\x1b"
                    "E\x1b*t300R\x1b*r2550S\x1b*r0A\x1b*b2M";
    std::vector<uint8_t> row((width + 7) / 8);
    for (int y = 0; y < height; ++y) {
        std::fill(row.begin(), row.end(), 0);
        for (int x = 0; x < width; ++x) {
            const bool grid = x % 255 == 0 || y % 330 == 0;
            const bool trace = (x * 7 + y * 3) % 1200 < 6;
            const bool block = (x / 400 + y / 500) % 5 == 0;
            if (grid || trace || block) row[x / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
        }
        const std::string packed = packBits(row);
        s += "\x1b*b" + std::to_string(packed.size()) + "W" + packed;
    }
    return s + "\x1b*rB\f";
}

void BM_PclLetterPageDrawn(benchmark::State& state) {
    const std::string page = letterPage();
    testing::InProcessPlot plot(nullptr, PlotterModel::pcl);
    for (auto _ : state) {
        plot.session.startAfresh();
        plot.feed(page, page.size());
        plot.run();
        plot.end();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * page.size()));
}

void BM_PclLetterPageLive(benchmark::State& state) {
    const std::string page = letterPage();
    testing::InProcessPlot plot(nullptr, PlotterModel::pcl);
    const auto* bytes = reinterpret_cast<const uint8_t*>(page.data());
    for (auto _ : state) {
        plot.session.startAfresh();
        plot.session.beginRun();
        for (size_t at = 0; at < page.size(); at += 4096)
            plot.session.feedModel({bytes + at, std::min<size_t>(4096, page.size() - at)});
        plot.session.endRun();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * page.size()));
}

} // namespace

BENCHMARK(BM_PclLetterPageDrawn)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PclLetterPageLive)->Unit(benchmark::kMillisecond);
