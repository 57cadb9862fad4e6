// Each instruction on a white page, run in process as the plotter runs it:
// checked on the pixels, the pen state, the replies and the transcript.

#include "hp86b/hp86b_reader.h"
#include "logfile/transcript_format.h"
#include "support/in_process_plot.h"

#include <climits>
#include <cmath>
#include <gtest/gtest.h>
#include <numbers>

using namespace plotanix;
using plotanix::testing::inkedPixels;
using plotanix::testing::InProcessPlot;
using plotanix::testing::textCell;

namespace {

constexpr Colour black = 0x000000;

PlotterState stateAfter(const std::string& stream) {
    InProcessPlot plot;
    return plot.run(stream).state();
}

} // namespace

// Where the pen ends and how many pixels it inked.
TEST(Hp86bPlotter, PenMovesAndLines) {
    const auto [w, h] = textCell("X");
    ASSERT_GT(w, 0);
    struct Case {
        std::string stream;
        int inked, penX, penY;
        bool penDown;
    };
    const Case cases[] = {
        {"PA100,100;", 101, 100, 100, true}, // the pen starts down
        {"PD;PU0,0,100,100;", 0, 100, 100, false},
        {"PU10,10;PD20,10,20,20,7;", 21, 20, 20, true}, // the final odd parameter is ignored
        {"PU0,0;PD1,0,2,0,3,0,4,0,5,0,6,0,7,0,8,0,9,0,10,0;PA;", 11, 10, 0, true},
        {"PU;PA0.5,1.5;", 0, 0, 2, false}, // ties go to the even neighbour
        {"PU-2.5,2.5;", 0, -2, 2, false},
        {"SP3;PU50,60;DI0,1;DF;", 0, 0, 0, true},
        {"PU10,10;CP2,1;", 0, 10 + 2 * w, 10 + h, false}, // by the cell of an X, no line
        {"PU10,10;CP-1.5,-0.5;CP1;", 0, roundToInt32(10 - 1.5 * w), roundToInt32(10 - 0.5 * h),
         false},
        // Clamped, and clipped: the line from the origin runs to the right edge.
        {"PU1e38,1e38;PD-1e38,-1e38;PU0,0;PD3e9,0;", -1, INT32_MAX, 0, true},
    };
    for (const Case& c : cases) {
        InProcessPlot p;
        const PlotterState& state = p.run(c.stream).state();
        if (c.inked >= 0) {
            EXPECT_EQ(inkedPixels(p.page()), c.inked) << c.stream;
        }
        EXPECT_EQ(state.penX, c.penX) << c.stream;
        EXPECT_EQ(state.penY, c.penY) << c.stream;
        EXPECT_EQ(state.penDown, c.penDown) << c.stream;
        if (c.inked < 0) {
            for (int x = 80; x < 800; ++x) // plotter (0,0) is picture (80,540)
                EXPECT_EQ(p.page().pixel(x, 540), black) << x;
        }
    }
}

// Real encoders send a circle, or a whole spectrum trace, as one PD.
TEST(Hp86bPlotter, EveryPairOfALongInstructionIsTaken) {
    std::string circle[2]; // 161 points: one PD of 322 values, and split in two
    for (int i = 0; i <= 160; ++i) {
        const double a = 2 * std::numbers::pi * i / 160;
        circle[i > 80] += "," + std::to_string(400 + std::lround(200 * std::cos(a))) + "," +
                          std::to_string(250 + std::lround(200 * std::sin(a)));
    }
    InProcessPlot whole, split;
    whole.run("PU600,250;PD" + circle[0].substr(1) + circle[1] + ";");
    split.run("PU600,250;PD" + circle[0].substr(1) + ";PD" + circle[1].substr(1) + ";");
    EXPECT_EQ(whole.page().pixels, split.page().pixels);
    EXPECT_GT(inkedPixels(whole.page()), 1000);
    std::string trace = "PU0,0;PD";
    for (int i = 0; i < 1024; ++i)
        trace += std::to_string(i) + "," + std::to_string(i % 7) + (i < 1023 ? "," : ";");
    const PlotterState end = stateAfter(trace + "SP1,2,3" + std::string(297, ',') + "5;");
    EXPECT_EQ(end.penX, 1023); // the pen ends at the last of 1,024 pairs
    EXPECT_EQ(end.penY, 1023 % 7);
    EXPECT_EQ(end.frontColour, black); // SP with 300 values changes nothing
}

TEST(Hp86bPlotter, PenSelection) {
    const std::pair<std::string, int> cases[] = {
        {"SP12;", 2},
        {"SP1.9;", 1},
        {"SP4;SP;", 4},
        {"SP4;SP1,2;", 4},
        {"SP-3;", 3},
        {"SP-13.7;", 3},
        {"SP1e38;", static_cast<int>(std::fmod(1e38f, 10.0))},
        {"SP-2147483649;", static_cast<int>(std::fmod(2147483648.0, 10.0))},
        {"SP3;DF;", 1},
    };
    for (const auto& [stream, pen] : cases)
        EXPECT_EQ(stateAfter(stream).frontColour, penColours[pen]) << stream;

    InProcessPlot blue;
    blue.run("SP2;PA10,0;");
    EXPECT_EQ(blue.page().pixel(85, 540), penColours[2]);
}

TEST(Hp86bPlotter, LabelDirection) {
    const std::pair<std::string, int> cases[] = {
        {"DI0,1;", 90}, {"DI0,-1;", -90}, {"DI1,1;", 45},        {"DI-1,0;", 0},   {"DI-1,1;", -45},
        {"DI0,0;", 0},  {"DI0,1;DI;", 0}, {"DI0,1;DI1,2,3;", 0}, {"DI0,1;DF;", 0},
    };
    for (const auto& [stream, angle] : cases)
        EXPECT_EQ(stateAfter(stream).labelAngle, angle) << stream;
}

TEST(Hp86bPlotter, LabelsAreCentredOnThePenAndDiscardTheirTail) {
    InProcessPlot p;
    const PlotterState& state = p.run("PU100,100;LBABC\x03PA10,10;").state();
    // The tail after ETX, PA10,10 included, was discarded with the label.
    EXPECT_EQ(state.penX, 100);
    EXPECT_EQ(state.penY, 100);
    const int w = textCell("ABC").first, h = textCell("X").second;
    const int left = 180, top = 440 - h / 2;
    int inside = 0;
    for (int y = 0; y < 600; ++y) {
        for (int x = 0; x < 800; ++x) {
            if (p.page().pixel(x, y) == penColours[0]) continue;
            const bool inCell = x >= left && x < left + w && y >= top && y < top + h;
            EXPECT_TRUE(inCell) << x << "," << y;
            inside += inCell;
        }
    }
    EXPECT_GT(inside, 20);

    InProcessPlot ended; // no ETX: the end of the stream ends the label
    ended.run("PU100,100;LBHELLO");
    EXPECT_EQ(inkedPixels(ended.page()), 0); // a pause does not: the label may go on
    EXPECT_EQ(ended.result.instructions, 2);
    EXPECT_GT(inkedPixels(ended.end().page()), 0);
}

TEST(Hp86bPlotter, UnknownMnemonicsAreCountedLoggedAndSkipped) {
    InProcessPlot p;
    p.keepTranscript();
    const std::string stream = "XX1,2;PA10,10;\r\nPA20,20;PA30,30;pa5,5;IN;";
    p.run(stream);
    EXPECT_EQ(p.result.instructions, 6);
    EXPECT_EQ(p.result.ignored, 4);
    // The CR LF mnemonic swallowed PA20,20; lowercase is not PA.
    EXPECT_EQ(p.state().penX, 30);
    EXPECT_EQ(p.transcript(), stream + "****XX*******\r\n*******pa*******IN***");

    // A NUL in the mnemonic shortens its record.
    InProcessPlot nul;
    nul.keepTranscript();
    nul.run(std::string("\0A;B\0;", 6));
    EXPECT_EQ(nul.result.ignored, 2);
    EXPECT_EQ(nul.transcript(), std::string("\0A;B\0;", 6) + "*******" + "****B***");
}

TEST(Hp86bPlotter, RepliesGoOutOneByteAtATimeAfterTheLineDrains) {
    InProcessPlot p;
    p.run("OI;OE;OP;");
    EXPECT_EQ(p.link.written, "7470A\r\n0\r\n0,0,640,480\r\n");
    EXPECT_EQ(p.link.writes.size(), p.link.written.size());
    EXPECT_EQ(p.link.drains, static_cast<int>(p.link.written.size()));
}

TEST(Hp86bPlotter, StatusShowsTheCountersBeforeEachInstruction) {
    struct : StatusLine {
        void showStatus(int32_t instructions, int32_t ignored) override {
            shown.emplace_back(instructions, ignored);
        }
        std::vector<std::pair<int32_t, int32_t>> shown;
    } status;
    InProcessPlot p(&status);
    p.run("PA1,1;ZZ;LT;IW0,0,10,10;");
    using Shown = std::vector<std::pair<int32_t, int32_t>>;
    EXPECT_EQ(status.shown, (Shown{{0, 0}, {1, 0}, {2, 1}, {3, 1}, {4, 1}}));
}

// The transcript's worked example: the first chunk, the record for IN after
// the whole chunk, the second chunk, then the operator's two markers.
TEST(Hp86bPlotter, TranscriptOfTheWorkedExample) {
    InProcessPlot paused;
    paused.keepTranscript();
    paused.add("IN;SP1;PA10,10;");
    paused.add("PD20,20;OI;");
    paused.run();
    paused.log.writeLogText(transcript::savePageMarker(1));
    paused.log.writeLogText(transcript::newPageMarker());
    const std::string t = paused.transcript();
    EXPECT_EQ(t.size(), 87u);
    EXPECT_EQ(t, "IN;SP1;PA10,10;****IN***PD20,20;OI;"
                 "\r\n**** SAVE PAGE #1 ****\r\n\r\n\r\n**** NEW PAGE ****\r\n\r\n");

    InProcessPlot together;
    together.keepTranscript();
    together.run("IN;SP1;PA10,10;PD20,20;OI;");
    EXPECT_EQ(together.transcript(), "IN;SP1;PA10,10;PD20,20;OI;****IN***");
}

// A host that ends its lines (a BASIC OUTPUT's CR LF), pads with blanks or
// writes in lower case, or one written for the 7470A's full HP-GL, sends
// mnemonics this plotter ignores: the model says which model reads them,
// and draws as it always did.
TEST(Hp86bPlotter, IgnoredForeignInstructionsBringTheHintAndChangeNoDrawing) {
    const std::string hint =
        "the computer ends its lines with CR LF: the 7470A model (--model 7470a) reads them";
    const std::string fullHpgl =
        "the computer speaks the 7470A's HP-GL: the 7470A model (--model 7470a) reads it";
    const std::pair<std::string, std::string> cases[] = {
        {"SP1;\r\nPU100,100;\r\nPD500,100;\r\nOI;\r\n", hint},
        {"SP1;\nPA10,10;", hint},
        {"SP1; PA10,10;", hint},
        {"pa10,10;", hint},
        {"IN;SP1;PA10,10;\r\n", hint}, // both: the line ends come first
        {"IN;SP1;PA100,100;PD500,100,500,500;PU;LBHello\x03;OI;", fullHpgl},
        {"SP1;SC0,100,0,100;", fullHpgl},
        {"SP1;CI50;", fullHpgl},
        {"SP1;PU100,100;PD500,100;OI;", ""}, // the plain HP-86B stream
        {"ZZ;XX1;PA10,10;", ""},             // unknown to every model: no host's dialect
    };
    for (const auto& [stream, expected] : cases) {
        InProcessPlot p;
        p.run(stream);
        EXPECT_EQ(p.session.hint(), expected) << stream;
    }
    InProcessPlot crlf;
    crlf.run("SP1;\r\nPU100,100;\r\nPD500,100;\r\nOI;\r\n");
    // Each CR LF is an ignored instruction that skips the next to its ';'.
    EXPECT_EQ(crlf.result.instructions, 5);
    EXPECT_EQ(crlf.result.ignored, 4);
    EXPECT_EQ(inkedPixels(crlf.page()), 0);
    EXPECT_EQ(crlf.link.written, "");
}

// A pen move is drawn pair by pair as its numbers come, so a pause shows
// the pairs so far and a long list is never held; a pair cut by the pause,
// or a number, waits for the rest of its bytes.
TEST(Hp86bPlotter, PenMovesAreDrawnAsTheirPairsCome) {
    InProcessPlot p;
    p.run("PU0,0;PD100,0,100,1");
    EXPECT_EQ(p.page().pixel(130, 540), black); // (50,0): the first pair is drawn
    EXPECT_EQ(p.state().penX, 100);
    EXPECT_EQ(p.state().penY, 0); // (100,1) is not yet: its number may go on
    p.run("00,0;");
    EXPECT_EQ(p.state().penY, 100);
    EXPECT_EQ(p.page().pixel(180, 490), black); // (100,50)
}

// Texts past a megabyte are read and dropped: the instruction still ends
// at its ';' (or its label at ETX) and the stream stays in step.
TEST(Hp86bPlotter, EndlessTextsAreCutAndTheStreamStaysInStep) {
    const std::string megabyte(Hp86bReader::maxTextBytes, '1');
    struct Case {
        std::string stream;
        int32_t penX, penY;
    };
    const Case cases[] = {
        {"PU" + std::string(5000, '9') + ",1;", INT32_MAX, 1},
        {"PU" + megabyte + "2,3;PA7,8;", 7, 8}, // the cut field and the rest dropped
        {"PU5,6," + megabyte + ";", 5, 6},
        {"ZZ" + megabyte + ";PU9,9;", 9, 9},
        {"PU4,4;LB" + megabyte + "\x03;PU8,9;", 8, 9},
    };
    for (const Case& c : cases) {
        const PlotterState state = stateAfter(c.stream);
        EXPECT_EQ(state.penX, c.penX) << c.stream.substr(0, 12);
        EXPECT_EQ(state.penY, c.penY) << c.stream.substr(0, 12);
    }
}
