#pragma once
// A plotter model run in process, and its picture read at plotter-unit
// points: the HP-GL models' tests look at their pages this way.

#include "support/in_process_plot.h"

#include <cmath>
#include <gtest/gtest.h>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace plotanix::testing {

// Pixels per plotter unit on letter paper.
inline constexpr double letterScale = 800.0 / 10300.0;

struct ModelPlot : InProcessPlot {
    ModelPlot(PlotterModel model, Paper paper) : InProcessPlot(nullptr, model, paper) {}

    bool inkedPixel(int col, int row) const { return page().pixel(col, row) != penColours[0]; }
    // At the pixel a plotter-unit point maps to, k pixels a unit.
    Colour at(double x, double y, double k = letterScale) const {
        return page().pixel(int(std::floor(x * k + 0.5)), 599 - int(std::floor(y * k + 0.5)));
    }
    bool inked(double x, double y, double k = letterScale) const {
        return at(x, y, k) != penColours[0];
    }
};

// The replies a model at power-on sends to the stream.
inline std::string modelReplies(PlotterModel model, std::string_view stream,
                                Paper paper = Paper::letter) {
    return ModelPlot(model, paper).run(stream).link.written;
}

using Spots = std::vector<std::pair<double, double>>;

// Each of the inked spots carries ink and none of the clear ones does; a
// failure names the case and the spot.
inline void expectInk(const ModelPlot& plot, const Spots& inked, const Spots& clear,
                      std::string_view what) {
    for (const auto& [x, y] : inked)
        EXPECT_TRUE(plot.inked(x, y)) << what << " at " << x << "," << y;
    for (const auto& [x, y] : clear)
        EXPECT_FALSE(plot.inked(x, y)) << what << " at " << x << "," << y;
}

} // namespace plotanix::testing
