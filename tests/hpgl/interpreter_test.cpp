#include "hpgl/interpreter.h"
#include "hpgl/reader.h"
#include "logfile/log_file.h"
#include "page/drawing.h"
#include "page/label_font.h"
#include "support/fake_link.h"
#include "support/temp_dir.h"

#include <climits>
#include <cmath>
#include <gtest/gtest.h>

using namespace plotanix;
using plotanix::testing::FakeLink;
using plotanix::testing::readFile;
using plotanix::testing::TempDir;

namespace {

constexpr Colour white = 0xFFFFFF;
constexpr Colour black = 0x000000;

struct StatusRecorder : StatusLine {
    void showStatus(int32_t instructions, int32_t ignored) override {
        shown.emplace_back(instructions, ignored);
    }
    std::vector<std::pair<int32_t, int32_t>> shown;
};

// One plot run on a white page, as the program does it, over the given chunks.
class Plotter {
  public:
    explicit Plotter(std::vector<std::string> chunks, bool withLog = false)
        : link(std::move(chunks)), reader(link, log),
          interpreter(reader, drawing, link, log, &status) {
        if (withLog) log.openLog(dir.file("PLOTTER.TXT"));
        page = createPageImage(800, 600, 24);
        font = loadFont("Courier New", 12);
        drawing.beginDrawing(*page);
        drawing.selectFont(font.get());
        drawing.fillBox(0, 0, 800, 640, penColours[0]);
        interpreter.setDefaults();
        reader.startRun();
    }
    Plotter& run() {
        interpreter.runInstructionLoop();
        return *this;
    }
    int changedPixels() const {
        int n = 0;
        for (int y = 0; y < 600; ++y)
            for (int x = 0; x < 800; ++x)
                n += page->pixel(x, y) != white;
        return n;
    }
    std::string transcript() {
        log.closeLog();
        return readFile(dir.file("PLOTTER.TXT"));
    }

    TempDir dir;
    FakeLink link;
    LogFile log;
    InstructionReader reader;
    Drawing drawing;
    StatusRecorder status;
    Interpreter interpreter;
    std::unique_ptr<PageImage> page;
    std::unique_ptr<PageFont> font;
};

PlotterState stateAfter(const std::string& stream) {
    Plotter p({stream});
    p.run();
    return p.interpreter.state;
}

} // namespace

TEST(Interpreter, PenStartsDownAtOriginInBlack) {
    Plotter p({"PA100,100;"});
    p.run();
    EXPECT_EQ(p.page->pixel(80, 540), black);
    EXPECT_EQ(p.page->pixel(130, 490), black);
    EXPECT_EQ(p.page->pixel(180, 440), black);
    EXPECT_EQ(p.changedPixels(), 101);
    EXPECT_EQ(p.interpreter.state.penX, 100);
    EXPECT_EQ(p.interpreter.state.penY, 100);
}

TEST(Interpreter, TypicalRunDrawsAtTheStatedPixels) {
    Plotter p({"SP1;PU100,100;PD200,100,200,200;"});
    p.run();
    for (int x = 180; x <= 280; ++x)
        EXPECT_EQ(p.page->pixel(x, 440), black) << x;
    for (int y = 340; y <= 440; ++y)
        EXPECT_EQ(p.page->pixel(280, y), black) << y;
    EXPECT_EQ(p.changedPixels(), 201);
}

TEST(Interpreter, CoordinatePairs) {
    Plotter pd({"PD;PU0,0,100,100;"});
    pd.run();
    EXPECT_EQ(pd.changedPixels(), 0);
    EXPECT_FALSE(pd.interpreter.state.penDown);
    EXPECT_EQ(pd.interpreter.state.penX, 100);

    Plotter odd({"PU10,10;PD20,10,20,20,7;"}); // the final odd parameter is ignored
    odd.run();
    EXPECT_EQ(odd.changedPixels(), 21);
    EXPECT_EQ(odd.interpreter.state.penX, 20);
    EXPECT_EQ(odd.interpreter.state.penY, 20);

    Plotter many({"PU0,0;PD1,0,2,0,3,0,4,0,5,0,6,0,7,0,8,0,9,0,10,0;PA;"});
    many.run();
    EXPECT_EQ(many.changedPixels(), 11);
    EXPECT_TRUE(many.interpreter.state.penDown);

    Plotter half({"PU0.5,1.5;"}); // ties go to the even neighbour
    half.run();
    EXPECT_EQ(half.interpreter.state.penX, 0);
    EXPECT_EQ(half.interpreter.state.penY, 2);
    Plotter negative({"PU-2.5,2.5;"});
    negative.run();
    EXPECT_EQ(negative.interpreter.state.penX, -2);
    EXPECT_EQ(negative.interpreter.state.penY, 2);
}

TEST(Interpreter, FarCoordinatesAreClampedAndClipped) {
    Plotter p({"PU1e38,1e38;PD-1e38,-1e38;PU0,0;PD3e9,0;"});
    p.run();
    EXPECT_EQ(p.interpreter.state.penX, INT32_MAX);
    EXPECT_EQ(p.interpreter.state.penY, 0);
    // The horizontal line from the origin runs to the right edge.
    for (int x = 80; x < 800; ++x)
        EXPECT_EQ(p.page->pixel(x, 540), black) << x;
}

TEST(Interpreter, PenSelection) {
    auto colourAfter = [](const std::string& stream) { return stateAfter(stream).frontColour; };
    EXPECT_EQ(colourAfter("SP12;"), penColours[2]);
    EXPECT_EQ(colourAfter("SP1.9;"), penColours[1]);
    EXPECT_EQ(colourAfter("SP4;SP;"), penColours[4]);
    EXPECT_EQ(colourAfter("SP4;SP1,2;"), penColours[4]);
    EXPECT_EQ(colourAfter("SP-3;"), penColours[3]);
    EXPECT_EQ(colourAfter("SP-13.7;"), penColours[3]);
    EXPECT_EQ(colourAfter("SP1e38;"), penColours[static_cast<int>(std::fmod(1e38f, 10.0))]);
    EXPECT_EQ(colourAfter("SP-2147483649;"),
              penColours[static_cast<int>(std::fmod(2147483648.0, 10.0))]);

    Plotter blue({"SP2;PA10,0;"});
    blue.run();
    EXPECT_EQ(blue.page->pixel(85, 540), penColours[2]);
    const uint8_t* bytes = blue.page->row(540) + 3 * 85;
    EXPECT_EQ(bytes[0], 255); // stored blue, green, red
    EXPECT_EQ(bytes[1], 0);
    EXPECT_EQ(bytes[2], 0);
}

TEST(Interpreter, LabelDirection) {
    auto angleAfter = [](const std::string& stream) { return stateAfter(stream).labelAngle; };
    EXPECT_EQ(angleAfter("DI0,1;"), 90);
    EXPECT_EQ(angleAfter("DI0,-1;"), -90);
    EXPECT_EQ(angleAfter("DI1,1;"), 45);
    EXPECT_EQ(angleAfter("DI-1,0;"), 0);
    EXPECT_EQ(angleAfter("DI-1,1;"), -45);
    EXPECT_EQ(angleAfter("DI0,0;"), 0);
    EXPECT_EQ(angleAfter("DI0,1;DI;"), 0);
    EXPECT_EQ(angleAfter("DI0,1;DI1,2,3;"), 0);
}

TEST(Interpreter, CharacterCellMoves) {
    Plotter p({"PU10,10;CP2,1;"});
    p.run();
    const int w = p.drawing.textWidth("X");
    const int h = p.drawing.textHeight("X");
    EXPECT_GT(w, 0);
    EXPECT_GT(h, 0);
    EXPECT_EQ(p.interpreter.state.penX, 10 + 2 * w);
    EXPECT_EQ(p.interpreter.state.penY, 10 + h);
    EXPECT_EQ(p.changedPixels(), 0); // no line is drawn

    Plotter q({"PU10,10;CP-1.5,-0.5;CP1;"});
    q.run();
    EXPECT_EQ(q.interpreter.state.penX, roundToInt32(10 - 1.5 * w));
    EXPECT_EQ(q.interpreter.state.penY, roundToInt32(10 - 0.5 * h));
}

TEST(Interpreter, LabelsSitOnThePenAndDiscardTheirTail) {
    Plotter p({"PU100,100;LBABC\x03PA10,10;"});
    p.run();
    // The tail after ETX, PA10,10 included, was discarded with the label.
    EXPECT_EQ(p.interpreter.state.penX, 100);
    EXPECT_EQ(p.interpreter.state.penY, 100);
    const int w = p.drawing.textWidth("ABC");
    const int h = p.drawing.textHeight("X");
    const int left = 180, top = 440 - h / 2;
    int inside = 0;
    for (int y = 0; y < 600; ++y)
        for (int x = 0; x < 800; ++x) {
            if (p.page->pixel(x, y) == white) continue;
            const bool inCell = x >= left && x < left + w && y >= top && y < top + h;
            EXPECT_TRUE(inCell) << x << "," << y;
            inside += inCell;
        }
    EXPECT_GT(inside, 20);
}

TEST(Interpreter, LabelWithoutTerminatorEndsWithTheLine) {
    Plotter p({"PU100,100;LBHELLO"});
    p.run();
    EXPECT_EQ(p.reader.stopState, stopped);
    EXPECT_GT(p.changedPixels(), 0);
    EXPECT_EQ(p.interpreter.instructionCount, 2);
}

TEST(Interpreter, UnknownMnemonicsAreCountedLoggedAndSkipped) {
    Plotter p({"XX1,2;PA10,10;\r\nPA20,20;PA30,30;pa5,5;IN;"}, true);
    p.run();
    EXPECT_EQ(p.interpreter.instructionCount, 6);
    EXPECT_EQ(p.interpreter.ignoredCount, 4);
    // The CR LF mnemonic swallowed PA20,20.
    EXPECT_EQ(p.interpreter.state.penX, 30);
    EXPECT_EQ(p.transcript(), "XX1,2;PA10,10;\r\nPA20,20;PA30,30;pa5,5;IN;"
                              "****XX*******\r\n*******pa*******IN***");
}

TEST(Interpreter, NulBytesShortenTheMnemonic) {
    Plotter p({std::string("\0A;B\0;", 6)}, true);
    p.run();
    EXPECT_EQ(p.interpreter.ignoredCount, 2);
    EXPECT_EQ(p.transcript(), std::string("\0A;B\0;", 6) + "*******" + "****B***");
}

TEST(Interpreter, RepliesGoOutOneByteAtATime) {
    Plotter p({"OI;OE;OP;"});
    p.run();
    EXPECT_EQ(p.link.written, "7470A\r\n0\r\n0,0,640,480\r\n");
    EXPECT_EQ(p.link.writes.size(), p.link.written.size());
    EXPECT_EQ(p.link.drains, static_cast<int>(p.link.written.size()));
}

TEST(Interpreter, StatusShowsTheCountersBeforeEachInstruction) {
    Plotter p({"PA1,1;ZZ;LT;IW0,0,10,10;"});
    p.run();
    using Shown = std::vector<std::pair<int32_t, int32_t>>;
    EXPECT_EQ(p.status.shown, (Shown{{0, 0}, {1, 0}, {2, 1}, {3, 1}, {4, 1}}));
}

TEST(Interpreter, DefaultsResetThePlotterState) {
    Plotter p({"SP3;PU50,60;DI0,1;DF;"});
    p.run();
    EXPECT_EQ(p.interpreter.state.penX, 0);
    EXPECT_EQ(p.interpreter.state.penY, 0);
    EXPECT_TRUE(p.interpreter.state.penDown);
    EXPECT_EQ(p.interpreter.state.labelAngle, 0);
    EXPECT_EQ(p.interpreter.state.frontColour, black);
    EXPECT_EQ(p.drawing.frontColour(), black);
}

// The transcript's worked example: the first chunk, the record for IN after
// the whole chunk, the second chunk, then the operator's two markers.
TEST(Interpreter, TranscriptOfTheWorkedExample) {
    Plotter paused({"IN;SP1;PA10,10;", "PD20,20;OI;"}, true);
    paused.run();
    paused.log.writeLogMarker("SAVE PAGE #1");
    paused.log.writeLogMarker("NEW PAGE");
    const std::string t = paused.transcript();
    EXPECT_EQ(t.size(), 87u);
    EXPECT_EQ(t, "IN;SP1;PA10,10;****IN***PD20,20;OI;"
                 "\r\n**** SAVE PAGE #1 ****\r\n\r\n\r\n**** NEW PAGE ****\r\n\r\n");

    Plotter together({"IN;SP1;PA10,10;PD20,20;OI;"}, true);
    together.run();
    EXPECT_EQ(together.transcript(), "IN;SP1;PA10,10;PD20,20;OI;****IN***");
}
