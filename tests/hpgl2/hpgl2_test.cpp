// The HP-GL/2 model through the session: encoded polylines, fills, pens and
// their widths, the page and its turns, the PCL job around the HP-GL/2, and
// input built to hurt.

#include "common/printable.h"
#include "hpgl2/hpgl2.h"
#include "models/dialect.h"
#include "models/models.h"
#include "page/display_list.h"
#include "support/model_plot.h"
#include "support/real_streams.h"
#include "support/temp_dir.h"

#include <cmath>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <tuple>

using namespace plotanix;
using plotanix::testing::readFile;
using plotanix::testing::repeated;

namespace {

struct Plot : plotanix::testing::ModelPlot {
    explicit Plot(Paper paper = Paper::letter) : ModelPlot(PlotterModel::hpgl2, paper) {}
    Hpgl2& model() { return static_cast<Hpgl2&>(session.plotter()); }
};

std::string replies(std::string_view stream) {
    return Plot().run(stream).link.written;
}

// A number as PE sends it: fraction bits, the sign in bit 0, base 64 (or
// 32) digits least significant first, the last from the terminator range.
std::string pe(double value, int fraction = 0, bool sevenBit = false) {
    const int64_t scaled = std::llround(std::ldexp(value, fraction));
    auto folded = static_cast<uint64_t>(scaled >= 0 ? 2 * scaled : -2 * scaled + 1);
    const uint64_t base = sevenBit ? 32 : 64;
    std::string out;
    for (; folded >= base; folded /= base)
        out += static_cast<char>(63 + folded % base);
    return out + static_cast<char>((sevenBit ? 95 : 191) + folded);
}

std::string pair(double x, double y, int fraction = 0) {
    return pe(x, fraction) + pe(y, fraction);
}

// Two squares, the inner one drawn the same way round as the outer one
// (reversed: the other way round), filled as one area.
std::string squareWithHole(const std::string& fill, bool reversed = false) {
    const std::string inner = reversed ? "PU1500,1500;PD1500,2500,2500,2500,2500,1500,1500,1500;"
                                       : "PU1500,1500;PD2500,1500,2500,2500,1500,2500,1500,1500;";
    return "PA1000,1000;PM0;PD3000,1000,3000,3000,1000,3000,1000,1000;" + inner + "PM2;" + fill;
}

} // namespace

TEST(Hpgl2, EncodedPolylines) {
    const std::pair<std::string, std::string> cases[] = {
        {"PE=yG\xC4\xBF;OA;", "10525,0,1\r"}, // HP's own bytes for 21050: +10525
        {"PE=" + pair(100, -200) + ";OA;", "100,-200,1\r"},
        {"PA1000,1000;PE" + pair(10, -20) + pair(-5, 5) + ";OA;", "1005,985,1\r"},
        {"PE<" + pair(300, 400) + ";OA;", "300,400,0\r"},
        {"PE<=" + pair(300, 400) + pair(10, 0) + ";OA;", "310,400,1\r"}, // = for one pair
        {"PE7=" + pe(1234, 0, true) + pe(-5678, 0, true) + ";OA;", "1234,-5678,1\r"},
        {"PE7=" + std::string(1, char(pe(9, 0, true)[0] | 0x80)) + pe(0, 0, true) + ";OA;",
         "9,0,1\r"}, // seven-bit mode drops the eighth bit
        {"PE>" + pe(3) + "=" + pair(12.5, -0.25, 3) + ";OC;", "12.5,-0.25,1\r"},
        {"PE\xBD" + pair(50, 60) + ";OA;", "50,60,1\r"}, // a flag's eighth bit is ignored
        {"PE=" + pe(70000) + " \r\n\x7f" + pe(5) + ";OA;", "70000,5,1\r"},
        {"IP0,0,1000,1000;SC0,10,0,10;PE=" + pair(5, 5) + ";OA;", "500,500,1\r"},
        {"PE=" + pair(1, 2) + "<" + pair(3, 4) + ";OA;", "4,6,0\r"},
        {"PD;PE;OA;PU;PE;OA;", "0,0,1\r0,0,0\r"}, // PE; leaves the pen as it is
        {"OT;", "0,255\r"},
        {"PA1000,1000;AT2000,2000,3000,1000;OA;RT-1000,1000,-2000,0;OA;",
         "3000,1000,0\r1000,1000,0\r"},
        {"PA100,100;LBAB\x03OC;DT*,0;LBAB*OC;DT;LBA\x03OC;",
         "325.7778,100,0\r664.4444,100,0\r777.3333,100,0\r"}, // DT*,0 prints the *
    };
    for (const auto& [stream, expected] : cases)
        EXPECT_EQ(replies(stream), expected) << stream;
}

TEST(Hpgl2, EncodedPenNumbersSelectPens) {
    Plot p;
    p.run("PE:" + pe(2) + "<=" + pair(1000, 1000) + pair(2000, 0) + ";PE:" + pe(3) + pair(0, 1000) +
          ";");
    EXPECT_EQ(p.at(1500, 1000), 0x0000FFu); // pen 2: red
    EXPECT_EQ(p.at(3000, 1500), 0x00FF00u); // pen 3: green
}

TEST(Hpgl2, Areas) {
    struct Case {
        std::string what, stream;
        plotanix::testing::Spots inked, clear;
    };
    const Case cases[] = {
        {"even-odd hole", squareWithHole("FP0;"), {{1200, 2000}}, {{2000, 2000}}},
        {"nonzero hole", squareWithHole("FP1;"), {{1200, 2000}, {2000, 2000}}, {}},
        {"nonzero, inner reversed", squareWithHole("FP1;", true), {{1200, 2000}}, {{2000, 2000}}},
        {"edged", squareWithHole("EP;"), {{1000, 2000}, {1500, 2000}}, {{1200, 2000}}},
        {"PM1 closes",
         "PA1000,1000;PM0;PD3000,1000,3000,3000;PM1;PD5000,5000,6000,5000;PM2;EP;",
         {{2000, 2000}, {5500, 5000}},
         {{4000, 4000}}},
        {"RA", "PA1000,1000;RA2000,2000;", {{1500, 1500}}, {{2200, 1500}}},
        {"RR", "PA1000,1000;RR-500,-500;", {{750, 750}}, {{1500, 1500}}},
        {"EA", "PA1000,1000;EA2000,2000;", {{1000, 1500}, {2000, 1500}}, {{1500, 1500}}},
        {"ER", "PA1000,1000;ER1000,1000;", {{1500, 2000}}, {{1500, 1500}}},
        {"filled circle",
         "PA3000,3000;PM0;CI500;PM2;FP;",
         {{3000, 3000}, {3450, 3000}},
         {{3600, 3000}}},
        {"wedge", "PA3000,3000;WG500,0,90;", {{3200, 3200}}, {{2800, 2800}, {3200, 2800}}},
        {"hatch",
         "FT3,200,0;PA1000,1000;RA3000,3000;",
         {{2000, 1200}, {2000, 2800}},
         {{2000, 1300}}},
        {"cross-hatch",
         "FT4,200,0;PA1000,1000;RA3000,3000;",
         {{1200, 1300}, {2000, 1200}},
         {{1300, 1300}}},
        {"white paints only under TR0",
         "RA3000,3000;SP0;PA1000,1000;RA2000,2000;TR0;RA500,500;",
         {{1500, 1500}},
         {{700, 700}}},
        {"window", "IW0,0,2000,2000;RA3000,3000;", {{1500, 1500}}, {{2500, 1500}}},
        {"wide line", "PW2;PA1000,1000;PD1000,3000;", {{1030, 2000}}, {{1070, 2000}}},
        {"thin line", "PA1000,1000;PD1000,3000;", {{1000, 2000}}, {{1030, 2000}}},
        {"round ends", "PW2;LA1,4;PA1000,1000;PD1000,3000;PU;", {{1000, 3030}}, {{1000, 3080}}},
        {"dashes",
         "LT2,10,1;PA1000,1000;PD3000,1000;",
         {{1100, 1000}, {1500, 1000}},
         {{1300, 1000}}},
        {"adaptive dashes",
         "LT-2,10,1;PA1000,1000;PD2000,1000;",
         {{1080, 1000}, {1750, 1000}},
         {{1250, 1000}}},
        {"mitre", "PW3;PA1000,1000;PD3000,1000,3000,3000;", {{3050, 950}}, {}},
        {"closed outline",
         "PW3;PA1000,1000;EA3000,3000;",
         {{950, 950}, {3050, 3050}},
         {{1500, 1500}}},
        {"bevel", "PW3;LA2,5;PA1000,1000;PD3000,1000,3000,3000;", {{3010, 985}}, {{3050, 950}}},
        {"user line type",
         "UL2,80,20;LT2,10,1;PA1000,1000;PD3000,1000;",
         {{1300, 1000}},
         {{1350, 1000}}},
        {"three-point arc",
         "PA1000,1000;PD;AT2000,2000,3000,1000;",
         {{2000, 2000}, {1293, 1707}},
         {{2000, 1000}}},
        {"Bezier",
         "PA1000,1000;PD;BZ1000,2000,3000,2000,3000,1000;",
         {{2000, 1750}},
         {{2000, 2000}}},
        {"centred label", "PA1000,1000;SI1,1.5;LO5;LBH\x03", {{825, 800}}, {{1025, 1100}}},
    };
    for (const Case& c : cases) {
        Plot p;
        p.run(c.stream);
        plotanix::testing::expectInk(p, c.inked, c.clear, c.what);
    }
}

TEST(Hpgl2, PenColours) {
    const std::pair<std::string, Colour> cases[] = {
        {"", 0x000000},
        {"SP2;", 0x0000FF},
        {"PC1,0,0,255;", 0xFF0000},
        {"CR0,100,0,100,0,100;PC1,100,50,0;", 0x0080FF},
        {"NP4;SP6;", 0x0000FF},           // pen 6 of 4 is pen 2
        {"NP16;SP9;", 0x0000FF},          // beyond eight the colours repeat from pen 1
        {"FT10,25;", 0xBFBFBF},           // shading: a quarter of the way from white
        {"SP3;PC3,9,9,9;PC3;", 0x00FF00}, // back to the default
    };
    for (const auto& [setup, colour] : cases) {
        Plot p;
        p.run(setup + "PA1000,1000;RA2000,2000;");
        EXPECT_EQ(p.at(1500, 1500), colour) << setup;
    }
}

TEST(Hpgl2, PageSizeAndRotation) {
    const std::pair<std::string, std::string> cases[] = {
        {"OH;OP;", "0,0,10300,7650\r250,279,10250,7479\r"},
        {"PS20000,10000;OH;OP;OA;", "0,0,20000,10000\r0,0,20000,10000\r0,0,0\r"},
        {"PS10000,20000;OH;", "0,0,20000,10000\r"}, // X along the longer side
        {"PS20000,10000;RO90;OH;OP;IP;OP;", "0,0,10000,20000\r0,0,20000,10000\r0,0,10000,20000\r"},
        {"RO90;IP;OP;", "279,50,7479,10050\r"},
        {"PA100,200;RO180;OA;", "10200,7450,0\r"}, // the pen stays put on the paper
        {"PS20000,10000;IR25,50;OP;", "5000,5000,25000,15000\r"},
        {"IP0,0,1000,2000;SC0,10,0,10,1;PA10,10;OA;", "1000,1500,0\r"},       // isotropic
        {"IP0,0,1000,2000;SC0,10,0,10,1,0,100;PA10,10;OA;", "1000,2000,0\r"}, // placed
        {"IP0,0,1000,1000;SC0,4,0,2,2;PA1,1;OA;", "4,2,0\r"},                 // point factor
    };
    for (const auto& [stream, expected] : cases)
        EXPECT_EQ(replies(stream), expected) << stream;
}

TEST(Hpgl2, TurnedPagesMapOntoThePicture) {
    struct Case {
        std::string stream;
        int column, row; // an inked pixel
    };
    const Case cases[] = {
        {"PS20000,10000;PA10000,5000;PD10000,5000;", 400, 399}, // k = 0.04
        {"PS20000,10000;RO90;PA2000,1000;PD2000,1000;", 760, 519},
        {"PS20000,10000;RO180;PA2000,1000;PD2000,1000;", 720, 239},
        {"PS20000,10000;RO270;PA2000,1000;PD2000,1000;", 40, 279},
        {"PS200000,100000;PA170000,50000;PD170000,50000;", 680, 399}, // far beyond 16 bits
    };
    for (const Case& c : cases) {
        Plot p;
        p.run(c.stream);
        EXPECT_NE(p.page().pixel(c.column, c.row), penColours[0]) << c.stream;
        EXPECT_EQ(plotanix::testing::inkedPixels(p.page()), 1) << c.stream;
    }
}

TEST(Hpgl2, PclAroundTheDrawingIsPassedOver) {
    const std::string escape = "\x1b";
    // Raster data and text that would draw if they were read as HP-GL/2.
    const std::string pcl = escape + "E" + escape + "&l1O" + escape + "*r1A" + escape + "*b2m9W" +
                            "PD9000,9;" + escape + "(s9W" + "PA5,5PD9;" + "text PD1,1";
    const std::string stream =
        pcl + escape + "%1B" + "IN;PA100,100;PD200,200;OA;" + escape + "%0A" + "PD5000,5000;" +
        escape + "%0B" + "PA300,300" + escape + "%1A" + "9,9;" + escape + "%1B" + ";OA;" + escape +
        "E" + escape + "%-12345X@PJL JOB\r\n@PJL ENTER LANGUAGE = HPGL2\r\nPA400,400;OA;" + escape +
        "%-12345X@PJL\r\n" + escape + "E" + escape + "*b4W" + "OI;;" + escape + "%0B" + "PA9,9OA;";
    Plot p;
    p.run(stream);
    EXPECT_EQ(p.link.written, "200,200,1\r300,300,1\r400,400,0\r9,9,0\r");
    EXPECT_EQ(p.result.instructions, 10);
    EXPECT_EQ(p.result.ignored, 0);
    // Only the line from 100,100 to 300,300 (pixels 8 to 23) is drawn.
    int outside = 0;
    for (int y = 0; y < 600; ++y)
        for (int x = 0; x < 800; ++x)
            outside += p.page().pixel(x, y) != penColours[0] && (x > 24 || y < 575);
    EXPECT_EQ(outside, 0);
    EXPECT_TRUE(p.inked(250, 250));
}

TEST(Hpgl2, HostileInputStaysBounded) {
    // Four megabytes of raster that would draw as HP-GL/2.
    const std::string raster = repeated("PD9000,7000;", 333334).substr(0, 4000000);
    const std::pair<std::string, std::string> cases[] = {
        {"PE=" + std::string(5000, 'A') + "\xC0" + pe(5) + ";OA;OE;", "0,0,0\r6\r"},
        {"PS0;OE;PS-5,9;OE;PS9999999999;OE;OH;", "3\r3\r3\r0,0,10300,7650\r"},
        {"NP1;OE;PC99,1,1,1;OE;SC0,0,0,0;OE;RO45;OE;", "3\r3\r3\r3\r"},
        {"FT3,0;RA3000,3000;AA0,0,99999999999;CI5,0.0001;LT2,0.0000001;PD1,1;FT5;OE;", "3\r"},
        {"\x1b"
         "E\x1b*b4000000W" +
             raster + "\x1b%0BOI;",
         "7470A\r"},
        {"\x1b"
         "E\x1b*b99999999999W" +
             raster + "\x1b%0BOI;",
         ""}, // data to the end
    };
    for (const auto& [stream, expected] : cases)
        EXPECT_EQ(replies(stream), expected) << stream.substr(0, 30);
}

TEST(Hpgl2, APolygonBufferOfAMillionPointsKeepsItsBound) {
    Plot p;
    p.run("PM0;PD" + repeated("1000,1000,2000,1000,", 500000) + "2000,2000;PM2;FP;OE;");
    EXPECT_EQ(p.link.written, "7\r");
    // The buffer stopped growing at its bound; FP edged what it kept.
    EXPECT_EQ(p.model().polygon().vertices().size(), PolygonBuffer::maxPoints);
    EXPECT_TRUE(p.inked(1500, 1000));
    EXPECT_FALSE(p.inked(1900, 1500));
    EXPECT_NE(p.model().hint().find("outlined, not filled"), std::string_view::npos);
}

TEST(Hpgl2, AnEncodedPolylineCutByTheEndOfARunGoesOn) {
    Plot p;
    p.run("PE<=" + pe(10));
    p.run(pe(20) + pe(5) + pe(5));
    EXPECT_EQ(p.run(";OA;").link.written, "15,25,1\r");
}

// A pause of the line draws nothing: a wide path's cap comes when the
// path ends (the next instruction that is no move, or the stream's end).
TEST(Hpgl2, AWidePathsCapWaitsForThePathsEnd) {
    const double cap[] = {1000, 3030};
    Plot paused;
    paused.run("PW2;LA1,4;PA1000,1000;PD1000,3000;");
    EXPECT_FALSE(paused.inked(cap[0], cap[1])) << "the cap was drawn at a pause";
    paused.run("PD1000,2000;");
    EXPECT_FALSE(paused.inked(cap[0], cap[1])) << "the path went on: a join, no cap, at its turn";
    paused.run("SP2;");
    EXPECT_TRUE(paused.inked(1000, 1970)) << "SP ends the path: its cap";
    Plot ended;
    ended.run("PW2;LA1,4;PA1000,1000;PD1000,3000;");
    ended.end();
    EXPECT_TRUE(ended.inked(cap[0], cap[1])) << "the stream's end ends the path";
}

// What costs the most is capped: a fill repeated with nothing drawn since
// (but fills like it) draws once; hatch lines closer than a wide pen is wide fill the area
// solid; a wide round pen's line type shorter than half its width draws
// solid. Each is told by the areas drawn (the display list's paths).
TEST(Hpgl2, CostlyWorkIsCapped) {
    const std::string square = "PA1000,1000;PM0;PD2000,1000,2000,2000,1000,2000;PM2;";
    const auto areas = [](const std::string& stream) {
        Plot p;
        p.session.keepDisplayList(true);
        p.run(stream);
        return p.session.displayList()->paths().size();
    };
    // The stream, and the times over it draws the areas of the first.
    const std::tuple<std::string, std::string, size_t> cases[] = {
        {square + "FP;FP;FP;", square + "FP;", 1},
        {square + "FP;FP1;", square + "FP;", 2},
        {square + "FP;FP1;FP;FP1;FP;", square + "FP;", 2},            // alternating: each kind once
        {square + "FP;FP1;SP1;FP;FP1;", square + "FP;", 2},           // the same pen again
        {square + "FT1;FP;FT2;FP;FT1;FP;FT2;FP;", square + "FP;", 1}, // every solid is one
        {square + "FT10,20;FP;FT10,20;FP;FT11;FP;", square + "FP;", 2},
        // The colours differ: the last recolours what the second recorded.
        {square + "FT10,50;FP;FT1;FP;FT10,50;FP;", square + "FP;", 2},
        {square + "FP;CR;FP;", square + "FP;", 2},
        {square + "FP;LBA\x03"
                  "FP;",
         square + "FP;LBA\x03", 2},
        {square + "PW10;EP;EP;", square + "PW10;EP;", 1},
        {square + "PW10;EP;PW10;EP;", square + "PW10;EP;", 1},
        {square + "PW10;EP;PW9;EP;PW10;EP;PW9;EP;", square + "PW10;EP;", 2},   // widths, ends:
        {square + "PW10;EP;LA2,4;EP;LA;EP;LA2,4;EP;", square + "PW10;EP;", 2}, // each kind once
        {square + "PW10;LT2,5;EP;LT;EP;LT2,5;EP;LT;EP;", square + "PW10;LT2,5;EP;LT;EP;", 1},
        {square + "EP;PU;EP;PA0,0;EP;OI;EP;", square + "EP;", 1}, // moves and queries between
        {"PW10;FT3,13,0;PA1000,1000;RA3000,3000;", "PA1000,1000;RA3000,3000;", 1},
        {"PW10;LA1,4;LT2,0.65,1;PA1000,1000;PD1000,5000;PU;",
         "PW10;LA1,4;PA1000,1000;PD1000,5000;PU;", 1},
    };
    for (const auto& [stream, reference, times] : cases)
        EXPECT_EQ(areas(stream), times * areas(reference)) << printable(stream);
    // The solid fill in place of the wide hatch stays within the area.
    Plot hatched;
    hatched.run("PW10;FT3,13,0;PA1000,1000;RA3000,3000;");
    plotanix::testing::expectInk(hatched, {{2000, 2000}, {2990, 2990}}, {{2000, 3150}}, "hatch");
}

// A polygon of full-height teeth, 10,000 plotter units across.
std::string teeth(int points) {
    std::string plot = "PA100,300;PM0;PD";
    for (int i = 0; i < points; ++i)
        plot += std::to_string(100 + i * 10000 / points) + (i % 2 ? ",300," : ",7300,");
    return plot + "100,300;PM2;";
}

// Hatching and a wide pen's dashes round an area are bounded by their cost:
// past about a tenth of a second they are drawn solid, and those of a
// whole plot may cost so much more for each byte it sends. What is drawn
// hangs on the bytes alone, however the line cut them into reads.
TEST(Hpgl2, CostlyHatchingIsFilledSolid) {
    const std::string big = teeth(5000);
    Plot solid, crossHatched, sparse;
    solid.run(big + "FP;");
    crossHatched.run(big + "FT4,13,45;FP;"); // lines a pixel apart, 4 million crossings
    sparse.run(big + "FT4,130,45;FP;");
    EXPECT_TRUE(crossHatched.page().pixels == solid.page().pixels);
    EXPECT_EQ(crossHatched.model().hint(),
              "hatching or outlines that would have cost too much were drawn solid or thin");
    EXPECT_FALSE(sparse.page().pixels == solid.page().pixels);
    EXPECT_EQ(sparse.model().hint(), "");
    // A wide pen's dashes round the same teeth, 280,000 of them: drawn solid.
    Plot solidEdge, dashedEdge;
    solidEdge.run("PW10;" + big + "EP;");
    dashedEdge.run("PW10;LT2,1;" + big + "EP;");
    EXPECT_TRUE(dashedEdge.page().pixels == solidEdge.page().pixels);
    EXPECT_EQ(dashedEdge.model().hint(),
              "hatching or outlines that would have cost too much were drawn solid or thin");

    // Twelve hatches at new angles, each about 50 ms of work: the first
    // few are hatched, the rest filled solid; with 48 KB more of the plot
    // between them, all are hatched.
    std::string costly = teeth(2000), padded = costly;
    for (int angle = 0; angle < 12; ++angle) {
        costly += "FT3,13," + std::to_string(angle) + ";FP;";
        padded += "FT3,13," + std::to_string(angle) + ";FP;" + repeated("PA100,300;", 400);
    }
    Plot whole, byBytes, all;
    whole.run(costly);
    byBytes.feed(costly, 7);
    byBytes.run();
    all.run(padded);
    EXPECT_EQ(whole.model().hint(),
              "hatching or outlines that would have cost too much were drawn solid or thin");
    EXPECT_TRUE(whole.page().pixels == byBytes.page().pixels);
    EXPECT_EQ(all.model().hint(), "");
    EXPECT_FALSE(whole.page().pixels == all.page().pixels);
}

// Wide and dashed outlines are bounded by their cost, reckoned in the pixels
// finally drawn (an enlarged copy's too): none drawn as asked is reckoned
// past what one instruction may cost, all of them stay within the plot's
// allowance, and past either an outline is drawn solid, then plain (thin
// and solid, whatever the pen's width and line type, so that changes
// between outlines of one buffer cost nothing more). Not timed: the model's
// own reckoning is asserted, the times are the bench's.
TEST(Hpgl2, CostlyOutlinesStayWithinTheirBounds) {
    const std::string big = teeth(5000), huge = teeth(16000);
    // The stream, and whether outlines give way at the page's scale and in
    // a copy four times as large.
    const std::tuple<std::string, std::string, bool, bool> cases[] = {
        {"two widths", "PW10;" + big + repeated("PW9;EP;PW10;EP;", 100), false, true},
        {"six widths", "PW10;" + big + repeated("PW5;EP;PW6;EP;PW7;EP;PW8;EP;PW9;EP;PW10;EP;", 10),
         true, true},
        {"wide dots", big + repeated("PW5;LT1,1;EP;", 200), true, true},
        {"five line types", big + repeated("LT1;EP;LT2;EP;LT3;EP;LT4;EP;LT5;EP;", 20), true, true},
        {"round joins", "PW10;LA2,4;" + huge + "EP;", true, false}, // cheaper than thin
        {"thin and solid", huge + "EP;EP;", false, false},
    };
    for (const double scale : {1, 4}) {
        for (const auto& [name, stream, atOne, atFour] : cases) {
            Plot p;
            if (scale != 1) {
                p.session.keepDisplayList(true);
                p.session.drawing().setCopyScale(scale);
            }
            p.run(stream);
            const Hpgl2::AreaCosts& costs = p.model().areaCosts();
            const std::string what = name + " at scale " + std::to_string(int(scale));
            EXPECT_LE(costs.costliest, 80e6) << what;
            // Past the bound only where an enlarged copy's thin strokes
            // would cost more, and then once: the allowance is spent.
            EXPECT_LE(costs.pastBound, scale == 1 ? 0 : 1) << what;
            EXPECT_LE(costs.spent - costs.pastBoundSpent, 300e6 + 8000 * double(stream.size()))
                << what;
            EXPECT_EQ(costs.givenWay > 0, scale == 1 ? atOne : atFour) << what;
            EXPECT_EQ(p.model().hint().empty(), costs.givenWay == 0) << what;
        }
    }
    // The plain outline is the thin pen's.
    Plot plain, thin;
    plain.run("PW10;LA2,4;" + huge + "EP;");
    thin.run(huge + "EP;");
    EXPECT_TRUE(plain.page().pixels == thin.page().pixels);
}

// An area repeated in another colour paints again the pixels the one before
// painted: the page, the counts and the extent come out as when each is
// drawn afresh (CR between, which draws nothing, makes each afresh).
TEST(Hpgl2, RepaintedAreasMatchAreasDrawnAfresh) {
    const std::string zigzag = "PA100,300;PM0;PD" + [] {
        std::string points;
        for (int i = 1; i < 60; ++i)
            points += std::to_string(100 + 150 * i) + (i % 2 ? ",7000," : ",300,");
        return points;
    }() + "9000,300;PM2;";
    const std::string offPaper = "PA9000,6000;PM0;PD13000,6000,13000,9000,9000,9000;PM2;";
    // The stream, and how many areas are painted again.
    const std::pair<std::string, int64_t> cases[] = {
        {squareWithHole("FP;SP2;FP;SP3;FP;SP2;FP;"), 2}, // the second one kept
        {"FT3,50,30;" + squareWithHole("FP;SP2;FP;SP1;FP;"), 1},
        {"PW1;FT4,100,45;" + zigzag + "FP;SP2;FP;SP1;FP;", 1},
        {"FT10,30;" + squareWithHole("FP;SP2;FP;SP1;FP;"), 1},
        {squareWithHole("FT10,30;FP;SP2;FT10,70;FP;SP1;FT1;FP;"), 1},     // a shade is a colour
        {squareWithHole("FP;PC1,255,0,0;SP1;FP;PC1,0,255,0;SP1;FP;"), 1}, // so is a pen's new one
        // Painted again and again, then drawn across: painted before the line.
        {squareWithHole("FP;SP2;FP;SP3;FP;SP4;FP;SP2;FP;PA0,0;PD4000,4000;"), 3},
        {"PW10;" + zigzag + "EP;SP2;EP;SP1;EP;", 1},
        {"LT2,5;" + zigzag + "EP;SP2;EP;SP3;EP;PA100,100;PD9000,100;", 1}, // the pattern goes on
        {"PW3;" + offPaper + "EP;SP2;EP;SP1;EP;SP2;FP;SP1;FP;SP2;FP;", 2},
        {offPaper + "EP;SP2;EP;SP1;EP;", 1},
        {zigzag + "FP;SP2;FP;FP1;SP1;FP;", 1},            // FP1 between: FP's own pixels again
        {zigzag + "LT2,5;EP;SP2;EP;SP1;LT;EP;", 0},       // a new line type: drawn
        {zigzag + "LT2,5;EP;SP2;EP;SP1;LT;LT2,5;EP;", 1}, // the same again: repainted
        {"PW10;" + zigzag + "LT2,5;EP;SP2;LT3,5;EP;SP1;LT2,5;EP;", 0},
        {zigzag + "FP;SP2;FP;SP1;FP1;FP;", 0},
        {zigzag + "FP;SP2;FP;PA0,0;PD100,100;PU;SP1;FP;", 0},       // drawn between
        {zigzag + "FP;SP2;FP;SP1;" + squareWithHole("FP;"), 0},     // another buffer
        {"PW10,2;" + zigzag + "EP;SP2;EP;SP1;EP;", 0},              // pen 2 is thinner
        {"TR1;PC2,255,255,255;" + zigzag + "FP;SP2;FP;SP1;FP;", 0}, // transparent white
    };
    const auto afresh = [](std::string stream) {
        for (size_t at = 0; (at = stream.find("SP", at)) != std::string::npos; at += 5)
            stream.insert(at, "CR;");
        return stream;
    };
    for (const auto& [stream, repainted] : cases) {
        Plot once, each;
        once.run(stream);
        each.run(afresh(stream));
        EXPECT_EQ(once.model().areasRepainted(), repainted) << printable(stream);
        EXPECT_EQ(each.model().areasRepainted(), 0);
        EXPECT_TRUE(once.page().pixels == each.page().pixels) << printable(stream);
        EXPECT_EQ(once.model().offPaper(), each.model().offPaper()) << printable(stream);
        const Drawing& a = once.session.drawing();
        const Drawing& b = each.session.drawing();
        EXPECT_EQ(std::tuple(a.lineTally().asked, a.lineTally().onPage, a.marks()),
                  std::tuple(b.lineTally().asked, b.lineTally().onPage, b.marks()));
        EXPECT_EQ(std::tie(a.extent().left, a.extent().top, a.extent().right, a.extent().bottom),
                  std::tie(b.extent().left, b.extent().top, b.extent().right, b.extent().bottom))
            << printable(stream);
    }
    // Kept whole (an enlarged copy's), the list has the area painted again
    // recoloured where it was recorded; handed on as it grows (a vector
    // copy's), it has the areas drawn afresh. The pixels are the same.
    struct Dropped : ListSpill {
        void take(const DisplayList&) override {}
        std::shared_ptr<ListSpill> fresh() const override { return std::make_shared<Dropped>(); }
    };
    const std::string stream = squareWithHole("FP;SP2;FP;SP1;FP;");
    Plot afreshPlot;
    afreshPlot.run(stream);
    for (const bool spills : {false, true}) {
        Plot listed;
        listed.session.keepDisplayList(true);
        if (spills) listed.session.drawing().recording()->spillInto(std::make_shared<Dropped>());
        listed.run(stream);
        const DisplayList& list = *listed.session.displayList();
        EXPECT_EQ(listed.model().areasRepainted(), spills ? 0 : 1) << spills;
        EXPECT_EQ(list.paths().size(), spills ? 3u : 2u) << spills;
        EXPECT_EQ(list.items().back().colour, list.items().front().colour) << spills;
        EXPECT_TRUE(listed.page().pixels == afreshPlot.page().pixels) << spills;
    }
}

TEST(Hpgl2, DrawsAnEzdxfFileWhole) {
    const std::string path = plotanix::testing::corpusFile("ezdxf__PLOTFILE.plt");
    if (path.empty()) GTEST_SKIP() << "no corpus at " << plotanix::testing::corpusDirectory();
    Plot p;
    p.run(readFile(path) + "OE;");
    EXPECT_EQ(p.link.written, "0\r");
    EXPECT_EQ(p.result.ignored, 0);
    std::map<Colour, int> colours;
    for (int y = 0; y < 600; ++y)
        for (int x = 0; x < 800; ++x)
            ++colours[p.page().pixel(x, y)];
    // The solid fill (pen 0 made magenta), the red circle, the blue square,
    // the green triangle, the grey grid and the black frame, hatch and text.
    const std::pair<Colour, int> least[] = {{0xFF00FF, 7000}, {0x0000FF, 450},  {0xFF0000, 500},
                                            {0x00FF00, 700},  {0x737373, 2000}, {0x000000, 12000}};
    for (const auto& [colour, count] : least)
        EXPECT_GE(colours[colour], count) << std::hex << colour;
}

// The instructions that make a file the HP-GL/2 model's: those it knows
// and the 7470A model does not.
TEST(Hpgl2Dialect, TheInstructionsOnlyHpgl2Has) {
    std::string only;
    for (char first = 'A'; first <= 'Z'; ++first)
        for (char second = 'A'; second <= 'Z'; ++second)
            if (const std::string m{first, second};
                plotterKnows(PlotterModel::hpgl2, m) && !plotterKnows(PlotterModel::hp7470a, m))
                only += m + " ";
    EXPECT_EQ(only, "AC AD AT BP BR BZ CR CT EA EP ER EW FP FR FT IR LA LO MC NP NR OH OT PC PE "
                    "PG PM PP PS PW QL RA RO RR RT SD TR UL WG WU ");
    EXPECT_TRUE(writtenForHpgl2("pe;"));
}
