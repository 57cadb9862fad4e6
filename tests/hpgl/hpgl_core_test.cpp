// The HP-GL core both HP-GL models share, run through each: one table, a
// row's two replies the same where the dialects agree, and where they
// differ (ranges, rules, defaults) each model's own.

#include "hpgl/geometry.h"
#include "models/models.h"
#include "support/model_plot.h"

#include <cmath>
#include <gtest/gtest.h>

namespace plotanix {
namespace {

TEST(HpglCore, SharedInstructionsInEachDialect) {
    struct Case {
        std::string stream, hp7470a, hpgl2; // hpgl2 empty: as the 7470A's
    };
    const Case cases[] = {
        {"OI;OF;OE;OP;", "7470A\r40,40\r0\r250,279,10250,7479\r", ""},
        {"PD100,200;OA;PU;PR10,10;OA;OC;", "100,200,1\r110,210,0\r110,210,0\r", ""},
        // Pen down, P1/P2 changed, initialised, error; OS clears initialised,
        // OP the P1/P2 bit, OE the error.
        {"OS;OS;PD;OS;ZZ;OS;OE;OS;", "24\r16\r17\r49\r1\r17\r", ""},
        {"IP100,200,300,400;OS;OP;OS;IW10,20,300,400;OW;",
         "26\r100,200,300,400\r16\r10,20,300,400\r", ""},
        // The reach: the 7470A's numbers are 16-bit, and its default error
        // mask leaves error 6 out of the status byte.
        {"PA2000000000,0;OS;OE;", "56\r3\r", "56\r6\r"},
        {"PR30000,0,30000,0;OS;OE;", "24\r6\r", "24\r0\r"},
        {"PA40000,0;OE;PA1,2,3;OE;PA-,5;OE;", "3\r2\r3\r", "0\r2\r3\r"},
        // Moves: the 7470A's plotter units are whole; an odd number out is
        // error 2.
        {"PA-1234.4,0;OC;", "-1235,0,0\r", "-1234.4,0,0\r"},
        {"PA100,100;PR10,20,-30.7,5;OC;", "79,125,0\r", "79.3,125,0\r"},
        {"IP0,0,1000,1000;SC0,10,0,10;PA1,1;PR0.5,-0.25;OC;", "1.5,0.75,0\r", ""},
        {"PA100,100,200;OA;OE;", "100,100,0\r2\r", ""},
        // P1/P2: P2 follows P1, held to the 7470A's paper; HP-GL/2's never
        // meet on an axis.
        {"IP0,0,1000,1000;SC0,10,0,10;IP500,500;PA0,0;OA;OP;", "500,500,0\r500,500,1500,1500\r",
         ""},
        {"IP1,2,3,4;IP;OP;", "250,279,10250,7479\r", ""},
        {"IP10000,7000;OP;", "10000,7000,10300,7650\r", "10000,7000,20000,14200\r"},
        {"IP5.7,5.2,9,9;OP;IP1,1,1,1;OP;", "5,5,9,9\r1,1,1,1\r", "6,5,9,9\r1,1,2,2\r"},
        {"IP1,2,3;OE;IP40000,0;OE;", "2\r3\r", "2\r0\r"},
        // The window: the 7470A's corners are plotter units held to its
        // paper as given; HP-GL/2's the current units, any two corners.
        {"IW-5,-5,20000,9000;OW;IW100,100,50,50;OW;", "0,0,10300,7650\r100,100,50,50\r",
         "0,0,10300,7650\r50,50,100,100\r"},
        {"IP0,0,1000,1000;SC0,10,0,10;IW1,1,2,2;OW;", "1,1,2,2\r", "100,100,200,200\r"},
        {"IW1,2;OE;IW5,5,1,1;OE;", "2\r0\r", ""},
        // Circles and arcs leave the pen where they end, its state kept.
        {"PA5000,4000;PD;CI-1000;OA;", "5000,4000,1\r", ""},
        {"PA6000,4000;AA5000,4000,90;OA;", "5000,5000,0\r", ""},
        {"PA6000,4000;PD;AA5000,4000,-90,0;OA;", "5000,3000,1\r", ""},
        {"PA6000,4000;AR-1000,0,180,45;OA;", "4000,4000,0\r", ""},
        // The 7470A's sweep is whole degrees, its numbers 16-bit.
        {"PA6000,4000;AA5000,4000,90.9;OC;", "5000,5000,0\r", "4984.2927,4999.8766,0\r"},
        {"CI;OE;AA1,2;OE;CI0;CI5,0;OE;", "2\r2\r0\r", ""},
        {"CI5,40000;OE;AA0,0,99999999999;OE;AA2000000000,0,9;OE;", "3\r3\r3\r", "0\r0\r3\r"},
        // SP: past the 7470A's pens, its two stalls; HP-GL/2 wraps round
        // its palette, but has no pen below 0.
        {"SP-1;OE;SP12;OE;SP-32769;OE;", "0\r0\r3\r", "3\r0\r3\r"},
        // Labels: the pen after them, by the font's size without SI.
        {"LBAB\x03OC;DT*;LBAB*OC;", "225,0,0\r562.5,0,0\r", "225.7778,0,0\r451.5556,0,0\r"},
        // CR, LF and BS; LB does not move the carriage-return point.
        {"SI.1875,.27;PA1000,1000;LBAB\rC\x03OC;LB\nC\x03OC;", "1112.5,1000,0\r1225,784,0\r", ""},
        {"SI.1875,.27;PA1000,1000;LBAB\x03LB\bC\r\n\x03OC;", "1000,784,0\r", ""},
        {"PA32500,0;LBABC\x03OC;OE;", "32500,0,0\r6\r", "32838.6667,0,0\r0\r"},
        {"SI.1875,.27;DI0,1;CP1,0;OC;SI0.5,1;CP0,-1;OC;", "0,112.5,0\r800,112.5,0\r", ""},
        // The 7470A hands a long label on in pieces, HP-GL/2 whole: the pen
        // ends alike.
        {"SI0.01,0.01;LB" + std::string(300, 'A') + "\x03OC;", "1800,0,0\r", ""},
        {"PA100,100;LB" + std::string(1 << 20, 'W') + "\x03OC;OE;", "28900,100,0\r6\r",
         "118372679.5581,100,0\r0\r"},
        // Label sizes, slants, directions and cells: the 7470A's limits.
        {"SI200,1;OE;SL200;OE;CP200,0;OE;", "3\r3\r3\r", "0\r0\r0\r"},
        {"DI0,0;OE;DI0.0001,0;OE;DI1;OE;CP1;OE;", "3\r3\r2\r2\r", "3\r0\r2\r2\r"},
        {"SR1,1;IP0,0,1000,1000;LBA\x03OC;", "15,0,0\r", ""}, // SR follows P1/P2
        // Without SI the size is the font's; the 7470A's DR; stays relative
        // to P1/P2, which here run right to left.
        {"SI1,1;SI;LBA\x03OC;", "112.5,0,0\r", "112.8889,0,0\r"},
        {"IP10000,0,0,7000;DR;LBA\x03OC;", "-112.5,0,0\r", "112.8889,0,0\r"},
        {"PD;CP2,1;OC;CP;OC;", "225,216,1\r0,-216,1\r", "225.7778,216.3704,1\r0,-216.3704,1\r"},
    };
    for (const Case& c : cases) {
        const std::string shown = c.stream.substr(0, 60);
        EXPECT_EQ(testing::modelReplies(PlotterModel::hp7470a, c.stream), c.hp7470a) << shown;
        EXPECT_EQ(testing::modelReplies(PlotterModel::hpgl2, c.stream),
                  c.hpgl2.empty() ? c.hp7470a : c.hpgl2)
            << shown;
    }
}

// What the shared instructions draw, the same on both models' letter page:
// the window's clipping, pen 0 drawing nothing, circles' and arcs' chords,
// symbols and labels.
TEST(HpglCore, SharedDrawingInEachDialect) {
    struct Case {
        std::string stream;
        testing::Spots inked, clear;
    };
    const std::string window = "IW1000,1000,2000,2000;PU";
    const Case cases[] = {
        {window + "500,1500;PD2500,1500;",
         {{1000, 1500}, {2000, 1500}},
         {{900, 1500}, {2100, 1500}}},
        {window + "500,500;PD2500,500;", {}, {{1000, 500}, {1500, 500}}},
        {"SP0;PD1500,1500;SP2;PD3000,3000;", {{2000, 2000}}, {{1000, 1000}}},
        // CI: pen up to the start, chords of equal angle, back to the centre.
        {"PA5000,4000;CI1000,90;PD5000,3000;",
         {{5750, 4250}, {4500, 3500}, {5000, 3500}},
         {{5707, 4707}}},
        {"PA5000,4000;CI1000,120;", {{6000, 4000}, {4500, 4866}}, {{4000, 4000}}},
        {"PA5000,4000;CI-1000,120;", {{4000, 4000}, {5500, 4866}}, {{6000, 4000}}},
        {"PA5000,4000;CI1000,0;", {{5707, 4707}}, {{5000, 4000}}},
        {"IP0,0,2000,1000;SC0,2,0,2;PA1,1;CI1,90;", {{1500, 750}, {2000, 500}}, {{1000, 1500}}},
        {"PA6000,4000;PD;AA5000,4000,180,90;", {{5750, 4250}, {4250, 4250}}, {{5000, 3000}}},
        {"PA6000,4000;PD;AR-1000,0,-180,60;",
         {{5000, 3134}, {5500, 3134}},
         {{5000, 3000}, {5000, 5000}}},
        // SM: an H centred on every point PA/PR reaches, pen up or down.
        {"SMH;SI1,1.5;PA2000,2000,4000,2000;PD6000,2000;",
         {{1825, 2200}, {3825, 2200}, {4175, 1800}, {5825, 2200}, {5000, 2000}},
         {{3000, 2000}}},
        {"PA1000,1000;SI1,1.5;LBH\x03", {{1025, 1100}, {1375, 1500}}, {{1200, 1500}}},
    };
    for (const PlotterModel model : {PlotterModel::hp7470a, PlotterModel::hpgl2})
        for (const Case& c : cases) {
            testing::ModelPlot p(model, Paper::letter);
            p.run(c.stream);
            testing::expectInk(p, c.inked, c.clear, c.stream);
        }
}

// Label strokes land in the cells SI, SR, DI, DR and SL make, on both models.
TEST(HpglCore, LabelStrokesLandInThePredictedCells) {
    struct Case {
        std::string setup;
        double width, height;
        Point direction;
        double slant;
    };
    const Case cases[] = {
        {"SI1,1.5;", 400, 600, {1, 0}, 0},
        {"SR4,8.333;", 400, 600, {1, 0}, 0}, // percent of the default P2 - P1
        {"SI1,1.5;DI0,1;", 400, 600, {0, 1}, 0},
        {"SI1,1.5;SL1;", 400, 600, {1, 0}, 1},
        {"IP0,0,5000,10000;SR8,6;DR50,10;", 400, 600, {1, 0.4}, 0},
        {"SI-1,1.5;DI-1,0;", -400, 600, {-1, 0}, 0},
    };
    constexpr double k = 800.0 / 10300.0, pixel = 1.5 / k;
    for (const PlotterModel model : {PlotterModel::hp7470a, PlotterModel::hpgl2})
        for (const Case& c : cases) {
            testing::ModelPlot p(model, Paper::letter);
            p.run(c.setup + "PA5000,3000;LBHHH\x03");
            const std::string setup = (model == PlotterModel::hpgl2 ? "hpgl2 " : "") + c.setup;
            const double length = std::hypot(c.direction.x, c.direction.y);
            const Point d{c.direction.x / length, c.direction.y / length}, n{-d.y, d.x};
            double uMax = -9, vMin = 9, vMax = -9;
            for (int col = 0; col < 800; ++col)
                for (int row = 0; row < 600; ++row) {
                    if (!p.inkedPixel(col, row)) continue;
                    const Point q{col / k - 5000, (599 - row) / k - 3000}; // back into cell units
                    const double v = (q.x * n.x + q.y * n.y) / c.height;
                    const double u = (q.x * d.x + q.y * d.y - c.slant * c.height * v) / c.width;
                    const double du = pixel * (1 + std::fabs(c.slant)) / std::fabs(c.width);
                    const bool inCell = std::fmod(u + du, 1.5) <= 1 + 2 * du;
                    const std::string where =
                        setup + " u " + std::to_string(u) + " v " + std::to_string(v);
                    EXPECT_GT(u, -du) << where;
                    EXPECT_LT(u, 4 + du) << where;
                    EXPECT_TRUE(inCell) << where; // not in the gap between cells
                    EXPECT_LT(std::fabs(v - 0.5), 0.5 + pixel / 600) << where;
                    uMax = std::max(uMax, u), vMin = std::min(vMin, v), vMax = std::max(vMax, v);
                }
            // The capitals fill the cells.
            EXPECT_GT(uMax, 3.8) << setup;
            EXPECT_LT(vMin, 0.1) << setup;
            EXPECT_GT(vMax, 0.9) << setup;
        }
}

// Unknown instructions are counted and recorded, each model knowing its own.
TEST(HpglCore, CountsAndRecordsOnlyUnknownInstructions) {
    struct Case {
        PlotterModel model;
        std::string stream, transcriptEnd;
        int instructions;
        std::string known, unknown;
    };
    const Case cases[] = {
        {PlotterModel::hp7470a, "IN;ZZ;pa1,1;\x1b.B\x1b.M:AP;EC;LBx\x03X;PU", "PU****ZZ*******X***",
         8, "ci", "PE"},
        {PlotterModel::hpgl2, "IN;ZZ;BP1,\"A PLOT\",5,1;XX\"IN;PD\"PA1,1;PG;",
         "PG;****ZZ*******XX***", 6, "pe", "ZZ"},
    };
    for (const Case& c : cases) {
        testing::ModelPlot p(c.model, Paper::letter);
        p.keepTranscript();
        p.run(c.stream);
        EXPECT_EQ(p.result.instructions, c.instructions) << c.stream;
        EXPECT_EQ(p.result.ignored, 2) << c.stream;
        EXPECT_TRUE(p.transcript().ends_with(c.transcriptEnd)) << p.transcript();
        EXPECT_TRUE(plotterKnows(c.model, c.known)) << c.known;
        EXPECT_FALSE(plotterKnows(c.model, c.unknown)) << c.unknown;
    }
    // A mnemonic is its two letters in either case; the bytes next to the
    // letters, and other lengths, name nothing.
    for (const PlotterModel model : {PlotterModel::hp7470a, PlotterModel::hpgl2}) {
        for (const std::string_view known : {"PA", "pa", "pA", "Pa", "SP", "sp"})
            EXPECT_TRUE(plotterKnows(model, known)) << known;
        for (const std::string_view unknown :
             {"", "P", "PAA", "@A", "[A", "`A", "{A", "P@", "P[", "P`", "P{",
              "\xd0"
              "A",
              "P\xc1"})
            EXPECT_FALSE(plotterKnows(model, unknown)) << unknown;
    }
}

} // namespace
} // namespace plotanix
