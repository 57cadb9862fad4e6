// Hatching: the sweep across the hatch lines against a slow reference that
// crosses every line with every edge, and the model's drawing of runs of
// sub-pixel parts against drawing each part by itself.

#include "hpgl2/hpgl2_polygon.h"
#include "support/model_plot.h"

#include <algorithm>
#include <cmath>
#include <gtest/gtest.h>
#include <numbers>
#include <random>
#include <string>
#include <tuple>
#include <vector>

using namespace plotanix;

namespace {

struct Part {
    double offset, from, to;
    bool operator==(const Part&) const = default;
};

struct Collect : HatchSink {
    void hatch(const HatchLine& line) override {
        for (size_t i = 0; i + 1 < line.ends.size(); i += 2)
            parts.push_back({line.offset, line.ends[i], line.ends[i + 1]});
    }
    std::vector<Part> parts;
};

// Every line crossed with every edge, the crossings sorted afresh: the
// arithmetic the sweep must keep. Counts the crossings too.
std::vector<Part> referenceHatch(const PolygonBuffer& buffer, FillRule rule, double spacing,
                                 double degrees, const PlotBox& box, double& crossed) {
    const double radians = std::fmod(degrees, 360.0) * std::numbers::pi / 180.0;
    const Point along{std::cos(radians), std::sin(radians)}, across{-along.y, along.x};
    const auto project = [&](Point d) {
        return Point{d.x * along.x + d.y * along.y, d.x * across.x + d.y * across.y};
    };
    std::vector<std::pair<Point, Point>> edges;
    double low = INFINITY, high = -INFINITY;
    size_t first = 0;
    for (const uint32_t count : buffer.subpaths()) {
        for (size_t i = 0; i < count; ++i) {
            const Point a = project(buffer.vertices()[first + i].at);
            const Point b = project(buffer.vertices()[first + (i + 1) % count].at);
            low = std::min(low, a.y), high = std::max(high, a.y);
            edges.emplace_back(a, b);
        }
        first += count;
    }
    double boxLow = INFINITY, boxHigh = -INFINITY;
    for (const Point corner : {Point{box.left, box.bottom}, Point{box.right, box.bottom},
                               Point{box.left, box.top}, Point{box.right, box.top}}) {
        boxLow = std::min(boxLow, project(corner).y),
        boxHigh = std::max(boxHigh, project(corner).y);
    }
    low = std::max(low, boxLow), high = std::min(high, boxHigh);
    std::vector<Part> parts;
    if (!(low <= high)) return parts;
    for (double n = std::ceil(low / spacing); n <= std::floor(high / spacing); ++n) {
        const double offset = n * spacing;
        std::vector<std::pair<double, int>> crossings;
        for (const auto& [a, b] : edges) {
            if (a.y == b.y || std::min(a.y, b.y) > offset || std::max(a.y, b.y) <= offset) continue;
            const double t = (offset - a.y) / (b.y - a.y);
            crossings.emplace_back(a.x + t * (b.x - a.x), b.y > a.y ? 1 : -1);
        }
        std::sort(crossings.begin(), crossings.end());
        crossed += static_cast<double>(crossings.size());
        int winding = 0;
        for (size_t i = 0; i + 1 < crossings.size(); ++i) {
            winding += crossings[i].second;
            const bool inside = rule == FillRule::evenOdd ? (winding & 1) != 0 : winding != 0;
            if (inside && crossings[i].first != crossings[i + 1].first)
                parts.push_back({offset, crossings[i].first, crossings[i + 1].first});
        }
    }
    return parts;
}

// Rings of random points: some on a coarse grid (shared coordinates,
// edges along the lines, crossings at the same place), some a zigzag of
// thin teeth (edges that start between every two lines).
PolygonBuffer randomArea(std::mt19937& random, int kind) {
    PolygonBuffer buffer;
    std::uniform_real_distribution<double> coordinate(-500, 4500);
    std::uniform_int_distribution<int> grid(0, 8), count(3, 40);
    const int rings = 1 + static_cast<int>(random() % 3);
    for (int r = 0; r < rings; ++r) {
        const int points = kind == 2 ? 150 : count(random);
        for (int i = 0; i < points; ++i) {
            Point p{coordinate(random), coordinate(random)};
            if (kind == 1) p = {grid(random) * 500.0, grid(random) * 500.0};
            if (kind == 2) p = {100 + i * 7.3 + r * 2.1, i % 2 ? 200.0 + r * 50 : 3800.0 - i};
            if (i == 0) {
                buffer.start(p);
            } else {
                buffer.lineTo(p, true);
            }
        }
        buffer.close();
    }
    return buffer;
}

TEST(Hatch, TheSweepLaysTheReferencesParts) {
    std::mt19937 random(45);
    const PlotBox box{0, 0, 4000, 3000};
    const struct {
        double spacing, degrees;
    } lines[] = {{13, 0}, {40, 90}, {7.5, 30}, {25, 45}, {5, 137.5}, {60, -60}, {11, 400}};
    int laid = 0;
    for (int round = 0; round < 30; ++round) {
        const PolygonBuffer buffer = randomArea(random, round % 3);
        for (const FillRule rule : {FillRule::evenOdd, FillRule::nonzero}) {
            const auto& [spacing, degrees] = lines[static_cast<size_t>(round) % std::size(lines)];
            SCOPED_TRACE("round " + std::to_string(round) + ", " + std::to_string(degrees) +
                         " degrees, rule " + std::to_string(static_cast<int>(rule)));
            Collect sink;
            const HatchLayout layout(buffer, spacing, degrees, {0, 0}, box);
            layout.lay(rule, sink);
            double crossed = 0;
            const std::vector<Part> expected =
                referenceHatch(buffer, rule, spacing, degrees, box, crossed);
            ASSERT_EQ(sink.parts.size(), expected.size());
            EXPECT_TRUE(sink.parts == expected);
            // The cost told before laying: the sweep's crossings, and room
            // for every part's length.
            EXPECT_EQ(layout.crossings(), crossed);
            double length = 0;
            for (const Part& part : expected)
                length += part.to - part.from;
            EXPECT_LE(length, layout.reach() * (1 + 1e-12));
            laid += static_cast<int>(expected.size());
        }
    }
    EXPECT_GT(laid, 10000); // the areas were hatched, not passed over
}

// The same plot drawn as is and with a display list kept, where every part
// of a hatch line is drawn by itself: the same pixels, lines counted and
// extent.
TEST(Hatch, RunsOfDotsDrawWhatEachPartWould) {
    std::string teeth = "PA300,300;PM0;PD";
    for (int i = 0; i < 1500; ++i)
        teeth += std::to_string(300 + i * 3.1) + (i % 2 ? ",400," : ",7000,");
    teeth += "300,300;PM2;";
    const std::string circles = "PA5000,4000;PM0;CI3000;PM1;CI1500;PM1;PA5200,4000;CI900;PM2;";
    const struct {
        std::string name, plot;
    } cases[] = {
        {"hatch across thin teeth", "SP1;" + teeth + "FT3,13,0;FP;FT3,20,37;FP;FT4,15,90;FP;"},
        {"a window cuts the teeth", "SP2;IW1000,1000,5000,5000;" + teeth + "FT4,14,45;FP1;"},
        {"a turned page", "RO90;SP3;" + teeth + "FT3,13,120;FP;"},
        {"rings by both rules", "SP1;" + circles + "FT3,13,10;FP;FT3,13,100;FP1;"},
        {"off the paper", "SP1;PA-2000,-2000;PM0;PD3000,9000,9000,-1000;PM2;FT3,13,60;FP;"},
        {"a dashed line type", "SP1;LT2,2;" + teeth + "FT3,13,15;FP;"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        plotanix::testing::ModelPlot runs(PlotterModel::hpgl2, Paper::letter);
        plotanix::testing::ModelPlot each(PlotterModel::hpgl2, Paper::letter);
        each.session.keepDisplayList(true);
        runs.run("IN;" + c.plot);
        each.run("IN;" + c.plot);
        int differ = 0;
        for (int y = 0; y < runs.page().height; ++y) {
            for (int x = 0; x < runs.page().width; ++x)
                differ += runs.page().pixel(x, y) != each.page().pixel(x, y) ? 1 : 0;
        }
        EXPECT_EQ(differ, 0);
        EXPECT_GT(plotanix::testing::inkedPixels(runs.page()), 1000);
        const Drawing::LineTally a = runs.session.drawing().lineTally();
        const Drawing::LineTally b = each.session.drawing().lineTally();
        EXPECT_EQ(a.asked, b.asked);
        EXPECT_EQ(a.onPage, b.onPage);
        const Drawing::Extent& e = runs.session.drawing().extent();
        const Drawing::Extent& f = each.session.drawing().extent();
        EXPECT_EQ(std::tie(e.left, e.top, e.right, e.bottom),
                  std::tie(f.left, f.top, f.right, f.bottom));
        EXPECT_EQ(runs.session.plotter().offPaper(), each.session.plotter().offPaper());
    }
}

} // namespace
