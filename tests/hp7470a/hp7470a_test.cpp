// The HP 7470A model run in process on a fake line: replies byte for byte,
// positions through OA/OC, and the pixels its vectors leave on the page.

#include "support/model_plot.h"
#include "support/real_streams.h"
#include "support/temp_dir.h"

#include "hpgl/geometry.h"
#include "page/drawing.h"

#include <algorithm>
#include <cmath>
#include <gtest/gtest.h>
#include <random>

using namespace plotanix;
using plotanix::testing::letterScale;
using plotanix::testing::readFile;
using plotanix::testing::repeated;

namespace {

// The 7470A model through the session, as every mode drives it.
struct Plot : plotanix::testing::ModelPlot {
    explicit Plot(Paper paper = Paper::letter) : ModelPlot(PlotterModel::hp7470a, paper) {}
};

std::string replies(std::string_view stream, Paper paper = Paper::letter) {
    return plotanix::testing::modelReplies(PlotterModel::hp7470a, stream, paper);
}

} // namespace

TEST(Hp7470a, RepliesByteForByte) {
    const std::pair<std::string, std::string> cases[] = {
        {"OO;OD;OW;OA;", "0,1,0,0,1,0,0,0\r0,0,0\r0,0,10300,7650\r0,0,0\r"},
        // Either case, separators between letters, ended by the next instruction.
        {"oi;O IOI;", "7470A\r7470A\r7470A\r"},
        {"\x1b.B\x1b.L\x1b.E\x1b.O", "255\r255\r0\r8\r"},
        {"\x1b.M;;;10;13:OI;\x1b.M:OI;", "7470A\n\r7470A\r"},
        {"\x1b.M;;;;;2:OF;", "\x02"
                             "40,40\r"},
        {"PA10\x1b.O,20;OA;", "8\r10,20,0\r"}, // executed inside the parameters
        {"\x1b.)OI;\x1b.(OF;", "40,40\r"},     // HP-GL ignored while the plotter is off
        {"\x05OI;\x1b.H80;5;6:\x05OI;", "7470A\r\x06\r7470A\r"},
        {"\x1b.I80;5;6:PA1\x05,1;\x1b.I:\x05", "\x06"},
        // A byte no ESC . instruction has, or one that spoils the parameters,
        // is dropped with the sequence: nothing of it is HP-GL.
        {"\x1b.QOI;\x1b.E\x1b.E", "7470A\r11\r0\r"},
        {"\x1b.M5;OOI;\x1b.E", "7470A\r12\r"},
        // An unknown instruction ends at the next letter.
        {"RO90OI;ZZ OI;", "7470A\r7470A\r"},
        {"ZZ1.5\rPA100,100XX;OA", "100,100,0\r"},
        // Its own instructions' errors.
        {"SC0,0,0,0;OE;SC0,1;OE;IN5;OE;", "0\r2\r2\r"},
        {"TL200;OE;CS9;OE;SC0,1,0,99999;OE;VS100;OE;", "3\r3\r3\r3\r"},
        // The output trigger holds a reply while plotting goes on, IN and DF
        // included; a second reply meanwhile is error 10. ESC.J drops it,
        // ESC.M without a trigger lets it go.
        {"\x1b.M;17:OI;PA5,5;IN;DF;\x11OF;", "7470A\r"},
        {"\x1b.M;17:IN;DF;OI;\x11", "7470A\r"},
        {"\x1b.M;17:OI;OF;\x11\x1b.E\x11", "7470A\r10\r"},
        {"\x1b.M;17:OI;\x1b.J\x11OF;\x11", "40,40\r"},
        {"\x1b.M;17:OI;\x1b.M:OF;", "7470A\r40,40\r"},
        // The host's echo of a reply is passed over up to the echo terminator.
        {"\x1b.M;;10:DF;OI;7470A\r\nOF;", "7470A\r40,40\r"},
        // Handshake mode 1 answers ENQ as an output (trigger, echo,
        // terminator, no initiator); mode 2 at once and bare.
        {"\x1b.M;17;10;;;2:\x1b.H80;5;6:\x05PA1,1;\x11\x06\r\nOF;\x11", "\x06\r\x02"
                                                                        "40,40\r"},
        {"\x1b.M;17;10:\x1b.I80;5;6:\x05OF;\x11", "\x06"
                                                  "40,40\r"},
    };
    for (const auto& [stream, expected] : cases)
        EXPECT_EQ(replies(stream), expected) << stream;
    EXPECT_EQ(replies("OW;IW;OW;", Paper::a4), "0,0,10900,7650\r0,0,10900,7650\r");
}

TEST(Hp7470a, UserScaling) {
    const std::pair<std::string, std::string> cases[] = {
        {"IP0,0,1000,1000;SC0,10,0,10;PA5,5;OA;", "500,500,0\r"},
        {"IP0,0,1000,1000;SC10,0,0,10;PA2,5;OA;", "800,500,0\r"},            // mirrored
        {"IP0,0,1000,2000;SC0,10,0,10;PA5,5;OA;OC;", "500,1000,0\r5,5,0\r"}, // anisotropic
        {"SC0,10,0,10;PA2.5,2.5;OA;OC;", "2750,2079,0\r2.5,2.5,0\r"},
        {"SC0,0,0,10;PA5,5;OA;", "5,5,0\r"}, // collapsed limits: plotter units
        {"PA-1234.4,0;OC;OA;", "-1235,0,0\r0,0,0\r"},
        {"PA100,100,200;OA;PA300,300 400-400;OA;", "100,100,0\r400,0,0\r"},
    };
    for (const auto& [stream, expected] : cases)
        EXPECT_EQ(replies(stream), expected) << stream;
}

TEST(Hp7470a, PaperMapsOntoThePicture) {
    Plot p;
    p.run("PD10300,7650;");
    EXPECT_TRUE(p.inkedPixel(0, 599));
    EXPECT_TRUE(p.inkedPixel(799, 5));
    EXPECT_FALSE(p.inkedPixel(799, 4));
}

TEST(Hp7470a, Drawing) {
    struct Case {
        std::string stream;
        plotanix::testing::Spots inked, clear;
    };
    const Case cases[] = {
        // Crossed corners leave no window.
        {"IW2000,2000,1000,1000;PD1500,1500,0,3000;", {}, {{1500, 1500}, {1000, 2000}}},
        // Ticks: tp up/right, tn down/left, in percent of P2 - P1.
        {"PA5000,4000;TL10,5;XT;", {{5000, 4700}, {5000, 3660}}, {{5000, 4800}, {5000, 3560}}},
        {"PA5000,4000;TL1;YT;", {{5090, 4000}}, {{5150, 4000}, {4950, 4000}}},
        // A printing terminator is drawn: H's stems and bar.
        {"PA1000,1000;SI1,1.5;DTH;LBH", {{1025, 1100}, {1375, 1500}, {1200, 1314}}, {{1200, 1500}}},
        // UC: the manual's Sigma on a grid of 100 x 100 units.
        {"PA1000,1000;SI1,2;UC4,7,99,0,1,-4,0,2,-4,-2,-4,4,0,0,1;",
         {{1200, 1800}, {1200, 1400}, {1000, 1000}, {1200, 1000}, {1400, 1050}},
         {{1300, 1400}, {1400, 1300}}},
        // LT through the model: period 1000 (10% of a 10000 diagonal), running on
        // across the vector that ends at 3700 in a gap.
        {"IP0,0,6000,8000;LT2,10;LT;LT2;PA0,4000;PD3700,4000,10000,4000;",
         {{250, 4000}, {3250, 4000}, {4250, 4000}, {9250, 4000}},
         {{750, 4000}, {3750, 4000}, {8750, 4000}}},
        {"IP0,0,6000,8000;LT4,10;PA0,4000;PD3700,4000,10000,4000;",
         {{400, 4000}, {900, 4000}, {4900, 4000}},
         {{850, 4000}, {950, 4000}, {3850, 4000}}},
        {"IP0,0,6000,8000;LT0,10;PA0,4000;PD3700,4000,10000,4000;",
         {{0, 4000}, {3700, 4000}, {10000, 4000}},
         {{2000, 4000}}},
        // Scaling and moves after an unknown instruction on the same line:
        // the line spans the page, not a corner.
        {"IN SP1 RO90 IP 0,0,10300,7650 SC 0,100,0,100 PU 10,50 PD 90,50\n",
         {{1030, 3825}, {5150, 3825}, {9270, 3825}},
         {{50, 50}, {9400, 3825}}},
    };
    for (const Case& c : cases) {
        Plot p;
        p.run(c.stream);
        plotanix::testing::expectInk(p, c.inked, c.clear, c.stream);
    }
}

namespace {

// The window's cut as it was, dividing for every vector (Liang-Barsky).
bool dividingCut(const Window& w, Point& a, Point& b) {
    const double dx = b.x - a.x, dy = b.y - a.y;
    double t0 = 0.0, t1 = 1.0;
    const double p[4] = {-dx, dx, -dy, dy};
    const double q[4] = {a.x - w.xll, w.xur - a.x, a.y - w.yll, w.yur - a.y};
    for (int i = 0; i < 4; ++i) {
        if (p[i] == 0.0) {
            if (q[i] < 0.0) return false;
            continue;
        }
        const double t = q[i] / p[i];
        (p[i] < 0.0 ? t0 : t1) = p[i] < 0.0 ? std::max(t0, t) : std::min(t1, t);
        if (t0 > t1) return false;
    }
    const Point start = a;
    if (t0 > 0.0) a = {start.x + t0 * dx, start.y + t0 * dy};
    if (t1 < 1.0) b = {start.x + t1 * dx, start.y + t1 * dy};
    return true;
}

} // namespace

// A solid vector is cut once, by the window, and drawn from there; it used
// to be cut by the window twice and by the page a third time. Random
// vectors inside, across and outside the window leave the same pixels as
// the three cuts did.
TEST(Hp7470a, OneCutDrawsWhatThreeDid) {
    const std::pair<std::string, Window> windows[] = {
        {"", {0, 0, 10300, 7650}},
        {"IW1200,700,8800,6100;", {1200, 700, 8800, 6100}},
    };
    std::mt19937 random(59);
    std::uniform_int_distribution<int> xs(-4000, 14000), ys(-4000, 11000);
    for (const auto& [setWindow, window] : windows) {
        std::string stream = setWindow;
        const auto reference = createPageImage(800, 600, 24, 0xFFFFFF);
        ASSERT_NE(reference, nullptr);
        Drawing drawing;
        drawing.beginDrawing(*reference);
        drawing.setFrontColour(0);
        const auto pixel = [](double v) { return int64_t(std::floor(v * letterScale + 0.5)); };
        for (int i = 0; i < 3000; ++i) {
            Point a{double(xs(random)), double(ys(random))},
                b{double(xs(random)), double(ys(random))};
            stream += "PU" + std::to_string(int(a.x)) + "," + std::to_string(int(a.y)) + ";PD" +
                      std::to_string(int(b.x)) + "," + std::to_string(int(b.y)) + ";";
            if (!dividingCut(window, a, b) || !dividingCut(window, a, b)) continue;
            int64_t ax = pixel(a.x), ay = 599 - pixel(a.y), bx = pixel(b.x), by = 599 - pixel(b.y);
            if (ax != bx && ay != by &&
                (!clipEnds(ax, ay, bx, by, 0, 799) || !clipEnds(ay, ax, by, bx, 0, 599)))
                continue;
            drawing.drawLine(int32_t(ax), int32_t(ay), int32_t(bx), int32_t(by));
        }
        Plot p;
        p.run(stream);
        int differing = 0;
        for (int row = 0; row < 600; ++row) {
            for (int col = 0; col < 800; ++col)
                differing += p.inkedPixel(col, row) != (reference->pixel(col, row) != 0xFFFFFF);
        }
        EXPECT_EQ(differing, 0) << "pixels the one cut draws otherwise, window " << setWindow;
    }
}

TEST(Hp7470a, PenPositionAfterTicksAndLabels) {
    const std::pair<std::string, std::string> cases[] = {
        {"PA5000,4000;XT;YT;OA;", "5000,4000,0\r"},
        {"DT;LBA;OC;CP2,1;OC;CP;OC;", "225,0,0\r450,216,0\r0,-216,0\r"},
        {"LBA\x1b.OB\x03OC;", "8\r225,0,0\r"},
        // HP-GL without terminators: the moves after an unknown instruction
        // on the same line still place the labels.
        {"DT$\nPA1000,1000 RO90 LBA$OC PA 1000,3000 ZZ5 LBA$OC", "1225,1000,0\r1225,3000,0\r"},
        {"PD;SR1.5,3;UC;OC;IP0,0,20000,7200;CP1,-1;OC;", "225,0,1\r675,-432,1\r"},
    };
    for (const auto& [stream, expected] : cases)
        EXPECT_EQ(replies(stream), expected) << stream;
}

TEST(Hp7470a, HostileLabelsStayBounded) {
    const std::string moves = "PA5000,3000;UC99" + repeated(",3,0,-3,0", 10000);
    const std::pair<std::string, std::string> cases[] = {
        {moves + ";OC;OE;", "5112.5,3000,0\r0\r"},
        {"LT2,0;PD9000,7000;LT3,127.9999;PD0,0;LT4,128;OE;", "3\r"},
    };
    for (const auto& [stream, expected] : cases)
        EXPECT_EQ(replies(stream), expected) << stream.substr(0, 40);
}

// The turnaround delay is asked of the line before each reply's first byte
// (from the trigger when there is one); the model itself never waits.
TEST(Hp7470a, TurnaroundDelayGoesToTheLine) {
    const std::pair<std::string, std::vector<int32_t>> cases[] = {
        {"OI;", {0}},
        {"\x1b.M5000:OI;OF;", {4948, 4948}},
        {"\x1b.M54612;17:OI;PA1,1;\x11", {54043}},
        {"\x1b.M54613:OI;", {0}}, // beyond the range: none
        {"\x1b.M1000:\x1b.I80;5;6:\x05", {989}},
    };
    for (const auto& [stream, delays] : cases) {
        Plot p;
        EXPECT_EQ(p.run(stream).link.delays, delays) << stream;
    }
}

// ESC.H without an enquiry character is the XON/XOFF handshake and ESC.@'s
// bit 0 the hardwire one: the line is asked to carry them. IN leaves them.
TEST(Hp7470a, HandshakesAskTheLineForFlowControl) {
    using enum FlowControl;
    const std::pair<std::string, FlowControl> cases[] = {
        {"OI;", none},
        {"\x1b.H80;0;17:", xonxoff},
        {"\x1b.H80;;17:IN;DF;", xonxoff},
        {"\x1b.H80;5;6:", none},
        {"\x1b.H80;0;17:\x1b.H:", none},
        {"\x1b.H80;0;17:\x1b.R", none},
        {"\x1b.H80;0;17:\x1b.I80;0;6:", none},
        {"\x1b.@;1:", rtscts},
        {"\x1b.@;13:", rtscts},
        {"\x1b.@;12:", none},
        {"\x1b.@;1:\x1b.@:", none},
        {"\x1b.H80;0;17:\x1b.@;1:", rtscts},
        {"\x1b.H80;0;17:\x1b.@;1:\x1b.@;0:", xonxoff},
    };
    for (const auto& [stream, flow] : cases) {
        Plot p;
        const std::vector<FlowControl>& asked = p.run(stream).link.flows;
        ASSERT_FALSE(asked.empty()) << stream;
        EXPECT_EQ(asked.front(), none) << "a model at power-on asks for none";
        EXPECT_EQ(asked.back(), flow) << stream;
    }
}

// A hostile host's device control, enquiries and unknown instructions keep
// the plotter in step, with no more held back than one reply.
TEST(Hp7470a, HostileHostsStayBounded) {
    const std::string enquiries(100000, '\x05');
    const std::pair<std::string, std::string> cases[] = {
        {"\x1b.@" + repeated("1;", 10000) + ":OI;\x1b.E", "7470A\r14\r"},
        {"\x1b.M" + std::string(10000, '9') + ":OI;", "7470A\r"},
        {"\x1b.H80;5;6:" + enquiries + "OI;", repeated("\x06\r", 100000) + "7470A\r"},
        {"\x1b.M;17:\x1b.H80;5;6:" + enquiries + "\x11\x1b.E\x11", "\x06\r10\r"},
    };
    for (const auto& [stream, expected] : cases)
        EXPECT_EQ(replies(stream), expected) << stream.substr(0, 20);
    // A trigger that never comes: the reply waits, plotting goes on, and the
    // replies asked for meanwhile are dropped, not piled up.
    Plot p;
    p.run("\x1b.M;17:OI;" + repeated("OA;PR1,0;PD;", 5000) + "PR0,1000;");
    EXPECT_EQ(p.link.written, "");
    EXPECT_TRUE(p.inked(5000, 500));
    EXPECT_EQ(p.run("\x11\x1b.E\x11").link.written, "7470A\r10\r");
    // Unknown mnemonics without separators: each one counted and recorded.
    std::string kept;
    p.log.openMemory(kept);
    p.run(repeated("ZQ", 50000) + "OI;\x11");
    EXPECT_EQ(p.result.ignored, 50000);
    EXPECT_EQ(p.link.written, "7470A\r10\r7470A\r");
    p.log.flushLog();
    int records = 0;
    for (size_t at = kept.find("****ZQ***"); at != std::string::npos;
         at = kept.find("****ZQ***", at + 1))
        ++records;
    EXPECT_EQ(records, 50000);
}

TEST(Hp7470a, HostileInputStaysInStep) {
    const std::string stream =
        "PA100,100;PR" + repeated("1,0,-1,0,", 150000) + "5,5PA" + std::string(5000, '9') + ",1;";
    EXPECT_EQ(replies(stream + "OA;OE;"), "105,105,0\r3\r");
}

// Written without ';', with IP and SC after IN on one line and CR LF line
// ends: the frame lands where SC puts it, page-wide. The corpus's file,
// when it is here, draws its square and circle.
TEST(Hp7470a, DrawsRealFilesWhole) {
    Plot seed;
    seed.run(readFile(plotanix::testing::seedStream("no-terminators.plt")) + "OE;");
    EXPECT_EQ(seed.link.written, "0\r");
    EXPECT_EQ(seed.result.ignored, 0);
    EXPECT_TRUE(seed.inked(9000, 4000)); // the frame's right edge: user x 1000
    EXPECT_TRUE(seed.inked(5000, 1000)); // its bottom edge: user y 0

    const std::string path = plotanix::testing::corpusFile("hpgl_to_7221__test.hpgl");
    if (path.empty()) GTEST_SKIP() << "no corpus at " << plotanix::testing::corpusDirectory();
    Plot p;
    p.run(readFile(path) + "OE;");
    EXPECT_EQ(p.link.written, "0\r");
    EXPECT_EQ(p.result.ignored, 0);
    EXPECT_TRUE(p.inked(100, 50)); // the square
    EXPECT_TRUE(p.inked(75, 50));  // the circle
}
