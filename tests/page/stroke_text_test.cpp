// Stroke labels, user characters, symbols and line types, in plotter units.

#include "page/label_strokes.h"
#include "page/line_pattern.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace plotanix {
namespace {

struct Recorder : StrokeSink, PieceSink {
    std::vector<std::vector<PlotPoint>> lines;
    void polyline(std::span<const PlotPoint> p) override { lines.emplace_back(p.begin(), p.end()); }
    void piece(PlotPoint a, PlotPoint b) override { lines.push_back({a, b}); }
};

LabelState sized(double w, double h, PlotPoint direction = {1, 0}, double slant = 0) {
    LabelState s;
    s.width = w, s.height = h, s.direction = direction, s.slant = slant;
    return s;
}

const StrokeFont& font() {
    std::string why;
    const StrokeFont* f = standardStrokeFont(&why);
    EXPECT_TRUE(f) << why;
    return *f;
}

void expectAt(PlotPoint p, PlotPoint want) {
    EXPECT_NEAR(p.x, want.x, 1e-6);
    EXPECT_NEAR(p.y, want.y, 1e-6);
}

TEST(StrokeText, AMissingFontFileIsReportedInOneLine) {
    std::string error;
    EXPECT_FALSE(loadStrokeFont("/nonexistent/rowmans.jhf", error));
    EXPECT_EQ(error, "stroke font /nonexistent/rowmans.jhf: No such file or directory");
}

TEST(StrokeText, SetShiftsAndOtherControlCharacters) {
    struct Case {
        std::string text;
        PlotPoint dir, pen, cr;
        bool alternate;
    };
    // Cells 15 wide, lines 40 high; the label starts at the origin.
    // CR, LF, BS and CP are proven through the 7470A model.
    for (const Case& c : {Case{"AB\bC\x01\t ", {1, 0}, {45, 0}, {0, 0}, false},
                          Case{"A\x0e\n", {0, 2}, {40, 15}, {40, 0}, true},
                          Case{"\x0e\x0f\x8d", {1, 0}, {0, 0}, {0, 0}, false}}) {
        LabelState s = sized(10, 20, c.dir);
        Recorder out;
        const PlotPoint pen = LabelWriter(nullptr).label(s, c.text, {0, 0}, out);
        expectAt(pen, c.pen);
        expectAt(s.carriageReturn, c.cr);
        EXPECT_EQ(s.alternateSelected, c.alternate);
        EXPECT_TRUE(out.lines.empty()); // no font: nothing drawn
    }
}

TEST(StrokeText, HostileSizesAndHugeLabelsStayBoundedAndClipped) {
    const std::string huge(1 << 20, 'W');
    for (const LabelState& s :
         {sized(75, 108), sized(4e5, -4e5), sized(75, 108, {1, 0}, 1e30), sized(1e300, 1)}) {
        LabelWriter writer(&font());
        writer.setClip({0, 0, 10300, 7650});
        LabelState state = s;
        Recorder out;
        const PlotPoint pen = writer.label(state, huge, {100, 100}, out);
        EXPECT_TRUE(std::isfinite(pen.x));
        EXPECT_TRUE(std::isfinite(pen.y));
        EXPECT_LT(out.lines.size(), 1000u); // only the characters on the page
    }
    std::vector<double> moves{99};
    for (int i = 0; i < 20000; ++i)
        moves.push_back(i % 4 < 2 ? 98 : -98); // a zig-zag near the start
    Recorder out;
    LabelWriter(&font()).userCharacter(LabelState{}, moves, {0, 0}, out);
    EXPECT_GT(out.lines.size(), 1u); // long runs come in pieces
}

// Running on across vectors is proven through the model's LT rows.
TEST(LinePattern, EachTypeLaysItsDashes) {
    using Pieces = std::vector<std::pair<double, double>>; // within one period of 100
    const std::vector<Pieces> layouts{{{0, 0}},
                                      {{0, 50}},
                                      {{0, 70}},
                                      {{0, 80}, {90, 90}},
                                      {{0, 70}, {80, 90}},
                                      {{0, 50}, {60, 70}, {80, 90}}};
    for (int type = 1; type <= 6; ++type) {
        Recorder out;
        LinePattern pattern;
        pattern.select(type, 100);
        pattern.stroke({0, 5}, {1000, 5}, out);
        const Pieces& want = layouts[type - 1];
        ASSERT_EQ(out.lines.size(), 10 * want.size()) << "type " << type;
        for (size_t i = 0; i < out.lines.size(); ++i) {
            const double start = 100.0 * double(i / want.size());
            EXPECT_NEAR(out.lines[i][0].x, start + want[i % want.size()].first, 1e-6) << type;
            EXPECT_NEAR(out.lines[i][1].x, start + want[i % want.size()].second, 1e-6) << type;
        }
    }
}

TEST(LinePattern, DotsSolidAndDegenerateLengths) {
    struct Case {
        int type;
        double period;
        size_t pieces;
    };
    for (const Case c :
         {Case{0, 100, 3}, Case{-1, 100, 2}, Case{2, 0, 2}, Case{3, 1e9, 2}, Case{9, 100, 2}}) {
        LinePattern pattern;
        pattern.select(c.type, c.period);
        Recorder out;
        pattern.stroke({0, 0}, {500, 0}, out);
        pattern.stroke({500, 0}, {500, 600}, out);
        EXPECT_EQ(out.lines.size(), c.pieces) << c.type << "," << c.period;
    }
    LinePattern pattern; // a far-off vector costs nothing and draws nothing
    pattern.select(2, 10);
    Recorder out;
    pattern.stroke({-1e20, 3}, {1e20, 3}, out);
    EXPECT_LT(out.lines.size(), 20000u);
}

} // namespace
} // namespace plotanix
