// The page depends on the bytes, never on their timing: a stream split into
// runs anywhere (the line falling silent between any two bytes) gives the
// page, the transcript, the replies and the counts of the whole stream.

#include "session/plot_session.h"

#include "models/models.h"
#include "support/in_process_plot.h"

#include <gtest/gtest.h>
#include <tuple>

namespace plotanix {
namespace {

using testing::InProcessPlot;

struct Outcome {
    std::vector<uint8_t> pixels;
    std::string transcript;
    std::vector<std::string> records; // as the session wrote them
    std::string replies;
    RunResult counts;
};

// The stream in runs that end at the given split points.
Outcome plotInRuns(PlotterModel model, std::string_view stream, const std::vector<size_t>& splits) {
    InProcessPlot plot(nullptr, model);
    plot.keepTranscript();
    Outcome out;
    plot.session.watchRecords([&](std::string_view record) { out.records.emplace_back(record); });
    size_t from = 0;
    auto runTo = [&](size_t to) {
        plot.run(stream.substr(from, to - from));
        out.counts.instructions += plot.result.instructions;
        out.counts.ignored += plot.result.ignored;
        from = to;
    };
    for (size_t at : splits)
        runTo(at);
    runTo(stream.size());
    out.pixels = plot.page().pixels;
    out.transcript = plot.transcript();
    out.replies = plot.link.written;
    return out;
}

// A transcript read back through the session: its records taken out where
// the session wrote them, the rest drawn: the page and the count of
// instructions ignored (a record left in would be read as one more).
std::pair<std::vector<uint8_t>, int32_t> replayed(PlotterModel model, std::string_view transcript) {
    InProcessPlot plot(nullptr, model);
    plot.session.beginRun();
    plot.session.replay(transcript);
    return {plot.page().pixels, plot.session.endRun().ignored};
}

struct Stream {
    PlotterModel model;
    std::string bytes;
};

const Stream streams[] = {
    // A BASIC program that computes between points.
    {PlotterModel::hp86b, "SP1;PU;PA100,100;PD200,200;PA300,100;PU;"},
    {PlotterModel::hp86b, "SP2;DI0,1;PD300,300,250,100;LBHELLO\x03;CP2,1;PA50,50;SP4;PA60,0;"},
    {PlotterModel::hp86b, "ZZ1,2;PA10,10;XX;PD20,20,-30.5,1e2;OI;DF;PA0,0;LBX\x03garbage;OP;"},
    {PlotterModel::hp7470a, "IN;SP2;PA100,100;PD2000,2000,3000,100;PU;LBHELLO\x03PA500,500;CI500;"},
    {PlotterModel::hp7470a,
     "IN;ZZ;SP1;LBab\x03PR100,0 0,-100PD;PR500,500;OI;OA;\x1b.B\x1b.M0;;13:OE;"},
    {PlotterModel::hp7470a,
     "SC0,100,0,100;PA10,10;PD90,90;DI0,1;LBUP\x03SP3;PU0,0PD50,0\r\nPU;OC;"},
    {PlotterModel::hpgl2, "IN;SP1;PA100,100;PD2000,2000;PM0;PD3000,100;PM2;FP;ZZ;LBHI\x03OA;"},
    {PlotterModel::hpgl2, "BP1,\"A\";SP2;PU0,0;CI800;PE<=" + std::string("_@_@") + ";OE;"},
    // Labels, symbols, user characters, line types and device control; a
    // PCL job around polygons, fills, wide lines and encoded moves.
    {PlotterModel::hp7470a,
     "IN;SP2;PA1000,1000;PD2000,1000,2000,2000;PU;DT*;LBHI*SM+;PA3000,3000;SM;UC2,4,99,4,0;"
     "LT3,5;PD6000,1000,6000,6000;CI500,10;\x1b.M10;;13:OI;OA;ZZ1,2;PA-;OE;\x1b.K"},
    {PlotterModel::hpgl2,
     "\x1b%-12345X@PJL ENTER LANGUAGE=HPGL2\r\nIN;PW1;PA1000,1000;PM0;CI800;PM2;FT3,100,45;FP;"
     "LA1,4;PD2000,3000,3000,2000;PU;LT2,4,1;PD9000,1000;PE<=g\xceX\xc8;DT#,1;LBlabel#XX\"Q;\";"
     "BP1,\"N\";OA;\x1b%0A\x1b*b3W123\x1b%0BPA0,0;PD100,100;\x1b"
     "EOS;"},
};

// Every byte boundary, for every model. A record follows the chunk that
// held its instruction, so where it lands depends on the chunks; which
// records there are, and in what order, does not, and each transcript
// replays to the page.
TEST(PlotSession, AStreamSplitIntoRunsAnywhereGivesTheWholeStreamsPage) {
    for (const Stream& s : streams) {
        const Outcome whole = plotInRuns(s.model, s.bytes, {});
        EXPECT_GT(testing::inkedPixels(PageImage{800, 600, 24, 2400, whole.pixels}), 0) << s.bytes;
        const auto wholeReplayed = std::pair(whole.pixels, whole.counts.ignored);
        EXPECT_EQ(replayed(s.model, whole.transcript), wholeReplayed) << s.bytes;
        std::vector<size_t> everyByte;
        for (size_t at = 1; at < s.bytes.size(); ++at) {
            everyByte.push_back(at);
            const Outcome split = plotInRuns(s.model, s.bytes, {at});
            const std::string where = s.bytes.substr(0, at) + " | " + s.bytes.substr(at);
            EXPECT_EQ(split.pixels, whole.pixels) << where;
            EXPECT_EQ(split.records, whole.records) << where;
            EXPECT_EQ(replayed(s.model, split.transcript), wholeReplayed) << where;
            EXPECT_EQ(split.replies, whole.replies) << where;
            EXPECT_EQ(split.counts.instructions, whole.counts.instructions) << where;
            EXPECT_EQ(split.counts.ignored, whole.counts.ignored) << where;
        }
        const Outcome byteByByte = plotInRuns(s.model, s.bytes, everyByte);
        EXPECT_EQ(byteByByte.pixels, whole.pixels) << s.bytes;
        EXPECT_EQ(byteByByte.replies, whole.replies) << s.bytes;
    }
}

// Fed a turn at a time, each turn stopping where an instruction begins (a
// plot run's budget spent), the model draws the whole stream's page and
// sends its replies.
TEST(PlotSession, FeedingStopsWhereAnInstructionBeginsAndDrawsTheSame) {
    for (const Stream& s : streams) {
        const Outcome whole = plotInRuns(s.model, s.bytes, {});
        const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(s.bytes.data()),
                                             s.bytes.size());
        InProcessPlot turns(nullptr, s.model);
        turns.session.beginRun();
        for (std::span<const uint8_t> rest = bytes; !rest.empty();) {
            const int32_t before = turns.session.counts().instructions;
            int asked = 0;
            rest = rest.subspan(turns.session.feedModelWhile(rest, [&] { return ++asked == 0; }));
            if (rest.empty()) break;
            EXPECT_EQ(asked, 1) << "asked once, where it stopped";
            EXPECT_GT(turns.session.counts().instructions, before)
                << "stopped where an instruction begins, before " << s.bytes.size() - rest.size();
        }
        turns.session.endRun();
        EXPECT_EQ(turns.page().pixels, whole.pixels) << s.bytes;
        EXPECT_EQ(turns.link.written, whole.replies) << s.bytes;
    }
}

// The HP-86B model's defaults come with each new page, not with each run;
// the 7470A keeps its state across new paper, as the plotter does.
TEST(PlotSession, ANewPageStartsTheModelsPageAndARunDoesNot) {
    InProcessPlot hp86b;
    hp86b.run("SP2;PU;PA100,100;");
    EXPECT_EQ(hp86b.state().frontColour, penColours[2]);
    hp86b.run("PD200,100;");
    EXPECT_EQ(hp86b.page().pixel(230, 440), penColours[2]); // blue, from where the pen stood
    EXPECT_EQ(hp86b.page().pixel(80, 540), penColours[0]);  // no stray line from (0,0)
    hp86b.session.newPage();
    hp86b.run("PA10,10;");
    EXPECT_EQ(hp86b.state().frontColour, penColours[1]);
    EXPECT_EQ(hp86b.page().pixel(85, 535), penColours[1]); // the pen went down at (0,0) again
    EXPECT_EQ(hp86b.page().pixel(230, 440), penColours[0]);

    InProcessPlot hp7470a(nullptr, PlotterModel::hp7470a);
    hp7470a.run("SP2;PA100,100;");
    hp7470a.session.newPage();
    hp7470a.run("OA;");
    EXPECT_EQ(hp7470a.link.written, "100,100,0\r");
}

// "Insert new page" starts the HP-86B model afresh, its reading too: a plot
// that ended inside an instruction (a CR LF read as a mnemonic skips to the
// next ';') does not swallow the next page's first instruction. A pause
// alone does.
TEST(PlotSession, ANewPageForgetsTheHp86bsOpenInstruction) {
    for (const bool newPage : {true, false}) {
        InProcessPlot p;
        p.run("SP2;PA100,100;\r\n");
        if (newPage) p.session.newPage();
        p.run("SP3;PU;PA10,10;PD600,10;");
        EXPECT_EQ(p.page().pixel(300, 530), penColours[newPage ? 3 : 2]) << newPage;
    }
    InProcessPlot query;
    query.run("PA1,1;\r\n");
    query.session.newPage();
    query.run("OI;");
    EXPECT_EQ(query.link.written, "7470A\r\n");
}

// An output query whose ';' has not come when the line falls silent is
// answered then, as the HP-86B's plotter always answered at silence; its
// ';' later ends it without a second reply.
TEST(PlotSession, AQueryCutBySilenceIsAnsweredOnce) {
    InProcessPlot p;
    p.run("OI");
    EXPECT_EQ(p.link.written, "7470A\r\n");
    p.run(";OE;");
    EXPECT_EQ(p.link.written, "7470A\r\n0\r\n");
}

// Every read's bytes are in the transcript before the model takes one of
// them, at most a chunk at a time: a record follows the chunk that held it.
TEST(PlotSession, RecordsFollowTheChunkThatHeldTheirInstruction) {
    InProcessPlot p;
    p.keepTranscript();
    const std::string stream = "ZZ;PA" + std::string(300, '1') + ";";
    p.run(stream);
    EXPECT_EQ(p.transcript(), stream.substr(0, 256) + "****ZZ***" + stream.substr(256));
}

// Another drawing (the renderer's next file) starts from power-on.
TEST(PlotSession, StartingAfreshForgetsTheHalfReadInstruction) {
    InProcessPlot p(nullptr, PlotterModel::hp7470a);
    p.run("SP2;PA100,100;PD5000,");
    p.session.startAfresh();
    p.run("OA;");
    EXPECT_EQ(p.link.written, "0,0,0\r");
    EXPECT_EQ(testing::inkedPixels(p.page()), 0);
}

// Why a blank page is blank, told by what the pen was asked to do on it,
// on each model where the reason applies. A closing SP0 is no reason, and
// a page with ink has none.
TEST(PlotSession, ABlankPageSaysWhyByWhatThePenWasAskedToDo) {
    const std::string noPen = "no pen was selected (SP0 or no SP) while drawing";
    const std::string penUp = "the pen only moved up (PU), it never drew";
    const std::string offPaper = "everything drawn lies off the paper";
    const std::string window = "everything drawn lies outside the window IW set";
    const std::string nothing = "no line or label was asked for";
    const std::string offLine = "IN;SP1;PA100,-3000;PD200,-3000;SP0;";
    const std::string inWindow = "IN;SP1;IW1000,1000,2000,2000;PA100,100;PD500,500;";
    using enum PlotterModel;
    const std::tuple<PlotterModel, std::string, std::string> cases[] = {
        {hp86b, "SP0;PA100,100;", noPen},
        {hp7470a, "IN;SP0;PA100,100;PD1000,1000;", noPen},
        {hpgl2, "IN;SP0;PA100,100;PD1000,1000;", noPen},
        {hp7470a, "IN;SP0;PA100,100;LBABC\x03;", noPen},
        {hp86b, "PU;PA100,100,200,200;", penUp},
        {hp7470a, "IN;SP1;PU100,100,2000,2000;SP0;", penUp},
        {hpgl2, "IN;SP1;PU100,100,2000,2000;SP0;", penUp},
        {hp86b, "PU;PA5000,5000;PD6000,6000;", offPaper},
        {hp7470a, offLine, offPaper},
        {hpgl2, offLine, offPaper},
        {hp7470a, "IN;SP1;PA100,-3000;LBABC\x03;SP0;", offPaper},
        {hpgl2, "IN;SP1;PA100,-3000;LBABC\x03;SP0;", offPaper},
        {hp7470a, inWindow, window},
        {hpgl2, inWindow, window},
        {hp86b, "OI;", nothing},
        {hp7470a, "IN;OI;", nothing},
        {hpgl2, "IN;", nothing},
        {hp86b, "IN;PS1000;BP;", "every instruction was one this model does not know"},
        {hp7470a, "BP;PW1;", "every instruction was one this model does not know"},
        {hp86b, "PA100,100;SP0;", ""},
        {hp7470a, "IN;SP1;PA100,100;PD1000,1000;SP0;", ""},
        {hpgl2, "IN;SP1;PA100,100;PD1000,1000;SP0;", ""},
        {hp7470a, "IN;SP1;PA100,100;LBABC\x03;SP0;", ""},
    };
    for (const auto& [model, stream, why] : cases) {
        InProcessPlot plot(nullptr, model);
        plot.run(stream);
        EXPECT_EQ(plot.session.blankReason(), why) << modelName(model) << " " << stream;
    }
    // Each page is asked about its own strokes.
    InProcessPlot twoPages(nullptr, hp7470a);
    twoPages.run("IN;SP0;PD1000,1000;");
    twoPages.session.newPage();
    twoPages.run("SP1;PU100,-3000;PD200,-3000;");
    EXPECT_EQ(twoPages.session.blankReason(), offPaper);
}

// A drawing the paper's edge cuts, a line's or a label's, is told; one
// within the paper, or cut by the window IW set, is not; a new page starts
// afresh.
TEST(PlotSession, ADrawingCutAtThePapersEdgeIsTold) {
    using enum PlotterModel;
    const std::tuple<PlotterModel, std::string, bool> cases[] = {
        {hp7470a, "IN;SP1;PU0,0;PD20000,15000;", true},
        {hpgl2, "IN;SP1;PU0,0;PD20000,15000;", true},
        {hp86b, "PA1000,100;", true},
        {hp7470a, "IN;SP1;PA100,100;SI1,1.5;LBABC\r\nDEF\x03;", true},
        {hpgl2, "IN;SP1;PA100,100;SI1,1.5;LBABC\r\nDEF\x03;", true},
        {hp7470a, "IN;SP1;PA100,100;PD1000,1000;LBABC\x03;", false},
        {hpgl2, "IN;SP1;PA100,100;PD1000,1000;LBABC\x03;", false},
        {hp86b, "PA100,100;", false},
        {hp7470a, "IN;SP1;IW0,0,500,500;PA100,100;PD1000,1000;", false},
        {hpgl2, "IN;SP1;IW0,0,500,500;PA100,100;PD1000,1000;", false},
    };
    for (const auto& [model, stream, cut] : cases) {
        InProcessPlot plot(nullptr, model);
        plot.run(stream);
        EXPECT_EQ(plot.session.ranOffPaper(), cut) << modelName(model) << " " << stream;
        plot.session.newPage();
        plot.run("PU100,100;");
        EXPECT_FALSE(plot.session.ranOffPaper()) << modelName(model) << " " << stream;
    }
}

} // namespace
} // namespace plotanix
